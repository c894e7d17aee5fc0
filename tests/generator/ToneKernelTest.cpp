// The synthesis kernels without a device: tables, band edges, tones and their spectrum.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "ToneTestSupport.h"

namespace {

using Gen = TBasicAudioGenerator;

TEST(ToneTables, SineTableQuadrantsAndKnownAngles) {
  const float* t = SineTable();
  EXPECT_EQ(t[0], 0.0f);
  EXPECT_EQ(t[8192], 32767.0f);
  EXPECT_EQ(t[16384], 0.0f);
  EXPECT_EQ(t[24576], -32767.0f);
  // 22.5, 45 and 67.5 degrees have closed forms that need no sine.
  const long double r2 = std::sqrt(2.0L);
  EXPECT_EQ(t[2048], static_cast<float>(32767.0L * std::sqrt(2.0L - r2) / 2.0L));
  EXPECT_EQ(t[4096], static_cast<float>(32767.0L / r2));
  EXPECT_EQ(t[6144], static_cast<float>(32767.0L * std::sqrt(2.0L + r2) / 2.0L));
  for (int k : {1, 1000, 2048, 8191}) {
    EXPECT_EQ(t[16384 - k], t[k]) << k;
    EXPECT_EQ(t[16384 + k], -t[k]) << k;
    EXPECT_EQ(t[32768 - k], -t[k]) << k;
  }
  for (int k = 1; k <= 8192; ++k) ASSERT_GE(t[k], t[k - 1]) << k;
}

TEST(ToneTables, ThirdOctaveCentresAndBandBins) {
  const int hz[24] = {79,   99,   125,  157,  198,  250,  315,  397,   500,   630,   794,  1000,
                      1260, 1587, 2000, 2520, 3175, 4000, 5040, 6350, 8000, 10079, 12699, 16000};
  for (int b = 0; b < 24; ++b) EXPECT_EQ(std::nearbyint(ThirdOctaveCentres[b]), hz[b]) << b;

  auto bins = [](int band) {
    TBinRange r = ThirdOctaveBandBins(band);
    return std::pair(r.Lower, r.Upper);
  };
  EXPECT_EQ(bins(11), std::pair(331, 417));
  EXPECT_EQ(bins(23), std::pair(5292, 6668));
  EXPECT_EQ(bins(0), std::pair(26, 33));
  for (int b = 0; b < 23; ++b) EXPECT_EQ(bins(b).second, bins(b + 1).first) << "shared edge " << b;
  // Out of range indices are clamped instead of reading past the edge fractions.
  EXPECT_EQ(bins(24), bins(23));
  EXPECT_EQ(bins(-3), bins(0));
}

TEST(ToneSynthesis, ExactSamplesOfQuarterAndEighthRateTones) {
  // 11025 Hz steps 2^28: every fourth sample repeats, on the table's exact quadrant values.
  std::vector<int16_t> s(2 * kToneBlockFrames, 0x7777);
  uint32_t phase = 0;
  Gen::SynthesizeTone(SineWave, s.data(), 8, 0, phase, 11025.0f, 1.0f);
  const int16_t quadrants[4] = {0, 32767, 0, -32767};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(s[2 * k], quadrants[k % 4]) << k;
  EXPECT_EQ(s[1], 0x7777) << "the other channel is left alone";
  Gen::SynthesizeTone(SineWave, s.data(), 1, 1, phase, 11025.0f, 1.0f);
  EXPECT_EQ(phase, 1u << 28);
  phase = 123456789;
  Gen::SynthesizeTone(SineWave, s.data(), kToneBlockFrames, 1, phase, 11025.0f, 0.75f);
  for (int k = 4; k < kToneBlockFrames; ++k) ASSERT_EQ(s[2 * k + 1], s[2 * k - 7]) << k;

  // 1234.5 Hz is 30057466.71 steps: rounded, not truncated.
  phase = 0;
  Gen::SynthesizeTone(SineWave, s.data(), 1, 0, phase, 1234.5f, 1.0f);
  EXPECT_EQ(phase, 30057467u);

  // 5512.5 Hz steps 2^27: the triangle's corners, halfway values rounded to even, and
  // saturation above full scale.
  struct {
    float amplitude;
    int16_t expected[8];
  } cases[] = {{1.0f, {-32767, -16384, 0, 16384, 32767, 16384, 0, -16384}},   // +-16383.5
               {-0.25f, {8192, 4096, 0, -4096, -8192, -4096, 0, 4096}},      // 4095.875
               {1.5f, {-32767, -24575, 0, 24575, 32767, 24575, 0, -24575}}};  // clipped
  for (const auto& c : cases) {
    phase = 0;
    Gen::SynthesizeTone(Triangle, s.data(), 8, 0, phase, 5512.5f, c.amplitude);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(s[2 * k], c.expected[k]) << c.amplitude << " " << k;
  }
}

TEST(ToneSynthesis, PhaseRunsOnAcrossBlocksAndFrequencyChanges) {
  // A new frequency changes only the step; a restarted phase would jump by up to 65534.
  std::vector<int16_t> s(2 * 2 * kToneBlockFrames);
  uint32_t phase = 0;
  Gen::SynthesizeTone(SineWave, s.data(), kToneBlockFrames, 0, phase, 1000.0f, 1.0f);
  Gen::SynthesizeTone(SineWave, s.data() + 2 * kToneBlockFrames, kToneBlockFrames, 0, phase,
                      3000.0f, 1.0f);
  const double oneStep = 32767.0 * 2 * std::numbers::pi * RefIncrement(3000.0) / 1073741824.0;
  for (int k = 1; k < 2 * kToneBlockFrames; ++k)
    ASSERT_LE(std::abs(s[2 * k] - s[2 * k - 2]), oneStep + 8) << k;  // + truncation, rounding
}

// Hann-windowed correlation with a whole-hertz tone, phase-referenced to absolute sample
// numbers so that stretches far apart compare.
std::complex<double> Correlate(const std::vector<int16_t>& x, int64_t first, int n, int hz) {
  std::complex<double> sum;
  for (int k = 0; k < n; ++k) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * k / n);
    const double a = -2 * std::numbers::pi * ((hz * (first + k)) % 44100) / 44100.0;
    sum += w * x[first + k] * std::complex<double>(std::cos(a), std::sin(a));
  }
  return sum;
}

