// The synchronised sweep and its deconvolution against ground truth: the sweep's defining
// formula evaluated here, fractional delays made by evaluating that formula at shifted times,
// the simulated card's filters run on the played sweep here and through the card itself, with
// their exact complex responses, and the card's polynomial's harmonics by a plain transform of
// the polynomial of a sine over whole periods.
#include "ImpulseResponse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "Smoothing.h"
#include "SyncSweep.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

constexpr double kRate = 44100.0;
constexpr double kTwoPi = 2 * std::numbers::pi;
const double kMinus10dB = std::pow(10.0, -10.0 / 20);

double WrapDeg(double d) { return d - 360 * std::nearbyint(d / 360); }

// The sweep by its definition, at a time in seconds, fades included.
double SweepAt(const TSyncSweep& sweep, double t) {
  const TSyncSweepSettings& s = sweep.Settings();
  const double L = sweep.Rate(), T = (sweep.SweepFrames() - 1) / kRate;
  if (t < 0 || t > T) return 0;
  double v = s.Amplitude * std::sin(kTwoPi * s.F1 * L * (std::exp(t / L) - 1));
  // Fades of whole frames.
  const double in = std::lrint(s.FadeInMs * 1e-3 * kRate) / kRate, out = std::lrint(s.FadeOutMs * 1e-3 * kRate) / kRate;
  if (t < in) v *= 0.5 * (1 - std::cos(std::numbers::pi * t / in));
  if (T - t < out) v *= 0.5 * (1 - std::cos(std::numbers::pi * (T - t) / out));
  return v;
}

// Stereo float frames: the played sweep (16-bit values) through each channel's model, delayed.
std::vector<float> ModelCapture(const TSyncSweep& sweep, int frames, int delay, const TDutModel& left,
                                const TDutModel& right) {
  std::vector<float> capture(2 * frames, 0.0f);
  const std::vector<double> x = sweep.Played();
  for (int ch : {0, 1}) {
    std::vector<TSimulatedCard::TBiquad> stages = TSimulatedCard::Stages(ch == 0 ? left : right);
    for (int n = 0; n + delay < frames; ++n) {
      double v = n < static_cast<int>(x.size()) ? x[n] : 0.0;
      for (auto& s : stages) v = s.Process(v);
      capture[2 * (n + delay) + ch] = static_cast<float>(v);
    }
  }
  return capture;
}


// Worst magnitude (dB) and phase (degrees) error of a response against a model from 30 Hz to
// 18 kHz; `shift` frames of delay put back into the response first (found delay less true).
struct TErrors {
  double magnitude = 0, phase = 0, at = 0;
};
template <class TModel>
TErrors Compare(const TResponseCurve& got, double shift, TModel model) {
  TErrors e;
  for (int b = 0; b < static_cast<int>(got.Complex.size()); ++b) {
    const double hz = b * got.BinHz;
    if (hz < 30 || hz > 18000) continue;
    const std::complex<double> want = model(hz);
    const std::complex<double> h = got.Complex[b] * std::polar(1.0, -kTwoPi * hz * shift / kRate);
    const double dm = std::abs(20 * std::log10(std::abs(h) / std::abs(want)));
    if (dm > e.magnitude) e.at = hz;
    e.magnitude = std::max(e.magnitude, dm);
    e.phase = std::max(e.phase, std::abs(WrapDeg((std::arg(h) - std::arg(want)) * 180 / std::numbers::pi)));
  }
  return e;
}

// Amplitude of harmonic k of poly(a sin(wt)), by a plain transform over one whole period.
double PolyHarmonic(const std::vector<double>& c, double a, int k) {
  constexpr int n = 4096;
  std::complex<double> sum = 0;
  for (int i = 0; i < n; ++i) {
    const double x = a * std::sin(kTwoPi * i / n);
    double y = 0, power = 1;
    for (double ck : c) y += ck * (power *= x);
    sum += y * std::polar(1.0, -kTwoPi * k * i / n);
  }
  return 2 * std::abs(sum) / n;
}

