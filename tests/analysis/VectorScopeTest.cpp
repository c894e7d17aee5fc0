#include "Displays.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QWidget>

#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <set>
#include <utility>
#include <vector>

namespace {

const QRgb Green = qRgb(0, 255, 0);
const QRgb Trace = qRgb(255, 255, 192);
const QRgb Background = qRgb(64, 64, 64);

// Interleaved frames (left, right) = f(k).
std::vector<int16_t> Frames(int count, const std::function<std::pair<int, int>(int)>& f) {
  std::vector<int16_t> data(2 * static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    const auto [left, right] = f(k);
    data[2 * k] = static_cast<int16_t>(left);
    data[2 * k + 1] = static_cast<int16_t>(right);
  }
  return data;
}

int Sine(int amplitude, int k) {
  return static_cast<int>(std::lrint(amplitude * std::sin(2 * std::numbers::pi * k / 64)));
}

struct VectorScopeTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  TVectorScope* Scope = new TVectorScope(Parent.get());

  void SetUp() override { Parent->resize(400, 400); }
  void Process(const std::vector<int16_t>& block) {
    bool continueFlag = true;
    Scope->ProcessSamples(block.data(), static_cast<int>(block.size() / 2), continueFlag);
    EXPECT_TRUE(continueFlag) << "the scope never stops capture";
  }
  QImage Grab() {
    Parent->show();
    return Scope->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  std::set<std::pair<int, int>> PixelsOf(const QImage& image, QRgb colour) {
    std::set<std::pair<int, int>> pixels;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) == colour) pixels.insert({x, y});
    return pixels;
  }
};

TEST_F(VectorScopeTest, AutomaticGainSequences) {
  Scope->SetBounds(0, 0, 66, 66);  // W = 64
  const auto steady = Frames(64, [](int k) { return std::pair{Sine(16384, k), Sine(8000, k)}; });
  const auto silence = Frames(64, [](int) { return std::pair{0, 0}; });
  const auto loud = Frames(64, [](int k) { return std::pair{k == 40 ? 32767 : 0, 0}; });

  // Peak 16384: target 2, reached from below by 10 % steps, then 2.2 and back.
  const float climb[] = {1.1f, 1.21f, 1.331f, 1.4641f, 1.61051f, 1.771561f, 1.9487171f, 2.1435888f};
  for (float expected : climb) {
    Process(steady);
    EXPECT_FLOAT_EQ(Scope->Gain(), expected);
  }
  for (int i = 0; i < 3; ++i) {
    Process(steady);
    EXPECT_EQ(Scope->Gain(), 2.0f);
    Process(steady);
    EXPECT_EQ(Scope->Gain(), 2.2f) << "the rise is not limited by the target";
  }

  // Silence aims at AGCMaxGain: from 2.2 it climbs to 21.1 (past 20), then 20 / 22.
  Scope->SetAGC(false);
  Process(silence);
  EXPECT_EQ(Scope->Gain(), 1.0f);
  Scope->SetAGC(true);
  for (int n = 1; n <= 32; ++n) {
    Process(silence);
    EXPECT_NEAR(Scope->Gain(), std::pow(1.1, n), 1e-5 * std::pow(1.1, n)) << n;
  }
  for (float expected : {20.0f, 22.0f, 20.0f, 22.0f}) {
    Process(silence);
    EXPECT_EQ(Scope->Gain(), expected);
  }

  // One loud block brings 22 down to 32768 / 32767 at once.
  Process(loud);
  EXPECT_EQ(Scope->Gain(), 32768.0f / 32767.0f);
  EXPECT_NEAR(Scope->Gain(), 1.00003, 1e-6);

  Scope->SetAGC(false);
  for (const auto* block : {&silence, &loud, &steady}) {
    Process(*block);
    EXPECT_EQ(Scope->Gain(), 1.0f);
  }

  Scope->SetAGC(true);
  Scope->SetAGCMaxGain(3);
  Scope->SetAGCDecayPercent(50);
  for (float expected : {1.5f, 2.25f, 3.375f, 3.0f, 4.5f, 3.0f}) {
    Process(silence);
    EXPECT_FLOAT_EQ(Scope->Gain(), expected);
  }
}