TEST(ToneSpectrum, FullScaleSineIsCleanAndOnFrequency) {
  // Ten seconds of 1 kHz at full scale, block by block as a device gets it.
  std::vector<int16_t> stereo(2 * kToneBlockFrames), x;
  uint32_t phase = 0;
  for (int b = 0; b < 27; ++b) {
    Gen::SynthesizeTone(SineWave, stereo.data(), kToneBlockFrames, 0, phase, 1000.0f, 1.0f);
    for (int k = 0; k < kToneBlockFrames; ++k) x.push_back(stereo[2 * k]);
  }
  // One second holds 1000 whole cycles, so each harmonic sits on a bin of its own.
  const int n = 44100;
  const double fundamental = std::norm(Correlate(x, 0, n, 1000));
  double harmonics = 0;
  for (int h = 2; h * 1000 < 22050; ++h) harmonics += std::norm(Correlate(x, 0, n, h * 1000));
  EXPECT_LT(10 * std::log10(harmonics / fundamental), -90.0);
  EXPECT_NEAR(std::sqrt(fundamental) / (n / 4.0), 32767.0, 33.0) << "full scale";

  // Frequency from the phase drift between the first and the last second.
  const int64_t later = static_cast<int64_t>(x.size()) - n;
  const double drift = std::arg(Correlate(x, later, n, 1000) / Correlate(x, 0, n, 1000));
  const double measured = 1000.0 + drift * 44100.0 / (2 * std::numbers::pi * later);
  const double resolution = 44100.0 / 1073741824.0;
  EXPECT_NEAR(measured, 1000.0, resolution);
  EXPECT_NEAR(measured, RefIncrement(1000.0) * resolution, resolution / 10);
}

// The noise spectra against the white noise they are cut from, bin by bin: the white block is
// rebuilt from the clock's seed, so every gain is exact, not a statistical estimate.
TEST(NoiseSpectrum, PinkAndBandGainsAgainstTheirWhiteNoise) {
  constexpr uint32_t kSeed = 43200000;  // noon
  SetReseedClock([] { return kSeed; });
  TRefLcg lcg{kSeed};
  std::vector<float> white(kToneBlockFrames + 2, 0.0f);
  for (int k = 0; k < kToneBlockFrames; ++k)
    white[k] = static_cast<float>(lcg.Next() * 0x1p-32 * 65535.0 - 32767.0);
  nspsRealFft(white.data(), kToneFftOrder, NSP_Forw);
  auto bin = [](const std::vector<float>& t, int k) { return std::complex<double>(t[2 * k], t[2 * k + 1]); };
  // What a kernel left in its transform buffer (time samples before rounding), as a spectrum.
  auto spectrumOf = [](std::vector<float> t) {
    nspsRealFft(t.data(), kToneFftOrder, NSP_Forw);
    return t;
  };
  std::vector<int16_t> samples(2 * kToneBlockFrames);
  std::vector<float> transform(kToneBlockFrames + 2);

  Gen::SynthesizePinkNoise(transform.data(), samples.data(), 0, 1.0f);
  const std::vector<float> pink = spectrumOf(transform);
  EXPECT_NEAR(bin(pink, 0).real() / bin(white, 0).real(), 1.0, 1e-4) << "DC keeps unit gain";
  for (int k : {1, 2, 100, 4096, 8191}) {
    const double gain = std::abs(bin(pink, k) / bin(white, k));
    EXPECT_NEAR(gain, std::sqrt(1.0 / k) * 32767.0 / 4096.0, 1e-4 * gain) << "bin " << k;
  }

  for (int band : {0, 11, 23}) {
    SCOPED_TRACE(band);
    const TBinRange edges = ThirdOctaveBandBins(band);
    Gen::SynthesizeBandNoise(transform.data(), samples.data(), 0, band, 1.0f);
    const std::vector<float> cut = spectrumOf(transform);
    double rms = 0;
    for (int k = edges.Lower; k <= edges.Upper; ++k) rms += std::norm(bin(white, k));
    rms = std::sqrt(rms / (edges.Upper - edges.Lower + 1));
    for (int k : {edges.Lower, edges.Upper})
      EXPECT_LT(std::abs(bin(cut, k) - bin(white, k)), 1e-4 * rms) << "edge bin " << k << " is kept";
    for (int k : {edges.Lower - 1, edges.Upper + 1})
      EXPECT_LT(std::abs(bin(cut, k)), 1e-4 * rms) << "outer neighbour " << k << " is cut";
  }
  SetReseedClock(nullptr);
}

}  // namespace
