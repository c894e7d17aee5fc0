#include "NSP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<float> RandomSamples(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

std::complex<double> Bin(const float* v, int k) { return {v[2 * k], v[2 * k + 1]}; }

// Bins 0..N/2 of the unscaled forward DFT, summed in double.
std::vector<std::complex<double>> DirectDft(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<std::complex<double>> twiddle(n), bins(n / 2 + 1);
  for (size_t i = 0; i < n; ++i) twiddle[i] = std::polar(1.0, -2.0 * kPi * i / n);
  for (size_t k = 0; k <= n / 2; ++k)
    for (size_t i = 0; i < n; ++i)
      bins[k] += static_cast<double>(x[i]) * twiddle[(k * i) & (n - 1)];
  return bins;
}

class ForwardVsDirectDft : public ::testing::TestWithParam<int> {};

TEST_P(ForwardVsDirectDft, WorstBinErrorIsSmall) {
  const int order = GetParam();
  const int n = 1 << order;
  const std::vector<float> x = RandomSamples(n, 1234u + order);
  const auto reference = DirectDft(x);

  std::vector<float> buf(x);
  buf.resize(n + 2);
  nspsRealFft(buf.data(), order, NSP_Forw);

  double peak = 0, worst = 0;
  for (int k = 0; k <= n / 2; ++k) {
    peak = std::max(peak, std::abs(reference[k]));
    worst = std::max(worst, std::abs(Bin(buf.data(), k) - reference[k]));
  }
  std::cout << "order " << order << ": worst bin error / peak magnitude = " << worst / peak << "\n";
  RecordProperty("worst_relative_error", std::to_string(worst / peak));
  EXPECT_LT(worst / peak, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(NSP, ForwardVsDirectDft, ::testing::Range(12, 16));

// Offsets 0..3 floats cover every alignment FFTW distinguishes.
TEST(NSPFft, RoundTripReturnsInputAtEveryOrderAndAlignment) {
  for (int order = 0; order <= 16; ++order) {
    const int n = 1 << order;
    const std::vector<float> x = RandomSamples(n, 99u + order);
    for (int offset = 0; offset < 4; ++offset) {
      SCOPED_TRACE(testing::Message() << "order " << order << ", offset " << offset);
      std::vector<float> storage(n + 2 + offset);
      float* v = storage.data() + offset;
      std::copy(x.begin(), x.end(), v);
      nspsRealFft(v, order, NSP_Forw);
      nspsCcsFft(v, order, NSP_Inv);
      float worst = 0;
      for (int i = 0; i < n; ++i) worst = std::max(worst, std::abs(v[i] - x[i]));
      EXPECT_LT(worst, 2e-6f);
    }
  }
}

TEST(NSPFft, ForwardKnownAnswers) {
  constexpr int order = 10, n = 1 << order, bin = 37;
  const double tol = n * 1e-6;

  // The two floats past the samples are output space only: leftovers there must not leak in.
  std::vector<float> dc(n + 2, 1.0f);
  dc[n] = 123.0f;
  dc[n + 1] = -45.0f;
  nspsRealFft(dc.data(), order, NSP_Forw);
  EXPECT_FLOAT_EQ(dc[0], n);
  EXPECT_EQ(dc[1], 0.0f);
  for (int k = 1; k <= n / 2; ++k) EXPECT_LT(std::abs(Bin(dc.data(), k)), tol) << "bin " << k;

  // Bin-centred cosine and half-amplitude sine: N/2 real, -N/4 imaginary.
  std::vector<float> tone(n + 2);
  for (int i = 0; i < n; ++i)
    tone[i] =
        static_cast<float>(std::cos(2 * kPi * bin * i / n) + 0.5 * std::sin(2 * kPi * bin * i / n));
  nspsRealFft(tone.data(), order, NSP_Forw);
  EXPECT_LT(std::abs(Bin(tone.data(), bin) - std::complex<double>(n / 2.0, -n / 4.0)), tol);
  for (int k = 0; k <= n / 2; ++k) {
    if (k == bin) continue;
    EXPECT_LT(std::abs(Bin(tone.data(), k)), tol) << "bin " << k;
  }

  std::vector<float> nyquist(n + 2);
  for (int i = 0; i < n; ++i) nyquist[i] = (i % 2 == 0) ? 1.0f : -1.0f;
  nspsRealFft(nyquist.data(), order, NSP_Forw);
  EXPECT_FLOAT_EQ(nyquist[n], n);
  EXPECT_EQ(nyquist[n + 1], 0.0f);
  for (int k = 0; k < n / 2; ++k) EXPECT_LT(std::abs(Bin(nyquist.data(), k)), tol) << "bin " << k;
}

TEST(NSPFft, RejectsBadOrderAndFlags) {
  std::vector<float> v(8);
  EXPECT_THROW(nspsRealFft(v.data(), -1, NSP_Forw), std::invalid_argument);
  EXPECT_THROW(nspsRealFft(v.data(), kNspMaxFftOrder + 1, NSP_Forw), std::invalid_argument);
  EXPECT_THROW(nspsRealFft(v.data(), 2, 0), std::invalid_argument);
  EXPECT_THROW(nspsCcsFft(v.data(), 2, NSP_Forw | NSP_Inv), std::invalid_argument);
}

// Threads racing to the first use of each order must all get working plans.
TEST(NSPFft, ConcurrentFirstUseAgrees) {
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int order = 6; order <= 13; ++order) {
        const std::vector<float> x = RandomSamples(1 << order, 7u * t + order);
        std::vector<float> v(x);
        v.resize(x.size() + 2);
        nspsRealFft(v.data(), order, NSP_Forw);
        nspsCcsFft(v.data(), order, NSP_Inv);
        for (size_t i = 0; i < x.size(); ++i) failures[t] += std::abs(v[i] - x[i]) > 2e-6f;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

TEST(NSPComplex, Mpy2AndPowerSpectrum) {
  const SCplx src[3] = {{1, 2}, {0, 1}, {-2, 0.5f}};
  SCplx srcDst[3] = {{3, 4}, {0, 1}, {4, -1}};
  nspcbMpy2(src, srcDst, 3);
  const float expected[3][2] = {{-5, 10}, {-1, 0}, {-7.5f, 4}};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(srcDst[k].re, expected[k][0]) << k;
    EXPECT_EQ(srcDst[k].im, expected[k][1]) << k;
  }

  const SCplx bins[3] = {{3, 4}, {0, -2}, {-1.5f, 0}};
  std::vector<float> power(4, 99.0f);
  nspcbPowerSpectr(bins, power.data(), 3);
  EXPECT_EQ(power, (std::vector<float>{25.0f, 4.0f, 2.25f, 99.0f}));
}

TEST(NSPWindow, HannAndHammingKnownValuesAndSymmetry) {
  std::vector<float> v(5, 2.0f);
  nspsWinHann(v.data(), 5);
  EXPECT_EQ(v, (std::vector<float>{0.0f, 1.0f, 2.0f, 1.0f, 0.0f}));

  v.assign(5, 1.0f);
  nspsWinHamming(v.data(), 5);
  EXPECT_EQ(v, (std::vector<float>{0.08f, 0.54f, 1.0f, 0.54f, 0.08f}));

  std::vector<float> even(1024, 1.0f);
  nspsWinHann(even.data(), 1024);
  EXPECT_TRUE(std::equal(even.begin(), even.end(), even.rbegin()));
  EXPECT_NEAR(even[511], 1.0f, 1e-5f);

  float single = 3.0f;
  nspsWinHamming(&single, 1);
  EXPECT_EQ(single, 3.0f);
}

TEST(NSPConvert, FloatToIntRoundsTiesToEvenAndSaturates) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float in;
    int32_t rounded, truncated;
  };
  const std::vector<Case> cases = {
      {0.5f, 0, 0}, {1.5f, 2, 1}, {2.5f, 2, 2}, {-0.5f, 0, 0}, {-1.5f, -2, -1}, {-2.5f, -2, -2},
      {0.49999997f, 0, 0}, {1.7f, 2, 1}, {-1.7f, -2, -1},
      {1e10f, INT32_MAX, INT32_MAX}, {-1e10f, INT32_MIN, INT32_MIN},
      {2147483648.0f, INT32_MAX, INT32_MAX}, {-2147483648.0f, INT32_MIN, INT32_MIN},
      {2147483520.0f, 2147483520, 2147483520}, {inf, INT32_MAX, INT32_MAX},
      {-inf, INT32_MIN, INT32_MIN}, {std::nanf(""), 0, 0}};
  const int n = static_cast<int>(cases.size());
  std::vector<float> in;
  for (const Case& c : cases) in.push_back(c.in);
  std::vector<int32_t> rounded(n), truncated(n);
  nspsbFloatToInt(in.data(), rounded.data(), n, 32, 4224);
  nspsbFloatToInt(in.data(), truncated.data(), n, 32, NSP_Clip);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(rounded[i], cases[i].rounded) << "round " << cases[i].in;
    EXPECT_EQ(truncated[i], cases[i].truncated) << "truncate " << cases[i].in;
  }
  EXPECT_EQ(NSP_Round | NSP_Clip, 4224);
  EXPECT_THROW(nspsbFloatToInt(in.data(), rounded.data(), 1, 16, 4224), std::invalid_argument);
}

