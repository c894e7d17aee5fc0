// The signals of distortion measurement: the exact sine and the two-tones, against formulas
// evaluated here in double (and long double) from the sample index, not from the generator's
// phase accumulators.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "ToneTestSupport.h"

namespace {

constexpr double kRate = 44100.0;

// sin and cos of 2 pi f n / 44100, with the cycle count reduced first.
long double RefCycles(double hz, int64_t n) {
  return std::fmod(static_cast<long double>(hz) * n, 44100.0L) / 44100.0L;
}
double RefSine(double hz, int64_t n) {
  return static_cast<double>(std::sin(2.0L * std::numbers::pi_v<long double> * RefCycles(hz, n)));
}
double RefCosine(double hz, int64_t n) {
  return static_cast<double>(std::cos(2.0L * std::numbers::pi_v<long double> * RefCycles(hz, n)));
}

// One channel of several consecutive blocks.
std::vector<double> Play(TBasicAudioGenerator& gen, int blocks, int channel,
                         const std::vector<bool>& exact = {}) {
  std::vector<double> out;
  TTestBlock block(kToneBlockFrames);
  for (int b = 0; b < blocks; ++b) {
    if (!exact.empty()) gen.SetExactSine(exact[b]);
    gen.FillBlock(&block.header);
    for (int k = 0; k < kToneBlockFrames; ++k) out.push_back(block.samples[2 * k + channel]);
  }
  return out;
}

struct TFit {
  double a, b, c;  // a sin + b cos + c
  double residualPower;
};

// Least squares of x[first .. first + count) on sin, cos (of the sample index) and DC.
TFit FitSine(const std::vector<double>& x, int first, int count, double hz) {
  double m[3][4] = {};
  for (int n = first; n < first + count; ++n) {
    const double basis[3] = {RefSine(hz, n), RefCosine(hz, n), 1.0};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
      m[i][3] += basis[i] * x[n];
    }
  }
  for (int i = 0; i < 3; ++i)  // Gauss-Jordan; the matrix is close to diagonal
    for (int r = 0; r < 3; ++r) {
      if (r == i) continue;
      const double f = m[r][i] / m[i][i];
      for (int j = 0; j < 4; ++j) m[r][j] -= f * m[i][j];
    }
  TFit fit{m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2], 0};
  for (int n = first; n < first + count; ++n) {
    const double r = x[n] - fit.a * RefSine(hz, n) - fit.b * RefCosine(hz, n) - fit.c;
    fit.residualPower += r * r;
  }
  fit.residualPower /= count;
  return fit;
}

TEST(ExactToneTest, TwoTonesFollowTheirFormula) {
  struct TCase {
    TWaveform waveform;
    double f1, l1, f2, l2;
    float left, right;  // equal amplitudes copy, opposite ones negate
  } const cases[] = {
      {SmpteTwoTone, 60, 0.8, 7000, 0.2, 1.0f, 0.3f},
      {SmpteTwoTone, 60, 0.8, 7000, 0.2, 0.5f, -0.5f},
      {CcifTwoTone, 19000, 0.5, 20000, 0.5, 0.891f, 0.891f},
      {CcifTwoTone, 19000, 0.5, 20000, 0.5, 1.0f, -0.01f},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.waveform << " " << c.left << " " << c.right);
    TAudioToneGenerator gen;
    gen.SetLeftWaveform(c.waveform);
    gen.SetRightWaveform(c.waveform);
    gen.SetLeftFrequency(1000);  // means nothing to a two-tone
    gen.SetRightFrequency(2000);
    gen.SetLeftAmplitude(c.left);
    gen.SetRightAmplitude(c.right);
    ASSERT_EQ(gen.LeftWaveform(), c.waveform);
    EXPECT_EQ(gen.BufferSamples(), kToneBlockFrames);
    EXPECT_FALSE(TAudioToneGenerator::WaveformHasFrequency(c.waveform));
    TTestBlock block(kToneBlockFrames);
    int ties = 0;
    for (int b = 0; b < 2; ++b) {  // the tones run on across blocks
      gen.FillBlock(&block.header);
      EXPECT_EQ(block.header.dwUser, 0u);
      for (int k = 0; k < kToneBlockFrames; ++k) {
        const int64_t n = int64_t{b} * kToneBlockFrames + k;
        const double unit = c.l1 * RefSine(c.f1, n) + c.l2 * RefSine(c.f2, n);
        const float amplitudes[2] = {c.left, c.right};
        for (int ch = 0; ch < 2; ++ch) {
          const double ref = 32767.0 * (double(amplitudes[ch]) * unit);
          const int16_t got = block.samples[2 * k + ch];
          // Next to a rounding boundary the last bits of sin decide; nowhere else.
          if (std::abs(std::abs(ref - std::floor(ref)) - 0.5) < 1e-6) {
            ++ties;
            ASSERT_LE(std::abs(got - ref), 0.5 + 1e-6) << n << " " << ch;
          } else {
            ASSERT_EQ(got, std::lrint(ref)) << n << " " << ch;
          }
        }
      }
    }
    EXPECT_LT(ties, 4);
  }
  TAudioToneGenerator gen;
  gen.SetLeftWaveform(CcifTwoTone);
  gen.SetLeftWaveform(FastSmooth);  // not a tone: ignored
  EXPECT_EQ(gen.LeftWaveform(), CcifTwoTone);
}

