// Fill time of one 16384-frame block, both channels synthesised (different settings per
// channel, so neither is a copy). Goals on the development machine: sine or triangle under
// 100 us; pink or band noise under 2 ms (two transforms per channel); the exact sine and the
// two-tones (a sin per tone and sample in double) under 2 ms. A block lasts 371.5 ms.
#include <benchmark/benchmark.h>

#include <vector>

#include "ToneGenerator.h"

namespace {

void RunFill(benchmark::State& state, TWaveform waveform, float left, float right,
             bool exact = false) {
  TAudioToneGenerator gen;
  gen.SetExactSine(exact);
  gen.SetLeftWaveform(waveform);
  gen.SetRightWaveform(waveform);
  gen.SetLeftAmplitude(0.7f);
  gen.SetRightAmplitude(0.6f);  // a two-tone's frequencies are fixed: keep it from copying
  gen.SetLeftFrequency(left);
  gen.SetRightFrequency(right);
  std::vector<int16_t> samples(2 * kToneBlockFrames);
  wavehdr_tag header;
  header.lpData = reinterpret_cast<char*>(samples.data());
  header.dwBufferLength = 4 * kToneBlockFrames;
  for (auto _ : state) {
    gen.FillBlock(&header);
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kToneBlockFrames);
}

void BM_FillSine(benchmark::State& s) { RunFill(s, SineWave, 1000.0f, 1001.0f); }
void BM_FillTriangle(benchmark::State& s) { RunFill(s, Triangle, 1000.0f, 1001.0f); }
void BM_FillWhiteNoise(benchmark::State& s) { RunFill(s, WhiteNoise, 0.0f, 1.0f); }
void BM_FillPinkNoise(benchmark::State& s) { RunFill(s, PinkNoise, 0.0f, 1.0f); }
void BM_FillBandNoise(benchmark::State& s) { RunFill(s, Octave3Noise, 11.0f, 12.0f); }
void BM_FillExactSine(benchmark::State& s) { RunFill(s, SineWave, 997.0f, 998.0f, true); }
void BM_FillSmpte(benchmark::State& s) { RunFill(s, SmpteTwoTone, 0.0f, 0.0f); }

BENCHMARK(BM_FillSine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillTriangle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillWhiteNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillPinkNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillBandNoise)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillExactSine)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillSmpte)->Unit(benchmark::kMicrosecond);

}  // namespace
