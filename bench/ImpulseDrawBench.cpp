// The impulse page's redraw: a view switched or its smoothing changed is smoothed again and
// drawn. Goal: every view under 5 ms per redraw, a 5-s sweep's result on the page's display.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QWidget>

#include <vector>

#include "BenchSupport.h"
#include "ImpulsePage.h"

namespace {

struct TApplicationFirst {
  TApplicationFirst() { EnsureApplication(); }
};

struct TDisplayWithResult : TApplicationFirst {
  TDisplayWithResult() {
    display = new TImpulseDisplay(&page);
    display->SetBounds(24, 32, 443, 258);
    const TSyncSweep sweep{TSyncSweepSettings{}};
    const int frames = sweep.RunFrames() + 44100;
    // The sweep 1000 frames late through a one-pole low-pass, with a little second harmonic.
    std::vector<int16_t> capture(2 * static_cast<std::size_t>(frames));
    double y = 0;
    for (int n = 0; n < frames; ++n) {
      const double x = sweep.Value(n - 1000);
      y += 0.25 * (x + 0.01 * x * x - y);
      capture[2 * n] = capture[2 * n + 1] = static_cast<int16_t>(std::lrint(32767 * y));
    }
    display->Begin(sweep, false, frames);
    display->Arm();
    bool go = true;
    for (int n = 0; n < frames; n += TImpulseDisplay::kBlockFrames)
      display->ProcessSamples(capture.data() + 2 * n, std::min(TImpulseDisplay::kBlockFrames, frames - n), go);
    display->AddCapture();
    display->Finish();
  }
  QWidget page;
  TImpulseDisplay* display = nullptr;
};

void BM_ImpulseRedraw(benchmark::State& state) {
  TDisplayWithResult on;
  const auto view = static_cast<TImpulseView>(state.range(0));
  on.display->SetView(view);
  QImage picture(443, 258, QImage::Format_RGB32);
  TCanvas canvas(&picture);
  bool third = false;
  for (auto _ : state) {
    // A new smoothing each time: the curves are smoothed again, then drawn.
    on.display->SetSmoothing((third = !third) ? TSmoothing::Octave3 : TSmoothing::Octave12);
    canvas.SetBrushColour(QColor(255, 255, 255));
    canvas.FillRect({1, 1, 442, 257});
    on.display->DrawDisplay(canvas);
    benchmark::DoNotOptimize(picture.constBits());
  }
  static const char* const names[] = {"impulse", "impulse dB", "magnitude", "phase", "group delay", "distortion"};
  state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_ImpulseRedraw)->DenseRange(0, 5)->Unit(benchmark::kMicrosecond);

}  // namespace
