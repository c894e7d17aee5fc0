// What the spectrum display shows: grid, bars, trace, spectrogram ring, captions, readouts and
// the peak search, checked on the grabbed picture.
#include "DisplaySpectrum.h"
#include "WaveCommon.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QWidget>

#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

namespace {

using TFrames = std::vector<int16_t>;
const QRgb kGrid = qRgb(0, 255, 0);
const QRgb kTrace = qRgb(255, 255, 192);
const QRgb kBackground = qRgb(64, 64, 64);

TFrames Sine(int frames, double hz, double amplitude) {
  TFrames f(2 * static_cast<std::size_t>(frames));
  for (int j = 0; j < frames; ++j)
    f[2 * j] = f[2 * j + 1] = static_cast<int16_t>(
        std::lrint(amplitude * 32767 * std::sin(2 * std::numbers::pi * hz * j / 44100)));
  return f;
}

TFrames Noise(int frames, int amplitude) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> v(-amplitude, amplitude);
  TFrames f(2 * static_cast<std::size_t>(frames));
  for (auto& s : f) s = static_cast<int16_t>(v(rng));
  return f;
}

// A display whose drawn trace or column values a test can set point by point, and whose grid
// can be made to take a known time to draw.
struct TProbe : TSpectrumDisplay {
  using TSpectrumDisplay::TSpectrumDisplay;
  void SetTrace(const std::vector<int>& rows) {
    FPointCount = static_cast<int>(rows.size());
    FTraceRows.assign(rows.begin(), rows.end());
    for (std::size_t j = 0; j < rows.size(); ++j)
      FLeftPoints[j] = QPoint(static_cast<int>(j) + 1, rows[j]);
  }
  void SetValues(const std::vector<float>& powers) {
    std::copy(powers.begin(), powers.end(), FColumns[0].begin());
    FPointCount = static_cast<int>(powers.size());
  }
  void DrawLayer(TCanvas& canvas) override {
    TSpectrumDisplay::DrawLayer(canvas);
    std::this_thread::sleep_for(std::chrono::milliseconds(LayerCostMs));
  }
  int LayerCostMs = 0;
};

