#include "DisplaySpectrum.h"

#include "Messages.h"
#include "NSP.h"

#include <QFontInfo>
#include <QLabel>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <numbers>

namespace {

// The one band table of the program; GUI thread only.
TBandTable gBandTable;

constexpr std::align_val_t kBufferAlignment{64};

float* AllocateFloats(std::size_t count) {
  auto* p = static_cast<float*>(::operator new(count * sizeof(float), kBufferAlignment));
  std::fill_n(p, count, 0.0f);
  return p;
}

// Runs f, keeping its first exception for later so the caller can finish its own steps.
template <class F>
void Deferred(std::exception_ptr& error, F f) {
  try {
    f();
  } catch (...) {
    if (!error) error = std::current_exception();
  }
}

}  // namespace

std::array<QRgb, 256> SpectrogramPalette(bool monochrome) {
  std::array<QRgb, 256> palette{};
  for (int i = 0; i < 256; ++i) {
    if (monochrome) {
      palette[static_cast<std::size_t>(i)] = qRgb(i, i, i);
    } else {
      const int c = i - static_cast<int>(std::nearbyint(
                            40.0L * std::sin(2.0L * std::numbers::pi_v<long double> * i / 255)));
      palette[static_cast<std::size_t>(i)] = qRgb(c, c, i);
    }
  }
  return palette;
}

void TSpectrumDisplay::TFree::operator()(float* p) const { ::operator delete(p, kBufferAlignment); }

TSpectrumDisplay::TSpectrumDisplay(QWidget* parent)
    : TFrequencyPlot(parent),
      FWork(AllocateFloats(kSpectrumMaxFft + 2)),
      FPower(AllocateFloats(kSpectrumMaxFft)) {
  FMode = sdOctave3;
  FFFTpower = 12;
  FN = 4096;
  nspsPrepareFft(FFFTpower);
  RebuildColumnBins();
  FMonochromeSpectrogram = true;
  SetMonochromeSpectrogram(false);
  setMouseTracking(true);
  BoundsChanged();
}

TSpectrumDisplay::~TSpectrumDisplay() = default;

const TBandTable& TSpectrumDisplay::BandTable() { return gBandTable; }

void TSpectrumDisplay::SetMode(TSpectrumDisplayMode mode) {
  FMode = mode;
  InvalidateLayer();
  const int half = SampleRate() / 2;
  if (FFreqMax == 0) FFreqMax = half;
  if (FFreqMax < 300) FFreqMax = 300;
  if (IsLogAxis(FMode) && FFreqMin < SampleRate() / FN) FFreqMin = SampleRate() / FN;
  std::exception_ptr error;
  Deferred(error, [this] { RebuildFrequencyTable(); });
  Deferred(error, [this] { RebuildColumnBins(); });
  if (FLayoutReady) UpdateScaleLabels();
  ClearSpectrogram();
  update();
  if (error) std::rethrow_exception(error);
}

void TSpectrumDisplay::SetChannelSelect(TChannelSelect select) {
  FAveragingCount = 0;
  FChannelSelect = select;
}

void TSpectrumDisplay::SetMonochromeSpectrogram(bool monochrome) {
  if (monochrome == FMonochromeSpectrogram) return;
  FPalette = SpectrogramPalette(monochrome);
  FMonochromeSpectrogram = monochrome;
}

void TSpectrumDisplay::SetFreqMin(int hz) {
  FFreqMin = std::clamp(hz, 0, SampleRate() / 2);
  RebuildFrequencyTable();
}

void TSpectrumDisplay::SetFreqMax(int hz) {
  FFreqMax = std::clamp(hz, 0, SampleRate() / 2);
  RebuildFrequencyTable();
}

void TSpectrumDisplay::SetFFTpower(int power) {
  FFFTpower = std::clamp(power, kSpectrumMinFftOrder, kSpectrumMaxFftOrder);
  FN = 1 << FFFTpower;
  nspsPrepareFft(FFFTpower);
  std::exception_ptr error;
  Deferred(error, [this] { RebuildColumnBins(); });
  if (TWaveIn* source = FeedingSource()) source->SetBufferSamples(FN);
  if (error) std::rethrow_exception(error);
}

