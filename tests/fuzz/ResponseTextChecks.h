// What must hold for any bytes read as a response text (impulse response files), shared by the
// fuzz target and the corpus replay of the unit tests. Returns the first broken property, or "".
// Plain C++: the fuzz target builds the reader alone, without Qt.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ResponseText.h"

namespace response_text_checks {

// Within half a unit of the printed decimals, and the double's own rounding of large values.
inline bool Printed(double given, double back, int decimals) {
  return std::fabs(back - given) <= 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9) +
                                        4 * std::fabs(given) * 1e-16;
}

inline std::string At(const char* what, std::size_t i) {
  return std::string(what) + " at point " + std::to_string(i);
}

// Lines as the reader counts them: a line end does not begin another line.
inline std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

inline std::string Check(std::string_view text) {
  const TResponseTextParse parse = ParseResponseText(text);
  if (parse.Ok != parse.Reason.empty()) return "Ok and Reason disagree";
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  const std::vector<std::string_view> lines = Lines(body);

  if (!parse.Ok) {
    // "line N: why", N a line of the text.
    const std::string& r = parse.Reason;
    std::size_t digits = 5;
    while (digits < r.size() && r[digits] >= '0' && r[digits] <= '9') ++digits;
    if (r.rfind("line ", 0) != 0 || digits == 5 || r.compare(digits, 2, ": ") != 0 ||
        r.size() <= digits + 2)
      return "reason not of the form \"line N: ...\": " + r;
    const unsigned long line = std::stoul(r.substr(5, digits - 5));
    if (line < 1 || line > std::max<std::size_t>(1, lines.size()))
      return "reason names a line the text does not have: " + r;
    if (!parse.Text.Points.empty() || !parse.Text.Comments.empty()) return "a refusal keeps data";
    return {};
  }

  const TResponseText& t = parse.Text;
  const std::vector<TResponsePoint>& p = t.Points;
  if (p.size() < 2 || p.size() > kResponseTextMaxPoints)
    return "accepted with " + std::to_string(p.size()) + " points";
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!std::isfinite(p[i].Hz) || !(p[i].Hz > 0) || !std::isfinite(p[i].dB))
      return At("non-finite or non-positive value", i);
    if (i > 0 && !(p[i].Hz > p[i - 1].Hz)) return At("frequency not rising", i);
    if (t.HasPhase != std::isfinite(p[i].Deg)) return At("phase unlike HasPhase", i);
  }

  // Every line is a point, a comment or blank: counted by their first character alone.
  std::size_t points = 0, comments = 0;
  for (std::string_view line : lines) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    const char c = line[first];
    if (c == '*' || c == '#' || c == ';' || line.substr(first, 2) == "//")
      ++comments;
    else if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')
      ++points;
    else
      return "accepted a line that starts with '" + std::string(1, c) + "'";
  }
  if (points != p.size() || comments != t.Comments.size())
    return "read " + std::to_string(p.size()) + " points and " +
           std::to_string(t.Comments.size()) + " comments from " + std::to_string(points) +
           " point lines and " + std::to_string(comments) + " comment lines";

  // Written and read back: the same comments, and the points whose frequencies print above 0
  // and above the previous one's, to the printed decimals.
  std::vector<std::pair<double, const TResponsePoint*>> expected;  // printed Hz, point
  for (const TResponsePoint& q : p) {
    char buffer[400];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, q.Hz,
                                   std::chars_format::fixed, 3).ptr;
    double hz = 0;
    std::from_chars(buffer, end, hz);
    if (hz > (expected.empty() ? 0.0 : expected.back().first)) expected.push_back({hz, &q});
  }
  const std::string written = FormatResponseText(p, t.Comments, t.HasPhase);
  const TResponseTextParse back = ParseResponseText(written);
  if (expected.size() < 2) {
    if (back.Ok) return "a text of fewer than 2 points was written";
  } else {
    if (!back.Ok) return "a written text does not read back: " + back.Reason;
    if (back.Text.Comments != t.Comments) return "comments do not read back";
    if (back.Text.HasPhase != t.HasPhase) return "phase column lost";
    if (back.Text.Points.size() != expected.size())
      return "read back " + std::to_string(back.Text.Points.size()) + " of " +
             std::to_string(expected.size()) + " points written";
    for (std::size_t b = 0; b < expected.size(); ++b) {
      const TResponsePoint& q = back.Text.Points[b];
      const TResponsePoint& given = *expected[b].second;
      if (q.Hz != expected[b].first) return At("frequency does not read back", b);
      if (!Printed(given.dB, q.dB, 4)) return At("level does not read back", b);
      if (t.HasPhase && !Printed(given.Deg, q.Deg, 3)) return At("phase does not read back", b);
    }
  }

  // Interpolated: the ends' values outside, the points' own values at them, values between
  // the neighbours' in between; the phase continues the short way round and keeps each
  // point's angle.
  std::vector<double> grid;
  const double lo = p.front().Hz, hi = p.back().Hz;
  for (int j = 0; j <= 64; ++j)
    grid.push_back(std::exp(std::log(lo) - 1 + (std::log(hi) - std::log(lo) + 2) * j / 64));
  const std::size_t sampled = std::min<std::size_t>(p.size(), 2000);
  for (std::size_t i = 0; i < sampled; ++i) grid.push_back(p[i].Hz);
  const std::vector<TResponsePoint> curve = InterpolateResponse(t, grid);
  if (curve.size() != grid.size()) return "interpolation gives a curve of another length";
  std::vector<double> unwrapped(p.size(), std::nan(""));
  for (std::size_t j = 0; j < grid.size(); ++j) {
    const double f = grid[j];
    const TResponsePoint& c = curve[j];
    if (c.Hz != f) return "interpolation moved a frequency";
    if (!std::isfinite(c.dB) || t.HasPhase != std::isfinite(c.Deg))
      return "interpolation gives a non-finite value at " + std::to_string(f) + " Hz";
    const std::size_t k = static_cast<std::size_t>(
        std::upper_bound(p.begin(), p.end(), f,
                         [](double x, const TResponsePoint& q) { return x < q.Hz; }) -
        p.begin());
    if (k == 0 || k == p.size()) {
      if (c.dB != (k == 0 ? p.front() : p.back()).dB) return "an end's level not kept beyond it";
    } else if (p[k - 1].Hz == f) {
      if (c.dB != p[k - 1].dB) return At("a point's own level not given at it", k - 1);
      unwrapped[k - 1] = c.Deg;
    } else if (c.dB < std::min(p[k - 1].dB, p[k].dB) || c.dB > std::max(p[k - 1].dB, p[k].dB)) {
      return "interpolated level outside its neighbours' at " + std::to_string(f) + " Hz";
    }
    if (j < 65 && InterpolateResponse(t, f).dB != c.dB) return "one frequency alone differs";
  }
  for (std::size_t i = 0; t.HasPhase && i < sampled; ++i) {
    if (std::fabs(p[i].Deg) < 1e6 && std::fabs(unwrapped[i]) < 1e6 &&
        std::fabs(std::remainder(unwrapped[i] - p[i].Deg, 360.0)) > 1e-6)
      return At("unwrapped phase not the point's angle", i);
    if (i > 0 && std::fabs(unwrapped[i]) < 1e9 &&
        std::fabs(unwrapped[i] - unwrapped[i - 1]) > 180 + 1e-6)
      return At("unwrapped phase jumps more than 180 degrees", i);
  }
  return {};
}

}  // namespace response_text_checks