// One run of the sweep through the simulated card: the capture from the input's start, long
// enough for the run and a round trip; lag is where the card put played frame 0 in it.
struct TCardRun {
  std::vector<int16_t> capture;
  int64_t lag = 0;
};
TCardRun PlayThroughCard(TSimulatedCard& card, const TSyncSweep& sweep, int frames) {
  TCardRun run;
  TWaveIn in;
  TWaveOut out;
  in.SetBufferSamples(8192);
  out.SetBufferSamples(8192);
  in.SetOnData([&](wavehdr_tag& h) {
    const auto* p = reinterpret_cast<const int16_t*>(h.lpData);
    run.capture.insert(run.capture.end(), p, p + h.dwBytesRecorded / 2);
  });
  int64_t played = 0;
  out.SetOnNeedData([&](PWaveHdr h) {
    const int n = static_cast<int>(h->dwBufferLength / 4);
    sweep.FillStereo16(reinterpret_cast<int16_t*>(h->lpData), played, n);
    played += n;
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  EXPECT_TRUE(PumpUntil([&] { return run.capture.size() >= 2u * frames; }, 60000));
  out.SetEnabled(false);
  in.SetEnabled(false);
  run.capture.resize(2 * frames);
  run.lag = card.LastOutputStartFrame() - card.LastInputStartFrame() + card.CurrentDelayFrames();
  return run;
}

}  // namespace

// The sweep as defined: f1 L whole, so each harmonic is the sweep L ln k later, in phase; the
// frames (fades included) are the formula's, streamed in blocks as in one piece.
TEST(SyncSweep, FollowsItsDefinitionAndItsHarmonicsAreItselfShifted) {
  struct TCase { double f1, f2, seconds, fadeIn, fadeOut; };
  for (const TCase& c : {TCase{20, 20000, 5, 10, 5}, TCase{20, 20000, 1, 10, 5}, TCase{33.3, 15000, 10, 0, 0},
                         TCase{100, 22050, 2.5, 30, 20}}) {
    TSyncSweepSettings s;
    s.F1 = c.f1, s.F2 = c.f2, s.Seconds = c.seconds, s.FadeInMs = c.fadeIn, s.FadeOutMs = c.fadeOut;
    s.RightOut = false;
    const TSyncSweep sweep(s);
    const double L = sweep.Rate();
    SCOPED_TRACE(c.f1);
    EXPECT_NEAR(c.f1 * L, std::nearbyint(c.f1 * L), 1e-9);
    EXPECT_NEAR(sweep.Duration(), c.seconds, L * std::log(c.f2 / c.f1) / (2 * c.f1 * L));
    EXPECT_EQ(sweep.SweepFrames(), std::lrint(L * std::log(c.f2 / c.f1) * kRate));
    for (int k : {2, 3, 5})
      for (double t : {0.01, 0.3, 0.77}) {
        const double phase = kTwoPi * c.f1 * L * (std::exp(t / L) - 1);
        const double later = kTwoPi * c.f1 * L * (std::exp((t + sweep.HarmonicAdvance(k) / kRate) / L) - 1);
        EXPECT_NEAR(std::sin(k * phase), std::sin(later), 1e-6) << k << " " << t;
      }
    double worst = 0;
    for (int n = 0; n < sweep.SweepFrames(); n += 7) worst = std::max(worst, std::abs(sweep.Value(n) - SweepAt(sweep, n / kRate)));
    EXPECT_LT(worst, 1e-9);
    EXPECT_EQ(sweep.Value(-1), 0.0);
    EXPECT_EQ(sweep.Value(sweep.SweepFrames()), 0.0);
    // Streamed in odd blocks across the run's end.
    std::vector<int16_t> block(2 * 1001);
    for (int64_t from = sweep.SweepFrames() - 5000; from < sweep.RunFrames() + 2000; from += 1001) {
      sweep.FillStereo16(block.data(), from, 1001);
      for (int i = 0; i < 1001; ++i) {
        ASSERT_EQ(block[2 * i], std::lrint(32767 * sweep.Value(from + i))) << from + i;
        ASSERT_EQ(block[2 * i + 1], 0);
      }
    }
  }
  EXPECT_THROW(TSyncSweep({.F1 = 20, .F2 = 20000, .Seconds = 11}), std::invalid_argument);
  EXPECT_THROW(TSyncSweep({.F1 = 2000, .F2 = 1000}), std::invalid_argument);
}

// A wire delayed by fractions of a frame (the sweep's formula at shifted times): each delay to a
// hundredth of a frame, the captures averaged on their own delays into a flat response, an
// inverted one found as well; noise alone is no sweep.
TEST(ImpulseResponse, FindsFractionalDelaysAveragesOnThemAndRejectsNoise) {
  const TSyncSweep sweep;
  const int frames = sweep.RunFrames() + 22050;
  TImpulseAnalyser analyser;
  const auto capture = [&](double delay, double sign) {
    std::vector<float> c(2 * frames);
    for (int n = 0; n < frames; ++n) c[2 * n] = c[2 * n + 1] = static_cast<float>(sign * SweepAt(sweep, (n - delay) / kRate));
    return c;
  };
  analyser.Start(sweep, false, frames);
  for (double delay : {3000.0, 3000.25, 4000.5, 3000.77}) {
    const TCaptureFind find = analyser.AddCapture(capture(delay, 1).data(), frames);
    ASSERT_TRUE(find.Found[0] && find.Found[1]) << delay;
    EXPECT_NEAR(find.Delay[0], delay, 0.01);
  }
  for (double sign : {1.0, -1.0}) {
    if (sign < 0) {
      analyser.Start(sweep, false, frames);
      EXPECT_NEAR(analyser.AddCapture(capture(2000.4, -1).data(), frames).Delay[1], 2000.4, 0.01);
    }
    const TImpulseResult r = analyser.Result();
    const TErrors e = Compare(r.Channel[1].Response, 0, [&](double) { return std::complex<double>(sign); });
    EXPECT_LT(e.magnitude, 0.02) << sign;
    EXPECT_LT(e.phase, 0.5) << sign;
  }
  analyser.Start(sweep, false, frames);
  std::vector<int16_t> noise(2 * frames);
  uint32_t seed = 1;
  for (int16_t& v : noise) v = static_cast<int16_t>(((seed = seed * 1664525u + 1013904223u) >> 20) - 2048);
  const TCaptureFind find = analyser.AddCapture(noise.data(), frames);
  EXPECT_FALSE(find.Found[0] || find.Found[1]);
  EXPECT_LT(find.Clarity[0], TImpulseAnalyser::kMinClarity);
  EXPECT_FALSE(analyser.Result().Channel[0].Valid);
}

// The card's filters run here on the played sweep: each response equals the filter's exact one.
TEST(ImpulseResponse, MatchesTheFiltersExactResponses) {
  const TSyncSweep sweep;
  const int frames = sweep.RunFrames() + 22050;
  TImpulseAnalyser analyser;
  const std::vector<std::pair<TDutModel, TDutModel>> cases = {
      {{TDutKind::Wire}, {TDutKind::Loudspeaker}},
      {{TDutKind::HighPass, 80, 0.7}, {TDutKind::LowPass, 5000, 2}},
      {{TDutKind::BandPass, 1000, 3}, {TDutKind::HighPass, 30, 1.5}}};
  for (const auto& [left, right] : cases) {
    analyser.Start(sweep, false, frames);
    const std::vector<float> capture = ModelCapture(sweep, frames, 13230, left, right);
    const TCaptureFind find = analyser.AddCapture(capture.data(), frames);
    const TImpulseResult r = analyser.Result();
    for (int ch : {0, 1}) {
      const TDutModel& m = ch == 0 ? left : right;
      const TErrors e = Compare(r.Channel[ch].Response, find.Delay[ch] - 13230, [&](double hz) { return TSimulatedCard::Response(m, hz); });
      EXPECT_LT(e.magnitude, 0.02) << static_cast<int>(m.Kind) << " channel " << ch;
      EXPECT_LT(e.phase, 0.5) << static_cast<int>(m.Kind) << " channel " << ch;
    }
  }
}

namespace {

struct TCardCase {
  const char* name;
  TDutModel left, right;
  std::vector<double> leftPoly, rightPoly;
  bool dual;
  int runs;  // captures averaged, each with its own round trip
};

class ImpulseThroughTheCard : public testing::TestWithParam<TCardCase> {
 protected:
  void SetUp() override {
    TSimulatedCard& card = Backend->Card();
    card.SetRoundTrip(13230);
    card.SetJitter(4410);
    card.SetDeviceUnderTest(0, GetParam().left);
    card.SetDeviceUnderTest(1, GetParam().right);
    card.SetNonlinearity(0, GetParam().leftPoly);
    card.SetNonlinearity(1, GetParam().rightPoly);
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
  std::shared_ptr<TSimulatedBackend> Backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 3);
};

}  // namespace

// 20 Hz - 20 kHz, 5 s at -10 dBFS through the card with its noise, hum, offsets and a round
// trip drawn per run: responses within 0.02 dB and 0.5 degree of the models from 30 Hz to
// 18 kHz, the wire's delay within 0.1 frame of the card's, H2 and H3 within 0.5 dB of the
// polynomial's, right over left equal to the models' ratio.
TEST_P(ImpulseThroughTheCard, MeasuresTheModels) {
  const TCardCase& c = GetParam();
  const TSyncSweep sweep;
  const int frames = sweep.RunFrames() + 44100;
  TImpulseAnalyser analyser;
  analyser.Start(sweep, c.dual, frames);
  std::vector<int64_t> lags;
  std::vector<double> found;
  for (int run = 0; run < c.runs; ++run) {
    const TCardRun r = PlayThroughCard(Backend->Card(), sweep, frames);
    ASSERT_EQ(r.capture.size(), 2u * frames);
    const TCaptureFind find = analyser.AddCapture(r.capture.data(), frames);
    ASSERT_TRUE(find.Found[0]) << run;
    lags.push_back(r.lag);
    found.push_back(find.Delay[0]);
  }
  if (c.runs > 1) EXPECT_NE(lags.front(), lags.back());  // the runs really differ
  const TImpulseResult r = analyser.Result();
  ASSERT_EQ(r.Channel[0].Captures, c.runs);
  const double lagError = found.back() - static_cast<double>(lags.back());
  if (c.left.Kind == TDutKind::Wire) EXPECT_NEAR(lagError, 0.0, 0.1);
  const double a = sweep.Settings().Amplitude * 32767;  // the polynomial sees LSB over 32767
  for (int ch : {0, 1}) {
    const TDutModel& m = ch == 0 ? c.left : c.right;
    const std::vector<double>& poly = ch == 0 ? c.leftPoly : c.rightPoly;
    const double gain = PolyHarmonic(poly, a / 32767, 1) / (a / 32767);
    // The card's polynomial works at the sample rate, so its harmonics above Nyquist fold back
    // into the band (H2 of fs / 3 lands on the fundamental): no linear check there.
    if (!c.dual && poly.size() == 1) {
      const double shift = ch == 0 ? lagError : r.Channel[1].Delay - static_cast<double>(lags.back());
      const TErrors e = Compare(r.Channel[ch].Response, shift, [&](double hz) { return gain * TSimulatedCard::Response(m, hz); });
      EXPECT_LT(e.magnitude, 0.02) << "channel " << ch << " at " << e.at;
      EXPECT_LT(e.phase, 0.5) << "channel " << ch;
    }
    for (int k : {2, 3}) {
      const double level = PolyHarmonic(poly, a / 32767, k) / PolyHarmonic(poly, a / 32767, 1);
      if (level < 1e-3) continue;
      const THarmonicCurve& h = r.Channel[ch].Harmonics[k - 2];
      for (double f : {100.0, 1000.0, 5000.0}) {
        const int b = static_cast<int>(std::lrint(f / r.Channel[ch].Response.BinHz));
        const double hz = b * r.Channel[ch].Response.BinHz;
        const double want = 20 * std::log10(level * std::abs(TSimulatedCard::Response(m, k * hz) / TSimulatedCard::Response(m, hz)));
        EXPECT_NEAR(h.dB[b], want, 0.5) << "channel " << ch << " H" << k << " at " << f;
        EXPECT_NEAR(h.Percent[b], 100 * std::pow(10.0, want / 20), 0.06 * 100 * std::pow(10.0, want / 20));
      }
    }
  }
  if (c.dual) {
    const TErrors e = Compare(r.Ratio, r.Channel[1].Delay, [&](double hz) {
      return TSimulatedCard::Response(c.right, hz) / TSimulatedCard::Response(c.left, hz);
    });
    EXPECT_LT(e.magnitude, 0.02) << e.at << " noise " << r.Channel[1].NoisedB << " " << r.Channel[0].NoisedB;
    EXPECT_LT(e.phase, 0.5);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Impulse, ImpulseThroughTheCard,
    testing::Values(
        TCardCase{"WireAndLoudspeaker", {TDutKind::Wire}, {TDutKind::Loudspeaker}, {1.0}, {1.0}, false, 1},
        // H2 -40 dBc and H3 -55 dBc on the left, H2 -60 dBc through a low-pass on the right.
        TCardCase{"Polynomials", {TDutKind::Wire}, {TDutKind::LowPass, 8000, 0.7}, {1.0, 0.02 / kMinus10dB * 1.0, 0.0071 / (kMinus10dB * kMinus10dB)},
                  {1.0, 0.002 / kMinus10dB}, false, 1},
        // The loopback and the device through different filters, three runs averaged.
        TCardCase{"RightOverLeftAveraged", {TDutKind::HighPass, 40, 0.7}, {TDutKind::Loudspeaker}, {1.0}, {1.0}, true, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Smoothing against exact means: a power ramp's band mean is the ramp at the band's middle, a
// ten-bin notch costs exactly its ten bins, and a pure delay keeps its phase and group delay.
TEST(Smoothing, BandMeansArePowerMeansAndDelaysKeepTheirSlope) {
  constexpr int n = 32769;
  constexpr double binHz = 44100.0 / 65536;
  std::vector<std::complex<double>> ramp(n), notch(n, 1.0), delay(n);
  for (int k = 0; k < n; ++k) {
    ramp[k] = std::sqrt(1.0 + k);
    delay[k] = std::polar(2.0, -kTwoPi * k * binHz * 0.002);
  }
  for (int k = 1000; k < 1010; ++k) notch[k] = 0.0;
  TSmoother smoothRamp, smoothNotch, smoothDelay;
  smoothRamp.Set(ramp.data(), n, binHz);
  smoothNotch.Set(notch.data(), n, binHz);
  smoothDelay.Set(delay.data(), n, binHz);
  const double notchBin = 1004.5;
  for (TSmoothing s : {TSmoothing::Octave1, TSmoothing::Octave3, TSmoothing::Octave6, TSmoothing::Octave12,
                       TSmoothing::Octave24, TSmoothing::Octave48}) {
    const double half = std::exp2(0.5 / OctaveFraction(s));
    for (double bin : {500.25, 3000.0, 12345.6}) {
      EXPECT_NEAR(smoothRamp.Power(bin * binHz, s), 1 + (bin / half + bin * half) / 2, 1e-6) << SmoothingName(s);
    }
    const double width = notchBin * half - notchBin / half;
    if (width > 12) EXPECT_NEAR(smoothNotch.Power(notchBin * binHz, s), 1 - 10 / width, 1e-9) << SmoothingName(s);
  }
  EXPECT_NEAR(smoothRamp.Power(2000.5 * binHz, TSmoothing::None), 2001.5, 1e-9);
  std::vector<double> hz;
  for (double f = 100; f < 20000; f += 100) hz.push_back(f);
  std::vector<TSmoothedPoint> points(hz.size());
  smoothDelay.Evaluate(hz.data(), static_cast<int>(hz.size()), TSmoothing::None, points.data());
  for (const TSmoothedPoint& p : points) {
    EXPECT_NEAR(p.MagnitudedB, 20 * std::log10(2.0), 1e-9);
    EXPECT_NEAR(p.UnwrappedDeg, -360 * p.Hz * 0.002, 1e-6) << p.Hz;
    EXPECT_NEAR(p.GroupDelayMs, 2.0, 1e-9) << p.Hz;
  }
}