void TSpectrumDisplay::SetMarker(int index, int hz) {
  FMarkerF[static_cast<std::size_t>(index)] = hz;
  RebuildColumnBins();
}

void TSpectrumDisplay::SetSource(TWaveIn* source) {
  TFrequencyPlot::SetSource(source);
  if (source) source->SetBufferSamples(FN);
}

void TSpectrumDisplay::ClearSpectrogram() {
  if (isVisible()) FSpectrogram.fill(Qt::black);
}

void TSpectrumDisplay::BoundsChanged() {
  TFrequencyPlot::BoundsChanged();
  // A move leaves the axes as they are; a new size needs them built again.
  if (W() == FBuiltW && H() == FBuiltH) return;
  FBuiltW = W();
  FBuiltH = H();
  if (W() <= 0) return;
  if (H() > 0) {
    FSpectrogram = QImage(W(), H(), QImage::Format_RGB32);
    FSpectrogram.fill(Qt::black);
  }
  std::exception_ptr error;
  Deferred(error, [this] { RebuildFrequencyTable(); });
  Deferred(error, [this] { RebuildColumnBins(); });
  // The captions keep their places beside the display when it changes size.
  if (FLayoutReady) Deferred(error, [this] { UpdateScaleLabels(); });
  if (error) std::rethrow_exception(error);
}

void TSpectrumDisplay::RebuildFrequencyTable() {
  const int d = IsTrace(FMode) ? W() - 1 : IsSpectrogram(FMode) ? H() - 1 : -1;
  FLastColumn = d;
  if (d < 1) return;
  const std::vector<float> table = BuildFrequencyTable(IsLogAxis(FMode), FFreqMin, FFreqMax, d);
  // The column arrays hold W entries; a spectrogram taller than wide keeps what fits (its
  // blocks are refused until the plot is wider again).
  auto& column = FColumns[kFrequencyTable];
  std::copy_n(table.begin(), std::min(table.size(), column.size()), column.begin());
  RebuildColumnBins();
}

void TSpectrumDisplay::RebuildColumnBins() {
  // Only a capture that feeds this display can meet a half-built table.
  TWaveIn* source = FeedingSource();
  const bool wasEnabled = source && source->Enabled();
  if (wasEnabled) source->SetEnabled(false);
  FReferencePower = SpectrumReferencePower(FN);
  FColumnBins.clear();
  if (W() > 0 && FMode != sdOctave3) {
    const int count = IsSpectrogram(FMode) ? H() : W();
    FColumnBins = BuildColumnBins(IsLogAxis(FMode), FFreqMin, FFreqMax, FN, SampleRate(), count);
  }
  InvalidateLayer();  // the markers are in it
  FMarkerColumns.fill(0);
  if (FMode == sdLinFreq)
    for (std::size_t k = 0; k < FMarkerF.size(); ++k)
      FMarkerColumns[k] = MarkerColumn(FMarkerF[k], FFreqMin, FFreqMax, W() - 1);
  FPointCount = 0;
  FAveragingCount = 0;
  FHistoryCount = 0;
  RebuildCalibrationTable();
  if (wasEnabled) source->SetEnabled(true);
}

void TSpectrumDisplay::SetCalibration(std::shared_ptr<const TCalibration> calibration) {
  FCalibration = std::move(calibration);
  RebuildCalibrationTable();
  update();
}

double TSpectrumDisplay::PositionFrequency(int i) const {
  if (FMode == sdOctave3) return BandCentreHz(i, SampleRate());
  const int count = IsSpectrogram(FMode) ? H() : W();
  const std::vector<float> table = BuildFrequencyTable(IsLogAxis(FMode), FFreqMin, FFreqMax, count - 1);
  return i >= 0 && static_cast<std::size_t>(i) < table.size() ? table[static_cast<std::size_t>(i)]
                                                              : std::nan("");
}

