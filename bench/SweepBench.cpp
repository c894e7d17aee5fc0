// Fill time of sweep blocks, both channels synthesised (different settings per channel, so
// neither is a copy). Goals on the development machine: one 57330-frame fast sweep of 1000
// steps with declick under 1 ms (the block lasts 1.3 s); one 11025-frame slow step under
// 150 us (it lasts 250 ms).
#include <benchmark/benchmark.h>

#include <vector>

#include "SweepGenerator.h"

namespace {

void RunFill(benchmark::State& state, bool slow) {
  TAudioSweepGenerator gen;
  gen.SetLeftFrequency(20.0f);
  gen.SetRightFrequency(25.0f);
  gen.SetLeftMaxFrequency(20000.0f);
  gen.SetRightMaxFrequency(19000.0f);
  gen.SetLeftAmplitude(0.7f);
  gen.SetRightAmplitude(0.7f);
  gen.SetSlowSweep(slow);
  // Without silent steps every slow block sounds, so each iteration is a real step.
  gen.SetSlowSweepSilentSeconds(0);
  const int frames = gen.BufferSamples();
  std::vector<int16_t> samples(2 * frames);
  wavehdr_tag header;
  header.lpData = reinterpret_cast<char*>(samples.data());
  header.dwBufferLength = 4 * frames;
  for (auto _ : state) {
    gen.FillSweepBlock(&header);
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

void BM_FastSweepBlock(benchmark::State& s) { RunFill(s, false); }
void BM_SlowSweepStep(benchmark::State& s) { RunFill(s, true); }

BENCHMARK(BM_FastSweepBlock)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SlowSweepStep)->Unit(benchmark::kMicrosecond);

}  // namespace