struct SpectrumDrawTest : ::testing::Test {
  QWidget Parent;
  TProbe* Display = new TProbe(&Parent);
  void SetUp() override {
    Display->setObjectName("SpectrumDisplay1");
    Display->SetBounds(24, 32, 443, 258);  // W 441, H 256
    Display->SetMaxdB(-10);
    Display->SetMindB(-90);
    Display->UpdateScaleLabels();
  }
  void Show(TSpectrumDisplayMode mode, int min, int max) {
    Display->SetFreqMin(min);
    Display->SetFreqMax(max);
    Display->SetMode(mode);
  }
  void Feed(const TFrames& frames) {
    bool go = true;
    Display->ProcessSamples(frames.data(), static_cast<int>(frames.size() / 2), go);
  }
  QImage Grab() {
    Parent.resize(600, 400);
    Parent.show();  // a hidden display paints nothing
    return Display->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  QString Text(const char* suffix) {
    auto* label = Parent.findChild<QLabel*>(QString("SpectrumDisplay1") + suffix);
    return label && label->isVisibleTo(&Parent) ? label->text() : QString("(hidden)");
  }
};

// Outside the spectrograms the grid is copied from a layer drawn once; after each change the
// painted plot must be what drawing everything anew gives, pixel for pixel.
TEST_F(SpectrumDrawTest, APaintFromTheLayerEqualsAFreshDrawingAfterEveryChange) {
  const TFrames tone = Sine(4096, 1000, 0.3);
  struct TStep {
    const char* name;
    std::function<void()> change;
  };
  const TStep steps[] = {
      {"bars", [&] { Feed(tone); }},
      {"top of the scale", [&] { Display->SetMaxdB(-20); }},
      {"bars again", [&] { Feed(tone); }},
      {"bottom of the scale", [&] { Display->SetMindB(-110); }},
      {"linear trace", [&] { Show(sdLinFreq, 0, 5000); }},
      {"trace", [&] { Feed(tone); }},
      {"marker", [&] { Display->SetMarkerF1(1000); }},
      {"trace with marker", [&] { Feed(tone); }},
      {"range", [&] { Display->SetFreqMax(8000); }},
      {"log trace", [&] { Show(sdLogFreq, 20, 20000); Feed(tone); }},
      {"spectrogram", [&] { Show(sdLinSpectrogram, 0, 5000); Feed(tone); }},
      {"bars after the spectrogram", [&] { Show(sdOctave3, 0, 22050); Feed(tone); }},
      {"background", [&] { Display->SetBackgroundColour(QColor(0, 0, 80)); }},
      {"size", [&] { Display->SetBounds(24, 32, 300, 200); Feed(tone); }},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    const QImage painted = Grab();
    QImage fresh(Display->size(), QImage::Format_RGB32);
    fresh.fill(Qt::black);
    TCanvas canvas(&fresh);
    canvas.SetBrushColour(Display->BackgroundColour());
    canvas.FillRect(Display->PlotRect());
    Display->DrawDisplay(canvas);
    int differing = 0;
    for (int y = 1; y < fresh.height() - 1; ++y)
      for (int x = 1; x < fresh.width() - 1; ++x) differing += painted.pixel(x, y) != fresh.pixel(x, y);
    EXPECT_EQ(differing, 0);
  }
}

// A block repaints only the bounding box of the pixels it changed, and a block that changes no
// pixel repaints nothing; what the screen then shows is what drawing everything anew gives.
TEST_F(SpectrumDrawTest, ABlockRepaintsOnlyThePixelsItChanged) {
  struct TPaints : QObject {
    QRegion region;
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) {
        region += static_cast<QPaintEvent*>(e)->region();
        ++count;
      }
      return false;
    }
  } paints;
  Display->installEventFilter(&paints);
  Display->SetMovingAverage(false);
  const TFrames tone = Sine(4096, 1000, 0.3), louder = Sine(4096, 1000, 0.6), other = Sine(4096, 3000, 0.3);
  struct TStep {
    const char* name;
    TSpectrumDisplayMode mode;
    const TFrames* block;
    bool changes;
  };
  const TStep steps[] = {
      {"bars, first block", sdOctave3, &tone, true},  {"bars, same block", sdOctave3, &tone, false},
      {"bars, louder", sdOctave3, &louder, true},     {"trace, a tone", sdLinFreq, &tone, true},
      {"trace, same block", sdLinFreq, &tone, false}, {"trace, another tone", sdLinFreq, &other, true},
  };
  TSpectrumDisplayMode mode = sdOctave3;
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.mode != mode) {
      Show(mode = step.mode, 0, 22050);
      Feed(louder);
    }
    const QImage before = Grab();
    QCoreApplication::processEvents();
    paints.region = QRegion();
    paints.count = 0;
    Feed(*step.block);
    QCoreApplication::processEvents();
    const int count = paints.count;
    const QRegion region = paints.region;
    const QImage shown = Display->Picture().copy();  // what the repaint copied to the screen
    const QImage after = Grab();
    EXPECT_EQ(shown, after);
    QRect changed;
    for (int y = 0; y < after.height(); ++y)
      for (int x = 0; x < after.width(); ++x)
        if (before.pixel(x, y) != after.pixel(x, y)) changed |= QRect(x, y, 1, 1);
    EXPECT_EQ(changed.isEmpty(), !step.changes);
    EXPECT_EQ(Display->RedrawnRect(), changed);
    EXPECT_EQ(count, step.changes ? 1 : 0);
    EXPECT_EQ(region.boundingRect(), changed);
  }
}

