// The synchronised sweep's deconvolution. Goals: a 10-s sweep's capture, both channels, linear
// and harmonic responses, at most 100 ms; smoothing a response for drawing well under 5 ms.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <vector>

#include "ImpulseResponse.h"
#include "Smoothing.h"
#include "SyncSweep.h"

namespace {

// The run with a second of round trip before it, a bit of noise and a little distortion.
std::vector<int16_t> Capture(const TSyncSweep& sweep, int frames) {
  std::vector<int16_t> c(2 * frames, 0);
  uint32_t seed = 7;
  for (int n = 0; n < frames; ++n) {
    const double x = sweep.Value(n - 44100);
    for (int ch : {0, 1}) {
      const double noise = static_cast<double>((seed = seed * 1664525u + 1013904223u) >> 24) / 256 - 0.5;
      c[2 * n + ch] = static_cast<int16_t>(std::lrint(32767 * (x + 0.01 * x * x) + noise));
    }
  }
  return c;
}

void BM_DeconvolveTenSeconds(benchmark::State& state) {
  TSyncSweepSettings s;
  s.Seconds = 10;
  const TSyncSweep sweep(s);
  const int frames = sweep.RunFrames() + 2 * 44100;
  const std::vector<int16_t> capture = Capture(sweep, frames);
  TImpulseAnalyser analyser;
  analyser.Start(sweep, false, frames);
  TImpulseResult result;
  for (auto _ : state) {
    analyser.Start(sweep, false, frames);  // keeps its plans and inverse: only forgets the average
    analyser.AddCapture(capture.data(), frames);
    benchmark::DoNotOptimize(result = analyser.Result());
  }
  state.SetLabel("transform " + std::to_string(analyser.TransformFrames()) + ", H2 at 1 kHz " +
                 std::to_string(result.Channel[0].Harmonics[0].dB[1486]) + " dB");
}
BENCHMARK(BM_DeconvolveTenSeconds)->Unit(benchmark::kMillisecond);

void BM_SmoothForDrawing(benchmark::State& state) {
  constexpr int bins = TImpulseAnalyser::kSegmentFrames / 2 + 1;
  std::vector<std::complex<double>> response(bins);
  for (int k = 0; k < bins; ++k) response[k] = std::polar(1.0 + 0.3 * std::sin(k * 0.01), -0.001 * k);
  // A plot 1000 pixels wide, 20 Hz ... 20 kHz.
  std::vector<double> hz(1000);
  for (int i = 0; i < 1000; ++i) hz[i] = 20 * std::pow(1000.0, i / 999.0);
  std::vector<TSmoothedPoint> points(hz.size());
  TSmoother smoother;
  for (auto _ : state) {
    smoother.Set(response.data(), bins, 44100.0 / TImpulseAnalyser::kSegmentFrames);
    smoother.Evaluate(hz.data(), 1000, static_cast<TSmoothing>(state.range(0)), points.data());
    benchmark::DoNotOptimize(points.data());
  }
}
BENCHMARK(BM_SmoothForDrawing)->Arg(static_cast<int>(TSmoothing::None))->Arg(static_cast<int>(TSmoothing::Octave3))
    ->Arg(static_cast<int>(TSmoothing::Octave48))->Unit(benchmark::kMicrosecond);

}  // namespace
