// Per-block work of the analyser and the oscilloscope. Goals on the development machine: offset
// removal and levels of a 4096-frame block (92.9 ms of audio) under 20 us without a display;
// the oscilloscope's ProcessSamples of a 44100-frame block at 100 ms per division under 100 us;
// the vector scope's ProcessSamples of a 4410-frame block on its 327-pixel plot under 20 us.
#include <benchmark/benchmark.h>

#include <QWidget>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "AudioAnalyser.h"
#include "BenchSupport.h"
#include "Displays.h"

namespace {

// Music-like: two sines plus noise, near full scale so that the clamp is exercised.
std::vector<int16_t> TestBlock(int frames) {
  std::vector<int16_t> data(2 * static_cast<size_t>(frames));
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 300.0);
  for (int k = 0; k < frames; ++k) {
    const double t = 2 * std::numbers::pi * k / 44100;
    const double l = 30000 * std::sin(1000 * t) + 2500 * std::sin(7000 * t) + noise(rng);
    const double r = 20000 * std::sin(440 * t) + noise(rng);
    data[2 * k] = static_cast<int16_t>(std::clamp(std::lrint(l), -32768L, 32767L));
    data[2 * k + 1] = static_cast<int16_t>(std::clamp(std::lrint(r), -32768L, 32767L));
  }
  return data;
}

constexpr int kAnalyserFrames = 4096;

void BM_AnalyserOffsetAndMeanSquare(benchmark::State& state) {
  std::vector<int16_t> block = TestBlock(kAnalyserFrames);
  TChannelLevels previous{1e-8f, 1e-8f};
  int sign = 1;
  for (auto _ : state) {
    // Alternating offsets keep the block from drifting into the clamp over the iterations.
    RemoveOffsets(block.data(), kAnalyserFrames, 3 * sign, -2 * sign);
    sign = -sign;
    previous = SmoothLevels(previous, MeanSquareLevels(block.data(), kAnalyserFrames));
    benchmark::DoNotOptimize(PowerTodB(previous.Left));
    benchmark::DoNotOptimize(PowerTodB(previous.Right));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kAnalyserFrames);
}

void BM_AnalyserOffsetAndPeak(benchmark::State& state) {
  std::vector<int16_t> block = TestBlock(kAnalyserFrames);
  TChannelLevels previous{1e-8f, 1e-8f};
  int sign = 1;
  for (auto _ : state) {
    RemoveOffsets(block.data(), kAnalyserFrames, 3 * sign, -2 * sign);
    sign = -sign;
    previous = SmoothLevels(previous, PeakLevels(block.data(), kAnalyserFrames));
    benchmark::DoNotOptimize(PowerTodB(previous.Left));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kAnalyserFrames);
}

// The whole data handler on a replayed block: offsets, levels into a meter, OnData, timing.
void BM_AnalyserBlockWithMeterNoDisplay(benchmark::State& state) {
  EnsureApplication();
  QWidget parent;
  auto* meter = new TLevelMeter(&parent);
  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(kAnalyserFrames);
  analyser.SetLevelMeter(meter);
  analyser.SetLeftOffset(-3);
  analyser.SetRightOffset(2);
  std::vector<int16_t> block = TestBlock(kAnalyserFrames);
  for (auto _ : state) {
    analyser.ReplaySamples(reinterpret_cast<char*>(block.data()), 4 * kAnalyserFrames);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kAnalyserFrames);
}

void BM_WaveformProcessSamples100ms(benchmark::State& state) {
  EnsureApplication();
  QWidget parent;
  auto* scope = new TWaveformDisplay(&parent);
  scope->SetBounds(0, 0, 443, 258);
  scope->SetTimebase(wtb_100ms);
  const std::vector<int16_t> block = TestBlock(44100);
  for (auto _ : state) {
    bool continueFlag = true;
    scope->ProcessSamples(block.data(), 44100, continueFlag);
    benchmark::DoNotOptimize(continueFlag);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 44100);
}

void BM_WaveformReduce(benchmark::State& state) {
  const int ms = static_cast<int>(state.range(0));
  const int frames = std::max(441 * ms, 4410);
  const std::vector<int16_t> block = TestBlock(frames);
  std::vector<QPoint> left(441), right(441);
  TWaveformLayout layout;
  layout.SweepLength = 441 * ms;
  layout.W = 441;
  layout.H = 256;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReduceWaveform(block.data(), frames, layout, left.data(), right.data()));
    benchmark::ClobberMemory();
  }
}

// The window's vector scope: 329 x 321 pixels, so the first 327 frames are plotted.
void BM_VectorScopeProcessSamples(benchmark::State& state) {
  EnsureApplication();
  QWidget parent;
  auto* scope = new TVectorScope(&parent);
  scope->SetBounds(0, 0, 329, 321);
  const std::vector<int16_t> block = TestBlock(4410);
  for (auto _ : state) {
    bool continueFlag = true;
    scope->ProcessSamples(block.data(), 4410, continueFlag);
    benchmark::DoNotOptimize(scope->PointCount());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * scope->W());
}

BENCHMARK(BM_AnalyserOffsetAndMeanSquare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AnalyserOffsetAndPeak)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AnalyserBlockWithMeterNoDisplay)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WaveformProcessSamples100ms)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VectorScopeProcessSamples)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WaveformReduce)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
