// What must hold for any bytes read as a response file ("Load left ..."), shared by the fuzz
// target and the corpus replay of the unit tests. Returns the first broken property, or "".
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <cmath>
#include <string>
#include <vector>

#include "DisplayResponse.h"

namespace response_checks {

struct TRead {
  std::vector<TReferenceEntry> points;
  QString failure;
  bool filledUp = false;
};

// The reader over the bytes, its table exactly as large as it may use, so that any write or
// read past it is a sanitizer report.
inline TRead Read(const QByteArray& bytes, QChar decimalPoint) {
  QByteArray copy = bytes;
  QBuffer buffer(&copy);
  buffer.open(QIODevice::ReadOnly);
  std::vector<TReferenceEntry> table(kReferencePoints + 2, TReferenceEntry{-7.0f, -7.0f});
  TRead read;
  const int count = ReadReference(buffer, decimalPoint, table, read.failure, read.filledUp);
  if (count >= 0 && count <= kReferencePoints)
    read.points.assign(table.begin() + 1, table.begin() + 1 + count);
  else
    read.failure = QStringLiteral("count %1").arg(count);
  return read;
}

inline bool Same(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// Within the one decimal a saved file keeps (and the float's own rounding for large values).
inline bool Near(float saved, float back) {
  if (std::isnan(saved) || std::isinf(saved)) return Same(saved, back);
  return std::fabs(static_cast<double>(back) - saved) <= 0.05 + 1e-6 * std::fabs(saved);
}

inline std::string Describe(const char* what, std::size_t i, const TReferenceEntry& e) {
  return std::string(what) + " at point " + std::to_string(i) + ": " +
         std::to_string(e.Frequency) + " Hz " + std::to_string(e.Level) + " dB";
}

inline std::string CheckWith(const QByteArray& bytes, QChar decimalPoint) {
  const TRead read = Read(bytes, decimalPoint);
  if (!read.failure.isEmpty()) return "read failed: " + read.failure.toStdString();

  // The points are the lines' numbers, in file order, up to the first negative frequency.
  std::vector<TReferenceEntry> expected;
  qsizetype at = 0;
  bool more = false;
  while (at < bytes.size()) {
    if (expected.size() == kReferencePoints) {
      more = true;
      break;
    }
    const qsizetype end = bytes.indexOf('\n', at);
    const qsizetype next = end < 0 ? bytes.size() : end + 1;
    float f = 0, l = 0;
    const TReferenceLine kind =
        ParseReferenceLine(QString::fromUtf8(bytes.mid(at, next - at)), decimalPoint, f, l);
    at = next;
    if (kind == TReferenceLine::End) break;
    if (kind == TReferenceLine::Point) expected.push_back({f, l});
  }
  if (read.points.size() != expected.size())
    return "read " + std::to_string(read.points.size()) + " points, the lines hold " +
           std::to_string(expected.size());
  if (read.filledUp != more) return read.filledUp ? "filled up wrongly" : "fill-up not seen";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TReferenceEntry& p = read.points[i];
    if (!Same(p.Frequency, expected[i].Frequency) || !Same(p.Level, expected[i].Level))
      return Describe("differs from its line", i, p);
    if (std::isnan(p.Frequency) || p.Frequency < 0) return Describe("end frequency kept", i, p);
  }

  // Interpolated onto a plot's points over a table of exactly count + 2 entries: an ascending
  // table gives levels between its neighbours' levels.
  const int count = static_cast<int>(read.points.size());
  std::vector<TReferenceEntry> table(count + 2);
  table[0] = {0.0f, 0.0f};
  for (int i = 0; i < count; ++i) table[i + 1] = read.points[i];
  table[count + 1] = {1003000.0f, 0.0f};
  std::vector<float> grid(441), levels(441);
  for (int j = 0; j < 441; ++j) grid[j] = static_cast<float>(20.0 * std::pow(1000.0, j / 440.0));
  InterpolateReference(table.data(), count, grid.data(), 441, levels.data());
  bool ascending = true;
  for (int i = 0; i <= count; ++i)
    ascending = ascending && table[i].Frequency <= table[i + 1].Frequency &&
                std::isfinite(table[i + 1].Level);
  if (ascending) {
    int k = 0;
    for (int j = 0; j < 441; ++j) {
      while (table[k + 1].Frequency < grid[j]) ++k;
      const float a = table[k].Level, b = table[k + 1].Level;
      const float slack = 1e-5f * std::max(std::fabs(a), std::fabs(b)) + 1e-6f;
      if (!(levels[j] >= std::min(a, b) - slack && levels[j] <= std::max(a, b) + slack))
        return "interpolated " + std::to_string(levels[j]) + " dB at " + std::to_string(grid[j]) +
               " Hz outside " + std::to_string(a) + " ... " + std::to_string(b);
    }
  }

  // Saved and read back: the first and the last point, and the others in order, within the
  // one decimal the file keeps (runs of one level keep only their first point).
  std::vector<float> fs, ls;
  for (const TReferenceEntry& p : read.points) fs.push_back(p.Frequency), ls.push_back(p.Level);
  const QByteArray saved = FormatResponse(fs, ls, decimalPoint);
  const TRead back = Read(saved, decimalPoint);
  if (!back.failure.isEmpty() || back.filledUp) return "a saved file does not read back";
  if (back.points.size() > read.points.size() || (count > 0 && back.points.empty()))
    return "a saved file reads back as " + std::to_string(back.points.size()) + " of " +
           std::to_string(count) + " points";
  std::size_t i = 0;
  for (std::size_t b = 0; b < back.points.size(); ++b, ++i) {
    const TReferenceEntry& p = back.points[b];
    while (i < read.points.size() &&
           !(Near(read.points[i].Frequency, p.Frequency) && Near(read.points[i].Level, p.Level)))
      ++i;
    if (i == read.points.size()) return Describe("read back unlike any point saved", b, p);
    if (b == 0 && i != 0) return Describe("first point not saved", b, p);
  }
  if (count > 0 && !(Near(read.points.back().Frequency, back.points.back().Frequency) &&
                     Near(read.points.back().Level, back.points.back().Level)))
    return "last point not saved";
  return {};
}

inline std::string Check(const QByteArray& bytes) {
  for (const QChar point : {QChar(u'.'), QChar(u',')})
    if (std::string fault = CheckWith(bytes, point); !fault.empty())
      return fault + " (decimal point " + std::string(1, static_cast<char>(point.unicode())) + ")";
  return {};
}

}  // namespace response_checks
