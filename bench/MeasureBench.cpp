// Finding where a played signal comes back in a capture. Goal: under 1 ms for the fast sweep's
// 57330-frame block (every block) and for a slow run's marker search (once per cycle).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "DelayFinder.h"
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
