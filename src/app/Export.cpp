// The export tables and the window's two "Export ..." handlers.
#include "Export.h"

#include <QAction>
#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QTabWidget>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "Displays.h"
#include "DistortionPage.h"
#include "FileDialogs.h"
#include "ImpulsePage.h"
#include "MainForm.h"
#include "Messages.h"
#include "WaveCommon.h"

namespace {

template <typename T>
std::string Shortest(T v) {
  if (!std::isfinite(v)) return {};
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  return std::string(text, end);
}

std::string Cell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

double RatiodB(double ratio) { return ratio > 0 ? 10 * std::log10(ratio) : -HUGE_VAL; }

std::string Level(double dB) { return dB <= -300 ? std::string() : CsvNumber(dB); }

}  // namespace

std::string CsvNumber(double v) { return Shortest(v); }
std::string CsvNumber(float v) { return Shortest(v); }

QByteArray CsvText(const TCsvTable& table) {
  QByteArray out;
  const auto line = [&out](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i) out += ',';
      out += Cell(cells[i]);
    }
    out += "\r\n";
  };
  line(table.Header);
  for (const auto& row : table.Rows) line(row);
  return out;
}

TCsvTable ColumnsCsv(const std::string& firstHeader, const std::vector<double>& first,
                     const std::vector<TCsvColumn>& columns) {
  TCsvTable t;
  t.Header.push_back(firstHeader);
  for (const TCsvColumn& c : columns) t.Header.push_back(c.Header);
  t.Rows.reserve(first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    std::vector<std::string> row{CsvNumber(first[i])};
    for (const TCsvColumn& c : columns)
      row.push_back(i < c.Values.size() ? CsvNumber(c.Values[i]) : std::string());
    t.Rows.push_back(std::move(row));
  }
  return t;
}

TCsvTable ScopeCsv(std::span<const int16_t> frames, double sampleRate) {
  TCsvTable t{{"Time (ms)", "Left (LSB)", "Right (LSB)"}, {}};
  for (std::size_t i = 0; i + 1 < frames.size(); i += 2)
    t.Rows.push_back({CsvNumber(static_cast<double>(i / 2) * 1000.0 / sampleRate),
                      std::to_string(frames[i]), std::to_string(frames[i + 1])});
  return t;
}

TCsvTable VectorScopeCsv(std::span<const int16_t> frames, double sampleRate) {
  TCsvTable t = ScopeCsv(frames, sampleRate);
  t.Header.push_back("Right - left (LSB)");
  t.Header.push_back("Left + right (LSB)");
  for (std::size_t i = 0; i < t.Rows.size(); ++i) {
    const int left = frames[2 * i], right = frames[2 * i + 1];
    t.Rows[i].push_back(std::to_string(right - left));
    t.Rows[i].push_back(std::to_string(left + right));
  }
  return t;
}

const char* ChannelSelectName(TChannelSelect select) {
  switch (select) {
    case csSum: return "(Left + right) / 2";
    case csDiff: return "(Right - left) / 2";
    case csLeft: return "Left";
    default: return "Right";
  }
}

TCsvTable SpectrumBinsCsv(std::span<const float> power, int n, double sampleRate,
                          float referencePower, TChannelSelect select) {
  TCsvTable t{{"Frequency (Hz)", std::string(ChannelSelectName(select)) + " (dBFS)"}, {}};
  const std::size_t bins = std::min(power.size(), static_cast<std::size_t>(n / 2 + 1));
  for (std::size_t k = 0; k < bins; ++k)
    t.Rows.push_back({CsvNumber(static_cast<double>(k) * sampleRate / n),
                      CsvNumber(RatiodB((static_cast<double>(power[k]) + kSpectrumFloor) /
                                        referencePower))});
  return t;
}

