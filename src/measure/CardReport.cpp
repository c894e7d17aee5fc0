#include "CardReport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

// Shortest text that reads back to the same double (precision 0), or that many digits.
std::string Number(double v, int precision = 0) {
  if (!std::isfinite(v)) return "";
  char buffer[64];
  const auto r = precision > 0
                     ? std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, precision)
                     : std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, r.ptr);
}

std::string Fixed(double v, int decimals) {
  if (!std::isfinite(v)) return "&ndash;";
  if (v <= -299.99) return "silent";  // nothing at all came back (a digital loopback)
  char buffer[64];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, decimals);
  std::string s(buffer, r.ptr);
  // A value that rounds to zero shows no sign.
  if (s[0] == '-' && s.find_first_of("123456789") != std::string::npos) return "&minus;" + s.substr(1);
  return s[0] == '-' ? s.substr(1) : s;
}

std::optional<double> ParseNumber(const std::string& text) {
  double v = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, v);
  if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c == '\r' || c == '\n' ? ' ' : c;
  }
  return out + "\"";
}

// One CSV line's fields; false for an unclosed quote.
bool SplitCsv(const std::string& line, std::vector<std::string>& fields) {
  fields.assign(1, "");
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return !quoted;
}

std::string Html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

struct TInfoRow {
  const char* Key;
  const char* Name;
  std::string TCardReport::*Field;
};
const TInfoRow kInfo[] = {
    {"date", "Date", &TCardReport::Date},
    {"output", "Output device", &TCardReport::Output},
    {"input", "Input device", &TCardReport::Input},
    {"backend", "Sound system", &TCardReport::Backend},
    {"program", "Program", &TCardReport::Program},
    {"calibration", "Calibration file", &TCardReport::Calibration},
};

// ---- plots ----------------------------------------------------------------------------------

struct TSeries {
  const std::vector<double>* Hz;
  const std::vector<double>* dB;
  const char* Colour;
  bool Dashed;
  std::string Label;
};

constexpr int kPlotWidth = 720, kPlotHeight = 300;
constexpr int kLeft = 56, kRight = 16, kTop = 44, kBottom = 36;

std::string Plot(const std::string& title, const std::vector<TSeries>& series, double top, double bottom, double step,
                 const char* unit) {
  const double w = kPlotWidth - kLeft - kRight, h = kPlotHeight - kTop - kBottom;
  const double lo = std::log10(20.0), hi = std::log10(20000.0);
  const auto x = [&](double hz) { return kLeft + (std::log10(hz) - lo) / (hi - lo) * w; };
  const auto y = [&](double dB) { return kTop + (top - std::clamp(dB, bottom, top)) / (top - bottom) * h; };
  std::ostringstream svg;
  svg << "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kPlotWidth << "\" height=\"" << kPlotHeight
      << "\" viewBox=\"0 0 " << kPlotWidth << ' ' << kPlotHeight << "\" role=\"img\" aria-label=\"" << Html(title)
      << "\">\n<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << w << "\" height=\"" << h
      << "\" class=\"frame\"/>\n";
  for (double hz : {20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0}) {
    svg << "<line x1=\"" << Number(x(hz), 6) << "\" y1=\"" << kTop << "\" x2=\"" << Number(x(hz), 6) << "\" y2=\""
        << kTop + h << "\" class=\"grid\"/><text x=\"" << Number(x(hz), 6) << "\" y=\"" << kTop + h + 16
        << "\" class=\"tick\" text-anchor=\"middle\">"
        << (hz >= 1000 ? Number(hz / 1000, 3) + "k" : Number(hz, 3)) << "</text>\n";
  }
  for (double v = bottom; v <= top + 1e-9; v += step)
    svg << "<line x1=\"" << kLeft << "\" y1=\"" << Number(y(v), 6) << "\" x2=\"" << kLeft + w << "\" y2=\""
        << Number(y(v), 6) << "\" class=\"grid\"/><text x=\"" << kLeft - 6 << "\" y=\"" << Number(y(v) + 4, 6)
        << "\" class=\"tick\" text-anchor=\"end\">" << Number(v, 4) << "</text>\n";
  svg << "<text x=\"" << kLeft << "\" y=\"18\" class=\"title\">" << Html(title) << "</text><text x=\""
      << kLeft + w << "\" y=\"" << kTop + h + 32 << "\" class=\"tick\" text-anchor=\"end\">Hz</text><text x=\"8\" y=\""
      << kTop - 8 << "\" class=\"tick\">" << unit << "</text>\n";
  int legend = 0;
  for (const TSeries& s : series) {
    std::string points;
    for (std::size_t i = 0; i < s.Hz->size() && i < s.dB->size(); ++i) {
      const double v = (*s.dB)[i];
      if (!std::isfinite(v)) continue;
      points += Number(x((*s.Hz)[i]), 6) + "," + Number(y(v), 6) + " ";
    }
    if (points.empty()) continue;
    svg << "<polyline fill=\"none\" stroke=\"" << s.Colour << "\" stroke-width=\"1.5\""
        << (s.Dashed ? " stroke-dasharray=\"6 4\"" : "") << " points=\"" << points << "\"/>\n";
    // Legends stand in a row above the frame, right-aligned, clear of the curves.
    const int lx = kLeft + static_cast<int>(w) - 130 * (static_cast<int>(series.size()) - legend++), ly = 34;
    svg << "<line x1=\"" << lx << "\" y1=\"" << ly - 4 << "\" x2=\"" << lx + 24 << "\" y2=\"" << ly - 4
        << "\" stroke=\"" << s.Colour << "\" stroke-width=\"2\"" << (s.Dashed ? " stroke-dasharray=\"6 4\"" : "")
        << "/><text x=\"" << lx + 30 << "\" y=\"" << ly << "\" class=\"tick\">" << Html(s.Label) << "</text>\n";
  }
  svg << "</svg></figure>\n";
  return svg.str();
}

