// The response measured through the real sound server: PortAudio on the test server's null sink
// with a one-pole low-pass in front of it, so both inputs carry the filter. Each channel's level
// less the level played must be the filter's gain as outside tools (sox, pacat, parec) measure
// it on the same server, wherever the server's round trip puts the sweep in the capture.
#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "AudioAnalyser.h"
#include "Messages.h"
#include "PortAudioBackend.h"
#include "TestSupport.h"
#include "audio/PulseFilter.h"

namespace {

constexpr double kCutoff = 1400;
constexpr float kAmplitude = 0.5f;
constexpr int kSlowMin = 100, kSlowMax = 15000, kSlowSteps = 20;

struct TRecordingPlot : TResponsePlot {
  using TResponsePlot::TResponsePlot;
  int Blocks = 0;
  void ProcessSamples(const int16_t* s, int n, bool& go) override {
    TResponsePlot::ProcessSamples(s, n, go);
    ++Blocks;
  }
};

// Level of point i less the level played, per channel.
struct TReading {
  std::vector<TPulseFilter::TGain> Gains;
  explicit TReading(const TResponsePlot& plot) {
    const double played = 20 * std::log10(kAmplitude);
    for (std::size_t i = 0; i < plot.Frequencies().size(); ++i)
      Gains.push_back({plot.Frequencies()[i], plot.LeftLevels()[i] - played, plot.RightLevels()[i] - played});
  }
};

// The truth in log frequency between the measured points (the filter is smooth: a one-pole's
// curve bends less than 0.04 dB between them).
double TruthAt(const std::vector<TPulseFilter::TGain>& truth, double hz, bool left) {
  std::size_t i = 1;
  while (i + 1 < truth.size() && truth[i].hz < hz) ++i;
  const auto& a = truth[i - 1];
  const auto& b = truth[i];
  const double t = std::log(hz / a.hz) / std::log(b.hz / a.hz);
  return left ? a.left + t * (b.left - a.left) : a.right + t * (b.right - a.right);
}

const double kHalfPowerdB = -10 * std::log10(2.0);

class ResponseOnTheServer : public ::testing::Test {
 protected:
  // Measured once for the suite: the filter's gain at the slow sweep's steps.
  static void SetUpTestSuite() {
    if (!std::getenv("PULSE_SERVER")) return;
    Filter = new TPulseFilter;
    if (!Filter->Insert("lpf", kCutoff)) return;
    std::vector<double> steps;
    for (int k = 0; k < kSlowSteps; ++k)
      steps.push_back(kSlowMin * std::pow(static_cast<double>(kSlowMax) / kSlowMin, k / (kSlowSteps - 1.0)));
    StepTruth = TPulseFilter::Gains(steps);
  }
  // The filter's -3 dB point: nine more frequencies within 2 % of where the steps cross.
  static double Corner() {
    const double coarse = TPulseFilter::Crossing(StepTruth, kHalfPowerdB);
    std::vector<double> near;
    for (int k = -4; k <= 4; ++k) near.push_back(coarse * std::exp(0.005 * k));
    const double corner = TPulseFilter::Crossing(TPulseFilter::Gains(near), kHalfPowerdB);
    std::printf("outside tools: -3 dB at %.1f Hz (%.1f Hz from the %d steps)\n", corner, coarse, kSlowSteps);
    return corner;
  }
  static void TearDownTestSuite() {
    delete Filter;
    Filter = nullptr;
  }

  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
    ASSERT_EQ(StepTruth.size(), static_cast<std::size_t>(kSlowSteps)) << "the filter or the outside tools failed";
    std::string why;
    auto backend = CreatePortAudioBackend(&why);
    ASSERT_TRUE(backend) << why;
    SetAudioBackend(backend);
    Previous = SetMessages(&Recorder);
    Plot = new TRecordingPlot(&Parent);
    Plot->SetBounds(24, 32, 443, 258);  // W 441
    Plot->SetLeftAmplitude(kAmplitude);
    Plot->SetRightAmplitude(kAmplitude);
  }
  void TearDown() override {
    if (Previous) SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  // Until the plot has measured one whole sweep, or for a number of blocks.
  void Run(int blocks = 0) {
    bool complete = false;
    Plot->SetStopAfterOneSweep(blocks == 0);
    Plot->SetOnSweepComplete([&] { complete = true; });
    Analyser.SetDisplay(Plot);
    Analyser.SetEnabled(true);
    Plot->SetEnabled(true);  // starts the capture with its first block
    const bool done = PumpUntil([&] { return blocks ? Plot->Blocks >= blocks : complete; }, 30000);
    Plot->SetEnabled(false);
    Analyser.SetEnabled(false);
    std::printf("%s after %d blocks; delay %lld frames, by the clocks %lld\n", Plot->TimingText().toUtf8().constData(),
                Plot->Blocks, static_cast<long long>(Plot->MeasuredDelay()), static_cast<long long>(Plot->ClockDelay()));
    ASSERT_TRUE(done) << Plot->Blocks << " blocks";
  }

  static inline TPulseFilter* Filter = nullptr;
  static inline std::vector<TPulseFilter::TGain> StepTruth;
  TMessageRecorder Recorder;
  TMessageInterface* Previous = nullptr;
  QWidget Parent;
  TRecordingPlot* Plot = nullptr;
  TBasicAudioAnalyser Analyser;
};

// 20 steps of 0.25 s, 100 Hz ... 15 kHz, then 4 silent ones, measured until the plot has read
// one whole cycle (the second, when the capture began after the first timing marker). The -3 dB
// points come from the same 20 frequencies, so that they compare the measurement and not the
// interpolation between steps.
TEST_F(ResponseOnTheServer, SlowSweepReadsEveryStepAtItsOwnFrequency) {
  Plot->SetMinFrequency(kSlowMin);
  Plot->SetMaxFrequency(kSlowMax);
  Plot->SetSlowSweep(true);
  Plot->SetSlowSweepActiveSeconds(5);
  Plot->SetSlowSweepSilentSeconds(1);
  Run();
  const TReading reading(*Plot);
  ASSERT_EQ(reading.Gains.size(), StepTruth.size());
  for (std::size_t k = 0; k < StepTruth.size(); ++k) {
    const auto& got = reading.Gains[k];
    const auto& truth = StepTruth[k];
    ASSERT_NEAR(got.hz, truth.hz, 0.01 * truth.hz) << "step " << k;
    EXPECT_NEAR(got.left, truth.left, 0.1) << "left, step " << k << " at " << truth.hz << " Hz";
    EXPECT_NEAR(got.right, truth.right, 0.1) << "right, step " << k << " at " << truth.hz << " Hz";
  }
  const double corner = TPulseFilter::Crossing(reading.Gains, kHalfPowerdB);
  const double truth = TPulseFilter::Crossing(StepTruth, kHalfPowerdB);
  std::printf("slow sweep: -3 dB at %.1f Hz, outside tools at the same steps %.1f Hz\n", corner, truth);
  EXPECT_NEAR(corner, truth, 0.005 * truth);
}

// A smooth sweep 100 Hz ... 20 kHz per 1.3 s block on 441 columns, "Smooth more", averaged.
// A column holds 100 frames, less than a period below 441 Hz: even where the sweep lies exactly
// where it is looked for, a column's level swings with the phase the sweep has in it, up to
// 1.04 dB from 200 Hz on, 0.34 dB after the smoothing (a model of the sweep and the columns).
TEST_F(ResponseOnTheServer, FastSweepReadsTheFilterAcrossTheColumns) {
  Plot->SetMinFrequency(100);
  Plot->SetMaxFrequency(20000);
  Plot->SetTraceSmoothing(2);
  const double truth = Corner();
  ASSERT_GT(truth, 0.0) << "the outside tools failed";
  Run(5);
  const TReading reading(*Plot);
  ASSERT_EQ(reading.Gains.size(), 441u);
  double worst = 0, at = 0;
  std::vector<TPulseFilter::TGain> checked;  // the onset and the top octave left out
  for (const auto& got : reading.Gains) {
    if (got.hz < 200 || got.hz > 15000) continue;
    checked.push_back(got);
    for (bool left : {true, false}) {
      const double e = (left ? got.left : got.right) - TruthAt(StepTruth, got.hz, left);
      if (std::abs(e) > std::abs(worst)) worst = e, at = got.hz;
      EXPECT_NEAR(e, 0.0, 0.5) << (left ? "left" : "right") << " at " << got.hz << " Hz";
    }
  }
  const double corner = TPulseFilter::Crossing(checked, kHalfPowerdB);
  std::printf("fast sweep: worst %+.3f dB at %.0f Hz; -3 dB at %.1f Hz, outside tools %.1f Hz\n", worst, at, corner,
              truth);
  EXPECT_NEAR(corner, truth, 0.01 * truth);
}

}  // namespace
