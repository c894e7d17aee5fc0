#include "Canvas.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using PixelSet = std::set<std::pair<int, int>>;

const QRgb Paper = qRgb(10, 20, 30);
const QRgb Ink = qRgb(250, 240, 0);

PixelSet PixelsOf(const QImage& image, QRgb colour) {
  PixelSet set;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == colour) set.insert({x, y});
  return set;
}

struct CanvasTest : ::testing::Test {
  QImage Image{20, 20, QImage::Format_RGB32};
  TCanvas Canvas{&Image};
  void SetUp() override {
    Image.fill(Paper);
    Canvas.SetPenColour(QColor::fromRgb(Ink));
    Canvas.SetBrushColour(QColor::fromRgb(Ink));
  }
  PixelSet Drawn() {
    PixelSet set = PixelsOf(Image, Ink);
    Image.fill(Paper);
    return set;
  }
};

TEST_F(CanvasTest, LinesCoverTheStartAndStopOnePixelShortOfTheEnd) {
  Canvas.MoveTo(2, 3);
  Canvas.LineTo(6, 3);
  EXPECT_EQ(Canvas.PenPos(), QPoint(6, 3));
  EXPECT_EQ(Drawn(), (PixelSet{{2, 3}, {3, 3}, {4, 3}, {5, 3}}));
  Canvas.LineTo(6, 0);
  Canvas.LineTo(6, 0);  // zero length
  EXPECT_EQ(Drawn(), (PixelSet{{6, 3}, {6, 2}, {6, 1}}));
  Canvas.MoveTo(4, 4);
  Canvas.LineTo(0, 0);
  EXPECT_EQ(Drawn(), (PixelSet{{4, 4}, {3, 3}, {2, 2}, {1, 1}}));

  Canvas.MoveTo(0, 0);
  Canvas.LineTo(3, 9);  // steep: one pixel in each of rows 0 .. 8
  const PixelSet steep = Drawn();
  std::set<int> rows;
  for (auto [x, y] : steep) rows.insert(y);
  EXPECT_EQ(steep.size(), 9u);
  EXPECT_EQ(rows.size(), 9u);
  EXPECT_TRUE(steep.count({0, 0}) && !rows.count(9));

  // Far beyond the image: only the visible part, no time spent outside.
  Canvas.MoveTo(-1000000, 5);
  Canvas.LineTo(1000000, 5);
  Canvas.MoveTo(-5, -5);
  Canvas.LineTo(3, 3);
  const PixelSet clipped = Drawn();
  EXPECT_EQ(clipped.size(), 23u);
  EXPECT_TRUE(clipped.count({0, 5}) && clipped.count({19, 5}) && clipped.count({2, 2}));
}

TEST_F(CanvasTest, DottedPenSetsEveryOtherPixelAlongConnectedLines) {
  Canvas.SetPenStyle(psDot);
  Canvas.MoveTo(0, 0);
  Canvas.LineTo(3, 0);  // steps 0, 1, 2
  Canvas.LineTo(3, 4);  // steps 3 .. 6 continue the pattern
  EXPECT_EQ(Drawn(), (PixelSet{{0, 0}, {2, 0}, {3, 1}, {3, 3}}));
  Canvas.MoveTo(10, 10);  // restarts with a set pixel
  Canvas.LineTo(10, 15);
  EXPECT_EQ(Drawn(), (PixelSet{{10, 10}, {10, 12}, {10, 14}}));
}

TEST_F(CanvasTest, PolylineAndRectangles) {
  Canvas.MoveTo(15, 15);
  const std::vector<QPoint> points{{1, 1}, {4, 1}, {4, 3}};
  Canvas.Polyline(points);
  EXPECT_EQ(Canvas.PenPos(), QPoint(15, 15));
  EXPECT_EQ(Drawn(), (PixelSet{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {4, 2}}));

  Canvas.FillRect({2, 3, 5, 5});
  EXPECT_EQ(Drawn(), (PixelSet{{2, 3}, {3, 3}, {4, 3}, {2, 4}, {3, 4}, {4, 4}}));
  Canvas.FillRect({18, -4, 40, 2});
  EXPECT_EQ(Drawn(), (PixelSet{{18, 0}, {19, 0}, {18, 1}, {19, 1}}));
  Canvas.FillRect({5, 5, 2, 9});  // inverted
  Canvas.SetBrushStyle(bsClear);
  Canvas.FillRect({0, 0, 20, 20});
  EXPECT_TRUE(Drawn().empty());
}

TEST_F(CanvasTest, CopiesARectangleBetweenPictures) {
  QImage source(8, 8, QImage::Format_RGB32);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) source.setPixel(x, y, qRgb(x * 10, y * 10, 0));
  Canvas.CopyRect({1, 2, 4, 4}, source, {5, 6, 8, 8});
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool inside = x >= 1 && x < 4 && y >= 2 && y < 4;
      EXPECT_EQ(Image.pixel(x, y), inside ? qRgb((x + 4) * 10, (y + 4) * 10, 0) : Paper);
    }
  Canvas.Draw(18, 18, source);  // only its top-left 2 x 2 fits
  EXPECT_EQ(Image.pixel(19, 19), qRgb(10, 10, 0));
}