std::string ThirdOctaveBandName(int j, int sampleRate) {
  static const char* const kNames[] = {
      "31.5", "40",   "50",   "63",   "80",   "100",   "125",   "160",   "200",   "250",  "315",
      "400",  "500",  "630",  "800",  "1000", "1250",  "1600",  "2000",  "2500",  "3150", "4000",
      "5000", "6300", "8000", "10000", "12500", "16000", "20000", "25000", "31500"};
  const int index = j + (sampleRate > 49000 ? 3 : 0);
  return index >= 0 && index < static_cast<int>(std::size(kNames)) ? kNames[index] : "";
}

TCsvTable SpectrumBandsCsv(std::span<const float> ratios, int sampleRate, TChannelSelect select) {
  TCsvTable t{{"Band (nominal Hz)", "Centre frequency (Hz)",
               std::string(ChannelSelectName(select)) + " (dBFS)"},
              {}};
  const double first = sampleRate > 49000 ? 62.5 : 31.25;
  const int bands = std::min(static_cast<int>(ratios.size()), kSpectrumBands);
  for (int j = 0; j < bands; ++j)
    t.Rows.push_back({ThirdOctaveBandName(j, sampleRate), CsvNumber(first * std::exp2(j / 3.0)),
                      CsvNumber(RatiodB(ratios[j]))});
  return t;
}

TCsvTable SpectrogramCsv(const std::vector<TSpectrogramColumn>& blocks,
                         std::span<const float> rowHz, TChannelSelect select) {
  TCsvTable t{{"Time (s)", "Frequency (Hz)", std::string(ChannelSelectName(select)) + " (dBFS)"},
              {}};
  for (const TSpectrogramColumn& b : blocks) {
    const std::string time = CsvNumber(b.TimeS);
    const std::size_t rows = std::min(b.Ratios.size(), rowHz.size());
    for (std::size_t r = 0; r < rows; ++r)
      t.Rows.push_back({time, CsvNumber(rowHz[r]), CsvNumber(RatiodB(b.Ratios[r]))});
  }
  return t;
}

TCsvTable ResponseCsv(const TResponseData& d) {
  std::vector<double> hz(d.Hz.begin(), d.Hz.end());
  std::vector<TCsvColumn> columns;
  const auto column = [&](const char* header, auto value) {
    TCsvColumn c{header, {}};
    for (std::size_t i = 0; i < hz.size(); ++i) c.Values.push_back(value(i));
    columns.push_back(std::move(c));
  };
  const auto at = [](std::span<const float> v, std::size_t i) {
    return i < v.size() ? static_cast<double>(v[i]) : NAN;
  };
  if (d.LeftShown)
    column(d.ReferenceLoaded ? "Reference (dB)" : "Left (dB)",
           [&](std::size_t i) { return at(d.Left, i); });
  if (d.RightShown) column("Right (dB)", [&](std::size_t i) { return at(d.Right, i); });
  if (d.RightShown && d.LeftShown && d.Difference)
    column(d.ReferenceLoaded ? "Right - reference (dB)" : "Right - left (dB)",
           [&](std::size_t i) { return at(d.Right, i) - at(d.Left, i); });
  return ColumnsCsv("Frequency (Hz)", hz, columns);
}