TEST_F(VectorScopeTest, GainOfOneBlockScalesTheNextAndShortBlocksChangeNothing) {
  Scope->SetBounds(0, 0, 323, 323);  // W = H = 321, k0 = 321 / 131072
  EXPECT_EQ(Scope->SquareSize(), 321);
  EXPECT_EQ(Scope->Scale(), 321.0f / 131072.0f);
  auto block = Frames(321, [](int k) { return std::pair{k == 0 ? 32767 : 0, 0}; });
  Process(block);
  ASSERT_GE(Scope->PointCount(), 2);
  // round(160 - 80.2497...) in both directions.
  EXPECT_EQ(Scope->LeftPoints()[0], QPoint(80, 80));
  EXPECT_FLOAT_EQ(Scope->Gain(), 1.1f) << "the target 1.00003 lies above 1: the gain rises";
  Process(block);
  EXPECT_EQ(Scope->LeftPoints()[0], QPoint(72, 72)) << "mapped at 1.1: round(160 - 88.27)";
  EXPECT_EQ(Scope->Gain(), 32768.0f / 32767.0f);
  Scope->SetAGC(false);
  Process(block);
  EXPECT_EQ(Scope->LeftPoints()[0], QPoint(80, 80));
  EXPECT_EQ(Scope->Gain(), 1.0f);

  const std::vector<QPoint> before(Scope->LeftPoints().begin(), Scope->LeftPoints().end());
  Scope->SetAGC(true);
  const auto shortBlock = Frames(320, [](int) { return std::pair{-30000, 30000}; });
  Process(shortBlock);
  EXPECT_EQ(Scope->Gain(), 1.0f);
  EXPECT_EQ(std::vector<QPoint>(Scope->LeftPoints().begin(), Scope->LeftPoints().end()), before);

  Scope->SetBounds(0, 0, 329, 321);  // the window's size: W 327, H 319
  EXPECT_EQ(Scope->PointCount(), 0) << "new bounds discard the trace";
  EXPECT_EQ(Scope->SquareSize(), 319);
  EXPECT_EQ(Scope->Scale(), 319.0f / 131072.0f);
  Process(Frames(327, [](int) { return std::pair{0, 0}; }));
  EXPECT_EQ(Scope->PointCount(), 2);
  Scope->SetBounds(5, 5, 329, 321);
  EXPECT_EQ(Scope->PointCount(), 0) << "moving counts as new bounds";
}

TEST_F(VectorScopeTest, MappingRoundsHalvesToEvenAndDropsRepeatedPixels) {
  Scope->SetBounds(0, 0, 258, 258);  // W = H = 256: k0 = 1 / 512, centre (128, 128)
  const std::pair<int, int> frames[] = {{0, 768}, {-768, 0}, {768, 0}, {0, -768}, {300, 0}};
  auto block = Frames(300, [&](int k) { return k < 5 ? frames[k] : std::pair{0, 0}; });
  Process(block);
  // 1.5 pixel offsets land on 130 and 126, never 127; frames 6 ... 254 repeat the centre and
  // are dropped, the last frame of the plotted 256 is kept anyway.
  const std::vector<QPoint> expected = {{130, 126}, {130, 130}, {126, 126}, {126, 130},
                                        {127, 127}, {128, 128}, {128, 128}};
  EXPECT_EQ(std::vector<QPoint>(Scope->LeftPoints().begin(), Scope->LeftPoints().end()), expected);

  // Only the first W frames count, for the trace and for the peak.
  block = Frames(1000, [](int k) { return std::pair{k < 256 ? 0 : 32767, k < 256 ? 0 : 32767}; });
  Scope->SetAGCMaxGain(1000);
  Process(block);
  EXPECT_EQ(Scope->PointCount(), 2);
  EXPECT_EQ(Scope->LeftPoints()[1], QPoint(128, 128));
  EXPECT_NE(Scope->Gain(), 32768.0f / 32767.0f);

}

// One channel, both in phase or in anti-phase: the trace is a line through the centre.
TEST_F(VectorScopeTest, SignalsDrawTheirLines) {
  Scope->SetBounds(0, 0, 329, 321);  // centre (163, 159)
  struct TCase {
    const char* name;
    int leftSign, rightSign;
    std::function<bool(int dx, int dy)> onLine;
  };
  const TCase cases[] = {
      {"mono", 1, 1, [](int dx, int) { return dx == 0; }},
      {"anti-phase", 1, -1, [](int, int dy) { return dy == 0; }},
      {"left only", 1, 0, [](int dx, int dy) { return dx == dy; }},
      {"right only", 0, 1, [](int dx, int dy) { return dx == -dy; }},
  };
  for (const TCase& c : cases) {
    Process(Frames(4410, [&](int k) {
      return std::pair{c.leftSign * Sine(10000, k), c.rightSign * Sine(10000, k)};
    }));
    const auto pixels = PixelsOf(Grab(), Trace);
    int left = 0, right = 0, top = 0, bottom = 0;
    for (const auto& [x, y] : pixels) {
      const int dx = x - 163, dy = y - 159;
      EXPECT_TRUE(c.onLine(dx, dy)) << c.name << " at " << x << ", " << y;
      left = std::min(left, dx);
      right = std::max(right, dx);
      top = std::min(top, dy);
      bottom = std::max(bottom, dy);
    }
    // 10000 * 319 / 131072 = 24.3 pixels per channel.
    EXPECT_GE(right - left + bottom - top, 2 * 44) << c.name;
    // Left channel up to the left: where the trace is highest it is leftmost.
    if (c.rightSign == 0) {
      EXPECT_TRUE(pixels.count({163 - 24, 159 - 24})) << c.name;
    }
  }
}

