// Distortion read through the simulated card, whose device under test is a polynomial: each
// harmonic and intermodulation product is worked out here from the polynomial alone (a plain
// transform over whole periods) and the analyser's readings must match it.
#include "Distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "CaptureSupport.h"
#include "PolynomialModel.h"
#include "TestSupport.h"
#include "ToneGenerator.h"

namespace {

constexpr int kFrames = 32768;

using polynomial_model::Component;

// What the card's input held: the last kFrames of a capture of a few seconds of the tone.
std::vector<int16_t> Capture(TWaveform waveform, double dBFS, bool rightToo) {
  TAudioToneGenerator out;
  out.SetExactSine(true);
  out.SetLeftWaveform(waveform);
  out.SetRightWaveform(waveform);
  out.SetLeftFrequency(997.0f);
  out.SetRightFrequency(997.0f);
  const float a = static_cast<float>(std::pow(10.0, dBFS / 20));
  out.SetLeftAmplitude(a);
  out.SetRightAmplitude(rightToo ? a : 0.0f);
  // The round trip and one block of the tone's start are left behind.
  const std::vector<int16_t> got = CaptureWhilePlaying(out, kFrames + 3 * 44100 / 2, 30000);
  EXPECT_GE(got.size(), 2u * (kFrames + 3 * 44100 / 2));
  if (got.size() < 2u * kFrames) return {};
  return {got.end() - 2 * kFrames, got.end()};
}

struct TCardCase {
  const char* name;
  TWaveform waveform;
  TDistortionKind kind;
  std::vector<double> left, right;  // polynomials
  double thdBounddB;                 // sine: THD's tolerance
};

class DistortionThroughTheCard : public testing::TestWithParam<TCardCase> {
 protected:
  void SetUp() override {
    Backend->Card().SetDeviceUnderTest(0, TDutModel{});
    Backend->Card().SetDeviceUnderTest(1, TDutModel{});
    SetAudioBackend(Backend);
  }
  void TearDown() override {
    SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  std::shared_ptr<TSimulatedBackend> Backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 5);
};

TEST_P(DistortionThroughTheCard, ReadsThePolynomialsProducts) {
  const TCardCase& c = GetParam();
  Backend->Card().SetNonlinearity(0, c.left);
  Backend->Card().SetNonlinearity(1, c.right);
  const std::vector<int16_t> frames = Capture(c.waveform, -1.0, true);
  ASSERT_EQ(frames.size(), 2u * kFrames);
  TDistortionAnalyser analyser;
  TDistortionSettings s;
  s.Kind = c.kind;
  const TDistortionResult r = analyser.Analyse(frames.data(), kFrames, s);
  const double a = std::pow(10.0, -1.0 / 20) * 32767 / 32767;
  for (int ch : {0, 1}) {
    const std::vector<double>& poly = ch == 0 ? c.left : c.right;
    const TChannelDistortion& got = r.Channel[ch];
    ASSERT_TRUE(got.Valid) << ch;
    if (c.kind == TDistortionKind::Sine) {
      const double fundamental = Component(poly, a, 997, 0, 0, 997);
      double harmonics = 0;
      for (int k = 2; k <= 10 && k * 997 <= 20000; ++k) harmonics += std::pow(Component(poly, a, 997, 0, 0, k * 997.0), 2);
      const double thd = 20 * std::log10(std::sqrt(harmonics) / fundamental);
      std::printf("%s channel %d: THD %.3f dB, polynomial %.3f dB\n", c.name, ch, got.ThddB, thd);
      EXPECT_NEAR(got.ThddB, thd, c.thdBounddB) << "channel " << ch;
      EXPECT_NEAR(got.LeveldBFS, 20 * std::log10(fundamental), 0.01) << "channel " << ch;
      EXPECT_NEAR(got.Frequency, 997.0, 0.001) << "channel " << ch;
    } else {
      // The two-tone signals as the generator makes them: peak a, 4:1 or 1:1.
      const bool smpte = c.kind == TDistortionKind::Smpte;
      const double f1 = smpte ? 60 : 19000, f2 = smpte ? 7000 : 20000;
      const double a1 = a * (smpte ? 0.8 : 0.5), a2 = a * (smpte ? 0.2 : 0.5);
      const auto at = [&](double hz) { return Component(poly, a1, f1, a2, f2, hz); };
      double expected = 0;
      if (smpte) {
        double sum = 0;
        for (int n = 1; n <= 4; ++n) sum += std::pow((at(f2 - n * f1) + at(f2 + n * f1)) / at(f2), 2);
        expected = std::sqrt(sum);
      } else {
        const double ref = at(f1) + at(f2);
        expected = std::hypot(at(f2 - f1) / ref, (at(2 * f1 - f2) + at(2 * f2 - f1)) / ref);
      }
      std::printf("%s channel %d: IMD %.3f dB, polynomial %.3f dB\n", c.name, ch, got.Imd.dB, 20 * std::log10(expected));
      EXPECT_NEAR(got.Imd.dB, 20 * std::log10(expected), 0.5) << "channel " << ch;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Distortion, DistortionThroughTheCard,
    testing::Values(
        // H2 = c2 a / 2: -60 dBc on the left, -80 dBc on the right, then -100 dBc.
        TCardCase{"H2at60and80", SineWave, TDistortionKind::Sine, {1.0, 2e-3 / 0.891251}, {1.0, 2e-4 / 0.891251}, 0.05},
        TCardCase{"H2at100", SineWave, TDistortionKind::Sine, {1.0, 2e-5 / 0.891251}, {1.0, 2e-5 / 0.891251}, 1.0},
        TCardCase{"Smpte", SmpteTwoTone, TDistortionKind::Smpte, {1.0, 0.01}, {1.0, 0.0, 0.02}, 0},
        TCardCase{"Ccif", CcifTwoTone, TDistortionKind::Ccif, {1.0, 0.005}, {1.0, 0.002, 0.01}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The left output alone: the right input holds the crosstalk, 80 dB down.
TEST(DistortionCrosstalk, TheQuietInputReadsTheCrosstalk) {
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
  auto backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 5);
  backend->Card().SetDeviceUnderTest(1, TDutModel{});
  backend->Card().SetCrosstalk(1e-4);
  backend->Card().SetHumAmplitude(0);  // the mains would outdo a tone this quiet
  SetAudioBackend(backend);
  const std::vector<int16_t> frames = Capture(SineWave, -1.0, false);
  ASSERT_EQ(frames.size(), 2u * kFrames);
  TDistortionAnalyser analyser;
  const TDistortionResult r = analyser.Analyse(frames.data(), kFrames, TDistortionSettings{});
  ASSERT_TRUE(r.Channel[0].Valid && r.Channel[1].Valid);
  EXPECT_NEAR(r.Channel[1].LeveldBFS - r.Channel[0].LeveldBFS, -80.0, 0.05);
  SetMessages(previous);
  PumpFor(20);
  SetAudioBackend(nullptr);
}

}  // namespace
