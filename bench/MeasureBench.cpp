// Finding where a played signal comes back in a capture. Goal: under 1 ms for the fast sweep's
// 57330-frame block (every block) and for a slow run's marker search (once per cycle).
// Distortion analysis: one complete analysis of 32768 frames, both channels, at most 1 ms
// (THD+N: about 0.85 ms and 8.5 M instructions under callgrind on a shared 2-core machine, where
// it took 2 ms and 24 M before the fit kept its start and the harmonics came from the transform).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include <cmath>
#include <random>

#include "DelayFinder.h"
#include "Distortion.h"
#include "SweepGenerator.h"

namespace {

// A block of the fast log sweep 20 Hz ... 20 kHz on both channels, phase 0.
std::vector<int16_t> FastBlock() {
  constexpr int n = 57330;
  std::vector<int16_t> block(2 * n);
  for (int channel : {0, 1}) {
    uint32_t phase = 0;
    TAudioSweepGenerator::FillSweepChannel(block.data(), n, channel, kSmoothSweepSteps, false, true, 20, 20000,
                                           0.5f, phase);
  }
  return block;
}

void BM_DelayFastBlock(benchmark::State& state) {
  const std::vector<int16_t> played = FastBlock();
  const int n = static_cast<int>(played.size() / 2);
  std::vector<int16_t> captured(played.size());
  for (int f = 0; f < n; ++f)
    for (int c : {0, 1}) captured[2 * ((f + 13230) % n) + c] = played[2 * f + c];
  TDelayFinder finder;
  finder.SetReference(played.data(), n, n, TDelayFinder::TMode::Circular);
  TDelayResult result;
  for (auto _ : state) benchmark::DoNotOptimize(result = finder.Find(captured.data(), n));
  state.SetLabel("lag " + std::to_string(result.Lag));
}
BENCHMARK(BM_DelayFastBlock)->Unit(benchmark::kMicrosecond);

void BM_DelaySlowMarker(benchmark::State& state) {
  constexpr int size = 1 << 16;
  std::vector<int16_t> marker(2 * kMarkerFrames, 0), captured(2 * size, 0);
  for (int c : {0, 1}) TAudioSweepGenerator::FillMarkerChannel(marker.data(), kMarkerFrames, c, 0.5f);
  for (int f = 0; f < kMarkerFrames; ++f)
    for (int c : {0, 1}) captured[2 * (f + 13230) + c] = marker[2 * f + c];
  TDelayFinder finder;
  finder.SetReference(marker.data(), kMarkerFrames, size, TDelayFinder::TMode::Linear);
  TDelayResult result;
  for (auto _ : state) benchmark::DoNotOptimize(result = finder.Find(captured.data(), size));
  state.SetLabel("lag " + std::to_string(result.Lag));
}
BENCHMARK(BM_DelaySlowMarker)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// 997 Hz at -1 dBFS with a few harmonics and noise, or a two-tone signal, 16-bit.
std::vector<int16_t> DistortedBlock(TDistortionKind kind) {
  constexpr int n = 32768;
  std::vector<int16_t> block(2 * n);
  std::mt19937 random(1);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (int i = 0; i < n; ++i) {
    const double t = i / 44100.0;
    double x = 0;
    if (kind == TDistortionKind::Sine) {
      x = 0.89 * std::sin(2 * M_PI * 997 * t);
      x += 1e-3 * x * x - 1e-4 * x * x * x;
    } else if (kind == TDistortionKind::Smpte) {
      x = 0.71 * std::sin(2 * M_PI * 60 * t) + 0.18 * std::sin(2 * M_PI * 7000 * t);
      x += 1e-3 * x * x;
    } else {
      x = 0.45 * std::sin(2 * M_PI * 19000 * t) + 0.45 * std::sin(2 * M_PI * 20000 * t);
      x += 1e-3 * x * x;
    }
    for (int c : {0, 1}) block[2 * i + c] = static_cast<int16_t>(std::lrint(x * 32767 + noise(random)));
  }
  return block;
}

void BM_DistortionAnalysis(benchmark::State& state) {
  const auto kind = static_cast<TDistortionKind>(state.range(0));
  const std::vector<int16_t> block = DistortedBlock(kind);
  TDistortionAnalyser analyser;
  TDistortionSettings settings;
  settings.Kind = kind;
  settings.Weighting = TNoiseWeighting::AWeighted;
  TDistortionResult result;
  for (auto _ : state)
    benchmark::DoNotOptimize(result = analyser.Analyse(block.data(), 32768, settings));
  state.SetLabel(kind == TDistortionKind::Sine ? "THD+N" : kind == TDistortionKind::Smpte ? "SMPTE" : "CCIF");
}
BENCHMARK(BM_DistortionAnalysis)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace
