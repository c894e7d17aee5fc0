#include "Displays.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLocale>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace {

const QRgb Blue = qRgb(0, 0, 255);
const QRgb Red = qRgb(255, 0, 0);
const QRgb Green = qRgb(0, 255, 0);
const QRgb Background = qRgb(64, 64, 64);

// Interleaved frames with left(k) and right(k).
std::vector<int16_t> Block(int frames, const std::function<int(int)>& left,
                           const std::function<int(int)>& right) {
  std::vector<int16_t> data(2 * static_cast<size_t>(frames));
  for (int k = 0; k < frames; ++k) {
    data[2 * k] = static_cast<int16_t>(left(k));
    data[2 * k + 1] = static_cast<int16_t>(right(k));
  }
  return data;
}

struct WaveformTest : ::testing::Test {
  std::unique_ptr<QWidget> Parent = std::make_unique<QWidget>();
  TWaveformDisplay* Scope = new TWaveformDisplay(Parent.get());

  void SetUp() override {
    Parent->resize(700, 500);
    Scope->setObjectName(QStringLiteral("Scope"));
  }
  // W = 441 and H = 257: with LSB 1 a sample value v lands on row 129 - v.
  void UseUnitScale() {
    Scope->SetBounds(0, 0, 443, 259);
    Scope->SetLSB(1);
  }
  bool Process(const std::vector<int16_t>& block) {
    bool continueFlag = true;
    Scope->ProcessSamples(block.data(), static_cast<int>(block.size() / 2), continueFlag);
    return continueFlag;
  }
  QImage Grab() { return Scope->grab().toImage().convertToFormat(QImage::Format_RGB32); }
};

TEST_F(WaveformTest, TimebaseTableFallbackAndSourceBlockLength) {
  auto source = std::make_unique<TWaveIn>();
  Scope->SetTimebase(wtb__50ms);
  Scope->SetSource(source.get());
  EXPECT_EQ(source->BufferSamples(), 22050) << "the source is sized when attached";

  struct TRow {
    TWaveformTimebase timebase;
    int ms, sweep, blockLength;
  };
  const TRow rows[] = {{wtb___1ms, 1, 441, 4410},     {wtb___2ms, 2, 882, 4410},
                       {wtb___5ms, 5, 2205, 4410},    {wtb__10ms, 10, 4410, 4410},
                       {wtb__20ms, 20, 8820, 8820},   {wtb__50ms, 50, 22050, 22050},
                       {wtb_100ms, 100, 44100, 44100}};
  for (const TRow& row : rows) {
    Scope->SetTimebase(row.timebase);
    EXPECT_EQ(Scope->MsPerDivision(), row.ms) << row.timebase;
    EXPECT_EQ(Scope->SweepLength(), row.sweep) << row.timebase;
    EXPECT_EQ(source->BufferSamples(), row.blockLength) << row.timebase;
  }

  for (int bad : {7, -1, 1000}) {
    Scope->SetTimebase(wtb___1ms);
    Scope->SetTimebase(static_cast<TWaveformTimebase>(bad));
    EXPECT_EQ(Scope->Timebase(), wtb__10ms) << bad;
    EXPECT_EQ(Scope->SweepLength(), 4410) << bad;
  }

  source.reset();
  EXPECT_EQ(Scope->Source(), nullptr) << "a destroyed stream is not left dangling";
  Scope->SetTimebase(wtb_100ms);  // and sizing nothing is harmless
  EXPECT_EQ(Scope->SweepLength(), 44100);
}