TEST_F(SpectrumDrawTest, GridStepFollowsTheSpanAndLabelsTheLevels) {
  EXPECT_EQ(SpectrumGridStep(8), 1);
  EXPECT_EQ(SpectrumGridStep(9), 2);
  EXPECT_EQ(SpectrumGridStep(17), 5);
  EXPECT_EQ(SpectrumGridStep(80), 10);
  EXPECT_EQ(SpectrumGridStep(81), 20);
  Show(sdLogFreq, 20, 20000);
  QImage image = Grab();
  for (int level = -90; level <= -10; level += 5)
    EXPECT_EQ(image.pixel(5, Display->LevelToRow(level)) == kGrid, level % 10 == 0) << level;
  for (int k = 0; k <= 8; ++k)
    EXPECT_EQ(Text(("_Y" + std::to_string(k)).c_str()), QString::number(-90 + 10 * k)) << k;
  EXPECT_EQ(Text("_Y9"), "(hidden)");
  // Label 0 centred on the row of its level, 4 pixels left of the display.
  auto* y0 = Parent.findChild<QLabel*>("SpectrumDisplay1_Y0");
  EXPECT_EQ(y0->y(), 32 + 1 + Display->LevelToRow(-90) - y0->height() / 2);
  EXPECT_EQ(y0->x() + y0->width(), 24 - 4);

  Display->SetMindB(-91);  // span 81: 20 dB steps
  image = Grab();
  EXPECT_EQ(image.pixel(5, Display->LevelToRow(-80)), kGrid);
  EXPECT_NE(image.pixel(5, Display->LevelToRow(-90)), kGrid);
  EXPECT_EQ(Text("_Y0"), "-80");
  EXPECT_EQ(Text("_Y3"), "-20");
  EXPECT_EQ(Text("_Y4"), "(hidden)");
}

TEST_F(SpectrumDrawTest, FrequencyCaptionsPerMode) {
  EXPECT_EQ(SpectrumFrequencyText(12000), "12K");
  EXPECT_EQ(SpectrumFrequencyText(2500), "2.5K");
  EXPECT_EQ(SpectrumFrequencyText(1000), "1000");
  EXPECT_EQ(SpectrumFrequencyText(300), "300");
  Show(sdOctave3, 0, 0);
  EXPECT_EQ(Text("_X1"), "31");
  EXPECT_EQ(Text("_X3"), "125");
  EXPECT_EQ(Text("_X6"), "1K");
  EXPECT_EQ(Text("_X10"), "16KHz");
  EXPECT_EQ(Text("_X0"), "(hidden)");
  auto* x10 = Parent.findChild<QLabel*>("SpectrumDisplay1_X10");
  EXPECT_EQ(x10->x(), 24 + 1 + 19 * 441 / 20 - x10->width() / 2);
  EXPECT_EQ(x10->y(), 32 + 258 + 4);

  Show(sdLinFreq, 0, 22050);
  EXPECT_EQ(Text("_X0"), "0");
  EXPECT_EQ(Text("_X5"), "11K");
  EXPECT_EQ(Text("_X10"), "22K");
  Show(sdLogFreq, 20, 20000);
  EXPECT_EQ(Text("_X0"), "20");
  EXPECT_EQ(Text("_X5"), "632");
  EXPECT_EQ(Text("_X10"), "20K");
  Show(sdLogSpectrogram, 80, 15000);
  EXPECT_EQ(Text("_Y0"), "15K");
  EXPECT_EQ(Text("_Y10"), "80");
  EXPECT_EQ(Text("_X5"), "(hidden)");
  auto* y10 = Parent.findChild<QLabel*>("SpectrumDisplay1_Y10");
  EXPECT_EQ(y10->y(), 32 + 1 + 255 - y10->height() / 2);
  EXPECT_EQ(y10->x() + y10->width(), 24 - 2);
}

TEST_F(SpectrumDrawTest, BarsFillThirtySlots) {
  Display->SetMaxdB(20);
  Display->SetMindB(-120);
  Show(sdOctave3, 0, 0);
  Feed(Noise(4096, 20000));
  const QImage image = Grab();
  const int y = 255;  // above the bottom grid line, below every bar's top
  for (int x : {14, 28, 411, 425}) EXPECT_NE(image.pixel(x, y), kTrace) << x;
  for (int x : {15, 27, 412, 424}) EXPECT_EQ(image.pixel(x, y), kTrace) << x;
  // Two free columns between neighbouring bars.
  EXPECT_NE(image.pixel(29, y), kTrace);
  EXPECT_EQ(image.pixel(30, y), kTrace);
}