// The exact sine leaves only the 16-bit rounding: its residual after a least-squares fit at
// the set frequency lies at 1/sqrt(12) LSB rms, -98.1 dB re a full-scale sine; the table sine
// leaves some 13 dB more. The phases fitted on the two halves agree when the frequency is
// right; a drift of d Hz turns them by 2 pi d times the half's duration.
TEST(ExactToneTest, ExactSineLeavesOnlyTheRoundingAndPlaysItsFrequency) {
  struct TCase {
    float hz;
    bool exact;
    double residualAbove, residualBelow;  // dB re a full-scale sine
  } const cases[] = {
      {997.0f, true, -99.0, -97.0},  {1000.37f, true, -99.0, -97.0},
      {19997.5f, true, -99.0, -97.0}, {61.03f, true, -99.0, -97.0},
      {997.0f, false, -90.0, -80.0},
  };
  const float amplitude = static_cast<float>(std::pow(10.0, -1.0 / 20));  // -1 dBFS
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.hz << (c.exact ? " exact" : " table"));
    TAudioToneGenerator gen;
    gen.SetExactSine(c.exact);
    gen.SetLeftFrequency(c.hz);
    gen.SetRightFrequency(c.hz);
    gen.SetLeftAmplitude(amplitude);
    gen.SetRightAmplitude(amplitude);
    const std::vector<double> x = Play(gen, 3, 0);
    const int half = static_cast<int>(x.size() / 2);
    const TFit first = FitSine(x, 0, half, c.hz), second = FitSine(x, half, half, c.hz);
    const double residual =
        10 * std::log10((first.residualPower + second.residualPower) / 2 / (32767.0 * 32767 / 2));
    EXPECT_GT(residual, c.residualAbove);
    EXPECT_LT(residual, c.residualBelow);
    EXPECT_NEAR(std::hypot(first.a, first.b), 32767.0 * amplitude, 0.05);
    if (c.exact) {
      const double turn = std::remainder(std::atan2(second.b, second.a) -
                                         std::atan2(first.b, first.a), 2 * std::numbers::pi);
      const double drift = turn / (2 * std::numbers::pi) * kRate / half;  // Hz
      EXPECT_LT(std::abs(drift), 1e-6);
    }
  }
}

// A mode switch at a block boundary continues the phase: every sample stays near the one
// continuous sine, whichever mode played it; a restart or a stale phase would stand off by
// thousands.
TEST(ExactToneTest, SwitchingModesKeepsThePhase) {
  for (const std::vector<bool>& modes :
       {std::vector<bool>{false, true, false, true}, std::vector<bool>{true, false, true, false}}) {
    TAudioToneGenerator gen;
    gen.SetLeftFrequency(1000);
    gen.SetRightFrequency(1000);
    gen.SetLeftAmplitude(0.5f);
    gen.SetRightAmplitude(0.5f);
    const std::vector<double> x = Play(gen, 4, 1, modes);
    double worst = 0;
    for (size_t n = 0; n < x.size(); ++n)
      worst = std::max(worst, std::abs(x[n] - 0.5 * 32767 * RefSine(1000, int64_t(n))));
    // Table sine: its 2^-15-cycle steps (3.2 LSB at this level) and the 30-bit increment's
    // drift (under 4 LSB after four blocks).
    EXPECT_LT(worst, 8.0) << modes[0];
  }
}

}  // namespace