TEST_F(WaveformTest, FullScaleValueAndGraticuleRows) {
  // H = 255, LSB 256: 32760 is round(-254 * 32760 / 65536) = -127 rows from centre row 128.
  Scope->SetBounds(0, 0, 443, 257);
  Parent->show();
  Process(Block(4410, [](int) { return 32760; }, [](int) { return -4096; }));
  ASSERT_EQ(Scope->PointCount(), 441);
  EXPECT_EQ(Scope->LeftPoints()[0], QPoint(1, 1));
  EXPECT_EQ(Scope->LeftPoints()[440], QPoint(441, 1));
  EXPECT_EQ(Scope->RightPoints()[0], QPoint(1, 144));  // round(254 * 4096 / 65536) = 16

  const QImage image = Grab();
  EXPECT_EQ(image.pixel(10, 1), Blue);
  EXPECT_EQ(image.pixel(440, 1), Blue);
  EXPECT_EQ(image.pixel(441, 1), Background) << "a polyline stops short of its last point";
  EXPECT_EQ(image.pixel(10, 144), Red);
  EXPECT_EQ(image.pixel(10, 2), Background);

  // Seven lines at -31.75 i rows from the centre (ties to even at i = +-2), nine columns at
  // i * W / 10 + 1.
  const int rows[] = {33, 64, 96, 128, 160, 192, 223};
  for (int y : rows) {
    EXPECT_EQ(image.pixel(10, y), Green) << y;
    EXPECT_EQ(image.pixel(441, y), Green) << y;
    EXPECT_EQ(image.pixel(10, y + 1), Background) << y;
  }
  const int columns[] = {45, 89, 133, 177, 221, 265, 309, 353, 397};
  for (int x : columns) {
    EXPECT_EQ(image.pixel(x, 10), Green) << x;
    EXPECT_EQ(image.pixel(x, 255), Green) << x;
    EXPECT_EQ(image.pixel(x + 1, 10), Background) << x;
    EXPECT_EQ(image.pixel(x, 1), Blue) << "traces are drawn over the graticule";
  }
}

TEST_F(WaveformTest, OneMsPerDivisionShowsTheFirst441Frames) {
  UseUnitScale();
  Scope->SetTimebase(wtb___1ms);
  Process(Block(
      4410, [](int k) { return k < 441 ? k % 100 - 50 : 1000; },
      [](int k) { return k < 441 ? k % 7 : -1000; }));
  ASSERT_EQ(Scope->PointCount(), 441);
  for (int j = 0; j < 441; ++j) {
    ASSERT_EQ(Scope->LeftPoints()[j], QPoint(j + 1, 129 - (j % 100 - 50))) << j;
    ASSERT_EQ(Scope->RightPoints()[j], QPoint(j + 1, 129 - j % 7)) << j;
  }
}

TEST_F(WaveformTest, HundredMsPerDivisionPlotsTruncatedMeansOf100Frames) {
  UseUnitScale();
  Scope->SetTimebase(wtb_100ms);
  // In group j (frames 100 j ... 100 j + 99), with m = j mod 5, the left sum is -(100 m + 99)
  // and the right sum 100 m + 99: the means truncate toward zero to -m and m. The block runs on
  // past the sweep with values that must not show.
  auto left = [](int k) { return k >= 44100 ? 30000 : k % 100 == 0 ? -(100 * (k / 100 % 5) + 99) : 0; };
  auto right = [](int k) { return k >= 44100 ? 30000 : k % 100 == 99 ? 100 * (k / 100 % 5) + 99 : 0; };

  bool continueFlag = true;
  const auto shortBlock = Block(44099, left, right);
  Scope->ProcessSamples(shortBlock.data(), 44099, continueFlag);
  EXPECT_EQ(Scope->PointCount(), 0) << "a block shorter than the sweep is ignored";

  Process(Block(44100 + 441, left, right));
  ASSERT_EQ(Scope->PointCount(), 441);
  for (int j = 0; j < 441; ++j) {
    ASSERT_EQ(Scope->LeftPoints()[j], QPoint(j + 1, 129 + j % 5)) << j;
    ASSERT_EQ(Scope->RightPoints()[j], QPoint(j + 1, 129 - j % 5)) << j;
  }

  Scope->SetTimebase(wtb___2ms);
  EXPECT_EQ(Scope->PointCount(), 0) << "a new time base discards the traces";
}

TEST_F(WaveformTest, NarrowPlotKeepsTheFirstPointOfEachColumn) {
  Scope->SetBounds(0, 0, 302, 259);  // W = 300, H = 257
  Scope->SetLSB(1);
  Scope->SetTimebase(wtb___1ms);
  const auto block = Block(4410, [](int k) { return k; }, [](int k) { return -k; });
  Process(block);
  ASSERT_EQ(Scope->PointCount(), 300);
  for (int i = 0; i < 300; ++i) {
    const int first = (i * 440 + 298) / 299;  // smallest j with j * 299 div 440 = i
    ASSERT_EQ(Scope->LeftPoints()[i], QPoint(i + 1, 129 - first)) << i;
    ASSERT_EQ(Scope->RightPoints()[i], QPoint(i + 1, 129 + first)) << i;
  }

  // One point per pixel column from the first frame on, as many as fit.
  Scope->SetUncalibrated(true);
  Process(block);
  ASSERT_EQ(Scope->PointCount(), 300);
  EXPECT_EQ(Scope->LeftPoints()[0], QPoint(1, 129));
  EXPECT_EQ(Scope->LeftPoints()[299], QPoint(300, 129 - 299));
}

