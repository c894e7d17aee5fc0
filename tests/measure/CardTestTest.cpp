// The sound-card test through the simulated card: every figure of the report against the value
// worked out here from the card's model alone (filters, polynomials, noise, hum, offsets,
// crosstalk, round trip); and the report's files and limits.
#include "CardTest.h"

#include <gtest/gtest.h>

#include <QEventLoop>

#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include "CardReport.h"
#include "CardTestRun.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "PolynomialModel.h"
#include "TestSupport.h"

namespace {

constexpr double kFull = 32767.0;

using polynomial_model::Component;

// IEC 61672 A weighting as a power gain, written out here from the standard's poles.
double APower(double f) {
  const double f2 = f * f;
  const double ra = 12194.0 * 12194.0 * f2 * f2 /
                    ((f2 + 20.6 * 20.6) * std::sqrt((f2 + 107.7 * 107.7) * (f2 + 737.9 * 737.9)) * (f2 + 12194.0 * 12194.0));
  const double ra1k = 12194.0 * 12194.0 * 1e12 /
                      ((1e6 + 20.6 * 20.6) * std::sqrt((1e6 + 107.7 * 107.7) * (1e6 + 737.9 * 737.9)) * (1e6 + 12194.0 * 12194.0));
  return (ra / ra1k) * (ra / ra1k);
}

// Mean over 20 Hz - 20 kHz of a power gain, per unit of the whole band 0 - 22050 Hz (so that
// white noise of power P has P times this in the band).
template <class F>
double BandShare(F gain) {
  double sum = 0;
  constexpr int steps = 200000;
  const double df = (20000.0 - 20.0) / steps;
  for (int i = 0; i < steps; ++i) sum += gain(20.0 + (i + 0.5) * df) * df;
  return sum / 22050.0;
}

double dB(double ratio) { return 20 * std::log10(ratio); }

struct TModel {
  TDutModel dut;
  std::vector<double> poly;
  double offset;  // LSB
};

class CardTestThroughTheCard : public testing::Test {
 protected:
  void SetUp() override { SetAudioBackend(Backend); }
  void TearDown() override {
    SetMessages(Previous);
    EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  std::shared_ptr<TSimulatedBackend> Backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 11);
};

}  // namespace