void TSpectrumDisplay::RebuildCalibrationTable() {
  FCalibrationdB.clear();
  if (!FCalibration || FCalibration->Empty()) return;
  if (FMode == sdOctave3) {
    for (int j = 0; j < kSpectrumBands; ++j)
      FCalibrationdB.push_back(static_cast<float>(FCalibration->GaindB(BandCentreHz(j, SampleRate()))));
    return;
  }
  const int count = IsSpectrogram(FMode) ? H() : W();
  if (count < 2) return;
  for (const float hz : BuildFrequencyTable(IsLogAxis(FMode), FFreqMin, FFreqMax, count - 1))
    FCalibrationdB.push_back(static_cast<float>(FCalibration->GaindB(hz)));
}

void TSpectrumDisplay::ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) {
  (void)continueFlag;
  if (frameCount < FN || W() < H()) return;
  if (TWaveIn* source = Source())
    FSpectrogramBlock = source->BufferNumber();
  else
    ++FSpectrogramBlock;

  float* work = FWork.get();
  float* power = FPower.get();
  ReduceChannels(samples, FN, FChannelSelect, work);
  if (FMode == sdOctave3 || FMode == sdLogSpectrogram)
    nspsWinHamming(work, FN);
  else
    nspsWinHann(work, FN);
  nspsRealFft(work, FFFTpower, NSP_Forw);
  nspcbPowerSpectr(reinterpret_cast<const SCplx*>(work), power, FN / 2 + 1);
  if (FHumReject) RejectHum(power, FN, SampleRate());

  float* values = FColumns[0].data();
  float* averaged = FColumns[1].data();
  if (FMode == sdOctave3) {
    // Bars need 28 columns; a narrower plot has nowhere to keep them.
    if (FColumns[0].size() < static_cast<std::size_t>(kSpectrumBands)) return;
    if (gBandTable.N != FN) gBandTable = BuildBandTable(FN, SampleRate());
    ReduceBands(power, gBandTable, FReferencePower, values);
    if (MovingAverage()) {
      if (FAveragingCount != 0)
        for (int j = 0; j < kSpectrumBands; ++j)
          values[j] = static_cast<float>((7.0 * averaged[j] + values[j]) / 8.0);
      std::copy_n(values, kSpectrumBands, averaged);
      ++FAveragingCount;
    }
    FPointCount = kSpectrumBands;
  } else {
    const int n = IsTrace(FMode) ? W() : H();
    if (IsSpectrogram(FMode)) FColumnsPerBlock = FN / 2048;
    // Tables from another size than the plot's would read the wrong bins.
    if (FColumnBins.size() != static_cast<std::size_t>(n)) return;
    ReduceColumns(power, FColumnBins, FReferencePower, values);
    FPointCount = n;
    if (IsSpectrogram(FMode)) KeepSpectrogramBlock(values, n);
    if (IsTrace(FMode) && MovingAverage()) SmoothTrace(values);
  }
  Redraw();
}

void TSpectrumDisplay::KeepSpectrogramBlock(const float* rows, int count) {
  // As many blocks as the picture has room for; a change of size starts again.
  const std::size_t blocks = static_cast<std::size_t>(
      std::max((W() + FColumnsPerBlock - 1) / std::max(FColumnsPerBlock, 1), 1));
  if (count != FHistoryRows || blocks != FHistoryBlocks.size()) {
    FHistoryRows = count;
    FHistoryBlocks.assign(blocks, 0);
    FHistory.assign(blocks * static_cast<std::size_t>(count), 0.0f);
    FHistoryCount = 0;
  }
  if (FHistoryCount == 0) FHistoryNext = 0;
  FHistoryBlocks[FHistoryNext] = FSpectrogramBlock;
  std::copy_n(rows, count, FHistory.begin() + static_cast<std::ptrdiff_t>(FHistoryNext) * count);
  FHistoryNext = (FHistoryNext + 1) % static_cast<int>(blocks);
  FHistoryCount = std::min(FHistoryCount + 1, static_cast<int>(blocks));
}

int TSpectrumDisplay::SpectrogramBlock(int i) const {
  const int size = static_cast<int>(FHistoryBlocks.size());
  return FHistoryBlocks[(FHistoryNext - FHistoryCount + i + size) % size];
}