// Decimals a figure is shown with in the page (the CSV keeps them all).
int Decimals(const std::string& unit) {
  if (unit == "%") return 4;
  if (unit == "% of full scale") return 5;
  if (unit == "frames" || unit == "LSB") return 2;
  return 2;
}

}  // namespace

std::string CardReportCsv(const TCardReport& report) {
  std::string out = "Key,Quantity,Unit,Left,Right\n";
  for (const TInfoRow& row : kInfo)
    out += std::string(row.Key) + "," + row.Name + ",," + CsvField(report.*row.Field) + ",\n";
  out += "delay_method,Round-trip delay measured by,," + CsvField(report.Result.DelayMethod) + ",\n";
  for (const TCardFigure& f : report.Result.Figures)
    out += f.Key + "," + CsvField(f.Name) + "," + CsvField(f.Unit) + "," + Number(f.Left) + "," + Number(f.Right) + "\n";
  for (std::size_t i = 0; i < report.Result.CurveHz.size(); ++i) {
    const double hz = report.Result.CurveHz[i];
    out += "curve:" + Number(hz, 8) + ",Response at " + Number(hz, 6) + " Hz (re 1 kHz),dB," +
           Number(report.Result.CurvedB[0][i]) + "," + Number(report.Result.CurvedB[1][i]) + "\n";
  }
  return out;
}

std::optional<TCardReport> ParseCardReportCsv(const std::string& text, std::string* error) {
  const auto fail = [error](int line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return std::nullopt;
  };
  TCardReport report;
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> fields;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1) {
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
      if (line != "Key,Quantity,Unit,Left,Right") return fail(1, "this is not a sound card test's CSV file");
      continue;
    }
    if (line.empty()) continue;
    if (!SplitCsv(line, fields)) return fail(number, "a quote is not closed");
    if (fields.size() != 5) return fail(number, "5 fields expected, " + std::to_string(fields.size()) + " found");
    const std::string& key = fields[0];
    bool info = false;
    for (const TInfoRow& row : kInfo)
      if (key == row.Key) {
        report.*row.Field = fields[3];
        info = true;
      }
    if (info) continue;
    if (key == "delay_method") {
      report.Result.DelayMethod = fields[3];
      continue;
    }
    double values[2];
    for (int ch = 0; ch < 2; ++ch) {
      if (fields[3 + ch].empty()) {
        values[ch] = kNoFigure;
        continue;
      }
      const std::optional<double> v = ParseNumber(fields[3 + ch]);
      if (!v) return fail(number, "\"" + fields[3 + ch] + "\" is not a number");
      values[ch] = *v;
    }
    if (key.rfind("curve:", 0) == 0) {
      const std::optional<double> hz = ParseNumber(key.substr(6));
      if (!hz || *hz <= 0 || (!report.Result.CurveHz.empty() && *hz <= report.Result.CurveHz.back()))
        return fail(number, "the curve's frequencies must rise");
      report.Result.CurveHz.push_back(*hz);
      for (int ch = 0; ch < 2; ++ch) report.Result.CurvedB[ch].push_back(values[ch]);
      continue;
    }
    report.Result.Figures.push_back({key, fields[1], fields[2], values[0], values[1]});
  }
  if (number == 0) return fail(1, "the file is empty");
  report.Result.Valid = !report.Result.Figures.empty();
  return report;
}