// In place, across several staging chunks, both directions.
TEST(NSPConvert, InPlaceRoundTripOverLongVectors) {
  constexpr int n = 1000;
  std::vector<int32_t> ints(n);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> dist(-(1 << 24), 1 << 24);
  for (int32_t& v : ints) v = dist(rng);
  ints[0] = INT32_MIN;
  ints[1] = (1 << 24) + 1;  // not a float: rounds to even
  const std::vector<int32_t> original = ints;

  void* raw = ints.data();
  nspsbIntToFloat(raw, static_cast<float*>(raw), n, 32, 0);
  float converted[2];
  std::memcpy(converted, raw, sizeof converted);
  EXPECT_EQ(converted[0], -2147483648.0f);
  EXPECT_EQ(converted[1], 16777216.0f);

  nspsbFloatToInt(static_cast<const float*>(raw), raw, n, 32, NSP_Round | NSP_Clip);
  EXPECT_EQ(ints[1], 1 << 24);
  ints[1] = original[1];
  EXPECT_EQ(ints, original);
}

TEST(NSPVector, ScalarAndElementwiseArithmetic) {
  std::vector<float> v = {1.0f, -2.0f, 0.25f, 8.0f};
  nspsbMpy1(2.0f, v.data(), 3);
  EXPECT_EQ(v, (std::vector<float>{2.0f, -4.0f, 0.5f, 8.0f}));
  nspsbAdd1(1.5f, v.data(), 4);
  nspsbSub1(0.5f, v.data(), 4);
  EXPECT_EQ(v, (std::vector<float>{3.0f, -3.0f, 1.5f, 9.0f}));
  nspsbAdd1(3.0f, v.data(), 0);
  nspsbSub1(3.0f, v.data(), -1);
  EXPECT_EQ(v, (std::vector<float>{3.0f, -3.0f, 1.5f, 9.0f}));

  const std::vector<float> b = {1.0f, 1.0f, -1.5f, 10.0f};
  std::vector<float> diff(5, 7.0f);
  nspsbSub3(v.data(), b.data(), diff.data(), 4);
  EXPECT_EQ(diff, (std::vector<float>{2.0f, -4.0f, 3.0f, -1.0f, 7.0f}));

  std::vector<float> copy(5, 0.0f);
  nspsbCopy(diff.data(), copy.data(), 4);
  EXPECT_EQ(copy, (std::vector<float>{2.0f, -4.0f, 3.0f, -1.0f, 0.0f}));
}

// How the callers turn mean squares into decibels: times 2, ln, times 10 / ln 10.
TEST(NSPVector, LnGivesPowerInDecibelsRelativeToHalf) {
  std::vector<float> power = {0.5f, 0.05f, 5.0f, 0.5e-6f, 0.0f};
  nspsbMpy1(2.0f, power.data(), 5);
  nspsbLn1(power.data(), 5);
  nspsbMpy1(static_cast<float>(10.0 / std::numbers::ln10), power.data(), 5);
  EXPECT_EQ(power[0], 0.0f);
  EXPECT_NEAR(power[1], -10.0f, 1e-5f);
  EXPECT_NEAR(power[2], 10.0f, 1e-5f);
  EXPECT_NEAR(power[3], -60.0f, 1e-4f);
  EXPECT_EQ(power[4], -std::numeric_limits<float>::infinity());
}

}  // namespace