TEST_F(VectorScopeTest, GraticuleOrCompassRose) {
  Scope->SetBounds(0, 0, 329, 321);  // W 327, H 319, s 319: centre (163, 159)
  const QFontMetrics metrics(Scope->font());
  const int t = metrics.horizontalAdvance("L");
  // Pixels of the dotted axes (every other from their start), the diagonals' ends and the
  // letters' boxes.
  const QPoint axes[] = {{163, 318}, {163, 316}, {163, 300}, {4, 159}, {6, 159}, {320, 159},
                         {297, 293}, {30, 26},   {29, 293},  {296, 26}};
  const QPoint gaps[] = {{163, 317}, {163, 301}, {5, 159}, {321, 159}, {29, 25}, {297, 25}};
  const QRect letters[] = {{t + 5, 2, t, metrics.height()},
                           {322 - t, 2, metrics.horizontalAdvance("R"), metrics.height()}};
  auto anyGreen = [](const QImage& image, const QRect& box) {
    for (int y = box.top(); y <= box.bottom(); ++y)
      for (int x = box.left(); x <= box.right(); ++x)
        if (image.pixel(x, y) == Green) return true;
    return false;
  };
  // Lines crossing the circle of radius `radius` around the centre, counted by direction.
  auto raysHit = [](const QImage& image, double radius) {
    int runs = 0;
    bool inRun = false, first = false;
    for (int step = 0; step < 3600; ++step) {
      const double a = step * std::numbers::pi / 1800;
      bool hit = false;
      for (double r = radius - 8; r <= radius + 8 && !hit; r += 0.5)
        hit = image.pixel(int(std::lround(163 + std::sin(a) * r)),
                          int(std::lround(159 - std::cos(a) * r))) == Green;
      if (step == 0) first = hit;
      if (hit && !inRun) ++runs;
      inRun = hit;
    }
    return inRun && first ? runs - 1 : runs;  // a run across bearing 0 counts once
  };

  Process(Frames(4410, [](int k) { return std::pair{Sine(20000, k), Sine(5000, k + 7)}; }));
  QImage image = Grab();
  for (const QPoint& p : axes) EXPECT_EQ(image.pixel(p), Green) << p.x() << ", " << p.y();
  for (const QPoint& p : gaps) EXPECT_EQ(image.pixel(p), Background) << p.x() << ", " << p.y();
  for (const QRect& box : letters) EXPECT_TRUE(anyGreen(image, box));
  EXPECT_EQ(raysHit(image, 100), 8) << "two axes and two diagonals";
  const auto trace = PixelsOf(image, Trace);
  ASSERT_GT(trace.size(), 50u);

  Scope->SetNavigationOverlay(true);
  image = Grab();
  for (const QPoint& p : axes) EXPECT_EQ(image.pixel(p), Background) << p.x() << ", " << p.y();
  for (const QRect& box : letters) EXPECT_FALSE(anyGreen(image, box));
  const double r = 329 / 2.0 - metrics.horizontalAdvance("00");
  EXPECT_EQ(raysHit(image, 0.5 * r), 16) << "spokes";
  for (int i = 0; i < 36; ++i) {
    const double a = i * std::numbers::pi / 18;
    const QString text = QString::number(10 * i);
    const int w = metrics.horizontalAdvance(text), h = metrics.height();
    const QRect box(int(std::lround(163 + std::sin(a) * r)) - w / 2,
                    int(std::lround(159 - std::cos(a) * r)) - h / 2, w, h);
    EXPECT_TRUE(anyGreen(image, box)) << "bearing " << 10 * i;
  }
  EXPECT_EQ(PixelsOf(image, Trace), trace) << "the trace does not depend on the overlay";
}

}  // namespace