std::string CardReportHtml(const std::vector<TCardReport>& reports) {
  if (reports.empty()) return {};
  const TCardReport& now = reports[0];
  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Sound card test, "
       << Html(now.Date) << "</title>\n<style>\n"
       << "body{font-family:sans-serif;margin:24px;color:#111;max-width:1000px}\n"
       << "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:24px 0 8px}\n"
       << "table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #bbb;padding:3px 8px}\n"
       << "th{background:#eee;text-align:left}td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
       << "th.run{text-align:center}.meta td:first-child{font-weight:bold}\n"
       << "figure{margin:12px 0}svg{background:#fff}.frame{fill:none;stroke:#444}.grid{stroke:#ddd}\n"
       << ".tick{font-size:11px;fill:#333}.title{font-size:13px;font-weight:bold;fill:#111}\n"
       << "dl dt{font-weight:bold;margin-top:6px}dl dd{margin-left:16px}\n"
       << "</style></head>\n<body>\n<h1>Sound card test</h1>\n";

  page << "<table class=\"meta\">\n";
  for (const TInfoRow& row : kInfo) {
    page << "<tr><td>" << row.Name << "</td>";
    for (const TCardReport& r : reports) {
      const std::string& v = r.*row.Field;
      page << "<td>" << (v.empty() ? std::string("none") : Html(v)) << "</td>";
    }
    page << "</tr>\n";
  }
  page << "</table>\n";

  // Figures: this run's, and each earlier report's beside it.
  page << "<h2>Figures</h2>\n<table class=\"figures\">\n<tr><th rowspan=\"2\">Quantity</th><th rowspan=\"2\">Unit</th>";
  for (std::size_t i = 0; i < reports.size(); ++i)
    page << "<th class=\"run\" colspan=\"2\">" << (i == 0 ? "This run" : "Beside: ") << (i == 0 ? "" : Html(reports[i].Date))
         << "</th>";
  page << "</tr>\n<tr>";
  for (std::size_t i = 0; i < reports.size(); ++i) page << "<th>Left</th><th>Right</th>";
  page << "</tr>\n";
  for (const TCardFigure& f : now.Result.Figures) {
    page << "<tr id=\"" << Html(f.Key) << "\"><td>" << Html(f.Name) << "</td><td>" << Html(f.Unit) << "</td>";
    for (const TCardReport& r : reports) {
      const TCardFigure* g = r.Result.Find(f.Key);
      const int decimals = Decimals(f.Unit);
      page << "<td class=\"n\">" << (g ? Fixed(g->Left, decimals) : "&ndash;") << "</td><td class=\"n\">"
           << (g ? Fixed(g->Right, decimals) : "&ndash;") << "</td>";
    }
    page << "</tr>\n";
  }
  page << "</table>\n";

  // Plots.
  page << "<h2>Plots</h2>\n";
  static const char* kColours[2] = {"#c00000", "#0050c0"};
  std::vector<TSeries> response;
  for (std::size_t i = 0; i < reports.size(); ++i)
    for (int ch = 0; ch < 2; ++ch)
      response.push_back({&reports[i].Result.CurveHz, &reports[i].Result.CurvedB[ch], kColours[ch], i > 0,
                          std::string(ch == 0 ? "Left" : "Right") +
                              (i == 0 ? "" : reports.size() > 2 ? ", beside " + std::to_string(i) : ", beside")});
  // The scale holds every curve, in 3 dB steps, from at least +3 to -12 dB and at most 60 dB down.
  double top = 3, bottom = -12;
  for (const TSeries& series : response)
    for (double v : *series.dB)
      if (std::isfinite(v)) {
        top = std::max(top, 3 * std::ceil(v / 3));
        bottom = std::max(-60.0, std::min(bottom, 3 * std::floor(v / 3)));
      }
  page << Plot("Frequency response, re 1 kHz", response, top, bottom, top - bottom > 30 ? 6 : 3, "dB");
  if (!now.Result.SpectrumHz.empty()) {
    std::vector<TSeries> noise, tone;
    for (int ch = 0; ch < 2; ++ch) {
      noise.push_back({&now.Result.SpectrumHz, &now.Result.NoiseSpectrum[ch], kColours[ch], false, ch == 0 ? "Left" : "Right"});
      tone.push_back({&now.Result.SpectrumHz, &now.Result.ToneSpectrum[ch], kColours[ch], false, ch == 0 ? "Left" : "Right"});
    }
    page << Plot("Noise spectrum (silence; largest bin per 1/48 octave)", noise, -60, -180, 20, "dBFS");
    page << Plot("THD+N residual spectrum (997 Hz at -1 dBFS, the tone removed)", tone, -60, -180, 20, "dBFS");
  }

  // Settings and definitions, so that the page says what its numbers are.
  const TCardTestSettings& s = now.Settings;
  page << "<h2>Settings</h2>\n<ul>\n"
       << "<li>Sample rate " << Number(s.SampleRate) << " Hz, 16 bits, two channels; the output wired to the input.</li>\n"
       << "<li>Synchronised exponential sweep from " << Number(s.SweepF1()) << " Hz to "
       << Number(s.SweepF2()) << " Hz, about " << Number(s.SweepSeconds) << " s at " << Number(s.SweepdBFS) << " dBFS, after "
       << Number(s.LeadInSeconds) << " s of silence.</li>\n"
       << "<li>Silence for noise and DC offset: " << Number(s.NoiseSeconds) << " s, its last "
       << Number(s.NoiseSeconds - 0.5) << " s analysed.</li>\n"
       << "<li>Tones: " << Number(s.ToneSeconds) << " s each, the middle " << Number(s.AnalyseSeconds)
       << " s analysed: " << Number(s.ToneHz) << " Hz at " << Number(s.LowdBFS) << " dBFS and at " << Number(s.HighdBFS)
       << " dBFS; SMPTE 60 Hz + 7 kHz (4:1) and CCIF 19 kHz + 20 kHz (1:1) at " << Number(s.HighdBFS)
       << " dBFS peak; " << Number(s.CrosstalkHz[0]) << " Hz, " << Number(s.CrosstalkHz[1]) << " Hz and "
       << Number(s.CrosstalkHz[2]) << " Hz at " << Number(s.CrosstalkdBFS) << " dBFS each on one channel at a time.</li>\n"
       << "<li>Bandwidth of noise and THD+N: " << Number(s.BandLow) << " Hz to " << Number(s.BandHigh) << " Hz.</li>\n"
       << "<li>Round-trip delay measured by " << Html(now.Result.DelayMethod.empty() ? "-" : now.Result.DelayMethod)
       << ".</li>\n</ul>\n";
  page << "<h2>Definitions</h2>\n<dl>\n"
       << "<dt>dBFS</dt><dd>Level re a full-scale sine (peak 32767 on the 16-bit scale): a full-scale sine is 0 dBFS.</dd>\n"
       << "<dt>Frequency response</dt><dd>The linear impulse response of the synchronised sweep, found by "
          "deconvolution and windowed, transformed; in dB re its level at 1 kHz. The gain at 1 kHz is the level "
          "that came back re the level played.</dd>\n"
       << "<dt>Noise level</dt><dd>The RMS of the input while nothing plays, its mean removed, in the bandwidth "
          "(mains hum included), in dBFS; A-weighted with the IEC 61672 A curve (0 dB at 1 kHz).</dd>\n"
       << "<dt>Dynamic range</dt><dd>AES17: 60 dB less the A-weighted THD+N, in dB, of a 997 Hz tone played at "
          "-60 dBFS.</dd>\n"
       << "<dt>THD+N</dt><dd>The RMS of what remains in the bandwidth once the fitted fundamental and DC are "
          "removed, re the fundamental's RMS.</dd>\n"
       << "<dt>THD</dt><dd>The harmonics 2 to 10 below the bandwidth's top, added as powers, re the fundamental.</dd>\n"
       << "<dt>IMD, SMPTE</dt><dd>sqrt(sum for n = 1 to 4 of (A(f2 - n f1) + A(f2 + n f1))^2) / A(f2), f1 = 60 Hz, "
          "f2 = 7 kHz.</dd>\n"
       << "<dt>IMD, CCIF</dt><dd>sqrt(d2^2 + d3^2), d2 = A(f2 - f1) / (A(f1) + A(f2)), d3 = (A(2 f1 - f2) + "
          "A(2 f2 - f1)) / (A(f1) + A(f2)), f1 = 19 kHz, f2 = 20 kHz.</dd>\n"
       << "<dt>Crosstalk</dt><dd>The level at a tone's frequency in the input whose output is silent, re the level "
          "in the input whose output plays it. The Left column is what reaches the left input from the right "
          "channel.</dd>\n"
       << "<dt>DC offset</dt><dd>The mean of the input while nothing plays, in % of full scale and in 16-bit "
          "LSB.</dd>\n"
       << "<dt>Round-trip delay</dt><dd>From the output device taking the sweep's first frame to that frame "
          "arriving in the capture (the peak of the linear impulse response). By device clock: the sound system's "
          "own frame clock; by wall clock: when blocks were handed over and came back (as the Sound devices dialog measures it: the time a block waits in the sound system counts, so it reads tens of ms apart from the device clock); by file "
          "positions: both files taken to start together.</dd>\n"
       << "</dl>\n</body></html>\n";
  return page.str();
}

