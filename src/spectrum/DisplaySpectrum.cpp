#include "DisplaySpectrum.h"

#include "NSP.h"

#include <algorithm>
#include <cmath>
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
  BoundsChanged();
}

TSpectrumDisplay::~TSpectrumDisplay() = default;

const TBandTable& TSpectrumDisplay::BandTable() { return gBandTable; }

void TSpectrumDisplay::SetMode(TSpectrumDisplayMode mode) {
  FMode = mode;
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
  if (TWaveIn* source = Source()) source->SetBufferSamples(FN);
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
  TWaveIn* source = Source();
  const bool wasEnabled = source && source->Enabled();
  if (wasEnabled) source->SetEnabled(false);
  FReferencePower = SpectrumReferencePower(FN);
  FColumnBins.clear();
  if (W() > 0 && FMode != sdOctave3) {
    const int count = IsSpectrogram(FMode) ? H() : W();
    FColumnBins = BuildColumnBins(IsLogAxis(FMode), FFreqMin, FFreqMax, FN, SampleRate(), count);
  }
  FMarkerColumns.fill(0);
  if (FMode == sdLinFreq)
    for (std::size_t k = 0; k < FMarkerF.size(); ++k)
      FMarkerColumns[k] = MarkerColumn(FMarkerF[k], FFreqMin, FFreqMax, W() - 1);
  FPointCount = 0;
  FAveragingCount = 0;
  if (wasEnabled) source->SetEnabled(true);
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
    if (IsTrace(FMode) && MovingAverage()) SmoothTrace(values);
  }
  update();
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