TEST_F(SpectrumDrawTest, TraceMarkersAndReadouts) {
  Display->SetMovingAverage(false);
  Show(sdLinFreq, 0, 2000);
  Display->SetMarkerF1(1000);
  TWaveIn source;
  Display->SetSource(&source);  // drawing time goes to the source's total
  Feed(Sine(4096, 1000, 0.1));
  const QImage image = Grab();
  EXPECT_GT(source.PlotTicks, 0.0);
  Display->SetSource(nullptr);
  // The dotted marker line: set, clear, set down column 220.
  EXPECT_EQ(image.pixel(220, 1), kGrid);
  EXPECT_EQ(image.pixel(220, 2), kBackground);
  EXPECT_EQ(image.pixel(220, 3), kGrid);
  // The trace peaks near column 221 (trace point j on column j + 1); column 1 is never drawn.
  int top = 1 << 30, peak = 0;
  for (int x = 2; x <= 441; ++x)
    for (int y = 1; y <= 256; ++y)
      if (image.pixel(x, y) == kTrace && y < top) top = y, peak = x;
  EXPECT_NEAR(peak, 221, 1);
  for (int y = 1; y <= 256; ++y) EXPECT_NE(image.pixel(1, y), kTrace) << y;

  float f = 0, l = 0;
  ASSERT_TRUE(Display->Readout(221, 1, f, l));
  EXPECT_NEAR(f, 1000.0, 0.01);
  EXPECT_EQ(l, -10.0f);
  EXPECT_FALSE(Display->Readout(443, 10, f, l));
  Show(sdOctave3, 0, 0);
  EXPECT_FALSE(Display->Readout(100, 100, f, l));
  Show(sdLinSpectrogram, 0, 10000);
  ASSERT_TRUE(Display->Readout(300, 256, f, l));  // the bottom row: the lowest frequency
  EXPECT_EQ(f, 0.0f);
  EXPECT_EQ(l, -10.0f);
  ASSERT_TRUE(Display->Readout(5, 1, f, l));
  EXPECT_NEAR(f, 10000.0, 0.05);
  EXPECT_EQ(l, -10.0f);
}

TEST_F(SpectrumDrawTest, PeakSearchEdgesAndMidpoints) {
  Show(sdLinFreq, 0, 22050);  // entry i is about 50.11 i Hz
  const float step = 22050.0f / 440;
  std::vector<int> rows(441, 200);
  // A peak of rows 100 ... 104 on points 50 ... 54 (even width), another on 80 ... 83 (odd).
  for (int j = 50; j <= 54; ++j) rows[j] = 100 + std::abs(j - 52);
  for (int j = 80; j <= 83; ++j) rows[j] = 100;
  Display->SetTrace(rows);
  struct TClick {
    int x, y;
    bool found;
    float frequency, level;
  };
  const TClick clicks[] = {
      {53, 150, true, 52 * step, Display->RowToLevel(100)},   // edges 49 and 55: point 52
      {82, 150, true, 81.5f * step, Display->RowToLevel(100)},  // edges 79 and 84: 81 and 82
      {1, 150, false, 0, 0},  {2, 150, false, 0, 0},  {441, 150, false, 0, 0},
      {300, 250, false, 0, 0},  // no point below row 250 within 17 points
  };
  for (const TClick& c : clicks) {
    float f = 0, l = 0;
    EXPECT_EQ(Display->FindPeak(c.x, c.y, f, l), c.found) << c.x << ", " << c.y;
    if (!c.found) continue;
    EXPECT_NEAR(f, c.frequency, 0.02) << c.x;
    EXPECT_NEAR(l, c.level, 1e-4) << c.x;
  }
  // A click on point 2: the left edge is point 0; the right edge counts at most 17 points.
  for (int edge : {19, 20}) {
    rows.assign(441, 100);
    rows[0] = rows[edge] = 200;
    Display->SetTrace(rows);
    float f = 0, l = 0;
    ASSERT_EQ(Display->FindPeak(3, 150, f, l), edge == 19) << edge;
    if (edge == 19) {
      EXPECT_NEAR(f, 9.5f * step, 0.02);  // odd: between points 9 and 10
    }
  }
  float f = 0, l = 0;
  Show(sdLogSpectrogram, 80, 15000);
  EXPECT_FALSE(Display->FindPeak(3, 150, f, l));
}

