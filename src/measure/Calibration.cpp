#include "Calibration.h"

#include "PointLines.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The sensitivity text kept for display: a line, not a page.
constexpr std::size_t kSensitivityChars = 160;

using point_lines::IsSeparator;
using point_lines::IsSpace;
using point_lines::Quoted;
using point_lines::ReadFields;
using point_lines::ReadNumber;
using point_lines::Shortest;
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Line(std::size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

// Only printable ASCII reaches a message or the status line's hint.
std::string Printable(std::string_view text, std::size_t limit) {
  std::string s;
  for (const char c : text.substr(0, limit))
    s.push_back(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F ? c : '?');
  if (text.size() > limit) s += "...";
  return s;
}


std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The text of a comment line after its mark (and a quoted line without its quotes); false for
// any other line.
bool CommentText(std::string_view line, std::string_view& text) {
  if (line.empty()) return false;
  if (line[0] == '*' || line[0] == '#' || line[0] == ';' || line[0] == '"') {
    text = line.substr(1);
  } else if (line.substr(0, 2) == "//") {
    text = line.substr(2);
  } else {
    return false;
  }
  if (line[0] == '"') {
    text = Trimmed(text);
    if (!text.empty() && text.back() == '"') text.remove_suffix(1);
  }
  text = Trimmed(text);
  return true;
}

bool HasSens(std::string_view text) {
  for (std::size_t i = 0; i + 4 <= text.size(); ++i)
    if (Lower(text[i]) == 's' && Lower(text[i + 1]) == 'e' && Lower(text[i + 2]) == 'n' &&
        Lower(text[i + 3]) == 's')
      return true;
  return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

// The first number after "sens" and the unit after it: dB as it stands, mV/Pa and V/Pa as dB
// re 1 V/Pa; NaN for anything else.
double SensitivitydB(std::string_view text) {
  std::size_t i = 0;
  while (i + 4 <= text.size() && !StartsWithNoCase(text.substr(i), "sens")) ++i;
  const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
  const auto digit = [&](std::size_t k) { return at(k) >= '0' && at(k) <= '9'; };
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (digit(i) || ((c == '-' || c == '+' || c == '.') && (digit(i + 1) || (at(i + 1) == '.' && digit(i + 2)))))
      break;
  }
  if (i >= text.size()) return kNaN;
  if (text[i] == '+') ++i;
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data() + i, end, value);
  if (ec != std::errc() || !std::isfinite(value)) return kNaN;
  std::string_view unit = text.substr(static_cast<std::size_t>(ptr - text.data()));
  while (!unit.empty() && IsSpace(unit.front())) unit.remove_prefix(1);
  if (StartsWithNoCase(unit, "db")) return value;
  if (StartsWithNoCase(unit, "mv/pa")) return value > 0 ? 20 * std::log10(value / 1000) : kNaN;
  if (StartsWithNoCase(unit, "v/pa")) return value > 0 ? 20 * std::log10(value) : kNaN;
  return kNaN;
}

// a to b at t in [0, 1]; never past either, even where rounding near DBL_MAX would overflow.
double Between(double a, double b, double t) {
  return std::clamp((1 - t) * a + t * b, std::min(a, b), std::max(a, b));
}

}  // namespace

TCalibration::TCalibration(std::vector<TCalibrationPoint> points) : FPoints(std::move(points)) {
  FHasPhase = !FPoints.empty() && std::isfinite(FPoints.front().Deg);
  FLogHz.reserve(FPoints.size());
  FdB.reserve(FPoints.size());
  for (const TCalibrationPoint& p : FPoints) {
    FLogHz.push_back(std::log(p.Hz));
    FdB.push_back(p.dB);
  }
  if (!FHasPhase) return;
  // Continued from the first point, each step the short way round; exactly the file's value
  // where no turn is added.
  FUnwrappedDeg.resize(FPoints.size());
  FUnwrappedDeg[0] = FPoints[0].Deg;
  for (std::size_t k = 1; k < FPoints.size(); ++k) {
    const double p = FPoints[k].Deg, d = p - FUnwrappedDeg[k - 1];
    FUnwrappedDeg[k] = std::fabs(d) < 1e9
                           ? p - 360.0 * std::nearbyint(d / 360.0)
                           : FUnwrappedDeg[k - 1] + std::remainder(std::remainder(p, 360.0) -
                                                                       std::remainder(FUnwrappedDeg[k - 1], 360.0),
                                                                   360.0);
  }
}

