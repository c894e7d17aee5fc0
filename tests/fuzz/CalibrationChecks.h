// What must hold for any bytes read as a calibration file, shared by the fuzz target and the
// corpus replay of the unit tests. Returns the first broken property, or "".
// Plain C++: the fuzz target builds the reader alone, without Qt.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "Calibration.h"

namespace calibration_checks {

inline std::string At(const char* what, std::size_t i) {
  return std::string(what) + " at point " + std::to_string(i);
}

inline std::string Check(std::string_view text) {
  const TCalibrationParse parse = ParseCalibration(text);
  if (parse.Ok != parse.Reason.empty()) return "Ok and Reason disagree";
  std::string_view body = text;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t end = std::min(body.find('\n', at), body.size());
    lines.push_back(body.substr(at, end - at));
    at = end + 1;
  }

  if (!parse.Ok) {
    const std::string& r = parse.Reason;
    if (!parse.Calibration.Empty()) return "a refusal keeps points";
    if (r == "no points: no line holds a frequency and a dB value") return {};
    std::size_t digits = 5;
    while (digits < r.size() && r[digits] >= '0' && r[digits] <= '9') ++digits;
    if (r.rfind("line ", 0) != 0 || digits == 5 || r.compare(digits, 2, ": ") != 0 || r.size() <= digits + 2)
      return "reason not of the form \"line N: ...\": " + r;
    const unsigned long line = std::stoul(r.substr(5, digits - 5));
    if (line < 1 || line > std::max<std::size_t>(1, lines.size()))
      return "reason names a line the text does not have: " + r;
    return {};
  }

  const TCalibration& c = parse.Calibration;
  const std::vector<TCalibrationPoint>& p = c.Points();
  if (p.empty() || p.size() > kCalibrationMaxLines || lines.size() > kCalibrationMaxLines)
    return "accepted with " + std::to_string(p.size()) + " points in " + std::to_string(lines.size()) + " lines";
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!std::isfinite(p[i].Hz) || !(p[i].Hz > 0) || !std::isfinite(p[i].dB))
      return At("non-finite or non-positive value", i);
    if (i > 0 && !(p[i].Hz > p[i - 1].Hz)) return At("frequency not rising", i);
    if (c.HasPhase() != std::isfinite(p[i].Deg)) return At("phase unlike HasPhase", i);
  }
  for (const char ch : c.SensitivityText)
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F)
      return "an unprintable character in the sensitivity text";
  if (c.SensitivityText.size() > 200) return "a sensitivity text longer than a line";
  if (!std::isnan(c.SensitivitydB) && (!std::isfinite(c.SensitivitydB) || c.SensitivityText.empty()))
    return "a sensitivity in dB without its line, or not finite";

  // Every line that is neither blank nor a comment is a point, or the plain sensitivity line.
  std::size_t other = 0;
  for (std::string_view line : lines) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    const char ch = line[first];
    if (ch == '*' || ch == '#' || ch == ';' || ch == '"' || line.substr(first, 2) == "//") continue;
    ++other;
  }
  if (other != p.size() && !(other == p.size() + 1 && !c.SensitivityText.empty()))
    return std::to_string(p.size()) + " points from " + std::to_string(other) + " lines of numbers";

  // Interpolated: finite everywhere, the ends held beyond them, the points' own values at them,
  // between the neighbours' in between; the phase continues less than half a turn a step.
  std::vector<double> grid;
  const double lo = std::log(p.front().Hz), hi = std::log(p.back().Hz);
  for (int j = 0; j <= 64; ++j) grid.push_back(std::exp(lo - 1 + (hi - lo + 2) * j / 64));
  const std::size_t sampled = std::min<std::size_t>(p.size(), 2000);
  for (std::size_t i = 0; i < sampled; ++i) grid.push_back(p[i].Hz);
  for (const double f : grid) {
    if (!(f > 0) || !std::isfinite(f)) continue;
    const double dB = c.GaindB(f), deg = c.PhaseDeg(f);
    if (!std::isfinite(dB) || c.HasPhase() != std::isfinite(deg))
      return "interpolation gives a non-finite value at " + std::to_string(f) + " Hz";
    const std::size_t k = static_cast<std::size_t>(
        std::upper_bound(p.begin(), p.end(), f, [](double x, const TCalibrationPoint& q) { return x < q.Hz; }) -
        p.begin());
    if (k == 0 || k == p.size()) {
      if (dB != (k == 0 ? p.front() : p.back()).dB) return "an end's value not held beyond it";
    } else if (p[k - 1].Hz == f) {
      if (dB != p[k - 1].dB) return At("a point's own value not given at it", k - 1);
    } else if (dB < std::min(p[k - 1].dB, p[k].dB) || dB > std::max(p[k - 1].dB, p[k].dB)) {
      return "interpolated value outside its neighbours' at " + std::to_string(f) + " Hz";
    }
  }
  for (std::size_t i = 1; c.HasPhase() && i < sampled; ++i) {
    const double a = c.PhaseDeg(p[i - 1].Hz), b = c.PhaseDeg(p[i].Hz);
    if (std::fabs(a) < 1e9 && std::fabs(b - a) > 180 + 1e-6) return At("phase jumps more than 180 degrees", i);
    if (std::fabs(p[i].Deg) < 1e6 && std::fabs(b) < 1e6 && std::fabs(std::remainder(b - p[i].Deg, 360.0)) > 1e-6)
      return At("unwrapped phase not the point's angle", i);
  }
  return {};
}

}  // namespace calibration_checks