// A tone far above a scale zoomed near the floor reads its own level, as on a scale that shows
// it: -20 dB, whether the peak is one point (even stretch) or two (odd).
TEST_F(SpectrumDrawTest, APeakReadsTheTracesOwnLevelWhateverTheScale) {
  Show(sdLinFreq, 0, 22050);  // entry i is 22050 i / 440 Hz
  struct TCase {
    int maxdB, mindB;
    std::vector<int> top;  // points at -20 dB, flanked by points at -50 dB, -100 dB elsewhere
    float frequency;
  };
  const TCase cases[] = {
      {-10, -90, {100}, 100 * 22050.0f / 440},        {-80, -100, {100}, 100 * 22050.0f / 440},
      {-10, -90, {100, 101}, 100.5f * 22050.0f / 440}, {-80, -100, {100, 101}, 100.5f * 22050.0f / 440},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.maxdB << " ... " << c.mindB << " dB, " << c.top.size() << " point(s)");
    Display->SetMaxdB(c.maxdB);
    Display->SetMindB(c.mindB);
    std::vector<float> powers(441, 1e-10f);
    for (int j : c.top) powers[static_cast<std::size_t>(j)] = 1e-2f;
    powers[static_cast<std::size_t>(c.top.front() - 1)] = powers[static_cast<std::size_t>(c.top.back() + 1)] = 1e-5f;
    Display->SetValues(powers);
    Grab();
    float f = 0, l = 0;
    ASSERT_TRUE(Display->FindPeak(101, 100, f, l));
    EXPECT_NEAR(f, c.frequency, 0.02);
    EXPECT_NEAR(l, -20.0f, 0.2f);  // a row is 0.08 dB or 0.31 dB
  }
}

// Bars and traces copy their grid from a layer; drawing or copying it counts in the plot time
// as it does where the grid is drawn with everything else.
TEST_F(SpectrumDrawTest, PlotTimeCountsTheGridInEveryMode) {
  TWaveIn source;
  Display->SetSource(&source);
  Display->LayerCostMs = 20;
  struct TCase {
    TSpectrumDisplayMode mode;
    int min, max;
  };
  for (const TCase& c : {TCase{sdOctave3, 0, 0}, TCase{sdLogFreq, 20, 20000}, TCase{sdLinFreq, 0, 22050},
                         TCase{sdLinSpectrogram, 0, 10000}}) {
    Show(c.mode, c.min, c.max);  // a new grid
    source.PlotTicks = 0;
    Grab();
    EXPECT_GE(source.PlotTicks, 0.02 * PerfCounterFrequency) << c.mode;
  }
  Display->LayerCostMs = 0;
  Display->SetSource(nullptr);
}

TEST_F(SpectrumDrawTest, PalettesAndTheSpectrogramRing) {
  const auto colour = SpectrogramPalette(false);
  EXPECT_EQ(colour[0], qRgb(0, 0, 0));
  EXPECT_EQ(colour[64], qRgb(24, 24, 64));
  EXPECT_EQ(colour[128], qRgb(128, 128, 128));
  EXPECT_EQ(colour[192], qRgb(232, 232, 192));
  EXPECT_EQ(colour[255], qRgb(255, 255, 255));
  const auto grey = SpectrogramPalette(true);
  for (int i : {0, 1, 100, 255}) EXPECT_EQ(grey[i], qRgb(i, i, i));
  EXPECT_EQ(Display->Palette(), colour);

  const TFrames tone = Sine(16384, 5000, 0.5), silence(2 * 16384, 0);
  for (int power : {12, 14}) {
    Display->SetFFTpower(power);
    Show(sdLinSpectrogram, 0, 10000);
    const int perBlock = Display->N() / 2048;
    const int toneRow = 256 - 127;  // 5000 Hz is half way up
    // Alternate tone and silence well past one turn of the ring; the newest block is always at
    // the right edge and the one before it next to it.
    const int blocks = 441 / perBlock + 7;
    for (int b = 0; b < blocks; ++b) {
      Feed(b % 2 == 0 ? silence : tone);
      const QImage image = Grab();
      const bool newestIsTone = b % 2 == 1;
      for (int k = 1; k <= perBlock; ++k) {
        ASSERT_EQ(image.pixel(442 - k, toneRow) == colour[0], !newestIsTone)
            << "N " << Display->N() << " block " << b << " column " << 442 - k;
        if (b > 0) {
          ASSERT_EQ(image.pixel(442 - perBlock - k, toneRow) == colour[0], newestIsTone)
              << "N " << Display->N() << " block " << b;
        }
      }
    }
    EXPECT_EQ(Display->ColumnsPerBlock(), perBlock);
  }
}

}  // namespace
