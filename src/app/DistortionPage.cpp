// The "Distortion" page: its display, its controls and their handlers.
#include "DistortionPage.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "AudioAnalyser.h"
#include "MainForm.h"
#include "ToneGenerator.h"
#include "Widgets.h"

namespace {

const QColor kChannelColour[2] = {QColor(0, 0, 255), QColor(255, 0, 0)};
const QColor kBackground(255, 255, 255);
const QColor kGrid(200, 200, 200);
const QColor kCaption(64, 64, 64);

constexpr int kReadoutHeight = 140;
constexpr int kLineHeight = 14;
constexpr int kLargeHeight = 22;
constexpr int kValueIndent = 66;  // small readouts: value column after the label
constexpr int kBarGroup = 14, kBarWidth = 5;
constexpr int kHarmonicBars = 9;  // H2 ... H10

QString dBText(double dB, const char* unit) {
  return dB <= -300 ? QString("-- %1").arg(unit) : QString::asprintf("%.2f %s", dB, unit);
}

double AmplitudedBFS(double amplitude) {
  return amplitude > 0 ? 20 * std::log10(amplitude) : -300;
}

// One readout line: a label (empty for the large lines) and its value.
struct TLine {
  QString Label, Value;
  bool Large = false;
};

std::vector<TLine> Lines(const TChannelDistortion& c, const TDistortionSettings& s, bool full) {
  if (!full) return {{"", "Collecting ...", false}};
  if (!c.Valid) return {{"", "No signal", false}};
  std::vector<TLine> lines = {{"", QString::asprintf("%.2f Hz", c.Frequency), true},
                              {"", dBText(c.RmsdBFS, "dBFS"), true}};
  const bool a = s.Weighting == TNoiseWeighting::AWeighted;
  if (s.Kind == TDistortionKind::Sine) {
    lines.push_back({a ? "THD+N (A)" : "THD+N",
                     DistortionPercentText(c.ThdnPercent) + "  " + dBText(c.ThdndB, "dB")});
    lines.push_back({"THD", DistortionPercentText(c.ThdPercent) + "  " + dBText(c.ThddB, "dB")});
    lines.push_back({a ? "SINAD (A)" : "SINAD", dBText(c.SinaddB, "dB")});
    lines.push_back({a ? "Noise (A)" : "Noise", dBText(a ? c.NoisedBFSA : c.NoisedBFS, "dBFS")});
    lines.push_back({a ? "SNR (A)" : "SNR", dBText(a ? c.SnrdBA : c.SnrdB, "dB")});
  } else {
    const TImdReading& m = c.Imd;
    lines.push_back({"IMD", DistortionPercentText(m.Percent) + "  " + dBText(m.dB, "dB")});
    lines.push_back({"F1", QString::asprintf("%.2f Hz  ", m.F1) +
                               dBText(AmplitudedBFS(m.A1), "dBFS")});
    lines.push_back({"F2", QString::asprintf("%.2f Hz  ", m.F2) +
                               dBText(AmplitudedBFS(m.A2), "dBFS")});
    if (s.Kind == TDistortionKind::Ccif)
      lines.push_back({"d2, d3", dBText(AmplitudedBFS(m.D2), "dB") + ",  " +
                                     dBText(AmplitudedBFS(m.D3), "dB")});
  }
  return lines;
}

// Row of level v on a scale from top (row t) to bottom (row b - 1), limited to the scale.
int ScaleRow(double v, double topdB, double bottomdB, int t, int b) {
  const double f = std::clamp((topdB - v) / (topdB - bottomdB), 0.0, 1.0);
  return t + static_cast<int>(std::lrint(f * (b - 1 - t)));
}

}  // namespace

TColumnBins ResidualColumnBins(int bins, double sampleRate, int columns, double fLow,
                               double fHigh) {
  TColumnBins out;
  if (bins < 2 || columns <= 0 || fLow <= 0 || fHigh <= fLow) return out;
  out.First.resize(columns);
  out.End.resize(columns);
  const int last = bins - 1;
  const double binHz = sampleRate / (2.0 * last);
  const double step = std::log(fHigh / fLow) / columns;
  for (int x = 0; x < columns; ++x) {
    const double f0 = fLow * std::exp(step * x), f1 = fLow * std::exp(step * (x + 1));
    const int first = static_cast<int>(std::ceil(f0 / binHz));
    const int end = std::min(static_cast<int>(std::ceil(f1 / binHz)), last + 1);
    if (first < end) {
      out.First[x] = first;
      out.End[x] = end;
    } else {
      const int k = static_cast<int>(std::lrint(std::sqrt(f0 * f1) / binHz));
      out.First[x] = out.End[x] = std::clamp(k, 0, last);
    }
  }
  return out;
}

