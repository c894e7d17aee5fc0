#include "Displays.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

namespace {

const QRgb Background = qRgb(64, 64, 64);
const QRgb Bar = qRgb(255, 255, 192);
const QRgb Grid = qRgb(192, 192, 192);

TEST(LevelMeterScale, RowsGridAndDecay) {
  EXPECT_EQ(LevelMeterRow(0, 0, -60, 120), 1);
  EXPECT_EQ(LevelMeterRow(-30, 0, -60, 120), 61);
  EXPECT_EQ(LevelMeterRow(-60, 0, -60, 120), 121);
  EXPECT_EQ(LevelMeterRow(-0.625, 0, -60, 48), 1);  // 0.5 -> 0
  EXPECT_EQ(LevelMeterRow(-1.875, 0, -60, 48), 3);  // 1.5 -> 2
  EXPECT_EQ(LevelMeterRow(6, 0, -60, 120), -11);    // above MaxdB: into the border
  EXPECT_EQ(LevelMeterRow(-1e30, 0, -60, 120), (1 << 24) + 1);
  EXPECT_EQ(LevelMeterRow(-10, -20, -20, 120), 121);  // empty scale

  const std::vector<int> tens{-50, -40, -30, -20, -10};
  EXPECT_EQ(LevelMeterGridLevels(-60, 0, 10), tens);
  EXPECT_EQ(LevelMeterGridLevels(-65, 0, 10), tens);
  EXPECT_EQ(LevelMeterGridLevels(-60, 5, 20), (std::vector<int>{-40, -20, 0}));
  EXPECT_EQ(LevelMeterCaptionLevels(-65, -5, 20), (std::vector<int>{-20, -40, -60}));
  for (auto [min, max, interval] :
       {std::tuple{-60, 0, 0}, {-60, 0, -10}, {0, 0, 10}, {-50, -60, 10}}) {
    EXPECT_TRUE(LevelMeterGridLevels(min, max, interval).empty());
    EXPECT_TRUE(LevelMeterCaptionLevels(min, max, interval).empty());
  }

  EXPECT_EQ(LevelMeterDecay(125, 20), 2.5f);
  // 30 hours at 20 dB/s: a 32-bit product would wrap negative.
  EXPECT_EQ(LevelMeterDecay(108000000u, 20), 2160000.0f);
}

// A 60 x 122 meter (W 58, H 120) on a shown parent, with a clock the test moves.
struct LevelMeterTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  TLevelMeter* Meter = new TLevelMeter(Parent.get());
  std::uint32_t Now = 5000;

  void SetUp() override {
    Parent->resize(300, 300);
    Meter->setObjectName("Meter1");
    Meter->SetBounds(20, 10, 60, 122);
    Meter->SetClock([this] { return Now; });
    Parent->show();
  }
  QImage Paint() { return Meter->grab().toImage().convertToFormat(QImage::Format_RGB32); }
  // Rows 1 .. 120 of one column as classes: '.' background, '#' bar, '-' grid.
  static std::string Column(const QImage& image, int x) {
    std::string s;
    for (int y = 1; y <= 120; ++y) {
      const QRgb p = image.pixel(x, y);
      s += p == Background ? '.' : p == Bar ? '#' : p == Grid ? '-' : '?';
    }
    return s;
  }
  static std::string Expected(int barTop, const std::set<int>& gridRows) {
    std::string s;
    for (int y = 1; y <= 120; ++y) s += gridRows.count(y) ? '-' : y >= barTop ? '#' : '.';
    return s;
  }
};

TEST_F(LevelMeterTest, DrawsBarsAndGridAtTheirRows) {
  Meter->SetLeftdB(-30);
  Meter->SetRightdB(-10);
  const QImage image = Paint();
  const std::set<int> grid{21, 41, 61, 81, 101};
  EXPECT_EQ(Column(image, 10), Expected(61, grid));   // left bar, x 3 .. 26
  EXPECT_EQ(Column(image, 40), Expected(21, grid));   // right bar, x 31 .. 55
  EXPECT_EQ(Column(image, 28), Expected(999, grid));  // gap between the bars
  for (int x : {1, 2, 27, 30, 56, 58}) EXPECT_EQ(image.pixel(x, 90), Background) << x;
  for (int x : {3, 26, 31, 55}) EXPECT_EQ(image.pixel(x, 90), Bar) << x;
  EXPECT_EQ(image.pixel(58, 61), Grid);
  EXPECT_EQ(image.pixel(59, 61), qRgb(255, 255, 255));  // the border
}

TEST_F(LevelMeterTest, BarsRiseAtOnceAndOnlyFallAtTheDecayRate) {
  Meter->SetLeftdB(-10);
  Paint();
  EXPECT_EQ(Meter->DisplayedLeftdB(), -10.0f);
  EXPECT_EQ(Meter->DisplayedRightdB(), -60.0f);
  EXPECT_TRUE(Meter->DelayTimer()->isActive());
  EXPECT_EQ(Meter->DelayTimer()->interval(), 125);

  Now += 125;
  Meter->SetLeftdB(-30);  // below the decaying bar: ignored
  Paint();
  EXPECT_EQ(Meter->DisplayedLeftdB(), -12.5f);
  EXPECT_EQ(Meter->DisplayedRightdB(), -62.5f);

  Now += 250;
  Meter->SetLeftdB(-5);
  const QImage image = Paint();
  EXPECT_EQ(Meter->DisplayedLeftdB(), -5.0f);
  EXPECT_EQ(image.pixel(10, 11), Bar);  // row(-5) = 11
  EXPECT_EQ(image.pixel(10, 10), Background);

  // No further readings: the stored -5 must not hold the bar up. Each tick lowers it by 2.5 dB;
  // the timer keeps running while it is at or above -60 and stops after that.
  std::vector<bool> running;
  for (int tick = 1; tick <= 24; ++tick) {
    Now += 125;
    Meter->DelayTimerTimer();
    EXPECT_FALSE(Meter->DelayTimer()->isActive());
    Paint();
    EXPECT_EQ(Meter->DisplayedLeftdB(), -5.0f - 2.5f * tick);
    running.push_back(Meter->DelayTimer()->isActive());
  }
  std::vector<bool> expected(22, true);
  expected.resize(24, false);
  EXPECT_EQ(running, expected);
  EXPECT_EQ(Column(Paint(), 10), Expected(999, {21, 41, 61, 81, 101}));
}

