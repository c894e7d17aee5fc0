#include "Displays.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

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

// The vector scope and the scope copy their grid from a layer drawn once; after each change the
// painted plot must be what drawing everything anew gives, pixel for pixel.
std::vector<int16_t> Ramp(int frames) {
  std::vector<int16_t> data(2 * static_cast<size_t>(frames));
  for (int k = 0; k < frames; ++k) {
    data[2 * k] = static_cast<int16_t>((k * 37) % 20000 - 10000);
    data[2 * k + 1] = static_cast<int16_t>((k * 91) % 16000 - 8000);
  }
  return data;
}

TEST(DisplayLayer, APaintFromTheLayerEqualsAFreshDrawingAfterEveryChange) {
  QWidget parent;
  parent.resize(500, 400);
  auto* scope = new TVectorScope(&parent);
  auto* waveform = new TWaveformDisplay(&parent);
  scope->SetBounds(0, 0, 329, 321);
  waveform->SetBounds(0, 0, 443, 257);
  auto feed = [](TAudioDisplay* d, int frames) {
    const std::vector<int16_t> block = Ramp(frames);
    bool continueFlag = true;
    d->ProcessSamples(block.data(), frames, continueFlag);
  };
  struct TStep {
    const char* name;
    TAudioDisplay* display;
    std::function<void()> change;
  };
  const TStep steps[] = {
      {"scope, first paint", scope, [] {}},
      {"scope, a block", scope, [&] { feed(scope, 4410); }},
      {"scope, compass rose", scope, [&] { scope->SetNavigationOverlay(true); }},
      {"scope, another block", scope, [&] { feed(scope, 4410); }},
      {"scope, background", scope, [&] { scope->SetBackgroundColour(QColor(0, 0, 96)); }},
      {"scope, font", scope, [&] {
         QFont font = scope->font();
         font.setPixelSize(17);
         scope->setFont(font);
       }},
      {"scope, graticule", scope, [&] { scope->SetNavigationOverlay(false); }},
      {"scope, size", scope, [&] { scope->SetBounds(0, 0, 250, 300); }},
      {"scope, block after resize", scope, [&] { feed(scope, 4410); }},
      {"waveform, a block", waveform, [&] { feed(waveform, 4410); }},
      {"waveform, LSB 64", waveform, [&] { waveform->SetLSB(64); }},
      {"waveform, LSB beyond the limit", waveform, [&] { waveform->SetLSB(5000); }},
      {"waveform, background", waveform, [&] { waveform->SetBackgroundColour(QColor(32, 0, 0)); }},
      {"waveform, size", waveform, [&] { waveform->SetBounds(0, 0, 300, 200); }},
      {"waveform, block after resize", waveform, [&] { feed(waveform, 4410); }},
  };
  parent.show();
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    const QImage painted = Grab(*step.display);
    QImage fresh(step.display->size(), QImage::Format_RGB32);
    fresh.fill(Qt::black);
    TCanvas canvas(&fresh);
    canvas.SetBrushColour(step.display->BackgroundColour());
    canvas.FillRect(step.display->PlotRect());
    step.display->DrawDisplay(canvas);
    int differing = 0;
    for (int y = 1; y < fresh.height() - 1; ++y)
      for (int x = 1; x < fresh.width() - 1; ++x) differing += painted.pixel(x, y) != fresh.pixel(x, y);
    EXPECT_EQ(differing, 0);
  }
}

}  // namespace