TEST_F(WaveformTest, SingleSweepTraceOffsetAndLSBLimits) {
  UseUnitScale();
  Scope->SetSingleSweep(true);
  const auto full = Block(4410, [](int) { return 5; }, [](int) { return 5; });
  EXPECT_FALSE(Process(full));
  EXPECT_FALSE(Process(full)) << "after every drawn block";
  const int points = Scope->PointCount();
  EXPECT_TRUE(Process(Block(4409, [](int) { return 9; }, [](int) { return 9; })))
      << "an ignored short block leaves the flag alone";
  EXPECT_EQ(Scope->PointCount(), points);
  EXPECT_EQ(Scope->LeftPoints()[0].y(), 129 - 5);
  Scope->SetSingleSweep(false);
  Scope->SetTraceOffset(64);
  EXPECT_TRUE(Process(full));
  EXPECT_EQ(Scope->LeftPoints()[0].y(), 129 - 5 - 64) << "left trace raised";
  EXPECT_EQ(Scope->RightPoints()[0].y(), 129 - 5 + 64) << "right trace lowered";
  Scope->SetTraceOffset(0);

  Scope->SetLSB(0);
  EXPECT_EQ(Scope->LSB(), 0) << "stored as given until a block arrives";
  Parent->show();
  EXPECT_EQ(Grab().pixel(10, 129 - 32), Green) << "drawn as LSB 1 meanwhile";
  Process(full);
  EXPECT_EQ(Scope->LSB(), 1);
  EXPECT_EQ(Scope->LeftPoints()[0].y(), 129 - 5);
  Scope->SetLSB(1000);
  Process(full);
  EXPECT_EQ(Scope->LSB(), 512);
}

TEST_F(WaveformTest, FloatFramesAreRoundedHalfToEvenAndWrapTo16Bits) {
  UseUnitScale();
  Scope->SetTimebase(wtb___1ms);
  std::vector<float> frames(2 * 4410);
  const float lefts[] = {2.5f, 3.5f, 65537.0f, -0.5f};
  const float rights[] = {-1.5f, 40000.0f};
  for (int k = 0; k < 4410; ++k) {
    frames[2 * k] = lefts[k % 4];
    frames[2 * k + 1] = rights[k % 2];
  }
  Scope->ProcessFloatSamples(frames.data(), 4410);
  ASSERT_EQ(Scope->PointCount(), 441);
  const int leftValues[] = {2, 4, 1, 0};
  const int rightValues[] = {-2, 40000 - 65536};
  for (int j = 0; j < 8; ++j) {
    EXPECT_EQ(Scope->LeftPoints()[j].y(), 129 - leftValues[j % 4]) << j;
    EXPECT_EQ(Scope->RightPoints()[j].y(), 129 - rightValues[j % 2]) << j;
  }

  Scope->SetSingleSweep(true);  // the flag of a float block goes nowhere
  std::fill(frames.begin(), frames.end(), 7.0f);
  Scope->ProcessFloatSamples(frames.data(), 440);
  EXPECT_EQ(Scope->LeftPoints()[0].y(), 129 - 2) << "shorter than a sweep: ignored";
  Scope->ProcessFloatSamples(frames.data(), 441);
  EXPECT_EQ(Scope->PointCount(), 441);
  EXPECT_EQ(Scope->LeftPoints()[0].y(), 129 - 7);
}

struct WaveformLabelTest : WaveformTest {
  QLocale Previous;
  void SetUp() override {
    WaveformTest::SetUp();
    QLocale::setDefault(QLocale::c());
    Scope->SetBounds(60, 20, 443, 263);  // W = 441, H = 261
    Parent->show();
  }
  void TearDown() override { QLocale::setDefault(Previous); }
  QLabel* Label(const char* suffix) {
    return Parent->findChild<QLabel*>(QStringLiteral("Scope") + QLatin1String(suffix),
                                      Qt::FindDirectChildrenOnly);
  }
  QStringList Texts(const char* axis, int count) {
    QStringList texts;
    for (int i = 0; i < count; ++i) {
      const QByteArray suffix = QByteArray(axis) + QByteArray::number(i);
      QLabel* label = Label(suffix.constData());
      texts << (label ? label->text() : QStringLiteral("<missing>"));
    }
    return texts;
  }
};

