// The response measured through the simulated card: the left input is a wire, the right one
// the card's known filter, so right minus left must be that filter.
#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <cmath>
#include <cstdio>
#include <vector>

#include "AudioAnalyser.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"

namespace {

// Keeps the point count and right minus left of every block.
struct TRecordingPlot : TResponsePlot {
  using TResponsePlot::TResponsePlot;
  std::vector<std::vector<float>> Differences;
  std::vector<int> Counts;
  void ProcessSamples(const int16_t* s, int n, bool& go) override {
    TResponsePlot::ProcessSamples(s, n, go);
    Counts.push_back(PointCount());
    auto& d = Differences.emplace_back(static_cast<std::size_t>(PointCount()));
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = RightLevels()[i] - LeftLevels()[i];
  }
};

struct ResponseOnTheCard : ::testing::Test {
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  QWidget Parent;
  TRecordingPlot* Plot = new TRecordingPlot(&Parent);
  TBasicAudioAnalyser Analyser;

  void SetUp() override {
    SetAudioBackend(std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 5));
    Plot->SetBounds(24, 32, 443, 258);  // W 441
    Plot->SetMinFrequency(20);
    Plot->SetMaxFrequency(20000);
    Plot->SetLeftAmplitude(0.5f);
    Plot->SetRightAmplitude(0.5f);
  }
  void TearDown() override {
    SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  void Run(std::size_t blocks) {
    Analyser.SetDisplay(Plot);
    Analyser.SetEnabled(true);
    Plot->SetEnabled(true);  // starts the capture with its first block
    ASSERT_TRUE(PumpUntil([&] { return Plot->Counts.size() >= blocks; }, 60000));
    Plot->SetEnabled(false);
    Analyser.SetEnabled(false);
  }
};

// A fast log sweep 20 Hz ... 20 kHz on 441 columns, "Smooth more", averaged. Columns 0 ... 7
// hold the high-pass ringing at the onset, and the last column is half past the sweep's end
// (with the filter ringing into it); both are left out. Below 441 Hz a window holds less than a
// period, and the high-pass shifts the right channel's phase.
TEST_F(ResponseOnTheCard, FastSweepErrorPerOctave) {
  Plot->SetTraceSmoothing(2);
  Run(40);
  const auto f = Plot->Frequencies();
  std::vector<double> worst(10, 0), at(10, 0);
  for (std::size_t b = 4; b < Plot->Differences.size(); ++b) {  // once the average has settled
    ASSERT_EQ(Plot->Differences[b].size(), 441u);
    for (int i = 8; i < 440; ++i) {
      const int octave = std::min(9, static_cast<int>(std::log2(f[i] / 20.0)));
      const double e = Plot->Differences[b][i] - TSimulatedCard::RightGaindB(f[i]);
      if (std::abs(e) > std::abs(worst[octave])) worst[octave] = e, at[octave] = f[i];
    }
  }
  const double bound[10] = {2.6, 2.0, 0.65, 0.4, 0.11, 0.045, 0.03, 0.05, 0.07, 1.15};
  for (int o = 0; o < 10; ++o) {
    std::printf("%5d ... %5d Hz: worst %+.3f dB at %.0f Hz\n", 20 << o, std::min(20000, 40 << o),
                worst[o], at[o]);
    EXPECT_LT(std::abs(worst[o]), bound[o]) << "octave from " << (20 << o) << " Hz";
  }
}

// 20 steps of 0.25 s from 20 Hz to 20 kHz, then 4 silent ones. From 80 Hz the window (7350
// frames) holds more than 13 periods; between 50 and 80 Hz the part period it also holds and
// the high-pass settling after each frequency step leave up to 0.053 dB (9.9 periods at 59.5 Hz).
TEST_F(ResponseOnTheCard, SlowSweepFollowsTheFilterStepByStep) {
  Plot->SetSlowSweep(true);
  Plot->SetSlowSweepActiveSeconds(5);
  Plot->SetSlowSweepSilentSeconds(1);
  Run(25);
  for (int b = 0; b < 25; ++b) EXPECT_EQ(Plot->Counts[b], b < 20 ? b + 1 : b < 24 ? 20 : 1) << b;
  const auto f = Plot->Frequencies();
  ASSERT_EQ(f.size(), 20u);
  for (std::size_t k = 0; k < 20; ++k) {
    if (f[k] < 50 || f[k] > 15000) continue;
    const double e = Plot->Differences[19][k] - TSimulatedCard::RightGaindB(f[k]);
    EXPECT_LT(std::abs(e), f[k] < 80 ? 0.06 : 0.01) << "step " << k << " at " << f[k] << " Hz";
  }
}

}  // namespace
