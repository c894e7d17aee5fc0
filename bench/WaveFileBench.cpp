// Replaying a WAV file into the analyser with the spectrum display attached, as "Load ..." does.
// Goal: a 60-second file replays at least 1000 times faster than real time (under 60 ms) with a
// 4096-point log spectrum; the "x_real_time" counter is seconds of audio per second.
#include <benchmark/benchmark.h>

#include <QTemporaryDir>
#include <QWidget>

#include "AudioAnalyser.h"
#include "BenchSupport.h"
#include "DisplaySpectrum.h"
#include "SimulatedCard.h"
#include "ToneGenerator.h"

namespace {

constexpr int kSeconds = 60;

void BM_ReplayIntoLogSpectrum(benchmark::State& state) {
  EnsureApplication();
  SetAudioBackend(std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 1));
  QTemporaryDir folder;
  const QString path = folder.filePath("sine.wav");
  {
    TAudioToneGenerator tone;
    tone.SetLeftFrequency(1000);
    tone.SetLeftAmplitude(0.5f);
    tone.SetRightWaveform(WhiteNoise);
    tone.SetRightAmplitude(0.1f);
    tone.SetBufferSamples(4410);  // after the waveforms, which set their own length
    if (!tone.WriteWaveFile(path, kSeconds * 10)) {
      state.SkipWithError("could not write the file");
      return;
    }
  }
  QWidget page;
  page.resize(489, 401);
  auto* display = new TSpectrumDisplay(&page);
  display->SetBounds(24, 32, 443, 258);
  display->SetFFTpower(12);
  display->SetFreqMax(20000);
  display->SetFreqMin(20);
  display->SetMode(sdLogFreq);
  page.show();
  TBasicAudioAnalyser analyser;
  analyser.SetDisplay(display);
  for (auto _ : state) analyser.ReadWaveFile(path);
  state.counters["blocks"] = analyser.BufferCount();
  state.counters["x_real_time"] =
      benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
  SetAudioBackend(nullptr);
}
BENCHMARK(BM_ReplayIntoLogSpectrum)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