std::vector<float> ResidualColumns(std::span<const float> spectrum, const TColumnBins& bins) {
  const int columns = static_cast<int>(bins.First.size());
  std::vector<float> out(columns, -300.0f);
  for (int x = 0; x < columns; ++x) {
    const int first = bins.First[x], end = bins.End[x];
    out[x] = first < end ? *std::max_element(spectrum.begin() + first, spectrum.begin() + end)
                         : spectrum[first];
  }
  return out;
}

std::vector<float> ResidualColumns(std::span<const float> spectrum, double sampleRate,
                                   int columns, double fLow, double fHigh) {
  const TColumnBins bins = ResidualColumnBins(static_cast<int>(spectrum.size()), sampleRate,
                                              columns, fLow, fHigh);
  if (bins.First.empty()) return std::vector<float>(std::max(columns, 0), -300.0f);
  return ResidualColumns(spectrum, bins);
}

TTextPictures::TPicture TTextPictures::Render(const QFont& font, QRgb ink, const QString& text,
                                              bool filled, QRgb fill, qreal shift) {
  TPicture p;
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(text), height = metrics.height();
  // Room for glyphs that reach out of their box.
  p.Left = p.Top = height;
  QImage picture(width + 2 * p.Left, height + 2 * p.Top, QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  if (filled)
    for (int row = p.Top; row < p.Top + height; ++row) {
      auto* line = reinterpret_cast<QRgb*>(picture.scanLine(row));
      std::fill(line + p.Left, line + p.Left + width, fill);
    }
  QFont unsmoothed = font;
  unsmoothed.setStyleStrategy(QFont::NoAntialias);
  {
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setFont(unsmoothed);
    painter.setPen(QColor::fromRgb(ink));
    painter.drawText(QPointF(p.Left + shift, p.Top + metrics.ascent()), text);
  }
  // Unsmoothed glyphs and the box are opaque, all else untouched: kept as runs of pixels.
  const int columns = picture.width(), rows = picture.height();
  for (int row = 0; row < rows; ++row) {
    const auto* line = reinterpret_cast<const QRgb*>(picture.constScanLine(row));
    for (int c = 0; c < columns;) {
      if (qAlpha(line[c]) == 0) {
        ++c;
        continue;
      }
      TRun run{row, c, 0, static_cast<int>(p.Pixels.size())};
      for (; c < columns && qAlpha(line[c]) != 0; ++c) p.Pixels.push_back(line[c]);
      run.Length = c - run.Column;
      p.Runs.push_back(run);
    }
  }
  return p;
}

void TTextPictures::Put(QImage& image, const TPicture& p, int x, int y) {
  const int left = x - p.Left, top = y - p.Top;
  for (const TRun& run : p.Runs) {
    const int row = top + run.Row;
    if (row < 0 || row >= image.height()) continue;
    const int first = std::max(left + run.Column, 0);
    const int end = std::min(left + run.Column + run.Length, image.width());
    if (first >= end) continue;
    auto* to = reinterpret_cast<QRgb*>(image.scanLine(row));
    std::copy(p.Pixels.begin() + run.Pixel + (first - left - run.Column),
              p.Pixels.begin() + run.Pixel + (end - left - run.Column), to + first);
  }
}

void TTextPictures::TextOut(TCanvas& canvas, int x, int y, const QString& text) {
  QImage* image = canvas.Image();
  if (image->isNull() || text.isEmpty()) return;
  const bool filled = canvas.BrushStyle() == bsSolid;
  const QRgb fill = canvas.BrushColour().rgb(), ink = canvas.FontColour().rgb();
  const QFont& font = canvas.Font();
  const QString fontKey = font.key() + QString::asprintf(" %08x", ink);
  // f begins the ligatures a Latin font may have.
  bool ascii = true;
  for (QChar q : text) ascii = ascii && q.unicode() >= 0x20 && q.unicode() <= 0x7e && q != 'f';
  if (ascii) {
    TFace& face = FFaces[fontKey];
    QFont unsmoothed = font;
    unsmoothed.setStyleStrategy(QFont::NoAntialias);
    if (face.Height == 0) {
      const QFontMetrics metrics(font);
      face.Height = metrics.height();
      face.Ascent = metrics.ascent();
    }
    const auto in64ths = [](qreal v) { return static_cast<int>(std::lrint(v * 64)); };
    const auto letter = [&](char16_t c) -> TLetter& {
      auto [at, made] = face.Letters.try_emplace(c);
      if (made) {
        at->second.Box = in64ths(QFontMetricsF(font).horizontalAdvance(QString(QChar{c})));
        at->second.Pen = in64ths(QFontMetricsF(unsmoothed).horizontalAdvance(QString(QChar{c})));
      }
      return at->second;
    };
    // The box's width and each glyph's place as the layout sums them, kerning included.
    int box = 0, pen = 0;
    char16_t before = 0;
    struct TPlace {
      TLetter* letter;
      char16_t c;
      int at;
    };
    std::vector<TPlace> places;
    places.reserve(text.size());
    for (QChar q : text) {
      const char16_t c = q.unicode();
      TLetter& l = letter(c);
      if (before) {
        auto [at, made] = face.Kerning.try_emplace(static_cast<uint32_t>(before) << 16 | c);
        if (made) {
          const QString two = QString(QChar{before}) + QChar{c};
          const TLetter& a = letter(before);
          const QFontMetricsF smooth(font), plain(unsmoothed);
          at->second = {in64ths(smooth.horizontalAdvance(two)) - a.Box - l.Box,
                        in64ths(plain.horizontalAdvance(two)) - a.Pen - l.Pen};
        }
        box += at->second.first;
        pen += at->second.second;
      }
      places.push_back({&l, c, pen});
      box += l.Box;
      pen += l.Pen;
      before = c;
    }
    canvas.FillRect({x, y, x + (box + 32) / 64, y + face.Height});
    for (const TPlace& p : places) {
      const int whole = p.at >= 0 ? p.at / 64 : -((63 - p.at) / 64), part = p.at - 64 * whole;
      TPicture& glyph = p.letter->Glyphs[part];
      if (glyph.Left == 0) glyph = Render(font, ink, QString(QChar{p.c}), false, 0, part / 64.0);
      Put(*image, glyph, x + whole, y);
    }
    return;
  }
  const QString key = QString::asprintf("%08x %d ", fill, filled) + fontKey + QChar(0x1f) + text;
  TPicture& p = FPictures[key];
  if (p.Runs.empty() && p.Left == 0) p = Render(font, ink, text, filled, fill);
  p.Used = FRound;
  Put(*image, p, x, y);
}

void TTextPictures::Prune() {
  for (auto i = FPictures.begin(); i != FPictures.end();)
    i = i->second.Used < FRound - 1 ? FPictures.erase(i) : std::next(i);
  ++FRound;
}

QString DistortionPercentText(double percent) {
  // Four significant digits, counted after rounding so that 0.099999 reads 0.1000.
  int decimals = percent > 0 ? std::clamp(3 - static_cast<int>(std::floor(std::log10(percent))), 2, 6)
                             : 6;
  QString text = QString::asprintf("%.*f", decimals, percent);
  if (decimals > 2 && text.toDouble() >= std::pow(10.0, 4 - decimals))
    text = QString::asprintf("%.*f", --decimals, percent);
  return text + " %";
}

TDistortionDisplay::TDistortionDisplay(QWidget* parent) : TAudioDisplay(parent) {
  SetBackgroundColour(kBackground);
  FSettings.SampleRate = SampleRate();
  FFrames.assign(static_cast<std::size_t>(kFrameRoom) * 2, 0.0f);
}

TDistortionDisplay::~TDistortionDisplay() = default;

void TDistortionDisplay::SetSettings(const TDistortionSettings& settings) {
  FSettings = settings;
  FSettings.SampleRate = SampleRate();
  FAverage.Reset();
  if (FHeld == kAnalysisFrames) Analyse();
  CheckLayer();
  update();
}

void TDistortionDisplay::SetAveraging(int count) {
  FAverage.SetCount(count);
  if (FHeld == kAnalysisFrames) Analyse();
  CheckLayer();
  update();
}

void TDistortionDisplay::SetSource(TWaveIn* source) {
  TAudioDisplay::SetSource(source);
  if (source) source->SetBufferSamples(kBlockFrames);
  Discard();
}

void TDistortionDisplay::Discard() {
  FHeld = FStart = 0;
  FAnalyses = 0;
  FAverage.Reset();
  FLast = FShown = TDistortionResult{};
  CheckLayer();
  update();
}

template <typename T>
void TDistortionDisplay::Take(const T* frames, int frameCount) {
  if (frameCount <= 0) return;
  // A restarted capture does not continue the frames held.
  if (FAveragingCount == 0) Discard();
  ++FAveragingCount;
  if (frameCount >= kAnalysisFrames) {
    frames += 2 * static_cast<std::size_t>(frameCount - kAnalysisFrames);
    frameCount = kAnalysisFrames;
    FHeld = FStart = 0;
  }
  const int drop = std::max(FHeld + frameCount - kAnalysisFrames, 0);
  FStart += drop;
  FHeld -= drop;
  // The frames held move to the front only when the room behind them runs out.
  if (FStart + FHeld + frameCount > kFrameRoom) {
    std::memmove(FFrames.data(), FFrames.data() + 2 * static_cast<std::size_t>(FStart),
                 sizeof(float) * 2 * static_cast<std::size_t>(FHeld));
    FStart = 0;
  }
  float* to = FFrames.data() + 2 * static_cast<std::size_t>(FStart + FHeld);
  for (std::size_t i = 0; i < 2 * static_cast<std::size_t>(frameCount); ++i)
    to[i] = static_cast<float>(frames[i]);
  FHeld += frameCount;
  if (FHeld == kAnalysisFrames) Analyse();
  CheckLayer();
  Redraw();
}

void TDistortionDisplay::ProcessSamples(const int16_t* samples, int frameCount, bool&) {
  Take(samples, frameCount);
}

void TDistortionDisplay::ProcessFloatSamples(const float* frames, int frameCount) {
  Take(frames, frameCount);
}

void TDistortionDisplay::Analyse() {
  FLast = FAnalyser.Analyse(FFrames.data() + 2 * static_cast<std::size_t>(FStart),
                            kAnalysisFrames, FSettings, 32767.0f);
  FShown = FAverage.Add(FLast);
  ++FAnalyses;
}

QStringList TDistortionDisplay::ReadoutLines(int channel) const {
  QStringList out;
  for (const TLine& line : Lines(FShown.Channel[channel], FSettings, FHeld == kAnalysisFrames))
    out << (line.Label.isEmpty() ? line.Value : line.Label + "  " + line.Value);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Layout and drawing

TRect TDistortionDisplay::ReadoutRect(int channel) const {
  const int half = W() / 2;
  return {1 + channel * half, 1, 1 + (channel + 1) * half, 1 + kReadoutHeight};
}

TRect TDistortionDisplay::BarChartRect() const {
  const int left = 34;
  return {left, kReadoutHeight + 22, left + kHarmonicBars * kBarGroup, H() + 1 - 16};
}

TRect TDistortionDisplay::SpectrumRect() const {
  const TRect bars = BarChartRect();
  return {bars.Right + 40, bars.Top, W() + 1 - 10, bars.Bottom};
}

TRect TDistortionDisplay::BarRect(int order, int channel, double dBc) const {
  const TRect c = BarChartRect();
  const int left = c.Left + (order - 2) * kBarGroup + 2 + channel * kBarWidth;
  return {left, ScaleRow(dBc, kBarTopdBc, kBarBottomdBc, c.Top, c.Bottom), left + kBarWidth,
          c.Bottom};
}

int TDistortionDisplay::LayerKey() const {
  const bool full = FHeld == kAnalysisFrames;
  return static_cast<int>(FSettings.Kind) | (FSettings.Weighting == TNoiseWeighting::AWeighted) << 2 |
         full << 3 | (full && FShown.Channel[0].Valid) << 4 | (full && FShown.Channel[1].Valid) << 5;
}

void TDistortionDisplay::CheckLayer() {
  if (LayerKey() == FLayerKey) return;
  FLayerKey = LayerKey();
  InvalidateLayer();
}

void TDistortionDisplay::DrawDisplay(TCanvas& canvas) {
  DrawLayer(canvas);
  DrawOverLayer(canvas);
}

// Nothing drawn over the layer meets anything in it but the grids, which it is drawn over anyway,
// so the picture is the one drawn in a single pass.
void TDistortionDisplay::DrawLayer(TCanvas& canvas) {
  for (int channel = 0; channel < 2; ++channel) DrawReadouts(canvas, channel, true);
  DrawBars(canvas, true);
  DrawSpectrum(canvas, true);
}

void TDistortionDisplay::DrawOverLayer(TCanvas& canvas) {
  FTexts.Prune();
  for (int channel = 0; channel < 2; ++channel) DrawReadouts(canvas, channel, false);
  DrawBars(canvas, false);
  DrawSpectrum(canvas, false);
}

void TDistortionDisplay::DrawReadouts(TCanvas& canvas, int channel, bool labels) {
  const TRect r = ReadoutRect(channel);
  const int x = r.Left + 8;
  int y = r.Top + 4;
  QFont small = font();
  small.setPixelSize(11);
  QFont bold = small;
  bold.setBold(true);
  QFont large = bold;
  large.setPixelSize(18);
  canvas.SetBrushColour(kBackground);
  canvas.SetBrushStyle(bsSolid);
  canvas.SetFontColour(kChannelColour[channel]);
  canvas.SetFont(bold);
  if (labels) canvas.TextOut(x, y, channel == 0 ? "Left" : "Right");
  y += kLineHeight + 2;
  for (const TLine& line : Lines(FShown.Channel[channel], FSettings, FHeld == kAnalysisFrames)) {
    canvas.SetFont(line.Large ? large : small);
    if (labels && !line.Label.isEmpty()) canvas.TextOut(x, y, line.Label);
    if (!labels)
      FTexts.TextOut(canvas, line.Label.isEmpty() ? x : x + kValueIndent, y, line.Value);
    y += line.Large ? kLargeHeight : kLineHeight;
  }
}

void TDistortionDisplay::DrawBars(TCanvas& canvas, bool layer) {
  const TRect c = BarChartRect();
  const bool twoTone = FSettings.Kind != TDistortionKind::Sine;
  if (!layer) {
    if (FHeld < kAnalysisFrames) return;
    canvas.SetBrushStyle(bsSolid);
    for (int channel = 0; channel < 2; ++channel) {
      const TChannelDistortion& ch = FShown.Channel[channel];
      if (!ch.Valid) continue;
      canvas.SetBrushColour(kChannelColour[channel]);
      for (const THarmonicReading& h : twoTone ? ch.Imd.Orders : ch.Harmonics)
        if (h.Order >= 2 && h.Order <= 10) canvas.FillRect(BarRect(h.Order, channel, h.dBc));
    }
    return;
  }
  QFont small = font();
  small.setPixelSize(10);
  canvas.SetFont(small);
  canvas.SetFontColour(kCaption);
  canvas.SetBrushColour(kBackground);
  canvas.SetBrushStyle(bsSolid);
  canvas.TextOut(c.Left - 30, c.Top - 16, twoTone ? "IMD by order, dB" : "Harmonics, dBc");
  canvas.SetPenStyle(psDot);
  canvas.SetPenColour(kGrid);
  for (int dB = kBarTopdBc; dB >= kBarBottomdBc; dB -= 20) {
    const int row = ScaleRow(dB, kBarTopdBc, kBarBottomdBc, c.Top, c.Bottom);
    canvas.MoveTo(c.Left, row);
    canvas.LineTo(c.Right, row);
    if (dB % 40 == 0) {
      const QString text = QString::number(dB);
      canvas.TextOut(c.Left - 3 - canvas.TextWidth(text), row - canvas.TextHeight(text) / 2,
                     text);
    }
  }
  for (int order = 2; order <= (twoTone ? 5 : 10); ++order) {
    const QString text = QString::number(order);
    const int middle = c.Left + (order - 2) * kBarGroup + kBarGroup / 2;
    canvas.TextOut(middle - canvas.TextWidth(text) / 2, c.Bottom + 2, text);
  }
}

void TDistortionDisplay::DrawSpectrum(TCanvas& canvas, bool layer) {
  const TRect c = SpectrumRect();
  if (c.Width() < 2 || c.Height() < 2) return;
  if (!layer) {
    if (FHeld < kAnalysisFrames) return;
    canvas.SetPenStyle(psSolid);
    std::vector<QPoint> points(static_cast<std::size_t>(c.Width()));
    for (int channel = 0; channel < 2; ++channel) {
      const TChannelDistortion& ch = FShown.Channel[channel];
      if (!ch.Valid || ch.ResidualSpectrum.size() < 2) continue;
      const int bins = static_cast<int>(ch.ResidualSpectrum.size());
      if (FColumnBinsFor[0] != bins || FColumnBinsFor[1] != c.Width() ||
          FColumnBinsRate != SampleRate()) {
        FColumnBins = ResidualColumnBins(bins, SampleRate(), c.Width(), kSpectrumLowHz,
                                         kSpectrumHighHz);
        FColumnBinsFor[0] = bins;
        FColumnBinsFor[1] = c.Width();
        FColumnBinsRate = SampleRate();
      }
      const std::vector<float> levels = ResidualColumns(ch.ResidualSpectrum, FColumnBins);
      for (int x = 0; x < c.Width(); ++x)
        points[x] = QPoint(c.Left + x, ScaleRow(levels[x], kSpectrumTopdB, kSpectrumBottomdB,
                                                c.Top, c.Bottom));
      canvas.SetPenColour(kChannelColour[channel]);
      canvas.Polyline(points);
      // Polyline stops short of its last point.
      canvas.SetPixel(points.back().x(), points.back().y(), kChannelColour[channel]);
    }
    return;
  }
  QFont small = font();
  small.setPixelSize(10);
  canvas.SetFont(small);
  canvas.SetFontColour(kCaption);
  canvas.SetBrushColour(kBackground);
  canvas.SetBrushStyle(bsSolid);
  canvas.TextOut(c.Left - 30, c.Top - 16,
                 FSettings.Kind == TDistortionKind::Sine ? "Residual, dBFS" : "Spectrum, dBFS");
  const double decades = std::log10(kSpectrumHighHz / kSpectrumLowHz);
  const auto column = [&](double hz) {
    return c.Left + static_cast<int>(std::lrint(std::log10(hz / kSpectrumLowHz) / decades *
                                                (c.Width() - 1)));
  };
  canvas.SetPenStyle(psDot);
  canvas.SetPenColour(kGrid);
  for (int dB = kSpectrumTopdB; dB >= kSpectrumBottomdB; dB -= 20) {
    const int row = ScaleRow(dB, kSpectrumTopdB, kSpectrumBottomdB, c.Top, c.Bottom);
    canvas.MoveTo(c.Left, row);
    canvas.LineTo(c.Right, row);
    if (dB % 40 == 0) {
      const QString text = QString::number(dB);
      canvas.TextOut(c.Left - 3 - canvas.TextWidth(text), row - canvas.TextHeight(text) / 2,
                     text);
    }
  }
  for (const auto& [hz, text] : std::initializer_list<std::pair<double, const char*>>{
           {20, "20"}, {50, ""}, {100, "100"}, {200, ""}, {500, ""}, {1000, "1k"},
           {2000, ""}, {5000, ""}, {10000, "10k"}, {20000, ""}}) {
    const int x = column(hz);
    canvas.MoveTo(x, c.Top);
    canvas.LineTo(x, c.Bottom);
    const QString caption = QString::fromLatin1(text);
    if (!caption.isEmpty())
      canvas.TextOut(std::min(x - canvas.TextWidth(caption) / 2, c.Right - canvas.TextWidth(caption)),
                     c.Bottom + 2, caption);
  }
}

// ---------------------------------------------------------------------------------------------
// The page

void TMainForm::CreateDistortionPage(QWidget* page) {
  DistortionDisplay1 = new TDistortionDisplay(page);
  DistortionDisplay1->setObjectName("DistortionDisplay1");
  DistortionDisplay1->SetBounds(8, 8, 469, 292);
  MakeLabel(page, "LabelDistortionKind", "Measurement", 8, 306, 76);
  ComboBoxDistortionKind =
      MakeList(page, "ComboBoxDistortionKind", {"THD+N", "SMPTE", "CCIF"}, 8, 322, 76);
  MakeLabel(page, "LabelDistortionBand", "Bandwidth", 90, 306, 116);
  ComboBoxDistortionBand = MakeList(page, "ComboBoxDistortionBand",
                                    {"20 Hz - 20 kHz", "20 Hz - 22 kHz"}, 90, 322, 116);
  MakeLabel(page, "LabelDistortionWeighting", "Noise", 212, 306, 96);
  ComboBoxDistortionWeighting = MakeList(page, "ComboBoxDistortionWeighting",
                                         {"Unweighted", "A-weighted"}, 212, 322, 96);
  MakeLabel(page, "LabelDistortionAveraging", "Averaging", 314, 306, 60);
  ComboBoxDistortionAveraging =
      MakeList(page, "ComboBoxDistortionAveraging", {"None", "4", "16"}, 314, 322, 56);
  ButtonDistortionGenerator =
      MakeButton(page, "ButtonDistortionGenerator", "Set generator", 378, 320, 95, 25);

  // Programmatic choices (the restored settings) reach the display as the user's do.
  for (QComboBox* box : {ComboBoxDistortionKind, ComboBoxDistortionBand,
                         ComboBoxDistortionWeighting})
    connect(box, &QComboBox::currentIndexChanged, this,
            Guard(&TMainForm::ComboBoxDistortionSettingsChange));
  connect(ComboBoxDistortionAveraging, &QComboBox::currentIndexChanged, this,
          Guard(&TMainForm::ComboBoxDistortionAveragingChange));
  connect(ButtonDistortionGenerator, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonDistortionGeneratorClick));
  ShowDistortionGeneratorHint();
}

namespace {

struct TTestSignal {
  TWaveform Waveform;
  double Hz;  // the two-tones have their own
  const char* Hint;
};
// 997 Hz: prime, so no multiple of the mains and no whole number of periods in any block.
constexpr TTestSignal kTestSignals[] = {
    {SineWave, 997, "THD+N: 997 Hz sine at -1 dBFS"},
    {SmpteTwoTone, 0, "SMPTE: 60 Hz and 7 kHz, 4 : 1, at -1 dBFS"},
    {CcifTwoTone, 0, "CCIF: 19 kHz and 20 kHz, equal, at -1 dBFS"},
};

const TTestSignal& TestSignal(int kind) { return kTestSignals[kind >= 0 && kind < 3 ? kind : 0]; }

}  // namespace

void TMainForm::ShowDistortionGeneratorHint() {
  ButtonDistortionGenerator->setToolTip(
      QString::fromLatin1(TestSignal(ComboBoxDistortionKind->currentIndex()).Hint));
}

void TMainForm::ButtonDistortionGeneratorClick() {
  const TTestSignal& s = TestSignal(ComboBoxDistortionKind->currentIndex());
  ApplyTestTone(s.Waveform, s.Hz, -1);
}

void TMainForm::ComboBoxDistortionSettingsChange() {
  static constexpr TDistortionKind kKinds[] = {TDistortionKind::Sine, TDistortionKind::Smpte,
                                               TDistortionKind::Ccif};
  static constexpr double kBandTop[] = {20000, 22000};
  TDistortionSettings s = DistortionDisplay1->Settings();
  const int kind = ComboBoxDistortionKind->currentIndex();
  const int band = ComboBoxDistortionBand->currentIndex();
  s.Kind = kind >= 0 && kind < 3 ? kKinds[kind] : TDistortionKind::Sine;
  s.BandLow = 20;
  s.BandHigh = band == 1 ? kBandTop[1] : kBandTop[0];
  s.Weighting = ComboBoxDistortionWeighting->currentIndex() == 1 ? TNoiseWeighting::AWeighted
                                                                 : TNoiseWeighting::Flat;
  DistortionDisplay1->SetSettings(s);
  ShowDistortionGeneratorHint();
}

void TMainForm::ComboBoxDistortionAveragingChange() {
  static constexpr int kCounts[] = {1, 4, 16};
  const int index = ComboBoxDistortionAveraging->currentIndex();
  DistortionDisplay1->SetAveraging(index >= 0 && index < 3 ? kCounts[index] : 1);
}
