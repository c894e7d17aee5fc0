// The response measured through the simulated card as through a real sound system: a round
// trip that is short or long and differs per run, and a device under test on each input whose
// exact response the card states. Each channel's levels are checked against its own model, and
// so are its -3 dB points.
#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <vector>

#include "AudioAnalyser.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"

namespace {

// Level of a sine played at 0.5 of full scale, with no device in the way.
const double kPlayeddB = 20 * std::log10(0.5 * 32767 / 32768);

// Frequencies where a trace crosses `level`, interpolated in log frequency between points.
std::vector<double> Crossings(const std::vector<double>& hz, const std::vector<double>& dB, double level) {
  std::vector<double> at;
  for (std::size_t i = 1; i < hz.size(); ++i) {
    const double a = dB[i - 1] - level, b = dB[i] - level;
    if (!std::isfinite(a) || !std::isfinite(b) || (a < 0) == (b < 0)) continue;
    const double t = a / (a - b);
    at.push_back(std::exp(std::log(hz[i - 1]) + t * (std::log(hz[i]) - std::log(hz[i - 1]))));
  }
  return at;
}

// The model's own -3 dB points, by bisection between the frequencies where its gain crosses.
std::vector<double> ModelCrossings(const TDutModel& model) {
  std::vector<double> at;
  double previous = 10;
  for (double f = 10 * 1.01; f < 21000; f *= 1.01) {
    const double a = TSimulatedCard::GaindB(model, previous) + 3, b = TSimulatedCard::GaindB(model, f) + 3;
    if ((a < 0) != (b < 0)) {
      double lo = previous, hi = f;
      for (int k = 0; k < 60; ++k) {
        const double mid = std::sqrt(lo * hi);
        ((TSimulatedCard::GaindB(model, mid) + 3 < 0) == (a < 0) ? lo : hi) = mid;
      }
      at.push_back(std::sqrt(lo * hi));
    }
    previous = f;
  }
  return at;
}

struct TCase {
  TDutModel left, right;
  int delay;  // base round trip, frames
};

struct ResponseThroughTheCard : ::testing::TestWithParam<TCase> {
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  QWidget Parent;
  TResponsePlot* Plot = new TResponsePlot(&Parent);
  TBasicAudioAnalyser Analyser;
  std::shared_ptr<TSimulatedBackend> Backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 5);

