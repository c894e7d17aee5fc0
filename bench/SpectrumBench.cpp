// Per-block work of the spectrum display against the bare transform it is built on. Goals:
// ProcessSamples in every mode at most 1.6 times the real FFT plus power spectrum of the same
// length; rebuilding the axis tables on a mode change under 1 ms. DrawDisplay per frame is
// reported for bars, the log trace and the spectrogram.
#include <benchmark/benchmark.h>

#include <QWidget>

#include <random>
#include <vector>

#include "BenchSupport.h"
#include "DisplaySpectrum.h"
#include "NSP.h"

namespace {

std::vector<int16_t> NoiseBlock(int frames) {
  std::vector<int16_t> data(2 * static_cast<size_t>(frames));
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> v(-20000, 20000);
  for (auto& s : data) s = static_cast<int16_t>(v(rng));
  return data;
}

struct TApplicationFirst {
  TApplicationFirst() { EnsureApplication(); }
};

struct TDisplayOnPage : TApplicationFirst {
  QWidget page;
  TSpectrumDisplay* display;
  explicit TDisplayOnPage(int power) {
    display = new TSpectrumDisplay(&page);
    display->SetBounds(24, 32, 443, 258);
    display->SetFFTpower(power);
  }
};

void SetMode(TSpectrumDisplay& d, TSpectrumDisplayMode mode) {
  switch (mode) {
    case sdLogFreq: d.SetFreqMin(20); d.SetFreqMax(20000); break;
    case sdLogSpectrogram: d.SetFreqMin(80); d.SetFreqMax(15000); break;
    default: d.SetFreqMin(0); d.SetFreqMax(22050); break;
  }
  d.SetMode(mode);
}

// The floor every mode is measured against: transform and power spectrum alone.
void BM_BareFftAndPower(benchmark::State& state) {
  const int power = static_cast<int>(state.range(0));
  const int n = 1 << power;
  nspsPrepareFft(power);
  std::vector<float> data(static_cast<size_t>(n) + 2), work(data.size()), out(n / 2 + 1);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> v(-0.6f, 0.6f);
  for (auto& x : data) x = v(rng);
  for (auto _ : state) {
    work = data;
    nspsRealFft(work.data(), power, NSP_Forw);
    nspcbPowerSpectr(reinterpret_cast<const SCplx*>(work.data()), out.data(), n / 2 + 1);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_BareFftAndPower)->Arg(12)->Arg(15);

void BM_SpectrumProcessSamples(benchmark::State& state) {
  const int power = static_cast<int>(state.range(0));
  const auto mode = static_cast<TSpectrumDisplayMode>(state.range(1));
  TDisplayOnPage on(power);
  SetMode(*on.display, mode);
  const std::vector<int16_t> block = NoiseBlock(1 << power);
  bool go = true;
  for (auto _ : state) on.display->ProcessSamples(block.data(), 1 << power, go);
  state.SetLabel(std::to_string(1 << power) + " points, mode " + std::to_string(mode));
}
BENCHMARK(BM_SpectrumProcessSamples)
    ->ArgsProduct({{12, 15}, {sdOctave3, sdLogFreq, sdLinFreq, sdLogSpectrogram,
                              sdLinSpectrogram}});

void BM_SpectrumModeChange(benchmark::State& state) {
  TDisplayOnPage on(12);
  bool log = false;
  for (auto _ : state) {
    SetMode(*on.display, log ? sdLogFreq : sdLinFreq);
    log = !log;
  }
}
BENCHMARK(BM_SpectrumModeChange);

void BM_SpectrumDrawDisplay(benchmark::State& state) {
  const auto mode = static_cast<TSpectrumDisplayMode>(state.range(0));
  TDisplayOnPage on(12);
  SetMode(*on.display, mode);
  const std::vector<int16_t> block = NoiseBlock(4096);
  bool go = true;
  on.display->ProcessSamples(block.data(), 4096, go);
  QImage picture(443, 258, QImage::Format_RGB32);
  TCanvas canvas(&picture);
  for (auto _ : state) {
    canvas.SetBrushColour(QColor(64, 64, 64));
    canvas.FillRect({1, 1, 442, 257});
    on.display->DrawDisplay(canvas);
    benchmark::DoNotOptimize(picture.constBits());
  }
  state.SetLabel("mode " + std::to_string(mode));
}
BENCHMARK(BM_SpectrumDrawDisplay)->Arg(sdOctave3)->Arg(sdLogFreq)->Arg(sdLogSpectrogram);

}  // namespace
