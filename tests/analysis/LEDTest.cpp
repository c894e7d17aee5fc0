#include "LED.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <memory>
#include <utility>

namespace {

const QRgb Magenta = qRgb(255, 0, 255);

const char* const Lamp[15] = {
    "sssssrrkkksssss", "sssrkkkkkkkksss", "ssrrkgggggkrkss", "srrkggssgggkrks",
    "skkgwwggggggkks", "rkggwggggggggkk", "rkgsgggggggggkk", "kkgsgggggggggkk",
    "kkgggggggggggkk", "kkgggggggggggkk", "skkgggggggggkks", "skrkgggggggkkrs",
    "sskrkgggggkkrss", "ssskkkkkkkkrsss", "ssssskkkkksssss",
};

QRgb LampPixel(char c, QRgb lit) {
  switch (c) {
    case 's': return qRgb(192, 192, 192);
    case 'r': return qRgb(128, 0, 0);
    case 'k': return qRgb(0, 0, 0);
    case 'w': return qRgb(255, 255, 255);
    default: return lit;
  }
}

// Counts its paints.
class ProbeLED : public TLED {
public:
  using TLED::TLED;
  int Paints = 0;

protected:
  void paintEvent(QPaintEvent* event) override {
    ++Paints;
    TLED::paintEvent(event);
  }
};

struct LEDTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  void SetUp() override {
    Parent->resize(40, 40);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor::fromRgb(Magenta));
    Parent->setPalette(palette);
    Parent->setAutoFillBackground(true);
  }
  // The 17 x 17 control area of an LED placed at (5, 5).
  QImage Shot() {
    return Parent->grab(QRect(5, 5, 17, 17)).toImage().convertToFormat(QImage::Format_RGB32);
  }
};

TEST_F(LEDTest, LitColourReplacesThePureGreenInsideTheCircle) {
  auto* led = new TLED(Parent.get());
  led->move(5, 5);
  EXPECT_EQ(led->size(), QSize(17, 17));
  EXPECT_EQ(led->Colour(), QColor(0, 255, 0));
  // Columns of the picture area (control rows 1 .. 15) inside a circle of diameter 18.
  const std::pair<int, int> inside[15] = {{4, 13}, {3, 14}, {2, 15}, {1, 15}, {1, 15},
                                          {1, 15}, {1, 15}, {1, 15}, {1, 15}, {1, 15},
                                          {1, 15}, {1, 15}, {1, 15}, {2, 15}, {3, 14}};
  for (QRgb lit : {qRgb(0, 255, 0), qRgb(0, 128, 0)}) {
    led->SetColour(QColor::fromRgb(lit));
    const QImage image = Shot();
    for (int y = 0; y < 17; ++y)
      for (int x = 0; x < 17; ++x) {
        QRgb expected = Magenta;
        if (y >= 1 && y <= 15 && x >= inside[y - 1].first && x <= inside[y - 1].second)
          expected = LampPixel(Lamp[y - 1][x - 1], lit);
        EXPECT_EQ(image.pixel(x, y), expected) << x << "," << y;
      }
  }
}

TEST_F(LEDTest, MissingPictureDrawsNothing) {
  EXPECT_TRUE(LoadLEDPicture("NoSuchLamp").isNull());
  auto* led = new TLED(Parent.get(), "NoSuchLamp");
  led->move(5, 5);
  led->SetColour(Qt::red);
  const QImage image = Shot();
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 17; ++x) EXPECT_EQ(image.pixel(x, y), Magenta) << x << "," << y;
}

TEST_F(LEDTest, SameColourCausesNoRepaint) {
  auto* led = new ProbeLED(Parent.get());
  Parent->show();
  ASSERT_TRUE(PumpUntil([&] { return led->Paints > 0; }));
  PumpFor(50);
  led->Paints = 0;
  led->SetColour(QColor(0, 255, 0));
  PumpFor(100);
  EXPECT_EQ(led->Paints, 0);
  led->SetColour(QColor(0, 128, 0));
  EXPECT_TRUE(PumpUntil([&] { return led->Paints > 0; }));
}

}  // namespace
