#include "FrequencyPlot.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// A derived display as the spectrum and the response plot will be: it fills the frequency
// table and lays itself out.
struct TPlot : TFrequencyPlot {
  int Layouts = 0;
  void UpdateScaleLabels() override { ++Layouts; }
  void MarkLaidOut() { FLayoutReady = true; }
  void SetFrequencies(int last) {
    auto& table = FColumns[kFrequencyTable];
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = 100.0f * static_cast<float>(i + 1);
    FLastColumn = last;
  }
};

struct FrequencyPlotTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  TPlot* Plot = new TPlot;

  void SetUp() override {
    Plot->setParent(Parent.get());
    Plot->SetBounds(0, 0, 102, 258);  // W = 100, H = 256
  }
};

TEST_F(FrequencyPlotTest, LimitsKeepTenDecibelsApartAndRestartTheLayout) {
  struct TStep {
    bool max;
    int value, maxdB, mindB;
  };
  const TStep steps[] = {
      {true, 30, 20, -80},     {false, -5, 20, -10},     {true, -200, -110, -120},
      {false, -200, -110, -120}, {false, -80, -70, -80}, {true, 0, 0, -80},
      {true, -75, -75, -85},   {false, -5, 0, -10},      {false, -60, 0, -60},
      {true, -55, -55, -65},   {false, -50, -40, -50},
  };
  EXPECT_EQ(Plot->MaxdB(), 0);
  EXPECT_EQ(Plot->MindB(), -80);
  for (const TStep& s : steps) {
    Plot->SetAveragingCount(3);
    if (s.max)
      Plot->SetMaxdB(s.value);
    else
      Plot->SetMindB(s.value);
    EXPECT_EQ(Plot->MaxdB(), s.maxdB) << (s.max ? "MaxdB " : "MindB ") << s.value;
    EXPECT_EQ(Plot->MindB(), s.mindB) << (s.max ? "MaxdB " : "MindB ") << s.value;
    EXPECT_EQ(Plot->AveragingCount(), 0);
  }
  EXPECT_EQ(Plot->Layouts, 0) << "not laid out yet";
  Plot->MarkLaidOut();
  Plot->SetMaxdB(-10);
  Plot->SetMindB(-90);
  EXPECT_EQ(Plot->Layouts, 2);
}

TEST_F(FrequencyPlotTest, RowsOfLevelsAndLevelsOfRows) {
  struct TCase {
    float dB;
    int row;
  };
  // H = 256: 255 rows per 80 dB.
  const TCase rows[] = {{0, 1},      {-80, 256},  {-40, 129}, {-10, 33},  {-79.9f, 256},
                        {20, -63},   {-100, 320}, {-0.15f, 1}, {-0.16f, 2}};
  for (const TCase& c : rows) EXPECT_EQ(Plot->LevelToRow(c.dB), c.row) << c.dB;
  EXPECT_FLOAT_EQ(Plot->RowToLevel(1), 0.0f);
  EXPECT_FLOAT_EQ(Plot->RowToLevel(256), -80.0f);
  EXPECT_FLOAT_EQ(Plot->RowToLevel(129), -40.156863f);
  EXPECT_FLOAT_EQ(Plot->RowToLevel(0), 80.0f / 255);
  for (int row = 1; row <= 256; ++row) ASSERT_EQ(Plot->LevelToRow(Plot->RowToLevel(row)), row);

  // H = 81: one row per dB, and halves go to the even row. The scalar form rounds before it
  // adds the 1, the vector form after, so on an exact half they pick neighbouring rows.
  Plot->SetBounds(0, 0, 102, 83);
  const struct {
    float dB;
    int scalar, vector;
  } ties[] = {{-0.5f, 1, 2}, {-1.5f, 3, 2}, {-2.5f, 3, 4}, {-3.5f, 5, 4}, {-79.5f, 81, 80}};
  std::vector<float> levels;
  for (const auto& c : ties) {
    EXPECT_EQ(Plot->LevelToRow(c.dB), c.scalar) << c.dB;
    levels.push_back(c.dB);
  }
  std::vector<float> out(levels.size());
  Plot->LevelsToRows(levels.data(), out.data(), static_cast<int>(levels.size()), 0);
  for (std::size_t i = 0; i < levels.size(); ++i)
    EXPECT_EQ(std::bit_cast<int32_t>(out[i]), ties[i].vector) << levels[i];

  // A plot one row high has only MaxdB.
  Plot->SetBounds(0, 0, 102, 3);
  EXPECT_EQ(Plot->RowToLevel(1), 0.0f);
  EXPECT_EQ(Plot->LevelToRow(-50), 1);
}

