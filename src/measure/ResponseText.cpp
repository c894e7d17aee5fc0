#include "ResponseText.h"

#include "PointLines.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using point_lines::IsSeparator;
using point_lines::IsSpace;
using point_lines::Quoted;
using point_lines::ReadFields;
using point_lines::ReadNumber;
using point_lines::Shortest;

std::string Line(std::size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}


// The comment's text when the line is one: after its marker and one space.
bool CommentText(std::string_view line, std::string_view& text) {
  std::size_t marker = 0;
  if (!line.empty() && (line[0] == '*' || line[0] == '#' || line[0] == ';'))
    marker = 1;
  else if (line.substr(0, 2) == "//")
    marker = 2;
  else
    return false;
  text = line.substr(marker);
  if (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  return true;
}

// Fixed-point text of v with `decimals` places (locale-free).
void PutFixed(std::string& out, double v, int decimals) {
  char buffer[400];  // DBL_MAX has 309 digits before the point
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed,
                                 decimals).ptr;
  out.append(buffer, end);
}

// The phase continued from the first point: each step taken the short way round.
std::vector<double> Unwrapped(const std::vector<TResponsePoint>& points) {
  std::vector<double> u(points.size());
  if (points.empty()) return u;
  u[0] = points[0].Deg;
  for (std::size_t k = 1; k < points.size(); ++k) {
    const double p = points[k].Deg, d = p - u[k - 1];
    if (std::fabs(d) < 1e9) {
      // Exactly the file's value where no turn is added.
      u[k] = p - 360.0 * std::nearbyint(d / 360.0);
    } else {
      // Far apart (or non-finite): the step from the two angles alone, which cannot overflow.
      u[k] = u[k - 1] + std::remainder(std::remainder(p, 360.0) - std::remainder(u[k - 1], 360.0),
                                       360.0);
    }
  }
  return u;
}

// a to b at t in [0, 1]; never past either, even where rounding near DBL_MAX would overflow.
double Between(double a, double b, double t) {
  return std::clamp((1 - t) * a + t * b, std::min(a, b), std::max(a, b));
}

}  // namespace

TResponseTextParse ParseResponseText(std::string_view text) {
  TResponseTextParse result;
  TResponseText& out = result.Text;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  auto fail = [&](std::size_t line, const std::string& what) {
    result.Reason = Line(line, what);
    result.Text = {};
    return result;
  };

  int columns = 0;
  std::size_t columnsLine = 0, line = 0;
  for (std::size_t at = 0; at < text.size() || line == 0;) {
    ++line;
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view whole = text.substr(at, end - at);
    at = end + 1;
    while (!whole.empty() && whole.back() == '\r') whole.remove_suffix(1);
    std::size_t first = 0;
    while (first < whole.size() && IsSpace(whole[first])) ++first;
    const std::string_view s = whole.substr(first);
    if (s.empty()) continue;
    if (std::string_view comment; CommentText(s, comment)) {
      out.Comments.emplace_back(comment);
      continue;
    }

    double v[3];
    int count = 0;
    if (std::string why = ReadFields(s, v, count); !why.empty()) return fail(line, why);
    if (count < 2) return fail(line, "one number; a point is frequency and dB, optionally degrees");
    if (columns == 0) {
      columns = count;
      columnsLine = line;
    } else if (count != columns) {
      return fail(line, std::to_string(count) + " numbers where line " +
                            std::to_string(columnsLine) + " has " + std::to_string(columns));
    }
    if (out.Points.size() == kResponseTextMaxPoints)
      return fail(line, "more than " + std::to_string(kResponseTextMaxPoints) + " points");
    if (v[0] <= 0) return fail(line, "the frequency " + Shortest(v[0]) + " Hz is not above 0");
    if (!out.Points.empty() && v[0] <= out.Points.back().Hz)
      return fail(line, "the frequency " + Shortest(v[0]) + " Hz does not rise above " +
                            Shortest(out.Points.back().Hz) + " Hz before it");
    out.Points.push_back({v[0], v[1], count == 3 ? v[2] : kNaN});
  }
  if (out.Points.size() < 2) {
    // line is the text's last (a final line end does not begin another).
    return fail(line, "the text ends after " + std::to_string(out.Points.size()) +
                          (out.Points.size() == 1 ? " point" : " points") +
                          "; at least 2 are needed");
  }
  out.HasPhase = columns == 3;
  result.Ok = true;
  return result;
}

