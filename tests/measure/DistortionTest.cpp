// Distortion and noise readings against signals whose every component is known: sines with set
// harmonics and noise, a 16-bit sine through a WAV file, two tones through a polynomial whose
// products an exact whole-period transform gives, the A curve's standard table.
#include "Distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "ToneGenerator.h"
#include "WaveFile.h"

namespace {

constexpr double kRate = 44100.0;
constexpr double kTwoPi = 6.283185307179586476925;
constexpr int kFrames = 32768;

double FromdB(double db) { return std::pow(10.0, db / 20.0); }
double TodB(double r) { return 20.0 * std::log10(r); }

std::vector<int16_t> ToFrames(const std::vector<double>& left, const std::vector<double>& right) {
  std::vector<int16_t> frames(2 * left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    frames[2 * i] = static_cast<int16_t>(std::lrint(std::clamp(left[i] * 32767, -32767.0, 32767.0)));
    frames[2 * i + 1] =
        static_cast<int16_t>(std::lrint(std::clamp(right[i] * 32767, -32767.0, 32767.0)));
  }
  return frames;
}

struct TSineCase {
  const char* name;
  double hz, leveldB;
  std::vector<std::pair<int, double>> harmonics;  // order, dBc
  double noiseRms;                                // full scale 1.0, white
  int harmonicsCounted;
  double thdTolerancedB;
  double hum = 0;  // peak of a 50 Hz line, which counts as noise
};

// Power of white noise (variance v, plus 16-bit rounding) that falls in [lo, hi] of 0 ... fs/2.
double InBand(double variance, double lo, double hi) {
  return (variance + 1.0 / (12.0 * 32767.0 * 32767.0)) * (hi - lo) / (kRate / 2);
}

class SineReadings : public testing::TestWithParam<TSineCase> {};

TEST_P(SineReadings, MatchTheComponentsPutIn) {
  const TSineCase& c = GetParam();
  const double a = FromdB(c.leveldB);
  std::mt19937 random(7);
  std::normal_distribution<double> gauss(0.0, c.noiseRms);
  std::vector<double> x(kFrames);
  double harmonicPower = 0, countedPower = 0;
  for (auto [order, dBc] : c.harmonics) {
    const double h = a * FromdB(dBc);
    const bool inBand = order * c.hz <= 20000;
    if (inBand) harmonicPower += h * h / 2;
    if (inBand && order <= c.harmonicsCounted) countedPower += h * h;
  }
  for (int i = 0; i < kFrames; ++i) {
    double v = 0.002 + a * std::cos(kTwoPi * c.hz * i / kRate + 0.3);
    for (auto [order, dBc] : c.harmonics)
      v += a * FromdB(dBc) * std::cos(kTwoPi * order * c.hz * i / kRate + 0.7 * order);
    x[i] = v + c.hum * std::sin(kTwoPi * 50 * i / kRate) + gauss(random);
  }
  const std::vector<int16_t> frames = ToFrames(x, x);
  TDistortionAnalyser analyser;
  TDistortionSettings s;
  s.Harmonics = c.harmonicsCounted;
  const TDistortionResult r = analyser.Analyse(frames.data(), kFrames, s);
  for (const TChannelDistortion& ch : r.Channel) {
    ASSERT_TRUE(ch.Valid);
    EXPECT_NEAR(ch.Frequency, c.hz, 0.001);
    EXPECT_NEAR(ch.LeveldBFS, c.leveldB, 0.01);
    EXPECT_NEAR(ch.Dc, 0.002, 2e-5);
    if (countedPower > 0)
      EXPECT_NEAR(ch.ThddB, TodB(std::sqrt(countedPower) / a), c.thdTolerancedB);
    else
      EXPECT_EQ(ch.ThdRatio, 0.0);
    for (const THarmonicReading& h : ch.Harmonics) {
      EXPECT_NEAR(h.Frequency, h.Order * c.hz, 0.01 * h.Order);
      EXPECT_LE(h.Order * c.hz, 20000.0);
    }
    const double noise = InBand(c.noiseRms * c.noiseRms, 20, 20000) + c.hum * c.hum / 2;
    const double fundamental = a * a / 2;
    EXPECT_NEAR(ch.ThdndB, 10 * std::log10((noise + harmonicPower) / fundamental), 0.15);
    EXPECT_NEAR(ch.NoisedBFS, 10 * std::log10(2 * noise), 0.15);
    EXPECT_NEAR(ch.SnrdB, 10 * std::log10(fundamental / noise), 0.15);
    EXPECT_NEAR(ch.SinaddB, 10 * std::log10(1 + fundamental / (noise + harmonicPower)), 0.15);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Distortion, SineReadings,
    testing::Values(
        TSineCase{"H2at60", 997, -1, {{2, -60}, {3, -70}}, 1e-5, 10, 0.05},
        TSineCase{"H2at80", 997, -1, {{2, -80}}, 3e-6, 10, 0.1},
        TSineCase{"H2at100", 997, -1, {{2, -100}}, 1e-6, 10, 1.0},
        TSineCase{"LowTone", 20.5, -6, {{2, -80}, {3, -90}}, 1e-5, 10, 0.1},
        TSineCase{"HarmonicsAboveTheBand", 11000, -3, {{2, -40}}, 1e-5, 10, 0.1},
        // 1 kHz repeats every 441 frames, so its rounding is lines, some on the harmonics: the
        // noise here is well above the rounding.
        TSineCase{"OnlyTenCounted", 1000, -3, {{10, -80}, {11, -80}}, 3e-5, 10, 0.1},
        TSineCase{"HumIsNoise", 400, -20, {{2, -60}}, 1e-6, 10, 0.05, 1e-4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Distortion, FloatSineLeavesAResidualFarBelowSixteenBits) {
  std::vector<float> frames(2 * kFrames);
  for (int i = 0; i < kFrames; ++i)
    frames[2 * i] = frames[2 * i + 1] =
        static_cast<float>(0.999 * std::sin(kTwoPi * 997.0 * i / kRate));
  TDistortionAnalyser analyser;
  TDistortionSettings s;
  const TChannelDistortion ch = analyser.Analyse(frames.data(), kFrames, s).Channel[0];
  ASSERT_TRUE(ch.Valid);
  EXPECT_LT(ch.ThdndB, -140.0);
  EXPECT_LT(ch.ThddB, -140.0);
  EXPECT_NEAR(ch.Frequency, 997.0, 1e-6);
}

// The classic generator's full-scale 997 Hz written to a WAV file and read back: the reading
// must be what a least-squares fit at the played frequency leaves of those very samples.
TEST(Distortion, SixteenBitLoopbackReadsTheSamplesOwnResidual) {
  std::vector<int16_t> played(2 * kFrames);
  uint32_t phase = 0;
  TBasicAudioGenerator::SynthesizeTone(SineWave, played.data(), kFrames, 0, phase, 997.0f, 1.0f);
  for (int i = 0; i < kFrames; ++i) played[2 * i + 1] = played[2 * i];
  const auto* bytes = reinterpret_cast<const uint8_t*>(played.data());
  const std::vector<uint8_t> file =
      WaveFileBytes(TWaveFormat{}, {bytes, played.size() * 2}, "2026-12-08");
  const TWaveParse parse = ParseWave(file, false);
  ASSERT_EQ(parse.Fault, TWaveFault::None);
  const std::vector<int16_t> replayed = StereoFrames(
      std::span(file).subspan(parse.DataOffset, parse.DataSize), parse.Format.Channels);
  ASSERT_EQ(replayed, played);

  const double increment = std::lrint(997.0 * 1073741824.0 / kRate);
  const double hz = increment * kRate / 1073741824.0;
  // dc, cos, sin at the played frequency, by the normal equations in long double.
  long double m[3][3] = {}, b[3] = {};
  for (int i = 0; i < kFrames; ++i) {
    const long double basis[3] = {1.0L, std::cos(kTwoPi * hz * i / kRate),
                                  std::sin(kTwoPi * hz * i / kRate)};
    for (int r = 0; r < 3; ++r) {
      b[r] += basis[r] * played[2 * i] / 32767.0L;
      for (int k = 0; k < 3; ++k) m[r][k] += basis[r] * basis[k];
    }
  }
  for (int c = 0; c < 3; ++c)
    for (int r = c + 1; r < 3; ++r) {
      const long double f = m[r][c] / m[c][c];
      for (int k = 0; k < 3; ++k) m[r][k] -= f * m[c][k];
      b[r] -= f * b[c];
    }
  long double p[3];
  for (int c = 2; c >= 0; --c) {
    p[c] = b[c];
    for (int k = c + 1; k < 3; ++k) p[c] -= m[c][k] * p[k];
    p[c] /= m[c][c];
  }
  long double squares = 0;
  for (int i = 0; i < kFrames; ++i) {
    const long double e = played[2 * i] / 32767.0L - p[0] - p[1] * std::cos(kTwoPi * hz * i / kRate) -
                          p[2] * std::sin(kTwoPi * hz * i / kRate);
    squares += e * e;
  }
  const double amplitude = std::hypot(static_cast<double>(p[1]), static_cast<double>(p[2]));
  const double exact = std::sqrt(static_cast<double>(squares) / kFrames) / (amplitude / std::sqrt(2.0));

  TDistortionAnalyser analyser;
  TDistortionSettings s;
  s.BandLow = 0;
  s.BandHigh = kRate / 2;
  const TChannelDistortion ch = analyser.Analyse(replayed.data(), kFrames, s).Channel[0];
  ASSERT_TRUE(ch.Valid);
  EXPECT_NEAR(ch.ThdndB, TodB(exact), 0.3);
  EXPECT_NEAR(ch.Frequency, hz, 0.001);
  EXPECT_NEAR(ch.LeveldBFS, TodB(amplitude), 0.01);
}

struct TImdCase {
  const char* name;
  TDistortionKind kind;
  double f1, f2, a1, a2;
  std::vector<double> poly;  // c1, c2, ...
};

class TwoToneReadings : public testing::TestWithParam<TImdCase> {};

// Truth: the polynomial's output over one whole second, so every component sits on a 1 Hz
// bin of a plain transform; the analyser reads the first 32768 frames of it.
TEST_P(TwoToneReadings, MatchThePolynomialsProducts) {
  const TImdCase& c = GetParam();
  const int second = static_cast<int>(kRate);
  std::vector<double> y(second);
  for (int i = 0; i < second; ++i) {
    const double x = c.a1 * std::cos(kTwoPi * c.f1 * i / kRate + 0.2) +
                     c.a2 * std::cos(kTwoPi * c.f2 * i / kRate + 1.1);
    double v = 0, power = 1;
    for (double coefficient : c.poly) v += coefficient * (power *= x);
    y[i] = v;
  }
  const auto exact = [&](double hz) {
    std::complex<long double> sum = 0;
    for (int i = 0; i < second; ++i)
      sum += static_cast<long double>(y[i]) *
             std::polar(1.0L, -static_cast<long double>(kTwoPi) * hz * i / second);
    return static_cast<double>(2.0L * std::abs(sum) / second);
  };
  double expected = 0, secondOrder = 0;
  if (c.kind == TDistortionKind::Smpte) {
    secondOrder = (exact(c.f2 - c.f1) + exact(c.f2 + c.f1)) / exact(c.f2);
    double sum = 0;
    for (int n = 1; n <= 4; ++n) {
      const double order = (exact(c.f2 - n * c.f1) + exact(c.f2 + n * c.f1)) / exact(c.f2);
      sum += order * order;
    }
    expected = std::sqrt(sum);
  } else {
    const double ref = exact(c.f1) + exact(c.f2);
    secondOrder = exact(c.f2 - c.f1) / ref;
    expected = std::hypot(exact(c.f2 - c.f1) / ref,
                          (exact(2 * c.f1 - c.f2) + exact(2 * c.f2 - c.f1)) / ref);
  }
  y.resize(kFrames);
  const std::vector<int16_t> frames = ToFrames(y, y);
  TDistortionAnalyser analyser;
  TDistortionSettings s;
  s.Kind = c.kind;
  const TChannelDistortion ch = analyser.Analyse(frames.data(), kFrames, s).Channel[1];
  ASSERT_TRUE(ch.Valid);
  EXPECT_NEAR(ch.Imd.F1, c.f1, 0.001);
  EXPECT_NEAR(ch.Imd.F2, c.f2, 0.001);
  EXPECT_NEAR(ch.Imd.dB, TodB(expected), 0.1) << "expected " << TodB(expected) << " dB";
  ASSERT_EQ(ch.Imd.Orders.size(), c.kind == TDistortionKind::Smpte ? 4u : 2u);
  if (secondOrder > 1e-6) EXPECT_NEAR(ch.Imd.Orders[0].dBc, TodB(secondOrder), 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Distortion, TwoToneReadings,
    testing::Values(TImdCase{"SmpteSecondOrder", TDistortionKind::Smpte, 60, 7000, 0.72, 0.18,
                             {1.0, 0.01}},
                    TImdCase{"SmpteThirdOrder", TDistortionKind::Smpte, 60, 7000, 0.72, 0.18,
                             {1.0, 0.0, -0.003}},
                    TImdCase{"CcifSecondOrder", TDistortionKind::Ccif, 19000, 20000, 0.45, 0.45,
                             {1.0, 0.003}},
                    TImdCase{"CcifMixed", TDistortionKind::Ccif, 19000, 20000, 0.45, 0.45,
                             {1.0, 0.001, 0.01}}),
    [](const auto& info) { return std::string(info.param.name); });

// The IEC 61672 table of the A curve at the exact base-ten frequencies, to its 0.1 dB.
// The reading from the unwindowed transform against the windowed block's own DTFT, at a tone
// on a bin, tones between bins, near 0 Hz and near half the rate (where the bins it needs fold
// back), and where only noise lies.
TEST(Distortion, ToneFromTheSpectrumIsTheWindowedBlocksTransform) {
  const double bin = kRate / kFrames;
  struct TTone {
    double hz, amplitude;
  };
  const TTone tones[] = {{700 * bin, 1e-3}, {1234.5, 0.5}, {3.3 * bin, 0.01}, {kRate / 2 - 2.3 * bin, 0.02}};
  std::mt19937 random(3);
  std::normal_distribution<double> gauss(0.0, 3e-5);
  std::vector<double> x(kFrames);
  std::vector<float> single(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    for (const TTone& t : tones) x[i] += t.amplitude * std::sin(kTwoPi * t.hz * i / kRate + 0.4);
    x[i] = static_cast<float>(x[i] + gauss(random));  // what the float transform is given
    single[i] = static_cast<float>(x[i]);
  }
  std::vector<fftwf_complex> spectrum(kFrames / 2 + 1);
  const fftwf_plan plan =
      fftwf_plan_dft_r2c_1d(kFrames, single.data(), spectrum.data(), FFTW_ESTIMATE);
  fftwf_execute(plan);
  fftwf_destroy_plan(plan);
  const std::vector<double> window = BlackmanHarris7(kFrames);
  double windowSum = 0;
  std::vector<double> windowed(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    windowSum += window[i];
    windowed[i] = window[i] * x[i];
  }
  for (double hz : {tones[0].hz, tones[1].hz, tones[2].hz, tones[3].hz, 2 * tones[1].hz,
                    tones[1].hz + 0.5 * bin, 5000.0}) {
    const double want = ToneAmplitude(windowed.data(), kFrames, hz, kRate, windowSum);
    const double got = ToneAmplitudeFromSpectrum(spectrum.data(), kFrames, hz, kRate, windowSum);
    EXPECT_NEAR(got, want, 1e-6 * want + 1e-9) << hz << " Hz";
  }
}

// A steady tone's fit starts where the last block's ended; it must read what a fresh analyser
// reads of the same block, and a tone that moved must not be held to the old start.
TEST(Distortion, FitFromTheLastBlockReadsAsAFreshOne) {
  struct TCase {
    const char* name;
    double hz, nextHz, leveldB, noiseRms;
  };
  const TCase cases[] = {{"Steady", 997, 997, -1, 1e-5},     {"Low", 20.5, 20.5, -6, 1e-5},
                         {"High", 11000, 11000, -3, 1e-5},  {"Moved", 997, 1003, -1, 1e-5},
                         {"Noisy", 997, 997, -40, 1e-3}};
  constexpr int kStep = 8192;
  for (const TCase& c : cases) {
    std::mt19937 random(11);
    std::normal_distribution<double> gauss(0.0, c.noiseRms);
    const double a = FromdB(c.leveldB);
    // The second block is the first slid on by kStep frames (at the new frequency, if it moved).
    std::vector<double> x(kFrames + kStep);
    for (int i = 0; i < kFrames + kStep; ++i) {
      const double hz = i < kFrames ? c.hz : c.nextHz;
      const double v = a * std::sin(kTwoPi * hz * i / kRate + 0.3);
      x[i] = v + 1e-3 * v * v + gauss(random);
    }
    const std::vector<int16_t> frames = ToFrames(x, x);
    TDistortionSettings s;
    TDistortionAnalyser warm, cold;
    warm.Analyse(frames.data(), kFrames, s);
    const TDistortionResult w = warm.Analyse(frames.data() + 2 * kStep, kFrames, s);
    const TDistortionResult f = cold.Analyse(frames.data() + 2 * kStep, kFrames, s);
    const TChannelDistortion& got = w.Channel[1];
    const TChannelDistortion& want = f.Channel[1];
    ASSERT_TRUE(want.Valid) << c.name;
    ASSERT_TRUE(got.Valid) << c.name;
    // The fit itself to 1e-9; what is read through the float transforms to their rounding,
    // which a residual different in its last bits moves by some 1e-8 (harmonics at the noise
    // floor, some 1e-13 of full scale, by more).
    const auto same = [&](double g, double e, double relative, const char* what) {
      EXPECT_NEAR(g, e, relative * std::abs(e) + 1e-12 * want.Amplitude) << c.name << ": " << what;
    };
    same(got.Frequency, want.Frequency, 1e-9, "frequency");
    same(got.Amplitude, want.Amplitude, 1e-9, "amplitude");
    same(got.Dc, want.Dc, 1e-9, "dc");
    same(got.ThdnRatio, want.ThdnRatio, 1e-7, "THD+N");
    same(got.ThdRatio, want.ThdRatio, 1e-6, "THD");
    // The noise comes through the float transforms as THD+N does: 1e-7 of its power is 4.3e-7 dB.
    EXPECT_NEAR(got.SnrdB, want.SnrdB, 1e-6) << c.name << ": SNR";
    ASSERT_EQ(got.Harmonics.size(), want.Harmonics.size()) << c.name;
    for (std::size_t k = 0; k < got.Harmonics.size(); ++k)
      same(got.Harmonics[k].Amplitude, want.Harmonics[k].Amplitude, 1e-6, "harmonic");
  }
}

// A block whose tone is no longer the strongest, or no longer stands out, must read what a
// fresh analyser reads, though a fit from the last block's tone may still converge: a louder
// tone odd about the block's middle, beside an even one, leaves the fit's step at nothing.
TEST(Distortion, LastBlocksToneIsKeptOnlyWhileTheSearchWouldFindIt) {
  struct TTone {
    double hz, leveldB;
    bool odd = false;  // a sine about the block's middle, else a cosine
  };
  struct TCase {
    const char* name;
    std::vector<TTone> first, second;
    double noiseRms;
  };
  const TCase cases[] = {
      {"LouderToneArrives", {{997, -20}}, {{997, -20}, {2997.5692, -6, true}}, 1e-5},
      {"LouderToneFarAbove", {{997, -20}}, {{997, -20}, {5035.1485, -1, true}}, 1e-5},
      {"ToneSinksIntoNoise", {{997, -20}}, {{997, -110}}, 3e-4},
      {"QuieterButStillClear", {{997, -6}}, {{997, -30}}, 1e-5},
      {"ToneBesideAStrongHarmonic", {{997, -6}}, {{997, -6}, {1994, -12}}, 1e-5},
  };
  for (const TCase& c : cases) {
    std::mt19937 random(5);
    std::normal_distribution<double> gauss(0.0, c.noiseRms);
    const auto block = [&](const std::vector<TTone>& tones) {
      std::vector<double> x(kFrames);
      for (int i = 0; i < kFrames; ++i) {
        const double t = i - 0.5 * (kFrames - 1);
        for (const TTone& tone : tones) {
          const double w = kTwoPi * tone.hz * t / kRate;
          x[i] += FromdB(tone.leveldB) * (tone.odd ? std::sin(w) : std::cos(w));
        }
        x[i] += gauss(random);
      }
      return ToFrames(x, x);
    };
    const std::vector<int16_t> first = block(c.first), second = block(c.second);
    const TDistortionSettings s;
    TDistortionAnalyser warm, cold;
    ASSERT_TRUE(warm.Analyse(first.data(), kFrames, s).Channel[0].Valid) << c.name;
    const TChannelDistortion got = warm.Analyse(second.data(), kFrames, s).Channel[0];
    const TChannelDistortion want = cold.Analyse(second.data(), kFrames, s).Channel[0];
    ASSERT_EQ(got.Valid, want.Valid) << c.name;
    if (!want.Valid) continue;
    EXPECT_NEAR(got.Frequency, want.Frequency, 1e-9 * want.Frequency) << c.name;
    EXPECT_NEAR(got.Amplitude, want.Amplitude, 1e-9 * want.Amplitude) << c.name;
    EXPECT_NEAR(got.ThdnRatio, want.ThdnRatio, 1e-7 * want.ThdnRatio) << c.name;
  }
}

TEST(Distortion, AWeightingFollowsTheStandardsTable) {
  const std::pair<int, double> table[] = {{-15, -39.4}, {-12, -26.2}, {-9, -16.1}, {-6, -8.6},
                                          {-3, -3.2},   {0, 0.0},     {3, 1.2},    {6, 1.0},
                                          {9, -1.1},    {10, -2.5},   {12, -6.6},
                                          {13, -9.3}};
  for (auto [n, db] : table)
    EXPECT_NEAR(AWeightingdB(1000.0 * std::pow(10.0, n / 10.0)), db, 0.051) << n;
}

TEST(Distortion, NothingToMeasureGivesInvalidReadings) {
  std::mt19937 random(3);
  std::normal_distribution<double> gauss(0.0, 300.0);
  std::vector<int16_t> noise(2 * kFrames), silence(2 * kFrames, 0);
  for (int16_t& v : noise) v = static_cast<int16_t>(std::lrint(gauss(random)));
  TDistortionAnalyser analyser;
  const TDistortionSettings s;
  for (const auto* block : {&noise, &silence})
    for (const TChannelDistortion& ch : analyser.Analyse(block->data(), kFrames, s).Channel)
      EXPECT_FALSE(ch.Valid);
  // Too short to read: the level is still given.
  const TChannelDistortion short_ =
      analyser.Analyse(noise.data(), TDistortionAnalyser::kMinFrames - 1, s).Channel[0];
  EXPECT_FALSE(short_.Valid);
  EXPECT_NEAR(short_.RmsdBFS, TodB(300.0 / 32767 * std::sqrt(2.0)), 0.2);
}

}  // namespace