  void SetUp() override {
    TSimulatedCard& card = Backend->Card();
    card.SetRoundTrip(GetParam().delay);
    card.SetJitter(441);
    card.SetDeviceUnderTest(0, GetParam().left);
    card.SetDeviceUnderTest(1, GetParam().right);
    SetAudioBackend(Backend);
    Plot->SetBounds(24, 32, 443, 258);  // W 441
    Plot->SetMinFrequency(20);
    Plot->SetMaxFrequency(20000);
    Plot->SetLeftAmplitude(0.5f);
    Plot->SetRightAmplitude(0.5f);
    Plot->SetMovingAverage(false);
    Plot->SetTraceSmoothing(0);
    Plot->SetStopAfterOneSweep(true);
  }
  void TearDown() override {
    SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  // One whole sweep, after which the plot stops capture and the sweep by itself.
  void RunOneSweep() {
    Analyser.SetDisplay(Plot);
    Analyser.SetEnabled(true);
    Plot->SetEnabled(true);  // starts the capture with its first block
    ASSERT_TRUE(PumpUntil([&] { return !Plot->Enabled() && !Analyser.Enabled(); }, 60000));
    // Where the run's first played frame came back in its capture, by the card's own frames.
    const TSimulatedCard& card = Backend->Card();
    Truth = card.LastOutputStartFrame() + card.CurrentDelayFrames() - card.LastInputStartFrame();
  }
  // Each channel's points against its model: the worst level error over [from, to] Hz and the
  // -3 dB points against the model's (the model evaluated at the very same points, and its
  // exact points).
  void Check(double from, double to, double levelBound, double crossingBound, double exactBound) {
    const auto f = Plot->Frequencies();
    for (int ch : {0, 1}) {
      const TDutModel& model = ch == 0 ? GetParam().left : GetParam().right;
      const auto levels = ch == 0 ? Plot->LeftLevels() : Plot->RightLevels();
      std::vector<double> hz, measured, expected;
      double worst = 0, at = 0;
      for (std::size_t i = 0; i < f.size(); ++i) {
        const double gain = TSimulatedCard::GaindB(model, f[i]);
        hz.push_back(f[i]);
        measured.push_back(levels[i] - kPlayeddB);
        expected.push_back(gain);
        // Deeper down, the card's hum (-80 dB at 50 Hz) and noise count.
        if (f[i] < from || f[i] > to || gain < -30) continue;
        ASSERT_TRUE(std::isfinite(levels[i])) << ch << " at " << f[i];
        if (const double e = measured.back() - gain; std::abs(e) > std::abs(worst)) worst = e, at = f[i];
      }
      std::printf("channel %d: worst %+.3f dB at %.0f Hz\n", ch, worst, at);
      EXPECT_LT(std::abs(worst), levelBound) << "channel " << ch << " at " << at << " Hz";
      std::vector<double> got, same, exact;
      for (double x : Crossings(hz, measured, -3)) if (x >= from && x <= to) got.push_back(x);
      for (double x : Crossings(hz, expected, -3)) if (x >= from && x <= to) same.push_back(x);
      for (double x : ModelCrossings(model)) if (x >= from && x <= to) exact.push_back(x);
      ASSERT_EQ(got.size(), same.size()) << "channel " << ch;
      ASSERT_EQ(got.size(), exact.size()) << "channel " << ch;
      for (std::size_t k = 0; k < got.size(); ++k) {
        std::printf("channel %d: -3 dB at %.2f Hz, model %.2f Hz at these points, %.2f Hz exactly\n", ch, got[k],
                    same[k], exact[k]);
        EXPECT_NEAR(got[k] / same[k], 1, crossingBound) << "channel " << ch;
        EXPECT_NEAR(got[k] / exact[k], 1, exactBound) << "channel " << ch;
      }
    }
  }
  int64_t Truth = 0;
};

// 120 steps of 0.25 s from 20 Hz to 20 kHz (a factor of 1.06 from step to step).
TEST_P(ResponseThroughTheCard, SlowSweep) {
  Plot->SetSlowSweep(true);
  Plot->SetSlowSweepActiveSeconds(30);
  Plot->SetSlowSweepSilentSeconds(1);
  RunOneSweep();
  ASSERT_EQ(Plot->PointCount(), 120);
  // The marker's chirp comes back whole through every device here: the delay is the card's,
  // give or take the devices' group delay.
  EXPECT_NEAR(static_cast<double>(Plot->MeasuredDelay()), static_cast<double>(Truth), 24);
  EXPECT_EQ(Plot->ClockDelay(), Truth);
  Check(50, 15000, 0.1, 0.005, 0.01);
}

// 441 columns from 20 Hz to 20 kHz: a column is 100 frames, below 200 Hz less than half a period.
TEST_P(ResponseThroughTheCard, FastSweep) {
  RunOneSweep();
  ASSERT_EQ(Plot->PointCount(), 441);
  // Known modulo the block, placed by the card's clock.
  EXPECT_NEAR(static_cast<double>(Plot->MeasuredDelay()), static_cast<double>(Truth), 24);
  Check(200, 15000, 0.5, 0.01, 0.01);
  // The end columns read inside the sweep: through a wire the 20 kHz end is the played level.
  if (GetParam().left.Kind == TDutKind::Wire) {
    EXPECT_NEAR(Plot->LeftLevels()[440], kPlayeddB, 0.2);
  }
}

void PrintTo(const TCase& c, std::ostream* out) {
  *out << "left kind " << static_cast<int>(c.left.Kind) << " at " << c.left.CornerHz << " Hz, right kind "
       << static_cast<int>(c.right.Kind) << " at " << c.right.CornerHz << " Hz, round trip " << c.delay;
}

INSTANTIATE_TEST_SUITE_P(
    DevicesAndDelays, ResponseThroughTheCard,
    ::testing::Values(TCase{{TDutKind::HighPass, 700}, {TDutKind::LowPass, 1400}, 441},
                      TCase{{TDutKind::HighPass, 700}, {TDutKind::LowPass, 1400}, 44100},
                      TCase{{TDutKind::BandPass, 2000, 1.0}, {TDutKind::Loudspeaker}, 13230},
                      TCase{{TDutKind::LowPass, 5500}, {TDutKind::BandPass, 2500, 2.0}, 30000},
                      TCase{{TDutKind::Wire}, {TDutKind::HighPass, 3000, 2.0}, 2000}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
