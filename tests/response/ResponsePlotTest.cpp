#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QWidget>

#include <cmath>
#include <functional>
#include <vector>

#include "ResponseTestSupport.h"
#include "SweepGenerator.h"

namespace {

constexpr int kFast = 57330, kSlow = 11025;

struct TNumberedInput : TWaveIn {
  void SetNumber(int n) { SetBufferNumber(n); }
};

struct ResponsePlotTest : ::testing::Test {
  QWidget Parent;
  TResponsePlot* Plot = new TResponsePlot(&Parent);
  void SetUp() override {
    Plot->setObjectName("ResponsePlot1");
    Plot->SetBounds(24, 32, 443, 258);  // W 441, H 256
  }
  void FeedFast(const std::function<int(int)>& left, const std::function<int(int)>& right) {
    ::FeedFast(*Plot, left, right);
  }
  // A slow block: amplitude inside frames n/6 ... 5n/6, full scale outside.
  void FeedSlow(TNumberedInput& in, int number, int amplitude) {
    std::vector<int16_t> b(2 * kSlow);
    for (int f = 0; f < kSlow; ++f) {
      const bool inside = f >= kSlow / 6 && f < 5 * kSlow / 6;
      b[2 * f] = b[2 * f + 1] = static_cast<int16_t>((f % 2 ? -1 : 1) * (inside ? amplitude : 32000));
    }
    in.SetNumber(number);
    bool go = true;
    Plot->ProcessSamples(b.data(), kSlow, go);
  }
  QImage Grab() {
    Parent.resize(600, 400);
    Parent.show();  // a hidden display paints nothing
    return Plot->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
};

TEST_F(ResponsePlotTest, ConstructionRangeAndSource) {
  const TAudioSweepGenerator& g = *Plot->SweepGenerator();
  EXPECT_TRUE(g.LeftLog() && g.RightLog());
  EXPECT_FALSE(g.LeftDeclick() || g.RightDeclick() || g.LeftStepped() || g.SlowSweep());
  EXPECT_EQ(g.SlowSweepActiveSteps(), 180);
  EXPECT_EQ(g.SlowSweepSilentSteps(), 8);
  EXPECT_EQ(Plot->SlowSweepSilentSeconds(), 2);
  EXPECT_EQ(g.LeftFrequency(), 300.0f);
  EXPECT_EQ(g.RightMaxFrequency(), 3000.0f);
  const auto f = Plot->Frequencies();
  ASSERT_EQ(f.size(), 441u);
  EXPECT_EQ(Plot->LastColumn(), 440);
  for (int i = 0; i <= 440; ++i)  // 880 single roundings at most
    ASSERT_NEAR(f[i] / (300 * std::pow(10.0, i / 440.0)), 1, 880 * 0x1p-24) << i;

  Plot->SetTraceSmoothing(3);
  EXPECT_EQ(Plot->TraceSmoothing(), 1);
  Plot->SetMinFrequency(0);
  EXPECT_EQ(Plot->MinFrequency(), 1);
  Plot->SetMinFrequency(5000);
  EXPECT_EQ(Plot->MaxFrequency(), 5001);
  EXPECT_EQ(g.LeftMaxFrequency(), 5001.0f);

  TWaveIn in;
  Plot->SetSource(&in);
  EXPECT_EQ(g.AssociatedInput(), &in);
  EXPECT_EQ(in.BufferSamples(), kFast);
  Plot->SetSlowSweep(true);
  EXPECT_EQ(in.BufferSamples(), kSlow);
  EXPECT_EQ(Plot->Points(), 180);
}

TEST_F(ResponsePlotTest, FastMeasurementSmoothsThenAverages) {
  const auto left = [](int i) { return 2000 + 300 * (i % 5); };
  const auto right = [](int i) { return 1000 + 200 * (i % 3); };
  Plot->SetMovingAverage(false);
  // Smoothing, and the columns each formula leaves as measured.
  for (int smoothing : {0, 1, 2}) {
    Plot->SetTraceSmoothing(smoothing);
    FeedFast(left, right);
    ASSERT_EQ(Plot->PointCount(), 441);
    const auto l = Plot->LeftLevels(), r = Plot->RightLevels();
    const auto raw = [&](int i) { return SquaredB(right(i)); };
    for (int i : {0, 1, 439, 440}) {
      const bool kept = smoothing == 0 || (smoothing == 1 ? i == 0 || i == 440 : true);
      if (kept) {
        EXPECT_NEAR(r[i], raw(i), 1e-4) << smoothing << " column " << i;
      }
    }
    const double expected = smoothing == 0 ? raw(100)
                          : smoothing == 1 ? (raw(99) + 2 * raw(100) + raw(101)) / 4
                          : (raw(98) + 3 * raw(99) + 4 * raw(100) + 3 * raw(101) + raw(102)) / 12;
    EXPECT_NEAR(r[100], expected, 1e-4) << smoothing;
    EXPECT_NEAR(l[0], SquaredB(left(0)), 1e-4) << "the offsets come off";
  }
  // The average starts with the first block as measured; the second weighs it 2:1.
  Plot->SetTraceSmoothing(0);
  Plot->SetMovingAverage(true);
  FeedFast(left, right);
  const std::vector<float> first(Plot->RightLevels().begin(), Plot->RightLevels().end());
  FeedFast(left, [](int) { return 4000; });
  for (int i : {0, 200, 440})
    EXPECT_NEAR(Plot->RightLevels()[i], (2 * first[i] + SquaredB(4000)) / 3, 1e-4) << i;
  EXPECT_EQ(Plot->AveragingCount(), 2);
}

TEST_F(ResponsePlotTest, SlowSweepStepsFollowTheBlockNumberAndTheStair) {
  TNumberedInput in;
  Plot->SetSource(&in);
  Plot->SetSlowSweep(true);  // 180 active, 8 silent steps
  struct TBlock {
    int number, points;
  };
  for (const TBlock& b : {TBlock{0, 1}, TBlock{179, 180}, TBlock{184, 180}, TBlock{188, 1}}) {
    FeedSlow(in, b.number, 1000);
    EXPECT_EQ(Plot->PointCount(), b.points) << b.number;
  }
  // Only frames n / 6 ... 5n / 6 count; 7350 squares summed in single precision.
  EXPECT_NEAR(Plot->RightLevels()[0], SquaredB(1000), 2e-3);

  // 99 s: 396 steps, more than the plot is wide, all measured and drawn.
  Plot->SetSlowSweepActiveSeconds(99);
  ASSERT_EQ(Plot->Points(), 396);
  const auto amplitude = [](int k) { return 500 + 40 * k; };
  for (int k = 0; k < 396; ++k) FeedSlow(in, k, amplitude(k));
  ASSERT_EQ(Plot->PointCount(), 396);
  EXPECT_NEAR(Plot->RightLevels()[395], SquaredB(amplitude(395)), 2e-3);
  const QImage picture = Grab();
  for (int k : {0, 200, 395}) {
    const int x = k * 441 / 396 + 1, y = Plot->LevelToRow(Plot->RightLevels()[k]);
    EXPECT_EQ(picture.pixel(x, y), qRgb(255, 0, 0)) << "step " << k;
  }
  // The readout names the step drawn under the column; past the stair there is none.
  float f = 0, level = 0;
  ASSERT_TRUE(Plot->Readout(441, 10, f, level));
  EXPECT_EQ(f, Plot->Frequencies()[395]);
  ASSERT_TRUE(Plot->Readout(300, 10, f, level));  // step 269 runs over columns 300 ... 301
  EXPECT_EQ(f, Plot->Frequencies()[269]);
  FeedSlow(in, 10, 1000);
  EXPECT_FALSE(Plot->Readout(441, 10, f, level));
  EXPECT_TRUE(Plot->Readout(12, 10, f, level));
  EXPECT_EQ(f, Plot->Frequencies()[10]);
}

TEST_F(ResponsePlotTest, EqualInputsAsReferenceDrawTheMinus20Line) {
  Plot->SetLeftIsReference(true);
  Plot->SetTraceColour(QColor(200, 100, 50));
  FeedFast([](int i) { return 500 + 10 * i; }, [](int i) { return 500 + 10 * i; });
  const QImage picture = Grab();
  const int row = Plot->LevelToRow(-20);
  for (int x = 1; x <= 440; ++x) ASSERT_EQ(picture.pixel(x, row), qRgb(200, 100, 50)) << x;
  for (int y = 1; y <= 256; ++y)
    for (int x = 1; x <= 441; ++x)
      if (y != row) {
        ASSERT_NE(picture.pixel(x, y), qRgb(200, 100, 50)) << x << ", " << y;
      }
}

TEST_F(ResponsePlotTest, GridAndCaptionsFollowTheScale) {
  struct TScale {
    int mindB;
    std::vector<int> levels;
  };
  for (const TScale& s : {TScale{-80, {-80, -70, -60, -50, -40, -30, -20, -10, 0}},
                          TScale{-90, {-80, -60, -40, -20, 0}}}) {
    Plot->SetMindB(s.mindB);
    Plot->UpdateScaleLabels();
    const QImage picture = Grab();
    for (int n = 0; n < 9; ++n) {
      const QLabel* label = Parent.findChild<QLabel*>("ResponsePlot1_Y" + QString::number(n));
      ASSERT_TRUE(label);
      ASSERT_EQ(!label->isHidden(), n < static_cast<int>(s.levels.size())) << n;
      if (label->isHidden()) continue;
      const int row = Plot->LevelToRow(static_cast<float>(s.levels[n]));
      EXPECT_EQ(label->text(), QString::number(s.levels[n]));
      EXPECT_EQ(label->geometry().top(), 32 + row - label->height() / 2);
      EXPECT_EQ(label->geometry().right() + 1, 24 - 4);
      // The idle traces (0 dB until a block arrives) cover the top line.
      if (s.levels[n] != 0) {
        EXPECT_EQ(picture.pixel(5, row), qRgb(0, 255, 0)) << s.levels[n];
      }
    }
  }
  const QStringList texts = {"300", "378", "475", "599", "754", "949",
                             "1194", "1504", "1893", "2383", "3000"};
  for (bool stepped : {false, true}) {
    Plot->SetSteppedSweep(stepped);
    Plot->UpdateScaleLabels();
    for (int n = 0; n < 11; ++n) {
      const QLabel* label = Parent.findChild<QLabel*>("ResponsePlot1_X" + QString::number(n));
      ASSERT_EQ(!label->isHidden(), n < (stepped ? 10 : 11)) << n;
      if (label->isHidden()) continue;
      EXPECT_EQ(label->text(), texts[n]);
      const int x = stepped ? (4 * n + 1) * 441 / 40 : n * 441 / 10;
      EXPECT_EQ(label->x(), 24 + x - label->width() / 2);
      EXPECT_EQ(label->y(), 32 + 258 + 6);
    }
    // Vertical grid lines only in smooth sweeps (row 5 lies on no level line).
    EXPECT_EQ(Grab().pixel(441 / 10 + 1, 5) == qRgb(0, 255, 0), !stepped);
  }
}

}  // namespace
