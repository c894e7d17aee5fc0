#include "Displays.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <memory>

namespace {

QImage Grab(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

const QRgb Black = qRgb(0, 0, 0);
const QRgb White = qRgb(255, 255, 255);

// Paints a red square over everything, border included, and counts its calls.
class ProbeDisplay : public TFlickerlessBorderedCustomControl {
public:
  using TFlickerlessBorderedCustomControl::TFlickerlessBorderedCustomControl;
  bool Overpaint = false;
  int Draws = 0;
  int BoundsChanges = 0;
  void DrawDisplay(TCanvas& canvas) override {
    ++Draws;
    if (!Overpaint) return;
    canvas.SetBrushColour(Qt::red);
    canvas.FillRect({0, 0, width(), height()});
  }

protected:
  void BoundsChanged() override { ++BoundsChanges; }
};

struct DisplayBaseTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  ProbeDisplay* Display = new ProbeDisplay(Parent.get());
  void SetUp() override { Parent->resize(300, 200); }
};

void ExpectBorder(const QImage& image) {
  const int w = image.width(), h = image.height();
  for (int x = 0; x < w - 1; ++x) EXPECT_EQ(image.pixel(x, 0), Black) << "top " << x;
  for (int y = 0; y < h - 1; ++y) EXPECT_EQ(image.pixel(0, y), Black) << "left " << y;
  for (int x = 0; x < w; ++x) EXPECT_EQ(image.pixel(x, h - 1), White) << "bottom " << x;
  for (int y = 0; y < h; ++y) EXPECT_EQ(image.pixel(w - 1, y), White) << "right " << y;
}

void ExpectPlotArea(const QImage& image, QRgb colour) {
  for (int y = 1; y < image.height() - 1; ++y)
    for (int x = 1; x < image.width() - 1; ++x)
      ASSERT_EQ(image.pixel(x, y), colour) << x << "," << y;
}

TEST_F(DisplayBaseTest, GeometryFollowsEveryBoundsChange) {
  Display->SetBounds(7, 9, 100, 50);  // hidden: no Qt resize event yet
  EXPECT_EQ(Display->W(), 98);
  EXPECT_EQ(Display->H(), 48);
  EXPECT_EQ(Display->PlotRect(), (TRect{1, 1, 99, 49}));
  EXPECT_EQ(Display->BoundsChanges, 1);

  Parent->show();
  EXPECT_EQ(Display->BoundsChanges, 1);  // the pending events bring nothing new
  Display->resize(60, 30);
  EXPECT_EQ(Display->W(), 58);
  EXPECT_EQ(Display->H(), 28);
  EXPECT_EQ(Display->PlotRect(), (TRect{1, 1, 59, 29}));
  Display->move(20, 20);
  EXPECT_EQ(Display->BoundsChanges, 3);
}

TEST_F(DisplayBaseTest, SunkenBorderIsDrawnLastAroundTheBackground) {
  Display->SetBounds(0, 0, 100, 50);
  Parent->show();
  const QImage image = Grab(*Display);
  ASSERT_EQ(image.size(), QSize(100, 50));
  ExpectBorder(image);
  EXPECT_EQ(image.pixel(99, 0), White);
  EXPECT_EQ(image.pixel(0, 49), White);
  ExpectPlotArea(image, qRgb(64, 64, 64));
  EXPECT_EQ(Display->Picture().size(), QSize(100, 50));

  Display->SetBackgroundColour(QColor(1, 2, 3));
  const QImage recoloured = Grab(*Display);
  ExpectBorder(recoloured);
  ExpectPlotArea(recoloured, qRgb(1, 2, 3));

  Display->Overpaint = true;
  const QImage overpainted = Grab(*Display);
  ExpectBorder(overpainted);
  ExpectPlotArea(overpainted, qRgb(255, 0, 0));
}

TEST_F(DisplayBaseTest, HiddenDisplayNeitherPaintsNorResizesItsPicture) {
  Display->SetBounds(0, 0, 100, 50);
  Display->hide();
  Parent->show();
  Grab(*Display);
  EXPECT_EQ(Display->Draws, 0);
  EXPECT_TRUE(Display->Picture().isNull());

  Display->show();
  Grab(*Display);
  EXPECT_GE(Display->Draws, 1);
  EXPECT_EQ(Display->Picture().size(), QSize(100, 50));
}

}  // namespace