TEST_F(WaveformLabelTest, CaptionTextsAndPlaces) {
  EXPECT_EQ(Parent->findChildren<QLabel*>().size(), 0);
  Scope->UpdateScaleLabels();
  Scope->UpdateScaleLabels();
  EXPECT_EQ(Parent->findChildren<QLabel*>().size(), 20) << "created once";

  EXPECT_EQ(Texts("_Y", 9), QStringList({"-32K", "-24K", "-16K", "-8K", "0", "8K", "16K", "24K",
                                         "32K"}));
  EXPECT_EQ(Texts("_X", 11),
            QStringList({"0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100ms"}));

  // Rows from the centre: -32.5 i for H = 261, halves to even; top = offset + 131 + 20 - 6.
  const struct {
    const char* name;
    int top;
  } places[] = {{"_Y0", 275}, {"_Y1", 243}, {"_Y3", 177}, {"_Y4", 145}, {"_Y5", 113}, {"_Y8", 15}};
  for (const auto& place : places) {
    QLabel* label = Label(place.name);
    ASSERT_NE(label, nullptr) << place.name;
    EXPECT_TRUE(label->isVisible()) << place.name;
    EXPECT_EQ(label->y(), place.top) << place.name;
    EXPECT_EQ(label->x() + label->width(), 60 - 4) << place.name;
  }
  for (int n : {0, 5, 10}) {
    QLabel* label = Label(QByteArray("_X" + QByteArray::number(n)).constData());
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->y(), 20 + 263 + 4);
    EXPECT_EQ(label->x(), 60 + n * 441 / 10 - label->width() / 2) << n;
  }

  Scope->SetLSB(1);
  EXPECT_EQ(Texts("_Y", 9),
            QStringList({"-128", "-96", "-64", "-32", "0", "32", "64", "96", "128"}));
  EXPECT_EQ(Label("_Y5")->y(), 113);
  Scope->SetLSB(16);
  EXPECT_EQ(Texts("_Y", 9)[0], "-2K");
  EXPECT_EQ(Texts("_Y", 9)[3], "-512");

  Scope->SetTimebase(wtb_100ms);
  EXPECT_EQ(Texts("_X", 11), QStringList({"0.0", "0.1", "0.2", "0.3", "0.4", "0.5", "0.6", "0.7",
                                          "0.8", "0.9", "1.0s"}));

  Scope->SetBounds(80, 30, 443, 263);
  EXPECT_EQ(Label("_Y4")->x() + Label("_Y4")->width(), 80 - 4) << "captions follow the display";
  EXPECT_EQ(Label("_Y4")->y(), 155);
}

TEST(AudioDisplay, ArraysFollowTheWidthOnly) {
  QWidget parent;
  auto* display = new TWaveformDisplay(&parent);
  display->SetBounds(0, 0, 100, 50);
  for (int i = 0; i < TAudioDisplay::kColumnArrays; ++i) EXPECT_EQ(display->ColumnArray(i).size(), 98u);
  display->SetTimebase(wtb___1ms);
  std::vector<int16_t> block(2 * 441, 100);
  bool continueFlag = true;
  display->ProcessSamples(block.data(), 441, continueFlag);
  EXPECT_EQ(display->PointCount(), 98);

  const float* storage = display->ColumnArray(6).data();
  display->SetBounds(5, 5, 100, 80);
  EXPECT_EQ(display->ColumnArray(6).data(), storage) << "a height change keeps the arrays";
  EXPECT_EQ(display->PointCount(), 98);

  display->SetBounds(5, 5, 150, 80);
  for (int i = 0; i < TAudioDisplay::kColumnArrays; ++i) EXPECT_EQ(display->ColumnArray(i).size(), 148u);
  EXPECT_EQ(display->PointCount(), 0) << "a width change discards the traces";
  display->ProcessSamples(block.data(), 441, continueFlag);
  EXPECT_EQ(display->PointCount(), 148);

  // Averaging restarts on a real change of MovingAverage and on a new source.
  display->SetAveragingCount(4);
  display->SetMovingAverage(true);
  EXPECT_EQ(display->AveragingCount(), 4);
  display->SetMovingAverage(false);
  EXPECT_EQ(display->AveragingCount(), 0);
  display->SetAveragingCount(4);
  display->SetSource(nullptr);
  EXPECT_EQ(display->AveragingCount(), 0);
  EXPECT_EQ(display->PointCount(), 0);
}

}  // namespace