TCsvTable DistortionCsv(const TDistortionResult& r, const TDistortionSettings& s) {
  TCsvTable t{{"Quantity", "Unit", "Left", "Right"}, {}};
  const auto valid = [&](int ch) { return r.Channel[ch].Valid; };
  // One row: a reading of each valid channel.
  const auto row = [&](const std::string& quantity, const char* unit, auto value) {
    std::vector<std::string> cells{quantity, unit};
    for (int ch = 0; ch < 2; ++ch) cells.push_back(valid(ch) ? value(r.Channel[ch]) : "");
    t.Rows.push_back(std::move(cells));
  };
  const auto number = [](double v) { return CsvNumber(v); };
  const auto amplitudedBFS = [](double a) { return a > 0 ? 20 * std::log10(a) : -300.0; };
  const bool a = s.Weighting == TNoiseWeighting::AWeighted;
  row("Frequency", "Hz", [&](const TChannelDistortion& c) { return number(c.Frequency); });
  row("RMS level", "dBFS", [&](const TChannelDistortion& c) { return Level(c.RmsdBFS); });
  row("Peak level", "dBFS", [&](const TChannelDistortion& c) { return Level(c.PeakdBFS); });
  if (s.Kind == TDistortionKind::Sine) {
    row("Fundamental level", "dBFS", [&](const TChannelDistortion& c) { return Level(c.LeveldBFS); });
    row("DC", "FS", [&](const TChannelDistortion& c) { return number(c.Dc); });
    const std::string thdn = a ? "THD+N (A)" : "THD+N";
    row(thdn, "%", [&](const TChannelDistortion& c) { return number(c.ThdnPercent); });
    row(thdn, "dB", [&](const TChannelDistortion& c) { return Level(c.ThdndB); });
    row("THD", "%", [&](const TChannelDistortion& c) { return number(c.ThdPercent); });
    row("THD", "dB", [&](const TChannelDistortion& c) { return Level(c.ThddB); });
    row(a ? "SINAD (A)" : "SINAD", "dB", [&](const TChannelDistortion& c) { return number(c.SinaddB); });
    row("Noise", "dBFS", [&](const TChannelDistortion& c) { return Level(c.NoisedBFS); });
    row("Noise (A)", "dBFS", [&](const TChannelDistortion& c) { return Level(c.NoisedBFSA); });
    row("SNR", "dB", [&](const TChannelDistortion& c) { return number(c.SnrdB); });
    row("SNR (A)", "dB", [&](const TChannelDistortion& c) { return number(c.SnrdBA); });
    // Each harmonic either channel has, by order.
    int highest = 0;
    for (int ch = 0; ch < 2; ++ch)
      if (valid(ch))
        for (const THarmonicReading& h : r.Channel[ch].Harmonics) highest = std::max(highest, h.Order);
    for (int order = 2; order <= highest; ++order) {
      const auto reading = [order](const TChannelDistortion& c) -> const THarmonicReading* {
        for (const THarmonicReading& h : c.Harmonics)
          if (h.Order == order) return &h;
        return nullptr;
      };
      const std::string name = "H" + std::to_string(order);
      row(name + " frequency", "Hz", [&](const TChannelDistortion& c) {
        const THarmonicReading* h = reading(c);
        return h ? number(h->Frequency) : std::string();
      });
      row(name, "dBc", [&](const TChannelDistortion& c) {
        const THarmonicReading* h = reading(c);
        return h ? Level(h->dBc) : std::string();
      });
      row(name, "%", [&](const TChannelDistortion& c) {
        const THarmonicReading* h = reading(c);
        return h ? number(h->Percent) : std::string();
      });
    }
    return t;
  }
  row("IMD", "%", [&](const TChannelDistortion& c) { return number(c.Imd.Percent); });
  row("IMD", "dB", [&](const TChannelDistortion& c) { return Level(c.Imd.dB); });
  row("F1 frequency", "Hz", [&](const TChannelDistortion& c) { return number(c.Imd.F1); });
  row("F1 level", "dBFS", [&](const TChannelDistortion& c) { return Level(amplitudedBFS(c.Imd.A1)); });
  row("F2 frequency", "Hz", [&](const TChannelDistortion& c) { return number(c.Imd.F2); });
  row("F2 level", "dBFS", [&](const TChannelDistortion& c) { return Level(amplitudedBFS(c.Imd.A2)); });
  if (s.Kind == TDistortionKind::Ccif) {
    row("d2", "dB", [&](const TChannelDistortion& c) { return Level(amplitudedBFS(c.Imd.D2)); });
    row("d3", "dB", [&](const TChannelDistortion& c) { return Level(amplitudedBFS(c.Imd.D3)); });
  }
  std::size_t orders = 0, products = 0;
  for (int ch = 0; ch < 2; ++ch)
    if (valid(ch)) {
      orders = std::max(orders, r.Channel[ch].Imd.Orders.size());
      products = std::max(products, r.Channel[ch].Imd.Products.size());
    }
  const auto reading = [](const std::vector<THarmonicReading>& list, std::size_t i, auto get) {
    return i < list.size() ? get(list[i]) : std::string();
  };
  for (std::size_t i = 0; i < orders; ++i) {
    const auto& first = r.Channel[valid(0) ? 0 : 1].Imd.Orders;
    const std::string name =
        "IMD order " + std::to_string(i < first.size() ? first[i].Order : static_cast<int>(i) + 2);
    row(name, "dBc", [&](const TChannelDistortion& c) {
      return reading(c.Imd.Orders, i, [](const THarmonicReading& h) { return Level(h.dBc); });
    });
    row(name, "%", [&](const TChannelDistortion& c) {
      return reading(c.Imd.Orders, i, [](const THarmonicReading& h) { return CsvNumber(h.Percent); });
    });
  }
  for (std::size_t i = 0; i < products; ++i) {
    const std::string name = "Product " + std::to_string(i + 1);
    row(name + " order", "", [&](const TChannelDistortion& c) {
      return reading(c.Imd.Products, i, [](const THarmonicReading& h) { return std::to_string(h.Order); });
    });
    row(name + " frequency", "Hz", [&](const TChannelDistortion& c) {
      return reading(c.Imd.Products, i, [](const THarmonicReading& h) { return CsvNumber(h.Frequency); });
    });
    row(name, "dBc", [&](const TChannelDistortion& c) {
      return reading(c.Imd.Products, i, [](const THarmonicReading& h) { return Level(h.dBc); });
    });
  }
  return t;
}