TEST_F(CardTestThroughTheCard, EveryFigureMatchesTheModel) {
  const TModel model[2] = {
      {TDutModel{}, {1.0, 2e-3, 1e-3}, TSimulatedCard::kLeftOffset},
      {TDutModel{TDutKind::Loudspeaker}, {1.0, 0.0, 3e-3}, TSimulatedCard::kRightOffset}};
  TSimulatedCard& card = Backend->Card();
  for (int ch : {0, 1}) {
    card.SetDeviceUnderTest(ch, model[ch].dut);
    card.SetNonlinearity(ch, model[ch].poly);
  }
  const double crosstalk = std::pow(10.0, -70.0 / 20);
  card.SetCrosstalk(crosstalk);

  const TCardTestPlan plan;
  EXPECT_LE(plan.Seconds(), 30.0);
  TCardTestRun run(plan);
  std::string error = "not finished";
  QEventLoop loop;
  run.SetOnFinished([&](const std::string& e) {
    error = e;
    loop.quit();
  });
  run.Start(16384, 16384);
  loop.exec();
  ASSERT_EQ(error, "");
  const TCardTestResult r = AnalyseCardTest(plan, run.Captured().data(), run.CapturedFrames(), run.Timing());
  ASSERT_TRUE(r.Valid) << r.Error;
  EXPECT_EQ(r.DelayMethod, "device clock");

  const TCardTestSettings& s = plan.Settings();
  const double hum = TSimulatedCard::kHumAmplitude * TSimulatedCard::kHumAmplitude / 2;  // LSB^2
  const double inputNoise = TSimulatedCard::kNoiseRms * TSimulatedCard::kNoiseRms + 1.0 / 12;  // noise, input rounding
  const double fullScalePower = kFull * kFull / 2;
  struct TCheck {
    const char* key;
    double want[2];
    double tolerance;
  };
  std::vector<TCheck> checks;
  double want[20][2];
  int n = 0;
  const auto row = [&](const char* key, double tolerance, auto f) {
    for (int ch : {0, 1}) want[n][ch] = f(ch);
    checks.push_back({key, {want[n][0], want[n][1]}, tolerance});
    ++n;
  };
  const auto H = [&](int ch, double hz) { return std::abs(TSimulatedCard::Response(model[ch].dut, hz)); };
  const double sweep = std::pow(10.0, s.SweepdBFS / 20);
  const auto fundamentalGain = [&](int ch, double a) { return Component(model[ch].poly, a, 997, 0, 0, 997) / a; };
  // Response: the filter re 1 kHz; the polynomial's gain on the fundamental at the sweep's level.
  row("gain_1k_db", 0.02, [&](int ch) { return dB(H(ch, 1000) * fundamentalGain(ch, sweep)); });
  row("response_20hz_db", 0.02, [&](int ch) { return dB(H(ch, 20) / H(ch, 1000)); });
  row("response_20khz_db", 0.02, [&](int ch) { return dB(H(ch, 20000) / H(ch, 1000)); });
  const auto extreme = [&](int ch, bool highest) {
    double m = highest ? -1e9 : 1e9;
    const double bin = 44100.0 / 65536;
    for (int b = static_cast<int>(std::ceil(40 / bin)); b * bin <= 15000; ++b)
      m = highest ? std::max(m, dB(H(ch, b * bin))) : std::min(m, dB(H(ch, b * bin)));
    return m - dB(H(ch, 1000));
  };
  row("response_min_db", 0.02, [&](int ch) { return extreme(ch, false); });
  row("response_max_db", 0.02, [&](int ch) { return extreme(ch, true); });
  // Noise while nothing plays: hum, the card's noise and the input's rounding.
  row("noise_dbfs", 0.1, [&](int) { return 10 * std::log10((hum + inputNoise * BandShare([](double) { return 1.0; })) / fullScalePower); });
  row("noise_dbfs_a", 0.1, [&](int) {
    return 10 * std::log10((hum * APower(50) + inputNoise * BandShare(APower)) / fullScalePower);
  });
  row("dc_offset_lsb", 0.02, [&](int ch) { return model[ch].offset; });
  row("dc_offset_percent", 0.02 / kFull * 100, [&](int ch) { return 100 * model[ch].offset / kFull; });
  // A tone's residual: its harmonics through the filter, the noise above, and the output's
  // rounding through the filter.
  const auto thdn = [&](int ch, double dBFS, bool weighted, bool noise) {
    const double a = std::pow(10.0, dBFS / 20);
    const double fundamental = Component(model[ch].poly, a, 997, 0, 0, 997) * H(ch, 997) * kFull;
    double harmonics = 0;
    for (int k = 2; k <= 10 && k * 997 <= 20000; ++k) {
      const double h = Component(model[ch].poly, a, 997, 0, 0, k * 997.0) * H(ch, k * 997.0) * kFull;
      harmonics += h * h / 2 * (weighted ? APower(k * 997.0) : 1);
    }
    double rest = 0;
    if (noise) {
      const auto w = [&](double f) { return weighted ? APower(f) : 1.0; };
      rest = hum * w(50) + inputNoise * BandShare(w) +
             1.0 / 12 * BandShare([&](double f) { return w(f) * H(ch, f) * H(ch, f); });
    }
    return 10 * std::log10((harmonics + rest) / (fundamental * fundamental / 2));
  };
  row("dynamic_range_db_a", 0.3, [&](int ch) { return 60 - thdn(ch, s.LowdBFS, true, true); });
  row("thdn_db", 0.3, [&](int ch) { return thdn(ch, s.HighdBFS, false, true); });
  row("thd_db", 0.3, [&](int ch) { return thdn(ch, s.HighdBFS, false, false); });
  // Two tones: each product through the filter, re the tones through it.
  const auto imd = [&](int ch, bool smpte) {
    const double a = std::pow(10.0, s.HighdBFS / 20);
    const double f1 = smpte ? 60 : 19000, f2 = smpte ? 7000 : 20000;
    const double a1 = a * (smpte ? 0.8 : 0.5), a2 = a * (smpte ? 0.2 : 0.5);
    const auto at = [&](double hz) { return Component(model[ch].poly, a1, f1, a2, f2, hz) * H(ch, hz); };
    if (smpte) {
      double sum = 0;
      for (int k = 1; k <= 4; ++k) sum += std::pow((at(f2 - k * f1) + at(f2 + k * f1)) / at(f2), 2);
      return dB(std::sqrt(sum));
    }
    const double ref = at(f1) + at(f2);
    return dB(std::hypot(at(f2 - f1) / ref, (at(2 * f1 - f2) + at(2 * f2 - f1)) / ref));
  };
  row("imd_smpte_db", 0.3, [&](int ch) { return imd(ch, true); });
  row("imd_ccif_db", 0.3, [&](int ch) { return imd(ch, false); });
  // What leaks from the other channel arrives through the same device: the gain itself.
  for (const char* key : {"crosstalk_100hz_db", "crosstalk_1khz_db", "crosstalk_10khz_db"})
    row(key, 0.5, [&](int) { return dB(crosstalk); });

  for (const TCheck& c : checks) {
    const TCardFigure* f = r.Find(c.key);
    ASSERT_NE(f, nullptr) << c.key;
    std::printf("%-20s left %10.4f (model %10.4f)  right %10.4f (model %10.4f)\n", c.key, f->Left, c.want[0],
                f->Right, c.want[1]);
    // More than 12 dB down a steep slope (the loudspeaker's 20 Hz and 20 kHz) the impulse
    // response's window smooths the curve by about a tenth of a dB.
    const auto tolerance = [&](double want) {
      return std::string(c.key).rfind("response_", 0) == 0 && std::abs(want) > 12 ? 0.15 : c.tolerance;
    };
    EXPECT_NEAR(f->Left, c.want[0], tolerance(c.want[0])) << c.key;
    EXPECT_NEAR(f->Right, c.want[1], tolerance(c.want[1])) << c.key;
  }
  // The left input is a wire: its round trip is the card's to the frame. The right's low-pass
  // puts its impulse response's peak a little later.
  const TCardFigure* trip = r.Find("round_trip_frames");
  ASSERT_NE(trip, nullptr);
  std::printf("round trip %.3f / %.3f frames, card %lld\n", trip->Left, trip->Right,
              static_cast<long long>(card.CurrentDelayFrames()));
  EXPECT_NEAR(trip->Left, static_cast<double>(card.CurrentDelayFrames()), 1.0);
  EXPECT_GT(trip->Right, trip->Left);
  EXPECT_LT(trip->Right, trip->Left + 10);
  EXPECT_NEAR(r.Find("round_trip_ms")->Left, trip->Left / 44.1, 1e-9);
  // The curve: the filter re 1 kHz across the band.
  for (std::size_t i = 0; i < r.CurveHz.size(); i += 6)
    for (int ch : {0, 1}) {
      const double want = dB(H(ch, r.CurveHz[i]) / H(ch, 1000));
      EXPECT_NEAR(r.CurvedB[ch][i], want, std::abs(want) > 12 ? 0.15 : 0.02) << r.CurveHz[i] << " Hz, channel " << ch;
    }
}