double TCalibration::Interpolate(double hz, const std::vector<double>& values) const {
  if (std::isnan(hz)) return kNaN;
  if (hz <= FPoints.front().Hz) return values.front();
  if (hz >= FPoints.back().Hz) return values.back();
  const auto above = std::upper_bound(FPoints.begin(), FPoints.end(), hz,
                                      [](double f, const TCalibrationPoint& p) { return f < p.Hz; });
  const std::size_t b = static_cast<std::size_t>(above - FPoints.begin()), a = b - 1;
  if (FPoints[a].Hz == hz) return values[a];
  const double span = FLogHz[b] - FLogHz[a];
  // Two frequencies a rounding apart have one logarithm.
  if (!(span > 0)) return values[b];
  return Between(values[a], values[b], std::clamp((std::log(hz) - FLogHz[a]) / span, 0.0, 1.0));
}

double TCalibration::GaindB(double hz) const { return FPoints.empty() ? 0.0 : Interpolate(hz, FdB); }

double TCalibration::PhaseDeg(double hz) const {
  return FHasPhase ? Interpolate(hz, FUnwrappedDeg) : kNaN;
}

TCalibrationParse ParseCalibration(std::string_view text) {
  TCalibrationParse result;
  const auto fail = [&](std::size_t line, const std::string& what) {
    result.Reason = Line(line, what);
    return result;
  };
  if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF")
    return fail(1, "the text is UTF-16; a calibration file is plain ASCII or UTF-8");
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::vector<TCalibrationPoint> points;
  std::string sensitivity;
  double sensitivitydB = kNaN;
  bool sensitivityFound = false;
  int columns = 0;
  std::size_t columnsLine = 0, previousLine = 0, line = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view content = text.substr(at, end - at);
    at = end + 1;
    if (++line > kCalibrationMaxLines)
      return fail(line, "more than " + std::to_string(kCalibrationMaxLines) + " lines");
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    content = Trimmed(content);
    if (content.empty()) continue;

    std::string_view comment;
    const bool isComment = CommentText(content, comment);
    // The sensitivity line heads the file: a comment, a quoted line or a plain line of text.
    if (points.empty() && !sensitivityFound && (isComment || !(content[0] >= '0' && content[0] <= '9')) &&
        HasSens(content)) {
      const std::string_view shown = isComment ? comment : content;
      sensitivity = Printable(shown, kSensitivityChars);
      sensitivitydB = SensitivitydB(shown);
      sensitivityFound = true;
      continue;
    }
    if (isComment) continue;

    double v[3] = {0, 0, kNaN};
    int count = 0;
    if (std::string why = ReadFields(content, v, count); !why.empty()) return fail(line, why);
    if (count == 1) return fail(line, "one number; a point is a frequency and a dB value");
    if (columns == 0) {
      columns = count;
      columnsLine = line;
    } else if (count != columns) {
      return fail(line, std::to_string(count) + " numbers, but line " + std::to_string(columnsLine) +
                            " has " + std::to_string(columns) + " (a phase in every line or in none)");
    }
    if (!(v[0] > 0)) return fail(line, "the frequency " + Shortest(v[0]) + " Hz is not above 0");
    if (!points.empty() && !(v[0] > points.back().Hz))
      return fail(line, "the frequency " + Shortest(v[0]) + " Hz is not above " + Shortest(points.back().Hz) +
                            " Hz on line " + std::to_string(previousLine) + " (frequencies must increase)");
    points.push_back({v[0], v[1], count == 3 ? v[2] : kNaN});
    previousLine = line;
  }
  if (points.empty()) {
    result.Reason = "no points: no line holds a frequency and a dB value";
    return result;
  }
  result.Ok = true;
  result.Calibration = TCalibration(std::move(points));
  result.Calibration.SensitivityText = std::move(sensitivity);
  result.Calibration.SensitivitydB = sensitivitydB;
  return result;
}