bool ExportFile(const QString& name, const char* what, const QByteArray& bytes) {
  const QString failure = WriteWholeFile(name, bytes);
  if (failure.isEmpty()) return true;
  ShowMessage(std::string("Could not write the ") + what + " \"" + name.toStdString() + "\": " +
              failure.toStdString() + ".");
  return false;
}

// ---------------------------------------------------------------------------------------------
// The window's handlers

namespace {

// Wrapped into (-180, 180], as the phase view draws it.
double Wrap(double deg) {
  double w = std::fmod(deg, 360.0);
  if (w > 180) w -= 360;
  if (w <= -180) w += 360;
  return w;
}

// What the impulse page's view shows, at the result's own points: every sample of the time
// range drawn, or every bin of the band the sweep covered.
TCsvTable ImpulseCsv(const TImpulseDisplay& d) {
  const TImpulseResult& r = d.Result();
  const int main = d.MainChannel();
  const double fs = d.SweepSettings().SampleRate;
  const TImpulseView view = d.View();
  const char* const names[] = {"Left", "Right", "Right over left"};
  std::vector<TCsvColumn> columns;
  if (view == TImpulseView::Impulse || view == TImpulseView::ImpulsedB) {
    double first = 0, last = 0;
    d.TimeRange(first, last);
    std::vector<double> ms;
    for (long k = std::lrint(std::ceil(first * fs / 1000)); k <= std::lrint(std::floor(last * fs / 1000)); ++k)
      ms.push_back(k * 1000.0 / fs);
    for (int ch = 0; ch < 2; ++ch) {
      const TChannelImpulse& c = r.Channel[ch];
      if (!c.Valid) continue;
      TCsvColumn column{std::string(names[ch]) + (view == TImpulseView::Impulse ? " (linear)" : " (dB)"), {}};
      for (double t : ms) {
        const long n = std::lrint(c.PeakIndex + t * fs / 1000);
        double v = n >= 0 && n < static_cast<long>(c.Impulse.size()) ? c.Impulse[n] : NAN;
        if (view == TImpulseView::ImpulsedB) v = 20 * std::log10(std::abs(v) + 1e-15);
        column.Values.push_back(v);
      }
      columns.push_back(std::move(column));
    }
    return ColumnsCsv("Time (ms)", ms, columns);
  }
  const TResponseCurve& curve = main == TImpulseDisplay::kRatio ? r.Ratio : r.Channel[main].Response;
  std::vector<double> hz;
  const TSyncSweepSettings& s = d.SweepSettings();
  for (long k = std::lrint(std::ceil(s.F1 / curve.BinHz - 1e-9));
       k <= std::lrint(std::floor(s.F2 / curve.BinHz + 1e-9)); ++k)
    hz.push_back(k * curve.BinHz);
  const auto values = [&](int channel, int order) {
    std::vector<double> v;
    v.reserve(hz.size());
    for (double f : hz) v.push_back(d.CurveValue(view, channel, f, order));
    return v;
  };
  const char* unit = view == TImpulseView::Magnitude ? " (dB)"
                     : view == TImpulseView::Phase   ? " (degrees)"
                                                     : " (ms)";
  if (view == TImpulseView::Distortion) {
    const int ch = main == TImpulseDisplay::kRatio ? 1 : main;
    for (int k = 2; k <= 5; ++k)
      columns.push_back({"H" + std::to_string(k) + " (dB re fundamental)", values(ch, k)});
  } else if (main == TImpulseDisplay::kRatio) {
    columns.push_back({std::string(names[main]) + unit, values(main, 1)});
  } else {
    for (int ch = 0; ch < 2; ++ch)
      if (r.Channel[ch].Valid) columns.push_back({std::string(names[ch]) + unit, values(ch, 1)});
  }
  // The loaded response, where it is drawn over the curves.
  const TResponseText& loaded = d.Loaded();
  if (loaded.Points.size() >= 2 && !d.DivideByLoaded() &&
      (view == TImpulseView::Magnitude || (view == TImpulseView::Phase && loaded.HasPhase))) {
    const std::vector<TResponsePoint> points = InterpolateResponse(loaded, hz);
    TCsvColumn column{std::string("Loaded") + unit, {}};
    for (std::size_t i = 0; i < hz.size(); ++i) {
      const bool inside = hz[i] >= loaded.Points.front().Hz && hz[i] <= loaded.Points.back().Hz;
      column.Values.push_back(!inside ? NAN
                              : view == TImpulseView::Magnitude ? points[i].dB
                                                                : Wrap(points[i].Deg));
    }
    columns.push_back(std::move(column));
  }
  return ColumnsCsv("Frequency (Hz)", hz, columns);
}

}  // namespace