std::span<const float> TSpectrumDisplay::SpectrogramRows(int i) const {
  const int size = static_cast<int>(FHistoryBlocks.size());
  const int slot = (FHistoryNext - FHistoryCount + i + size) % size;
  return {FHistory.data() + static_cast<std::size_t>(slot) * FHistoryRows,
          static_cast<std::size_t>(FHistoryRows)};
}

void TSpectrumDisplay::SmoothTrace(float* values) {
  const int t = FMode == sdLogFreq ? 15 - FFFTpower : 2 * (15 - FFFTpower);
  float* averaged = FColumns[1].data();
  if (FAveragingCount != 0)
    for (int i = 1; i < W(); ++i)
      values[i] = static_cast<float>((static_cast<double>(t) * averaged[i] + values[i]) / (t + 1));
  std::copy_n(values, W(), averaged);
  ++FAveragingCount;
}

void TSpectrumDisplay::ProcessFloatSamples(const float* frames, int frameCount) {
  if (frameCount <= 0) return;
  FConversion.resize(static_cast<std::size_t>(frameCount) * 2);
  for (std::size_t i = 0; i < FConversion.size(); ++i) {
    const float v = frames[i];
    // NaN has no nearest integer: it counts as silence.
    FConversion[i] = v != v ? int16_t{0}
                            : static_cast<int16_t>(std::clamp(std::nearbyint(v), -32768.0f,
                                                              32767.0f));
  }
  bool continueFlag = true;
  ProcessSamples(FConversion.data(), frameCount, continueFlag);
}

// ---------------------------------------------------------------------------------------------
// Drawing, captions and the mouse

int SpectrumGridStep(int span) { return DecibelGridStep(span); }

QString SpectrumFrequencyText(double hz) {
  if (hz >= 10000) return QString::asprintf("%.0fK", hz / 1000);
  if (hz > 1000) return QString::asprintf("%.1fK", hz / 1000);
  return QString::asprintf("%.0f", hz);
}

QLabel* TSpectrumDisplay::Label(const QString& suffix) const {
  QWidget* parent = parentWidget();
  return parent ? parent->findChild<QLabel*>(objectName() + suffix, Qt::FindDirectChildrenOnly)
                : nullptr;
}