TEST(CanvasClip, EllipseKeepsThePixelsWhoseCentresLieInside) {
  QImage image(18, 18, QImage::Format_RGB32);
  image.fill(Paper);
  TCanvas canvas(&image);
  canvas.SetBrushColour(QColor::fromRgb(Ink));
  canvas.SetClipEllipse({0, 0, 18, 18});
  canvas.FillRect({0, 0, 18, 18});
  // Row spans of a circle of diameter 18: half-width sqrt(81 - (y + 0.5 - 9)^2).
  const std::pair<int, int> spans[9] = {{6, 11}, {4, 13}, {3, 14}, {2, 15}, {1, 16},
                                        {1, 16}, {0, 17}, {0, 17}, {0, 17}};
  for (int y = 0; y < 18; ++y) {
    const auto [first, last] = spans[y < 9 ? y : 17 - y];
    for (int x = 0; x < 18; ++x)
      EXPECT_EQ(image.pixel(x, y), x >= first && x <= last ? Ink : Paper) << x << "," << y;
  }
  canvas.SetPixel(0, 0, Qt::white);
  EXPECT_EQ(image.pixel(0, 0), Paper);
  canvas.RemoveClip();
  canvas.SetPixel(0, 0, Qt::white);
  EXPECT_EQ(canvas.Pixel(0, 0), qRgb(255, 255, 255));
}

TEST(CanvasText, HasTheBrushBehindItAndNoBlendedPixels) {
  QImage image(120, 40, QImage::Format_RGB32);
  image.fill(Paper);
  TCanvas canvas(&image);
  canvas.SetBrushColour(QColor(64, 64, 64));
  canvas.SetFontColour(QColor(0, 255, 0));
  const QString text = QStringLiteral("-60 dB");
  const int w = canvas.TextWidth(text), h = canvas.TextHeight(text);
  ASSERT_GT(w, 0);
  canvas.TextOut(5, 7, text);
  int ink = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (x < 5 || y < 7 || x >= 5 + w || y >= 7 + h) {
        EXPECT_EQ(p, Paper) << x << "," << y;
      } else {
        EXPECT_TRUE(p == qRgb(64, 64, 64) || p == qRgb(0, 255, 0)) << x << "," << y;
        ink += p == qRgb(0, 255, 0);
      }
    }
  EXPECT_GT(ink, 10);
}

// What a layered display restores and compares relies on it: every pixel a drawing changes lies
// inside what the canvas says it touched, however the drawing is clipped or runs off the image.
TEST(CanvasTouched, HoldsEveryPixelADrawingChanged) {
  QImage source(6, 6, QImage::Format_RGB32);
  source.fill(Ink);
  const std::vector<std::pair<std::string, std::function<void(TCanvas&)>>> drawings = {
      {"diagonal line", [](TCanvas& c) { c.MoveTo(3, 17); c.LineTo(15, 2); }},
      {"line off the image", [](TCanvas& c) { c.MoveTo(-30, 5); c.LineTo(50, 12); }},
      {"dotted line", [](TCanvas& c) { c.SetPenStyle(psDot); c.MoveTo(2, 2); c.LineTo(2, 19); }},
      {"clipped line", [](TCanvas& c) { c.SetClipEllipse({4, 4, 16, 16}); c.MoveTo(0, 10); c.LineTo(20, 10); }},
      {"rectangle", [](TCanvas& c) { c.FillRect({-3, 12, 7, 40}); }},
      {"pixel", [](TCanvas& c) { c.SetPixel(19, 0, QColor::fromRgb(Ink)); }},
      {"copy", [&](TCanvas& c) { c.CopyRect({8, 9, 14, 15}, source, {0, 0, 6, 6}); }},
      {"scaled copy", [&](TCanvas& c) { c.CopyRect({1, 1, 4, 19}, source, {0, 0, 6, 6}); }},
      {"text", [](TCanvas& c) { c.SetFontColour(QColor::fromRgb(Ink)); c.TextOut(1, 3, QStringLiteral("Wy")); }},
  };
  for (const auto& [name, draw] : drawings) {
    QImage image(20, 20, QImage::Format_RGB32);
    image.fill(Paper);
    TCanvas canvas(&image);
    canvas.SetPenColour(QColor::fromRgb(Ink));
    canvas.SetBrushColour(QColor::fromRgb(Ink));
    canvas.ForgetTouched();
    draw(canvas);
    const TRect t = canvas.Touched();
    int changed = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) != Paper) {
          ++changed;
          EXPECT_TRUE(x >= t.Left && x < t.Right && y >= t.Top && y < t.Bottom)
              << name << ": pixel " << x << "," << y << " outside " << t.Left << "," << t.Top << "-" << t.Right << ","
              << t.Bottom;
        }
    EXPECT_GT(changed, 0) << name;
    EXPECT_TRUE(t.Left >= 0 && t.Top >= 0 && t.Right <= 20 && t.Bottom <= 20) << name << ": beyond the image";
  }
  QImage image(20, 20, QImage::Format_RGB32);
  TCanvas canvas(&image);
  canvas.MoveTo(-5, -5);
  canvas.LineTo(-1, -9);
  EXPECT_TRUE(canvas.Touched().IsEmpty()) << "a line wholly off the image touches nothing";
}

}  // namespace