TEST_F(FrequencyPlotTest, VectorConversionMatchesTheScalarOne) {
  Plot->SetMaxdB(-10);
  Plot->SetMindB(-90);
  std::mt19937 random(12);
  std::uniform_real_distribution<float> spread(-130.0f, 30.0f);
  constexpr int kStart = 7, kCount = 1990, kSize = 2000;
  std::vector<float> levels(kSize);
  for (float& v : levels) v = spread(random);
  std::vector<float> rows(kSize, 1234.5f);
  Plot->LevelsToRows(levels.data(), rows.data(), kCount, kStart);

  for (int i = 0; i < kStart; ++i) EXPECT_EQ(rows[i], levels[i]) << "copied unchanged: " << i;
  for (int i = kStart + kCount; i < kSize; ++i) EXPECT_EQ(rows[i], 1234.5f) << "untouched: " << i;
  int exact = 0;
  for (int i = kStart; i < kStart + kCount; ++i) {
    const int vector = std::bit_cast<int32_t>(rows[i]);
    const int scalar = Plot->LevelToRow(levels[i]);
    if (vector == scalar) {
      ++exact;
      continue;
    }
    // Single precision may only decide a level that lies almost on a half row differently.
    const double ideal = (levels[i] + 10.0) / -80.0 * 255 + 1;
    EXPECT_EQ(std::abs(vector - scalar), 1) << levels[i];
    EXPECT_LT(std::abs(ideal - std::floor(ideal) - 0.5), 1e-3) << levels[i];
  }
  EXPECT_GT(exact, kCount - 5);

  // In place, and far off the scale: saturated; NaN gives 0 in both.
  std::vector<float> extremes = {1e12f, -1e12f, std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN()};
  const std::vector<int> expected = {std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max(),
                                     std::numeric_limits<int32_t>::min(), 0};
  const std::vector<float> copy = extremes;
  Plot->LevelsToRows(extremes.data(), extremes.data(), 4, 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::bit_cast<int32_t>(extremes[i]), expected[i]) << copy[i];
    EXPECT_EQ(Plot->LevelToRow(copy[i]), expected[i]) << copy[i];
  }
}

TEST_F(FrequencyPlotTest, ReadoutInsideThePlotAndTheTable) {
  Plot->SetFrequencies(9);
  struct TCase {
    int x, y;
    bool valid;
    float frequency, level;
  };
  const TCase cases[] = {
      {1, 1, true, 100, 0},      {10, 256, true, 1000, -80}, {5, 129, true, 500, -40.156863f},
      {11, 100, false, 0, 0},    {0, 100, false, 0, 0},      {5, 0, false, 0, 0},
      {5, 257, false, 0, 0},     {-3, 5, false, 0, 0},
  };
  for (const TCase& c : cases) {
    float frequency = -1, level = -1;
    ASSERT_EQ(Plot->Readout(c.x, c.y, frequency, level), c.valid) << c.x << ", " << c.y;
    if (!c.valid) continue;
    EXPECT_EQ(frequency, c.frequency) << c.x;
    EXPECT_FLOAT_EQ(level, c.level) << c.y;
  }

  // A last index beyond the table is not followed out of it.
  Plot->SetFrequencies(500);
  float frequency = 0, level = 0;
  EXPECT_TRUE(Plot->Readout(100, 5, frequency, level));
  EXPECT_EQ(frequency, 10000);
  EXPECT_FALSE(Plot->Readout(101, 5, frequency, level));
}

}  // namespace
