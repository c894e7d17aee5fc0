// Per-block work of the response plot on a 441-column plot. Goals: measuring one 57330-frame
// fast-sweep block under 0.5 ms (the block lasts 1.3 s); drawing the grid and two 441-point
// traces under 0.5 ms.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QWidget>

#include <vector>

#include "BenchSupport.h"
#include "DisplayResponse.h"
#include "SweepGenerator.h"

namespace {

struct TApplicationFirst {
  TApplicationFirst() { EnsureApplication(); }
};

struct TPlotOnPage : TApplicationFirst {
  QWidget page;
  TResponsePlot* plot = [this] {
    auto* p = new TResponsePlot(&page);
    p->SetBounds(24, 32, 443, 258);  // W 441
    p->SetMinFrequency(20);
    p->SetMaxFrequency(20000);
    p->SetLeftAmplitude(0.5f);
    p->SetRightAmplitude(0.3f);
    return p;
  }();

  // One block of the plot's own sweep, as the card would return it (without the latency).
  std::vector<int16_t> SweepBlock() {
    TAudioSweepGenerator& generator = *plot->SweepGenerator();
    std::vector<int16_t> samples(2 * static_cast<std::size_t>(generator.BufferSamples()));
    wavehdr_tag header{};
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = static_cast<uint32_t>(2 * samples.size());
    generator.FillSweepBlock(&header);
    return samples;
  }
};

void BM_ResponseFastMeasurement(benchmark::State& state) {
  TPlotOnPage on;
  const std::vector<int16_t> block = on.SweepBlock();
  const int frames = static_cast<int>(block.size() / 2);
  bool go = true;
  for (auto _ : state) {
    on.plot->ProcessSamples(block.data(), frames, go);
    benchmark::DoNotOptimize(on.plot->RightLevels().data());
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_ResponseFastMeasurement)->Unit(benchmark::kMicrosecond);

void BM_ResponseDrawDisplay(benchmark::State& state) {
  TPlotOnPage on;
  const std::vector<int16_t> block = on.SweepBlock();
  bool go = true;
  on.plot->ProcessSamples(block.data(), static_cast<int>(block.size() / 2), go);
  QImage picture(443, 258, QImage::Format_RGB32);
  TCanvas canvas(&picture);
  for (auto _ : state) {
    canvas.SetBrushColour(QColor(64, 64, 64));
    canvas.FillRect({1, 1, 442, 257});
    on.plot->DrawDisplay(canvas);
    benchmark::DoNotOptimize(picture.constBits());
  }
  state.SetLabel(std::to_string(on.plot->PointCount()) + " points per trace");
}
BENCHMARK(BM_ResponseDrawDisplay)->Unit(benchmark::kMicrosecond);

}  // namespace