void TSpectrumDisplay::UpdateScaleLabels() {
  QWidget* parent = parentWidget();
  if (!parent) return;
  if (!FLabelsCreated) {
    for (const char* axis : {"_X", "_Y"})
      for (int k = 0; k <= 10; ++k) {
        auto* label = new QLabel(parent);
        label->setObjectName(objectName() + QLatin1String(axis) + QString::number(k));
        label->hide();
      }
    FLabelsCreated = true;
    FLayoutReady = true;
  }
  std::array<QLabel*, 11> xs{}, ys{};
  for (int k = 0; k <= 10; ++k) {
    xs[k] = Label(QStringLiteral("_X") + QString::number(k));
    ys[k] = Label(QStringLiteral("_Y") + QString::number(k));
    for (QLabel* label : {xs[k], ys[k]})
      if (label) label->hide();
  }
  const QRect bounds = geometry();
  const int fs = SampleRate();
  // Captions of a frequency axis run from FreqMax down in ten equal steps or ratios.
  const double step = (FFreqMax - FFreqMin) / 10.0;
  const double ratio = FFreqMin > 0 ? std::pow(static_cast<double>(FFreqMax) / FFreqMin, 0.1) : 1;

  // Texts first, so that one font can be chosen that fits every caption left of the plot.
  std::vector<std::pair<QLabel*, int>> left;  // label, row or -1
  const bool dBScale = !IsSpectrogram(FMode);
  if (dBScale) {
    const int step = SpectrumGridStep(MaxdB() - MindB());
    int k = 0;
    for (int level = MindB(); level <= MaxdB() && k <= 10; ++level) {
      if (level % step != 0) continue;
      if (QLabel* label = ys[k]) {
        label->setText(QString::number(level));
        left.push_back({label, LevelToRow(static_cast<float>(level))});
      }
      ++k;
    }
  } else {
    double v = FFreqMax;
    for (int k = 0; k <= 10; ++k) {
      if (QLabel* label = ys[k]) {
        label->setText(SpectrumFrequencyText(v));
        left.push_back({label, k * (H() - 1) / 10});
      }
      v = FMode == sdLinSpectrogram ? v - step : v / ratio;
    }
  }
  const int gap = dBScale ? 4 : 2;
  // A caption wider than the room beside the plot gets a smaller font for all of them, so that
  // none is cut off at the page's edge.
  QFont font = parent->font();
  int pixels = QFontInfo(font).pixelSize();
  auto widest = [&] {
    int w = 0;
    for (auto& [label, row] : left) {
      label->setFont(font);
      w = std::max(w, label->sizeHint().width());
    }
    return w;
  };
  while (widest() > bounds.left() - gap && pixels > 6) font.setPixelSize(--pixels);
  for (auto& [label, row] : left) {
    label->adjustSize();
    label->move(std::max(0, bounds.left() - label->width() - gap),
                bounds.top() + 1 + row - label->height() / 2);
    label->show();
  }

  const int below = bounds.top() + bounds.height() + 4;
  auto place = [&](QLabel* label, const QString& text, int centre) {
    if (!label) return;
    label->setFont(font);
    label->setText(text);
    label->adjustSize();
    label->move(centre - label->width() / 2, below);
    label->show();
  };
  if (FMode == sdOctave3) {
    double f = fs > 49000 ? 62.5 : 31.25;
    for (int k = 1; k <= 10; ++k) {
      QString text = f >= 1000 ? QString::asprintf("%.0fK", f / 1000) : QString::asprintf("%.0f", f);
      if (k == 10) text += QLatin1String("Hz");
      place(xs[k], text, bounds.left() + 1 + (2 * k - 1) * (bounds.width() - 2) / 20);
      f *= 2;
    }
  } else if (IsTrace(FMode)) {
    double v = FFreqMax;
    for (int k = 10; k >= 0; --k) {
      place(xs[k], SpectrumFrequencyText(v), bounds.left() + 1 + k * (bounds.width() - 2) / 10);
      v = FMode == sdLinFreq ? v - step : v / ratio;
    }
  }
}

void TSpectrumDisplay::DrawDisplay(TCanvas& canvas) {
  const int64_t started = PerfCounter();
  DrawLayer(canvas);
  DrawData(canvas);
  if (TWaveIn* source = Source()) source->PlotTicks += static_cast<double>(PerfCounter() - started);
}

bool TSpectrumDisplay::HasLayer() const { return !IsSpectrogram(FMode); }

void TSpectrumDisplay::DrawOverLayer(TCanvas& canvas) { DrawData(canvas); }

// The grid counts as drawn whether it was drawn anew or copied from the layer.
void TSpectrumDisplay::LayerPainted(int64_t ticks) {
  if (TWaveIn* source = Source()) source->PlotTicks += static_cast<double>(ticks);
}

void TSpectrumDisplay::DrawLayer(TCanvas& canvas) {
  canvas.SetPenColour(QColor(0, 255, 0));
  canvas.SetPenStyle(psSolid);
  const auto line = [&canvas](int x0, int y0, int x1, int y1) {
    canvas.MoveTo(x0, y0);
    canvas.LineTo(x1, y1);
  };
  if (!IsSpectrogram(FMode)) {
    const int step = SpectrumGridStep(MaxdB() - MindB());
    for (int level = MindB(); level <= MaxdB(); ++level)
      if (level % step == 0) {
        const int y = LevelToRow(static_cast<float>(level));
        line(1, y, width() - 1, y);
      }
  } else if (FPointCount == 0) {
    for (int j = 0; j <= 10; ++j) {
      const int y = j * (H() - 1) / 10 + 1;
      line(1, y, W() + 1, y);
    }
  }
  if (FMode == sdOctave3) {
    for (int j = 1; j <= 10; ++j) {
      const int x = (2 * j - 1) * W() / 20 + 1;
      line(x, 1, x, H() + 1);
    }
  } else if (IsTrace(FMode)) {
    for (int j = 1; j <= 9; ++j) {
      const int x = j * W() / 10 + 1;
      line(x, 1, x, H() + 1);
    }
    canvas.SetPenStyle(psDot);
    for (int c : FMarkerColumns)
      if (c != 0) line(c, 1, c, H() + 1);
    canvas.SetPenStyle(psSolid);
  }
}