std::string NewCardReportStem(const std::string& folder, const std::string& dateTime) {
  const std::filesystem::path base = std::filesystem::path(folder) / ("sound-card-test-" + dateTime);
  std::string stem = base.string();
  std::error_code e;
  for (int n = 2; std::filesystem::exists(stem + ".csv", e) || std::filesystem::exists(stem + ".html", e); ++n)
    stem = base.string() + "-" + std::to_string(n);
  return stem;
}

std::optional<std::vector<TCardLimit>> ParseCardLimits(const std::string& text, std::string* error) {
  std::vector<TCardLimit> limits;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  const auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string key, min, max, extra;
    if (!(words >> key) || key[0] == '#') continue;
    if (!(words >> min >> max)) return fail("a limit is KEY MIN MAX");
    if (words >> extra) return fail("more than KEY MIN MAX");
    TCardLimit limit;
    limit.Line = number;
    limit.Key = key;
    for (const auto& [suffix, channel] : {std::pair{".left", 0}, std::pair{".right", 1}})
      if (key.size() > std::string(suffix).size() && key.ends_with(suffix)) {
        limit.Key = key.substr(0, key.size() - std::string(suffix).size());
        limit.Channel = channel;
      }
    for (auto [word, target] : {std::pair{&min, &limit.Min}, std::pair{&max, &limit.Max}}) {
      if (*word == "-") continue;
      const std::optional<double> v = ParseNumber(*word);
      if (!v) return fail("\"" + *word + "\" is not a number or -");
      *target = *v;
    }
    if (limit.Min > limit.Max) return fail("the minimum lies above the maximum");
    limits.push_back(limit);
  }
  return limits;
}

std::vector<std::string> CheckCardLimits(const TCardTestResult& result, const std::vector<TCardLimit>& limits) {
  std::vector<std::string> failures;
  for (const TCardLimit& l : limits) {
    const TCardFigure* f = result.Find(l.Key);
    if (!f) {
      failures.push_back(l.Key + ": no such figure (limits file line " + std::to_string(l.Line) + ")");
      continue;
    }
    for (int ch = 0; ch < 2; ++ch) {
      if (l.Channel >= 0 && l.Channel != ch) continue;
      const double v = ch == 0 ? f->Left : f->Right;
      const std::string where = l.Key + (ch == 0 ? " left" : " right");
      if (!std::isfinite(v))
        failures.push_back(where + ": not measured");
      else if (v < l.Min)
        failures.push_back(where + ": " + Number(v, 6) + " " + f->Unit + " is below " + Number(l.Min, 6));
      else if (v > l.Max)
        failures.push_back(where + ": " + Number(v, 6) + " " + f->Unit + " is above " + Number(l.Max, 6));
    }
  }
  return failures;
}
