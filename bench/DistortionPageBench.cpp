// The distortion page's work per capture block: the held frames slid on, a complete analysis of
// both channels and the display composed again, on a shown display (offscreen), as live.
// BM_DistortionPageBlock is the whole; BM_DistortionPageDraw composes the picture alone.
// Goal: at most 0.6 % of a core at 5.4 blocks a second, 1.1 ms a block; on a shared 2-core
// machine about 1.3 ms (11.3 M instructions under callgrind, 8.5 M of them the analysis), from
// 2.6 ms (28.7 M) when every block drew the whole picture and fitted from the coarse tone.
// Since one transform of the residual, no search for a steady tone, wider lanes, a measured
// FFTW plan and readouts from letter pictures: on that machine, busy, 0.55-0.6 ms a block from
// 1.4-1.6 ms CPU (4.7 M instructions, 3.0 M of them the analysis) and the drawing alone
// 0.14-0.15 ms from 0.27-0.33 ms.
#include <benchmark/benchmark.h>

#include <QWidget>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "BenchSupport.h"
#include "DistortionPage.h"

namespace {

constexpr int kBlock = TDistortionDisplay::kBlockFrames;

// Blocks of a tone near 997 Hz at -1 dBFS with a little second harmonic and noise, 16-bit: a
// whole number of periods in all of them, so that they repeat without a seam.
std::vector<std::vector<int16_t>> Blocks(int count) {
  const double hz = std::round(997.0 * count * kBlock / 44100) * 44100 / (count * kBlock);
  std::mt19937 random(1);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<std::vector<int16_t>> blocks(count, std::vector<int16_t>(2 * kBlock));
  for (int b = 0; b < count; ++b)
    for (int i = 0; i < kBlock; ++i) {
      const double w = 2 * std::numbers::pi * hz * (b * kBlock + i) / 44100.0;
      const double x = 0.89 * std::sin(w) + 1e-4 * std::sin(2 * w + 0.4);
      for (int c : {0, 1})
        blocks[b][2 * i + c] = static_cast<int16_t>(std::lrint(x * 32767 + noise(random)));
    }
  return blocks;
}

struct TApplicationFirst {
  TApplicationFirst() { EnsureApplication(); }
};

struct TShownDisplay : TApplicationFirst {
  TShownDisplay() {
    display = new TDistortionDisplay(&page);
    display->SetBounds(8, 8, 469, 292);
    page.resize(485, 310);
    page.show();
    TDistortionSettings s = display->Settings();
    s.Weighting = TNoiseWeighting::AWeighted;
    display->SetSettings(s);
  }
  QWidget page;
  TDistortionDisplay* display = nullptr;
};

// Apart, so that a profiler can count the timed blocks alone (callgrind --toggle-collect).
[[gnu::noinline]] void FeedBlock(TDistortionDisplay& display, const std::vector<int16_t>& block) {
  bool go = true;
  display.ProcessSamples(block.data(), kBlock, go);
}

void BM_DistortionPageBlock(benchmark::State& state) {
  TShownDisplay on;
  const auto blocks = Blocks(16);
  bool go = true;
  // Once round, so that plans, fonts and caches are made before the timing.
  for (const auto& block : blocks) on.display->ProcessSamples(block.data(), kBlock, go);
  std::size_t next = 0;
  for (auto _ : state) {
    FeedBlock(*on.display, blocks[next]);
    next = (next + 1) % blocks.size();
  }
  state.SetLabel(on.display->ReadoutLines(0).join(" | ").toStdString());
}
BENCHMARK(BM_DistortionPageBlock)->Unit(benchmark::kMicrosecond);

void BM_DistortionPageDraw(benchmark::State& state) {
  TShownDisplay on;
  const auto blocks = Blocks(4);
  bool go = true;
  for (const auto& block : blocks) on.display->ProcessSamples(block.data(), kBlock, go);
  for (auto _ : state) on.display->Redraw();
}
BENCHMARK(BM_DistortionPageDraw)->Unit(benchmark::kMicrosecond);

}  // namespace