void TSpectrumDisplay::DrawData(TCanvas& canvas) {
  if (FPointCount != 0) {
    try {
      DrawValues(canvas);
    } catch (const std::exception& e) {
      // The grid stays; one message rather than one per paint.
      if (!FDrawFailureShown) {
        FDrawFailureShown = true;
        ShowMessage(std::string("The spectrum could not be drawn: ") + e.what());
      }
    }
  }
}

void TSpectrumDisplay::LevelsdB(float* out, int count) const {
  nspsbCopy(FColumns[0].data(), out, count);
  nspsbLn1(out, count);
  nspsbMpy1(static_cast<float>(10.0L / std::log(10.0L)), out, count);
  if (FCalibrationdB.size() >= static_cast<std::size_t>(count))
    nspsbSub3(out, FCalibrationdB.data(), out, count);
}

std::vector<float> TSpectrumDisplay::Levels() const {
  const int count = std::min<int>(FPointCount, static_cast<int>(FColumns[0].size()));
  std::vector<float> levels(static_cast<std::size_t>(std::max(count, 0)));
  if (count > 0) LevelsdB(levels.data(), count);
  return levels;
}

const int32_t* TSpectrumDisplay::ValueRows(int count, int start, std::vector<int32_t>* unclamped) {
  float* work = FColumns[2].data();
  LevelsdB(work, count);
  LevelsToRows(work, work, count - start, start);
  if (unclamped) unclamped->assign(static_cast<std::size_t>(count), 0);
  // The rows now hold int32 bits. Lines to rows far off the plot would be walked pixel by
  // pixel; a limit of two plot heights beyond either edge keeps every visible pixel as it was.
  auto* rows = reinterpret_cast<int32_t*>(work);
  const int32_t low = -2 * H(), high = 3 * H() + 3;
  for (int i = start; i < count; ++i) {
    int32_t r;
    std::memcpy(&r, work + i, sizeof r);
    if (unclamped) (*unclamped)[static_cast<std::size_t>(i)] = r;
    r = std::clamp(r, low, high);
    std::memcpy(rows + i, &r, sizeof r);
  }
  return rows;
}

void TSpectrumDisplay::DrawValues(TCanvas& canvas) {
  const int count = std::min<int>(FPointCount, static_cast<int>(FColumns[0].size()));
  if (FMode == sdOctave3) {
    if (count < kSpectrumBands) return;
    const int32_t* rows = ValueRows(kSpectrumBands, 0);
    canvas.SetBrushColour(TraceColour());
    canvas.SetBrushStyle(bsSolid);
    const auto x = [this](int k) { return k * W() / 30; };
    for (int j = 0; j < kSpectrumBands; ++j)
      canvas.FillRect({x(j + 1) + 1, rows[j], x(j + 2) - 1, H() + 1});
  } else if (IsTrace(FMode)) {
    if (count < 2 || FLeftPoints.size() < static_cast<std::size_t>(count)) return;
    const int32_t* rows = ValueRows(count, 1, &FTraceRows);
    for (int j = 1; j < count; ++j) FLeftPoints[j] = QPoint(j + 1, rows[j]);
    canvas.SetPenColour(TraceColour());
    canvas.Polyline(std::span<const QPoint>(FLeftPoints.data() + 1, count - 1));
  } else {
    if (count != H()) return;
    DrawSpectrogram(canvas, ValueRows(count, 0));
  }
}