QWidget* TMainForm::ShownDisplay() const {
  QWidget* page = PageControlAnalyser->currentWidget();
  if (page == TabSheetScope) return WaveformDisplay1;
  if (page == TabSheetVectorscope) return VectorScope1;
  if (page == TabSheetSpectrum) return SpectrumDisplay1;
  if (page == TabSheetResponse) return ResponsePlot1;
  if (page == TabSheetImpulse) return ImpulseDisplay1;
  if (page == TabSheetDistortion) return DistortionDisplay1;
  return nullptr;
}

void TMainForm::UpdateExportActions() {
  const bool display = ShownDisplay() != nullptr;
  ExportPicture1->setEnabled(display);
  ExportData1->setEnabled(display);
}

QString TMainForm::ExportName(const QString& title, const QString& extension,
                              const QString& filter) {
  QWidget* display = ShownDisplay();
  QString stem = display == WaveformDisplay1     ? "scope"
                 : display == VectorScope1       ? "vectorscope"
                 : display == ResponsePlot1      ? "response"
                 : display == ImpulseDisplay1    ? "impulse"
                 : display == DistortionDisplay1 ? "distortion"
                 : IsSpectrogram(SpectrumDisplay1->Mode()) ? "spectrogram"
                                                            : "spectrum";
  const QString folder = FLastExportFolder.isEmpty() ? QDir::homePath() : FLastExportFolder;
  QString name = FileDialogs().SaveFileName(
      {title, QDir(folder).filePath(stem + "." + extension), extension, filter});
  if (name.isEmpty()) return {};
  if (QFileInfo(name).suffix().isEmpty()) name += "." + extension;
  if (QFileInfo::exists(name) &&
      !AskYesNo(QFileInfo(name).fileName().toStdString() + " already exists.\rDo you want to replace it?",
                title.toStdString()))
    return {};
  return name;
}

