#include "SpectrumTables.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int kFs = 44100;

TEST(SpectrumTables, BandTableRows) {
  struct TRow {
    int n, band, start, count;
  };
  const TRow rows[] = {
      {4096, 0, 3, 1},       {4096, 1, 3, 2},       {4096, 2, 4, 2},         {4096, 15, 83, 22},
      {4096, 27, 1324, 345}, {16384, 0, 10, 4},     {16384, 1, 13, 4},       {16384, 2, 16, 6},
      {16384, 15, 331, 87},  {16384, 27, 5296, 1377},
  };
  for (const TRow& r : rows) {
    const TBandTable t = BuildBandTable(r.n, kFs);
    EXPECT_EQ(t.N, r.n);
    EXPECT_EQ(t.Start[r.band], r.start) << "N " << r.n << " band " << r.band;
    EXPECT_EQ(t.Count[r.band], r.count) << "N " << r.n << " band " << r.band;
  }
  const TBandTable t4 = BuildBandTable(4096, kFs);
  const TBandTable t16 = BuildBandTable(16384, kFs);
  EXPECT_NEAR(t4.Scale[0], 0.672, 0.0005);
  EXPECT_NEAR(t16.Scale[0], 0.672, 0.0005);
  EXPECT_NEAR(t4.Scale[27], 0.9975, 0.00005);
  // Exactly 28 bands fit: the last is filled and the edges run on without a gap.
  for (int j = 1; j < kSpectrumBands; ++j)
    EXPECT_EQ(t16.Start[j], t16.Start[j - 1] + t16.Count[j - 1] - 1) << "band " << j;
  // Above 49000 samples per second the bands start an octave higher: with the same bin width,
  // band 0 covers the bins of band 3 at 44100.
  const TBandTable high = BuildBandTable(8192, 88200);
  EXPECT_EQ(high.Start[0], t4.Start[3]);
  EXPECT_EQ(high.Count[0], t4.Count[3]);
}

TEST(SpectrumTables, FrequencyAndColumnBinTables) {
  // 441 columns, linear 0 ... 22050 Hz, N = 4096.
  const std::vector<float> lin = BuildFrequencyTable(false, 0, 22050, 440);
  ASSERT_EQ(lin.size(), 441u);
  EXPECT_EQ(lin[0], 0.0f);
  EXPECT_NEAR(lin[220], 11024.99f, 0.005f);
  EXPECT_LT(lin[220], 11025.0f);
  const std::vector<int> linBins = BuildColumnBins(false, 0, 22050, 4096, kFs, 441);
  ASSERT_EQ(linBins.size(), 441u);
  EXPECT_EQ(linBins[0], 0);
  EXPECT_EQ(linBins[220], 1024);
  EXPECT_EQ(linBins[440], 2048);

  // Logarithmic 20 ... 20000 Hz: the ends are the bins of the range's ends, the middle the
  // geometric mean.
  const std::vector<float> log = BuildFrequencyTable(true, 20, 20000, 440);
  EXPECT_EQ(log[0], 20.0f);
  EXPECT_NEAR(log[440], 20000.0f, 1.0f);
  EXPECT_NEAR(log[220], std::sqrt(20.0 * 20000.0), 0.05);
  for (int n : {4096, 16384}) {
    const std::vector<int> bins = BuildColumnBins(true, 20, 20000, n, kFs, 441);
    EXPECT_EQ(bins[0], std::lrint(20.0 * n / kFs)) << n;
    EXPECT_EQ(bins[440], std::lrint(20000.0 * n / kFs)) << n;
    for (std::size_t i = 1; i < bins.size(); ++i) ASSERT_GE(bins[i], bins[i - 1]);
  }
  // Ties go to even: with 1 Hz bins (N = fs), 0 ... 5 Hz on 3 positions puts the middle at bin
  // 2.5 -> 2, and 0 ... 7 Hz at 3.5 -> 4.
  EXPECT_EQ(BuildColumnBins(false, 0, 5, 44100, kFs, 3)[1], 2);
  EXPECT_EQ(BuildColumnBins(false, 0, 7, 44100, kFs, 3)[1], 4);
  // Too few positions for a table; one position is the bin of FreqMin.
  EXPECT_TRUE(BuildFrequencyTable(false, 0, 22050, 0).empty());
  EXPECT_EQ(BuildColumnBins(true, 1000, 2000, 4096, kFs, 1)[0], std::lrint(1000.0 * 4096 / kFs));
}

TEST(SpectrumTables, MarkerColumns) {
  EXPECT_EQ(MarkerColumn(1000, 0, 2000, 440), 220);
  EXPECT_EQ(MarkerColumn(2000, 0, 2000, 440), 0);
  EXPECT_EQ(MarkerColumn(0, 0, 2000, 440), 0);
  EXPECT_EQ(MarkerColumn(1, 0, 2000, 440), 0);  // round(0.22) is column 0: no line either
  EXPECT_EQ(MarkerColumn(1999, 0, 2000, 440), 440);
}

TEST(SpectrumTables, ChannelReductionAndHumRejection) {
  struct TCase {
    TChannelSelect select;
    int16_t left, right;
    int expected;
  };
  const TCase cases[] = {
      {csDiff, 100, -101, -100}, {csSum, -3, 0, -1},       {csSum, 32767, 32767, 32767},
      {csDiff, -32768, 32767, 32767}, {csLeft, -32768, 5, -32768}, {csRight, 7, -9, -9},
  };
  for (const TCase& c : cases) {
    const int16_t frame[2] = {c.left, c.right};
    float out = 0;
    ReduceChannels(frame, 1, c.select, &out);
    EXPECT_EQ(out, static_cast<float>(c.expected) / 32768.0f)
        << "select " << c.select << " (" << c.left << ", " << c.right << ")";
  }

  std::vector<float> power(2049, 3.0f);
  RejectHum(power.data(), 4096, kFs);
  for (int k = 0; k < 10; ++k)
    EXPECT_EQ(power[k], k >= 4 && k <= 6 ? 3.0f / 100.0f : 3.0f) << "bin " << k;
  std::vector<float> wide(8193, 1.0f);
  RejectHum(wide.data(), 16384, kFs);
  EXPECT_EQ(wide[15], 1.0f);
  EXPECT_EQ(wide[16], 0.01f);
  EXPECT_EQ(wide[24], 0.01f);
  EXPECT_EQ(wide[25], 1.0f);
}

TEST(SpectrumTables, ReversedOrEmptyRangeGivesTheFloor) {
  std::vector<float> power(2049, 5.0f);
  const float ref = SpectrumReferencePower(4096);
  for (const auto& [min, max] : {std::pair{2000, 100}, std::pair{1000, 1000}}) {
    const std::vector<int> bins = BuildColumnBins(false, min, max, 4096, kFs, 441);
    std::vector<float> values(441, -1.0f);
    ReduceColumns(power.data(), bins, ref, values.data());
    for (float v : values) ASSERT_EQ(v, kSpectrumFloor / ref) << min << " ... " << max;
  }
}

}  // namespace