TEST_F(LevelMeterTest, OpenUpdateBlanksThePaintAndKeepsTheState) {
  Paint();
  Meter->BeginUpdate();
  Meter->SetLeftdB(-10);
  Now += 500;
  const QImage blank = Paint();
  EXPECT_EQ(Column(blank, 10), std::string(120, '.'));
  EXPECT_EQ(Meter->DisplayedLeftdB(), -60.0f);

  Meter->EndUpdate();
  Paint();
  EXPECT_EQ(Meter->DisplayedLeftdB(), -10.0f);   // the reading made while blank still counts
  EXPECT_EQ(Meter->DisplayedRightdB(), -70.0f);  // decay over the whole 500 ms
}

TEST_F(LevelMeterTest, InvalidScalesDrawNoGrid) {
  Meter->SetLeftdB(-30);
  Meter->SetIntervaldB(0);
  QImage image = Paint();
  EXPECT_EQ(Column(image, 10), Expected(61, {}));
  EXPECT_EQ(Column(image, 28), std::string(120, '.'));

  Meter->SetIntervaldB(-10);
  EXPECT_EQ(Column(Paint(), 28), std::string(120, '.'));

  Meter->SetIntervaldB(10);
  Meter->SetMindB(0);  // MindB == MaxdB
  EXPECT_EQ(Column(Paint(), 10), std::string(120, '.'));
  Meter->SetMindB(20);  // MindB > MaxdB
  EXPECT_EQ(Column(Paint(), 10), std::string(120, '.'));
  EXPECT_FALSE(Meter->DelayTimer()->isActive());
}

QLabel* Label(QWidget& parent, const char* name) {
  return parent.findChild<QLabel*>(name, Qt::FindDirectChildrenOnly);
}

TEST_F(LevelMeterTest, CaptionLabelsAreCreatedOnceAndFollowTheMeter) {
  Meter->UpdateScaleLabels();
  Meter->UpdateScaleLabels();
  EXPECT_EQ(Parent->findChildren<QLabel*>().size(), 9);
  const int rows[] = {1, 21, 41, 61, 81, 101, 121};
  for (int i = 0; i <= 6; ++i) {
    QLabel* label = Label(*Parent, qPrintable("Meter1_" + QString::number(i)));
    ASSERT_NE(label, nullptr) << i;
    EXPECT_EQ(label->text(), QString::number(-10 * i));
    EXPECT_EQ(label->pos(), QPoint(82, rows[i] + 10 - 5)) << i;
  }
  QLabel* left = Label(*Parent, "Meter1_L");
  QLabel* right = Label(*Parent, "Meter1_R");
  ASSERT_TRUE(left && right);
  EXPECT_EQ(left->text(), "L");
  EXPECT_EQ(right->text(), "R");
  EXPECT_EQ(left->pos(), QPoint(30, 134));
  EXPECT_EQ(right->pos(), QPoint(60, 134));
  EXPECT_EQ(left->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_EQ(right->palette().color(QPalette::WindowText), QColor(255, 0, 0));

  // A new scale creates and renames nothing; a bounds change puts each caption at its own
  // level on the new scale (MaxdB 0, MindB -80, H 240).
  Meter->SetMindB(-80);
  Meter->SetIntervaldB(20);
  Meter->UpdateScaleLabels();
  delete Label(*Parent, "Meter1_3");
  Meter->SetBounds(40, 20, 60, 242);
  EXPECT_EQ(Parent->findChildren<QLabel*>().size(), 8);
  EXPECT_EQ(Label(*Parent, "Meter1_1")->text(), "-10");
  EXPECT_EQ(Label(*Parent, "Meter1_1")->pos(), QPoint(102, 31 + 20 - 5));
  EXPECT_EQ(Label(*Parent, "Meter1_6")->pos(), QPoint(102, 181 + 20 - 5));
  EXPECT_EQ(Label(*Parent, "Meter1_L")->pos(), QPoint(50, 264));
  EXPECT_EQ(Label(*Parent, "Meter1_R")->pos(), QPoint(80, 264));
}

TEST(LevelMeterCaptions, EqualNamesAreToldApartByText) {
  QWidget parent;
  auto* meter = new TLevelMeter(&parent);
  meter->setObjectName("M");
  meter->SetBounds(0, 0, 30, 62);  // H 60; +10 and -10 are both "M_1"
  meter->SetMaxdB(10);
  meter->SetMindB(-10);
  meter->UpdateScaleLabels();
  meter->SetBounds(0, 100, 30, 62);
  const auto ones = parent.findChildren<QLabel*>("M_1");
  ASSERT_EQ(ones.size(), 2);
  for (QLabel* label : ones) EXPECT_EQ(label->y(), (label->text() == "10" ? 1 : 61) + 95);
}

}  // namespace