void TMainForm::ExportPicture1Click() {
  QWidget* display = ShownDisplay();
  if (!display) return;
  const QString name =
      ExportName("Export picture", "png", "PNG pictures (*.png)|*.png|All files (*.*)|*.*");
  if (name.isEmpty()) return;
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!display->grab().toImage().save(&buffer, "PNG")) {
    ShowMessage("Could not write the picture \"" + name.toStdString() +
                "\": the display could not be encoded as PNG.");
    return;
  }
  if (ExportFile(name, "picture", bytes)) FLastExportFolder = QFileInfo(name).absolutePath();
}

bool TMainForm::ShownData(TCsvTable& table, std::string& nothing) const {
  QWidget* display = ShownDisplay();
  if (display == WaveformDisplay1 || display == VectorScope1) {
    const auto* d = static_cast<const TAudioDisplay*>(display);
    table = display == WaveformDisplay1 ? ScopeCsv(d->ShownFrames(), d->SampleRate())
                                        : VectorScopeCsv(d->ShownFrames(), d->SampleRate());
    nothing = display == WaveformDisplay1 ? "The scope has drawn no trace yet."
                                          : "The vector scope has drawn no trace yet.";
  } else if (display == SpectrumDisplay1) {
    const TSpectrumDisplay& d = *SpectrumDisplay1;
    nothing = "The spectrum analyser has analysed no block yet.";
    if (d.PointCount() <= 0) return false;
    if (d.Mode() == sdOctave3) {
      table = SpectrumBandsCsv(d.ColumnArray(0).first(kSpectrumBands), d.SampleRate(), d.ChannelSelect());
    } else if (IsSpectrogram(d.Mode())) {
      std::vector<TSpectrogramColumn> blocks;
      const int newest = d.SpectrogramBlocks() > 0 ? d.SpectrogramBlock(d.SpectrogramBlocks() - 1) : 0;
      for (int i = 0; i < d.SpectrogramBlocks(); ++i)
        blocks.push_back({static_cast<double>(d.SpectrogramBlock(i) - newest) * d.N() / d.SampleRate(),
                          d.SpectrogramRows(i)});
      table = SpectrogramCsv(blocks, d.ColumnArray(TAudioDisplay::kColumnArrays - 1), d.ChannelSelect());
    } else {
      table = SpectrumBinsCsv(d.Power(), d.N(), d.SampleRate(), d.ReferencePower(), d.ChannelSelect());
    }
  } else if (display == ResponsePlot1) {
    const TResponsePlot& d = *ResponsePlot1;
    nothing = "No response has been measured since the analyser last started or the sweep's "
              "frequencies last changed.";
    if (!d.Measured() && !d.ReferenceLoaded()) return false;
    table = ResponseCsv({d.Frequencies(), d.LeftLevels(), d.RightLevels(),
                         true, d.ReferenceLoaded(), d.Measured(), d.LeftIsReference()});
  } else if (display == ImpulseDisplay1) {
    nothing = "There is no measured impulse response yet.";
    if (ImpulseDisplay1->MainChannel() < 0) return false;
    table = ImpulseCsv(*ImpulseDisplay1);
  } else if (display == DistortionDisplay1) {
    const TDistortionDisplay& d = *DistortionDisplay1;
    nothing = "The distortion page has no reading yet.";
    if (d.Analyses() == 0 || (!d.Result().Channel[0].Valid && !d.Result().Channel[1].Valid))
      return false;
    table = DistortionCsv(d.Result(), d.Settings());
  } else {
    return false;
  }
  return !table.Rows.empty();
}

void TMainForm::ExportData1Click() {
  if (!ShownDisplay()) return;
  TCsvTable table;
  std::string nothing;
  if (!ShownData(table, nothing)) {
    ShowMessage(nothing + "  Nothing was exported.");
    return;
  }
  const QString name =
      ExportName("Export data", "csv", "CSV files (*.csv)|*.csv|All files (*.*)|*.*");
  if (name.isEmpty()) return;
  if (ExportFile(name, "data file", CsvText(table))) FLastExportFolder = QFileInfo(name).absolutePath();
}