void TSpectrumDisplay::DrawSpectrogram(TCanvas& canvas, const int32_t* rows) {
  if (FSpectrogramBlock == 0) ClearSpectrogram();
  const int w = W(), h = H();
  if (FSpectrogram.width() != w || FSpectrogram.height() != h) return;
  const int64_t base = static_cast<int64_t>(FSpectrogramBlock) * FColumnsPerBlock;
  for (int r = 0; r < h; ++r) {
    const int64_t v = std::clamp<int64_t>(255 - static_cast<int64_t>(rows[r]) * 255 / h, 0, 255);
    auto* line = reinterpret_cast<QRgb*>(FSpectrogram.scanLine(h - 1 - r));
    for (int k = 0; k < FColumnsPerBlock; ++k)
      line[(base + k) % w] = FPalette[static_cast<std::size_t>(v)];
  }
  const int g = static_cast<int>((static_cast<int64_t>(FSpectrogramBlock + 1) * FColumnsPerBlock) % w);
  if (g != 0) {
    canvas.CopyRect({1, 1, w - g + 1, h + 1}, FSpectrogram, {g, 0, w, h});
    canvas.CopyRect({w - g + 1, 1, w + 1, h + 1}, FSpectrogram, {0, 0, g, h});
  } else {
    canvas.CopyRect({1, 1, w + 1, h + 1}, FSpectrogram, {0, 0, w, h});
  }
  canvas.SetPenColour(QColor(0, 255, 0));
  for (int j = 0; j <= 10; ++j) {
    const int y = j * (h - 1) / 10 + 1;
    canvas.MoveTo(1, y);
    canvas.LineTo(w + 1, y);
  }
}

bool TSpectrumDisplay::Readout(int x, int y, float& frequency, float& level) const {
  if (IsTrace(FMode)) return TFrequencyPlot::Readout(x, y, frequency, level);
  if (IsSpectrogram(FMode)) return TFrequencyPlot::Readout(H() - y + 1, 1, frequency, level);
  return false;
}

bool TSpectrumDisplay::FindPeak(int x, int y, float& frequency, float& level) {
  if (!IsTrace(FMode)) return false;
  const int count = std::min({FPointCount, static_cast<int>(FLeftPoints.size()),
                              static_cast<int>(FTraceRows.size())});
  std::copy_n(FLeftPoints.begin(), count, FRightPoints.begin());
  const int i0 = x - 1;
  if (i0 < 2 || i0 > count - 2) return false;
  constexpr int kReach = 17;
  int left = -1, right = -1;
  for (int i = i0 - 1; i >= 0 && i >= i0 - kReach; --i)
    if (FRightPoints[i].y() > y) {
      left = i;
      break;
    }
  if (left < 0) return false;
  for (int i = i0 + 1; i <= count - 1 && i <= i0 + kReach; ++i)
    if (FRightPoints[i].y() > y) {
      right = i;
      break;
    }
  if (right < 0) return false;
  // Levels from the trace's own rows: the drawn points stop a little beyond the plot, and a
  // peak far above a zoomed scale would read as the edge of the drawing.
  const auto rowLevel = [this](int i) { return RowToLevel(FTraceRows[static_cast<std::size_t>(i)]); };
  const int c = (left + right) / 2;
  float f0 = 0, f1 = 0, unused = 0;
  if (!TFrequencyPlot::Readout(c + 1, y, f0, unused)) return false;
  if ((right - left) % 2 == 0) {
    frequency = f0;
    level = rowLevel(c);
    return true;
  }
  if (!TFrequencyPlot::Readout(c + 2, y, f1, unused)) {
    // The last column has no neighbour in the table: the peak is at its edge.
    f1 = f0;
  }
  frequency = (f0 + f1) / 2;
  level = (rowLevel(c) + rowLevel(c + 1)) / 2;
  return true;
}

void TSpectrumDisplay::mouseMoveEvent(QMouseEvent* event) {
  if (FOnMouseMove) FOnMouseMove(event->position().toPoint().x(), event->position().toPoint().y());
  TFrequencyPlot::mouseMoveEvent(event);
}

void TSpectrumDisplay::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) FPressed = true;
  TFrequencyPlot::mousePressEvent(event);
}

void TSpectrumDisplay::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = FPressed && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  FPressed = false;
  if (click && FOnClick) FOnClick();
  TFrequencyPlot::mouseReleaseEvent(event);
}