std::string FormatResponseText(const std::vector<TResponsePoint>& points,
                               const std::vector<std::string>& comments, bool withPhase) {
  std::string out;
  for (const std::string& comment : comments) {
    std::string_view rest = comment;
    for (;;) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view piece = rest.substr(0, end);
      while (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      out += "* ";
      out += piece;
      out += '\n';
      if (end == rest.size()) break;
      rest.remove_prefix(end + 1);
    }
  }

  // Kept: what reads back, with frequencies still rising at 3 decimals.
  std::vector<std::size_t> kept;
  double previous = 0;
  std::string hz;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const TResponsePoint& p = points[i];
    if (!std::isfinite(p.Hz) || !std::isfinite(p.dB)) continue;
    hz.clear();
    PutFixed(hz, p.Hz, 3);
    double printed = 0;
    std::from_chars(hz.data(), hz.data() + hz.size(), printed);
    if (printed <= previous) continue;
    previous = printed;
    kept.push_back(i);
  }
  const bool phase = withPhase && std::all_of(kept.begin(), kept.end(), [&](std::size_t i) {
                       return std::isfinite(points[i].Deg);
                     });
  for (const std::size_t i : kept) {
    PutFixed(out, points[i].Hz, 3);
    out += ' ';
    PutFixed(out, points[i].dB, 4);
    if (phase) {
      out += ' ';
      PutFixed(out, points[i].Deg, 3);
    }
    out += '\n';
  }
  return out;
}

std::vector<TResponsePoint> InterpolateResponse(const TResponseText& text,
                                                std::span<const double> hz) {
  const std::vector<TResponsePoint>& p = text.Points;
  std::vector<TResponsePoint> out(hz.size());
  const std::vector<double> u = text.HasPhase ? Unwrapped(p) : std::vector<double>();
  auto deg = [&](std::size_t k) { return text.HasPhase ? u[k] : kNaN; };
  for (std::size_t j = 0; j < hz.size(); ++j) {
    const double f = hz[j];
    TResponsePoint& r = out[j];
    r.Hz = f;
    if (p.empty()) {
      r.Deg = kNaN;
    } else if (!(f > p.front().Hz)) {  // NaN too
      r.dB = p.front().dB;
      r.Deg = deg(0);
    } else if (f >= p.back().Hz) {
      r.dB = p.back().dB;
      r.Deg = deg(p.size() - 1);
    } else {
      // p[k].Hz < f < p[k + 1].Hz
      const std::size_t k = static_cast<std::size_t>(
          std::upper_bound(p.begin(), p.end(), f,
                           [](double x, const TResponsePoint& q) { return x < q.Hz; }) -
          p.begin() - 1);
      // Differences of logarithms: a ratio of far-apart frequencies could overflow.
      const double span = std::log(p[k + 1].Hz) - std::log(p[k].Hz);
      const double t =
          span > 0 ? std::clamp((std::log(f) - std::log(p[k].Hz)) / span, 0.0, 1.0) : 0.0;
      r.dB = Between(p[k].dB, p[k + 1].dB, t);
      r.Deg = text.HasPhase ? Between(u[k], u[k + 1], t) : kNaN;
    }
  }
  return out;
}

TResponsePoint InterpolateResponse(const TResponseText& text, double hz) {
  return InterpolateResponse(text, std::span<const double>(&hz, 1))[0];
}
