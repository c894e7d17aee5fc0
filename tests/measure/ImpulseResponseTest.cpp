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
  const double in = s.FadeInMs * 1e-3, out = s.FadeOutMs * 1e-3;
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

}  // namespace

TEST(ImpulseExplore, Models) {
  TSyncSweep sweep;
  const int frames = sweep.RunFrames() + 44100;
  TImpulseAnalyser a;
  a.Start(sweep, false, frames);
  const int delay = 13230;
  for (TDutModel m : {TDutModel{TDutKind::Wire}, TDutModel{TDutKind::Loudspeaker}, TDutModel{TDutKind::HighPass, 80, 0.7},
                      TDutModel{TDutKind::LowPass, 5000, 2}, TDutModel{TDutKind::BandPass, 1000, 3}}) {
    a.Start(sweep, false, frames);
    const std::vector<float> cap = ModelCapture(sweep, frames, delay, m, m);
    const TCaptureFind f = a.AddCapture(cap.data(), frames);
    const TImpulseResult r = a.Result();
    const TChannelImpulse& c = r.Channel[0];
    double worstM = 0, worstP = 0, atM = 0, atP = 0;
    for (int b = 0; b < static_cast<int>(c.Response.Complex.size()); ++b) {
      const double hz = b * c.Response.BinHz;
      if (hz < 30 || hz > 18000) continue;
      const std::complex<double> model = TSimulatedCard::Response(m, hz);
      const std::complex<double> got = c.Response.Complex[b] * std::polar(1.0, -kTwoPi * hz * (f.Delay[0] - delay) / kRate);
      const double dm = std::abs(20 * std::log10(std::abs(got) / std::abs(model)));
      const double dp = std::abs(WrapDeg((std::arg(got) - std::arg(model)) * 180 / std::numbers::pi));
      if (dm > worstM) worstM = dm, atM = hz;
      if (dp > worstP) worstP = dp, atP = hz;
    }
    printf("kind %d delay %.4f clarity %.1f window %.2f..%.2f noise %.1f  mag %.5f dB at %.1f  phase %.4f at %.1f\n",
           static_cast<int>(m.Kind), f.Delay[0] - delay, f.Clarity[0], c.Window.StartMs, c.Window.EndMs, c.NoisedB, worstM, atM,
           worstP, atP);
  }
}
TEST(ImpulseExplore, WireEnvelope) {
  TSyncSweep sweep;
  const int frames = sweep.RunFrames() + 44100;
  TImpulseAnalyser a;
  a.Start(sweep, false, frames);
  const std::vector<float> cap = ModelCapture(sweep, frames, 13230, {}, {});
  a.AddCapture(cap.data(), frames);
  const TImpulseResult r = a.Result();
  const auto& h = r.Channel[0].Impulse;
  for (int ms = -180; ms < 1300; ms += (std::abs(ms) < 20 ? 2 : 40)) {
    const int n0 = static_cast<int>(r.Channel[0].PeakIndex) + ms * 44;
    double p = 0;
    for (int n = n0; n < n0 + 44; ++n) p += h[n] * h[n];
    printf("%5d ms %7.1f dB\n", ms, 10 * std::log10(p / 44 + 1e-30));
  }
}
