#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "Messages.h"
#include "SweepGenerator.h"

namespace {

// Level in dB of a sine of this peak (full scale 32767) at this gain.
double SinedB(double peak) { return 20 * std::log10(peak / 32768); }

// The plot's fast sweep as its generator plays it (a peak of 0.5 of full scale, phase 0), each channel
// scaled to a peak of left(frame) and right(frame) and set on DC offsets of 700 and -500, then
// rotated by `delay` frames.
void FeedFast(TResponsePlot& plot, const std::function<int(int)>& left,
              const std::function<int(int)>& right, int delay = 0) {
  constexpr int kFast = 57330;
  std::vector<int16_t> played(2 * kFast), b(2 * kFast);
  const TAudioSweepGenerator& g = *plot.SweepGenerator();
  for (int channel : {0, 1}) {
    uint32_t phase = 0;  // the same block every time
    TAudioSweepGenerator::FillSweepChannel(played.data(), kFast, channel, g.LeftStepped() ? kSteppedSweepSteps : kSmoothSweepSteps,
                                           g.LeftDeclick(), g.LeftLog(), g.LeftFrequency(), g.LeftMaxFrequency(), 0.5f, phase);
  }
  const auto sample = [](double v) { return static_cast<int16_t>(std::clamp(std::lrint(v), -32768L, 32767L)); };
  for (int f = 0; f < kFast; ++f) {
    const int g = (f + delay) % kFast;
    b[2 * g] = sample(700 + played[2 * f] * static_cast<double>(left(f)) / 16383.5);
    b[2 * g + 1] = sample(-500 + played[2 * f + 1] * static_cast<double>(right(f)) / 16383.5);
  }
  bool go = true;
  plot.ProcessSamples(b.data(), kFast, go);
}

struct TNumberedInput : TWaveIn {
  void SetNumber(int n) { SetBufferNumber(n); }
};

struct ResponsePlotTest : ::testing::Test {
  QTemporaryDir Dir;
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  QWidget Parent;
  TResponsePlot* Plot = new TResponsePlot(&Parent);
  void SetUp() override {
    Plot->setObjectName("ResponsePlot1");
    Plot->SetBounds(24, 32, 443, 258);  // W 441, H 256
    Plot->SetLeftAmplitude(0.5f);
    Plot->SetRightAmplitude(0.5f);
  }
  void TearDown() override { SetMessages(Previous); }
  QString Write(const QString& name, const QByteArray& text) {
    QFile file(Dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    return file.fileName();
  }
  QByteArray Read(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "(missing)";
  }
  // The plot's own slow run from its first block, coming back `delay` frames later with block k
  // of the run scaled by gain(k), fed to the plot in capture blocks numbered from 0 as a new
  // capture numbers them. Returns the point count after each block.
  std::vector<int> FeedSlowRun(TNumberedInput& in, int delay, int blocks, const std::function<double(int)>& gain) {
    constexpr int n = 11025;
    // A generator of the plot's settings, so that every run begins at its first block.
    const TAudioSweepGenerator& settings = *Plot->SweepGenerator();
    TAudioSweepGenerator played;
    played.SetLeftFrequency(settings.LeftFrequency());
    played.SetRightFrequency(settings.RightFrequency());
    played.SetLeftMaxFrequency(settings.LeftMaxFrequency());
    played.SetRightMaxFrequency(settings.RightMaxFrequency());
    played.SetLeftAmplitude(settings.LeftAmplitude());
    played.SetRightAmplitude(settings.RightAmplitude());
    played.SetSlowSweep(true);
    played.SetSlowSweepActiveSeconds(settings.SlowSweepActiveSeconds());
    played.SetSlowSweepSilentSeconds(settings.SlowSweepSilentSeconds());
    std::vector<int16_t> captured(2 * static_cast<std::size_t>(delay), 0), block(2 * n);
    for (int k = 0; static_cast<int>(captured.size() / 2) < n * blocks; ++k) {
      wavehdr_tag header{};
      header.lpData = reinterpret_cast<char*>(block.data());
      header.dwBufferLength = 4 * n;
      played.FillSweepBlock(&header);
      for (int16_t v : block) captured.push_back(static_cast<int16_t>(std::lrint(v * gain(k))));
    }
    std::vector<int> counts;
    for (int k = 0; k < blocks; ++k) {
      in.SetNumber(k);
      bool go = true;
      Plot->ProcessSamples(&captured[2 * static_cast<std::size_t>(k) * n], n, go);
      counts.push_back(Plot->PointCount());
    }
    return counts;
  }
  QImage Grab() {
    Parent.show();  // a hidden display paints nothing
    return Plot->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  const QLabel* Label(char axis, int n) {
    return Parent.findChild<QLabel*>(QString("ResponsePlot1_%1%2").arg(axis).arg(n));
  }
};

TEST_F(ResponsePlotTest, ConstructionRangeAndSource) {
  const TAudioSweepGenerator& g = *Plot->SweepGenerator();
  EXPECT_TRUE(g.LeftLog() && g.RightLog());
  EXPECT_FALSE(g.LeftDeclick() || g.RightDeclick() || g.LeftStepped() || g.SlowSweep());
  EXPECT_EQ(g.SlowSweepActiveSteps() * 100 + g.SlowSweepSilentSteps(), 180 * 100 + 8);
  const auto f = Plot->Frequencies();
  ASSERT_EQ(f.size(), 441u);
  for (int i = 0; i <= 440; ++i)  // at most 880 single-precision roundings
    ASSERT_NEAR(f[i] / (300 * std::pow(10.0, i / 440.0)), 1, 880 * 0x1p-24) << i;
  Plot->SetTraceSmoothing(3);
  EXPECT_EQ(Plot->TraceSmoothing(), 1);
  Plot->SetMinFrequency(0);
  EXPECT_EQ(Plot->MinFrequency(), 1);
  Plot->SetMinFrequency(5000);
  EXPECT_EQ(g.LeftFrequency(), 5000.0f);
  EXPECT_EQ(g.LeftMaxFrequency(), 5001.0f);
  TWaveIn in;
  Plot->SetSource(&in);
  EXPECT_EQ(g.AssociatedInput(), &in);
  EXPECT_EQ(in.BufferSamples(), 57330);
  Plot->SetSlowSweep(true);
  EXPECT_EQ(in.BufferSamples(), 11025);
}

TEST_F(ResponsePlotTest, FastMeasurementSmoothsThenAverages) {
  const auto left = [](int f) { return 2000 + 300 * (f / 37 % 5); };
  const auto right = [](int f) { return 1000 + 200 * (f / 53 % 3); };
  Plot->SetMovingAverage(false);
  Plot->SetTraceSmoothing(0);
  FeedFast(*Plot, left, right);
  ASSERT_EQ(Plot->PointCount(), 441);
  const std::vector<float> raw(Plot->RightLevels().begin(), Plot->RightLevels().end());
  EXPECT_GT(*std::max_element(raw.begin(), raw.end()) - *std::min_element(raw.begin(), raw.end()), 1.0f);
  for (int smoothing : {1, 2}) {
    Plot->SetTraceSmoothing(smoothing);
    FeedFast(*Plot, left, right);
    ASSERT_EQ(Plot->PointCount(), 441);
    const auto r = Plot->RightLevels();
    // The columns each formula does not reach keep their measured values.
    for (int i : {0, 1, 439, 440})
      if (smoothing != 1 || i == 0 || i == 440) { EXPECT_EQ(r[i], raw[i]) << smoothing << ", " << i; }
    for (int i : {2, 100, 438}) {
      const double expected = smoothing == 1 ? (raw[i - 1] + 2.0 * raw[i] + raw[i + 1]) / 4
                            : (raw[i - 2] + 3.0 * raw[i - 1] + 4.0 * raw[i] + 3.0 * raw[i + 1] + raw[i + 2]) / 12;
      EXPECT_NEAR(r[i], expected, 1e-5) << smoothing << ", " << i;
    }
  }
  // The DC offsets come off, and a column reads its sine's level whatever part of a period it
  // holds (a 300 Hz column holds two thirds of one).
  Plot->SetTraceSmoothing(0);
  FeedFast(*Plot, [](int) { return 2000; }, [](int) { return 2000; });
  for (int i : {0, 1, 2, 3, 220, 440}) EXPECT_NEAR(Plot->LeftLevels()[i], SinedB(2000), 0.01) << i;
  Plot->SetMovingAverage(true);
  FeedFast(*Plot, [](int) { return 2000; }, [](int) { return 1000; });
  const double first = Plot->RightLevels()[200];
  EXPECT_NEAR(first, SinedB(1000), 0.01) << "the first block as measured";
  FeedFast(*Plot, [](int) { return 2000; }, [](int) { return 4000; });
  EXPECT_NEAR(Plot->RightLevels()[200], (2 * first + SinedB(4000)) / 3, 0.01);
}

// The sweep comes back after whatever delay the sound system has: the columns follow it. A
// sweep that runs over the end of a block is read from that block and the next once the next
// shows the sweep at the same place; the first block of a new place gives no points when its
// sweep is not wholly inside it.
TEST_F(ResponsePlotTest, FastColumnsFollowTheSweepWhateverItsDelay) {
  Plot->SetMinFrequency(20);
  Plot->SetMaxFrequency(20000);
  Plot->SetMovingAverage(false);
  Plot->SetTraceSmoothing(0);
  const auto level = [](int f) { return 1000 + 500 * (f / 400 % 7); };
  std::vector<float> undelayed;
  // The tone is played at frames 8800 ... 52799 of the block: 20000 frames later it runs over
  // the block's end.
  for (auto [delay, first] : {std::pair{0, 441}, {1150, 441}, {1536, 441}, {2100, 441}, {20000, 0}, {57000, 441}}) {
    std::vector<int> counts;
    for (int repeat = 0; repeat < 2; ++repeat) {
      FeedFast(*Plot, level, level, delay);
      counts.push_back(Plot->PointCount());
    }
    EXPECT_EQ(counts, (std::vector<int>{first, 441})) << delay;
    EXPECT_EQ(Plot->MeasuredDelay(), delay);
    const auto right = Plot->RightLevels();
    if (undelayed.empty()) undelayed.assign(right.begin(), right.end());
    // The very same frames in every column, however late they came.
    for (int i = 0; i < 441; ++i) ASSERT_EQ(right[i], undelayed[i]) << delay << ": " << i;
  }
  // Silence, or noise, holds no sweep: no points, and the delay found before stays.
  FeedFast(*Plot, [](int) { return 0; }, [](int) { return 0; });
  EXPECT_EQ(Plot->PointCount(), 0);
  EXPECT_EQ(Plot->MeasuredDelay(), 57000);
  EXPECT_EQ(Plot->TimingText(), "Round trip 1292.5 ms") << "no device clock to confirm it";
}

TEST_F(ResponsePlotTest, SlowStepsArePlacedByTheMarkersAndDrawnAsAStair) {
  TNumberedInput in;
  Plot->SetSource(&in);
  Plot->SetLeftAmplitude(0.5f);
  Plot->SetRightAmplitude(0.5f);
  Plot->SetSlowSweep(true);
  Plot->SetSlowSweepActiveSeconds(5);  // 20 steps
  Plot->SetSlowSweepSilentSeconds(1);  // and 4 silent blocks, the last a marker
  const auto gain = [](int block) { return 0.2 + 0.03 * (block % 24); };
  // Without the devices' clocks the marker is looked for up to 0.88 s after it was played.
  for (int delay : {441, 13230, 38000}) {
    SCOPED_TRACE(delay);
    const std::vector<int> counts = FeedSlowRun(in, delay, 3 + 24 + 6, gain);
    EXPECT_EQ(Plot->MeasuredDelay(), delay);
    // Step t (played block t + 3, after the lead-in and the marker) is read once its window, up
    // to 10 ms before its end, is in.
    for (int k = 0; k < static_cast<int>(counts.size()); ++k) {
      const int64_t captured = (k + 1) * 11025LL;
      int steps = 0;
      for (int t = 0; t < 20; ++t) steps += delay + (t + 4) * 11025LL - 441 <= captured;
      int next = 0;  // block 27 holds the next cycle's first step
      for (int t = 0; t < 20; ++t) next += delay + (t + 28) * 11025LL - 441 <= captured;
      EXPECT_EQ(counts[k], next > 0 ? next : steps) << "block " << k;
    }
    const auto f = Plot->Frequencies();
    ASSERT_EQ(f.size(), 20u);
    // Block 27 + t repeats the gain of block t + 3, whichever cycle a step was last read in.
    for (int t = 0; t < 20; ++t) {
      EXPECT_NEAR(Plot->RightLevels()[t], SinedB(0.5 * 32767 * gain(t + 3)), 2e-3) << t;
      EXPECT_NEAR(Plot->LeftLevels()[t], SinedB(0.5 * 32767 * gain(t + 3)), 2e-3) << t;
    }
  }

  // A run whose first marker never came back is placed by the next cycle's: its first cycle
  // reads nothing rather than something wrong, and saves nothing.
  const std::vector<int> counts = FeedSlowRun(in, 3000, 3 + 24 + 1, [&](int block) { return block == 2 ? 0 : gain(block); });
  EXPECT_EQ(counts.back(), 20);
  EXPECT_EQ(Plot->MeasuredDelay(), 3000) << "from the second marker";
  for (int t = 0; t < 20; ++t) EXPECT_TRUE(std::isnan(Plot->RightLevels()[t])) << t;
  const QImage empty = Grab();
  for (int y = 1; y <= 256; ++y)
    ASSERT_TRUE(empty.pixel(100, y) != qRgb(255, 0, 0) && empty.pixel(100, y) != qRgb(0, 0, 255)) << y;
  EXPECT_FALSE(Plot->SaveResponse(Dir.filePath("nothing.dat")));
  ASSERT_EQ(Recorder.messages.size(), 1u);
  EXPECT_EQ(Recorder.messages[0].rfind("Nothing was written to ", 0), 0u);
  Recorder.messages.clear();

  // 99 s: 396 steps, more than the plot is wide, all measured and drawn.
  Plot->SetSlowSweepActiveSeconds(99);
  const std::vector<int> long_ = FeedSlowRun(in, 2000, 400, [](int block) { return 0.1 + 0.002 * block; });
  ASSERT_EQ(long_.back(), 396);
  EXPECT_NEAR(Plot->RightLevels()[395], SinedB(0.5 * 32767 * (0.1 + 0.002 * 398)), 2e-3);
  const QImage picture = Grab();
  for (int k : {0, 200, 395})
    EXPECT_EQ(picture.pixel(k * 441 / 396 + 1, Plot->LevelToRow(Plot->RightLevels()[k])), qRgb(255, 0, 0)) << k;
  // The readout names the step drawn over the column; past the stair there is none.
  float frequency = 0, level = 0;
  for (auto [x, step] : {std::pair{441, 395}, {300, 269}})
    EXPECT_TRUE(Plot->Readout(x, 10, frequency, level) && frequency == Plot->Frequencies()[step]) << x;
  FeedSlowRun(in, 2000, 15, [](int) { return 1.0; });
  EXPECT_FALSE(Plot->Readout(441, 10, frequency, level));
  EXPECT_TRUE(Plot->Readout(12, 10, frequency, level) && frequency == Plot->Frequencies()[10]);
}

// A loaded reference is smoothed once, as a trace is: blocks measured over it leave it as it was,
// and "Clear left" returns it to 0 dB.
TEST_F(ResponsePlotTest, AReferenceIsSmoothedOnceNotWithEveryBlock) {
  Plot->SetTraceSmoothing(2);
  Plot->SetMovingAverage(true);
  Plot->LoadLeftReference(Write("step.dat", "300.0  -30.0\r\n1000.0  -30.0\r\n1001.0  -10.0\r\n3000.0  -10.0\r\n"));
  const std::vector<float> loaded(Plot->LeftLevels().begin(), Plot->LeftLevels().end());
  const auto between = std::count_if(loaded.begin(), loaded.end(), [](float v) { return v > -29.9f && v < -10.1f; });
  EXPECT_EQ(between, 4) << "1-3-4-3-1 over the step: four columns between its levels";
  for (int block = 0; block < 3; ++block) {
    FeedFast(*Plot, [](int) { return 1000; }, [](int) { return 2000; });
    ASSERT_EQ(std::vector<float>(Plot->LeftLevels().begin(), Plot->LeftLevels().end()), loaded) << block;
  }
  Plot->LoadLeftReference("");
  for (float v : Plot->LeftLevels()) ASSERT_EQ(v, 0.0f);
}

// A calibration comes off every measured point at the point's own frequency: off levels already
// measured when it is set, off what is shown and not off the running average, never off a
// loaded reference. A twin plot fed the same blocks without one is the measure.
TEST_F(ResponsePlotTest, CalibrationComesOffEachPointAtItsFrequency) {
  TResponsePlot* twin = new TResponsePlot(&Parent);
  twin->SetBounds(24, 32, 443, 258);
  twin->SetLeftAmplitude(0.5f);
  twin->SetRightAmplitude(0.5f);
  // -2 dB up to 1 kHz, then 6 dB more a decade.
  const auto calibration = std::make_shared<const TCalibration>(std::vector<TCalibrationPoint>{{1000, -2}, {10000, 4}});
  const auto expected = [](double hz) { return hz <= 1000 ? -2.0 : -2 + 6 * std::log10(hz / 1000); };
  const auto check = [&](const char* when, bool left) {
    const auto f = Plot->Frequencies();
    ASSERT_EQ(f.size(), 441u);
    for (std::size_t i = 0; i < f.size(); ++i) {
      ASSERT_NEAR(twin->RightLevels()[i] - Plot->RightLevels()[i], expected(f[i]), 1e-4) << when << ", " << i;
      if (left) ASSERT_NEAR(twin->LeftLevels()[i] - Plot->LeftLevels()[i], expected(f[i]), 1e-4) << when << ", " << i;
    }
  };
  const auto feed = [&](int left, int right) {
    for (TResponsePlot* p : {Plot, twin}) FeedFast(*p, [=](int) { return left; }, [=](int f) { return right + f / 40; });
  };
  feed(2000, 1000);
  Plot->SetCalibration(calibration);
  check("set after a block", true);
  feed(2000, 4000);
  check("averaged with the next", true);
  for (TResponsePlot* p : {Plot, twin}) p->LoadLeftReference(Write("flat.dat", "300.0  -30.0\r\n3000.0  -10.0\r\n"));
  feed(1000, 3000);
  check("with a reference", false);
  EXPECT_EQ(std::vector<float>(Plot->LeftLevels().begin(), Plot->LeftLevels().end()),
            std::vector<float>(twin->LeftLevels().begin(), twin->LeftLevels().end()));
  Plot->SetCalibration(nullptr);
  for (std::size_t i = 0; i < 441; ++i) ASSERT_NEAR(Plot->RightLevels()[i], twin->RightLevels()[i], 1e-4) << i;
}

TEST_F(ResponsePlotTest, EqualInputsAsReferenceDrawTheMinus20Line) {
  Plot->SetLeftIsReference(true);
  Plot->SetTraceColour(QColor(200, 100, 50));
  FeedFast(*Plot, [](int f) { return 500 + f / 10; }, [](int f) { return 500 + f / 10; });
  const QImage picture = Grab();
  const int row = Plot->LevelToRow(-20);
  for (int y = 1; y <= 256; ++y)
    for (int x = 1; x <= 440; ++x)
      ASSERT_EQ(picture.pixel(x, y) == qRgb(200, 100, 50), y == row) << x << ", " << y;
}

TEST_F(ResponsePlotTest, GridAndCaptionsFollowTheScale) {
  for (auto [mindB, step] : {std::pair{-80, 10}, {-90, 20}}) {
    Plot->SetMindB(mindB);
    Plot->UpdateScaleLabels();
    const QImage picture = Grab();
    for (int n = 0; n < 9; ++n) {
      const QLabel* label = Label('Y', n);
      const int d = -80 + n * step;
      ASSERT_EQ(!label->isHidden(), d <= 0) << n;
      if (d > 0) continue;
      const int row = Plot->LevelToRow(static_cast<float>(d));
      EXPECT_EQ(label->text(), QString::number(d));
      EXPECT_EQ(label->geometry(), QRect(24 - 4 - label->width(), 32 + row - label->height() / 2,
                                         label->width(), label->height()));
      if (d != 0) { EXPECT_EQ(picture.pixel(5, row), qRgb(0, 255, 0)) << d; }  // idle traces lie on 0 dB
    }
  }
  const QStringList texts = {"300", "378", "475", "599", "754", "949", "1194", "1504", "1893", "2383", "3000"};
  for (bool stepped : {false, true}) {
    Plot->SetSteppedSweep(stepped);
    Plot->UpdateScaleLabels();
    for (int n = 0; n < 11; ++n) {
      const QLabel* label = Label('X', n);
      ASSERT_EQ(!label->isHidden(), n < (stepped ? 10 : 11)) << n;
      if (label->isHidden()) continue;
      EXPECT_EQ(label->text(), texts[n]);
      EXPECT_EQ(label->pos(), QPoint(24 + (stepped ? (4 * n + 1) * 441 / 40 : n * 441 / 10) - label->width() / 2, 296));
    }
    EXPECT_EQ(Grab().pixel(441 / 10 + 1, 5) == qRgb(0, 255, 0), !stepped) << "vertical grid line";
  }
}

TEST(ResponseFile, FormatAndParse) {
  const std::vector<float> f = {300, 301.25f, 302.5f, 303.75f, 305};
  EXPECT_EQ(FormatResponse(f, std::vector<float>{-6.04f, -5.96f, -6.2f, -6.2f, -6.2f}, u','),
            "Frequency-Hz   response-dB\r\n300,0  -6,0\r\n302,5  -6,2\r\n305,0  -6,2\r\n");
  EXPECT_EQ(FormatResponse(f, std::vector<float>{0.0f, -1e-6f, 0.04f, 0.0f, -0.04f}, u'.'),
            "Frequency-Hz   response-dB\r\n300.0  0.0\r\n305.0  0.0\r\n");

  using enum TReferenceLine;
  struct TCase {
    const char* line;
    char16_t point;
    TReferenceLine kind;
  };
  for (const TCase& c : {TCase{"  300.0  -23.4 \r\n", u'.', Point}, {"300,0  -23,4", u',', Point},
                         {"300.0  -23.4", u',', Point}, {"300,0  -23,4", u'.', Skip},
                         {"1,000  -3", u'.', Skip}, {"1000", u'.', Skip}, {"100 loud", u'.', Skip},
                         {"Frequency-Hz   response-dB", u'.', Skip}, {"-1  0.0", u'.', End},
                         {"nan 3", u'.', End}}) {
    float frequency = 0, level = 0;
    EXPECT_EQ(ParseReferenceLine(QString(c.line), QChar(c.point), frequency, level), c.kind) << c.line;
    EXPECT_TRUE(c.kind != Point || (frequency == 300.0f && level == -23.4f)) << c.line;
  }
}

TEST_F(ResponsePlotTest, LoadingLimitsWarnsAndReports) {
  for (int points : {500, 501}) {
    QByteArray text = "Frequency-Hz   response-dB\r\n";
    for (int i = 1; i <= points; ++i) text += QByteArray::number(10 * i) + "  -1.5\r\n";
    const QString name = Write("many.dat", text);
    Plot->LoadLeftReference(name);
    EXPECT_TRUE(Plot->ReferenceLoaded() && Plot->ReferencePointCount() == 500);
    ASSERT_EQ(Recorder.messages.size(), points == 500 ? 0u : 1u);
  }
  EXPECT_EQ(Recorder.messages[0], "Warning - more points in data file than can be held in memory.  "
                                  "A maximum of 500 points can be accomodated.");
  EXPECT_EQ(Recorder.messageTitles[0], "Error reading data file: " + Dir.filePath("many.dat").toStdString());
  // A bare number is skipped and -1 ends the data.
  Plot->LoadLeftReference(Write("two.dat", "100.0  -20.0\r\n1000\r\n1000.0  -10.0\r\n-1  5\r\n7 7\r\n"));
  EXPECT_EQ(Plot->ReferencePointCount(), 2);
  EXPECT_NEAR(Plot->LeftLevels()[0], -17.78, 0.005);    // 300 Hz
  EXPECT_NEAR(Plot->LeftLevels()[440], -9.98, 0.005);   // 3000 Hz, toward the end entry

  const QString absent = Dir.filePath("absent.dat");
  Plot->LoadLeftReference(absent);
  EXPECT_FALSE(Plot->ReferenceLoaded());
  ASSERT_EQ(Recorder.messages.size(), 2u);
  EXPECT_EQ(Recorder.messages[1].rfind("Could not read the reference file \"" + absent.toStdString() + "\": ", 0), 0u);

  // No point at all is no reference, not a flat 0 dB one.
  for (const char* text : {"", "Frequency-Hz   response-dB\r\n", "\x7f""ELF\x02\x01\x01\0\0\0"}) {
    const QString empty = Write("empty.dat", text);
    Plot->LoadLeftReference(empty);
    EXPECT_FALSE(Plot->ReferenceLoaded()) << text;
    EXPECT_EQ(Recorder.messages.back(), "Could not read the reference file \"" + empty.toStdString() +
                                            "\": it holds no frequency and level pairs.");
  }
  EXPECT_EQ(Recorder.messages.size(), 5u);
}

TEST_F(ResponsePlotTest, SaveLoadRoundTripInEitherLocale) {
  const QLocale previous;
  Plot->SetMovingAverage(false);
  Plot->SetTraceSmoothing(0);
  const QString name = Dir.filePath("calibration.dat");
  for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::German, QLocale::Germany)}) {
    QLocale::setDefault(locale);
    const auto expect = [&](QByteArray text) { EXPECT_EQ(Read(name), text.replace('.', QLocale().decimalPoint().toLatin1())); };
    FeedFast(*Plot, [](int) { return 1000; }, [](int) { return 2000; });
    ASSERT_TRUE(Plot->SaveResponse(name));
    expect("Frequency-Hz   response-dB\r\n300.0  -24.3\r\n3000.0  -24.3\r\n");
    // Right minus left with the response itself as the reference.
    Plot->LoadLeftReference(name);
    Plot->SetLeftIsReference(true);
    FeedFast(*Plot, [](int) { return 1; }, [](int) { return 2000; });
    ASSERT_TRUE(Plot->SaveResponse(name));
    expect("Frequency-Hz   response-dB\r\n300.0  0.0\r\n3000.0  0.0\r\n");
    Plot->SetLeftIsReference(false);
    // Steps of the level: each written point loads back at its own column.
    Plot->LoadLeftReference("");
    FeedFast(*Plot, [](int) { return 1000; }, [](int f) { return 500 * (1 + f / 10000); });
    ASSERT_TRUE(Plot->SaveResponse(name));
    Plot->LoadLeftReference(name);
    ASSERT_GE(Plot->ReferencePointCount(), 6);
    const QList<QByteArray> lines = Read(name).split('\n');
    int checked = 0;
    for (int i = 0; i < 441; ++i)
      for (const QByteArray& line : lines)
        if (line.startsWith(QByteArray::number(Plot->Frequencies()[i], 'f', 1).replace('.', QLocale().decimalPoint().toLatin1()) + "  ")) {
          // One decimal in level, and in frequency, which moves the point a little along a slope.
          EXPECT_NEAR(Plot->LeftLevels()[i], Plot->RightLevels()[i], 0.1) << i;
          ++checked;
        }
    EXPECT_EQ(checked, Plot->ReferencePointCount());
    Plot->LoadLeftReference("");
  }
  QLocale::setDefault(previous);
  EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
}

// The zeros of a new frequency table are no response: they are neither saved nor drawn, and
// "Clear left" without a reference keeps the measured left levels.
TEST_F(ResponsePlotTest, OnlyMeasuredLevelsAreSavedOrDrawn) {
  const QString name = Dir.filePath("r.dat");
  const auto traces = [&] {
    const QImage picture = Grab();
    int blue = 0, red = 0;
    for (int y = 1; y <= 256; ++y)
      for (int x = 1; x <= 441; ++x) {
        blue += picture.pixel(x, y) == qRgb(0, 0, 255);
        red += picture.pixel(x, y) == qRgb(255, 0, 0);
      }
    return std::make_pair(blue > 0, red > 0);
  };
  const auto refused = [&] {
    Recorder.messages.clear();
    const bool written = Plot->SaveResponse(name);
    return !written && !QFile::exists(name) && Recorder.messages.size() == 1 &&
           Recorder.messages[0].rfind("Nothing was written to \"" + name.toStdString() + "\"", 0) == 0;
  };
  EXPECT_TRUE(refused());
  EXPECT_EQ(traces(), std::make_pair(false, false));
  Plot->LoadLeftReference(Write("ref.dat", "300.0  -30.0\r\n3000.0  -30.0\r\n"));
  EXPECT_TRUE(refused());
  EXPECT_EQ(traces(), std::make_pair(true, false));
  Plot->LoadLeftReference("");
  FeedFast(*Plot, [](int) { return 1000; }, [](int) { return 2000; });
  EXPECT_EQ(traces(), std::make_pair(true, true));
  const std::vector<float> left(Plot->LeftLevels().begin(), Plot->LeftLevels().end());
  Plot->LoadLeftReference("");
  EXPECT_EQ(std::vector<float>(Plot->LeftLevels().begin(), Plot->LeftLevels().end()), left);
  ASSERT_NEAR(left[0], SinedB(1000), 0.05);
  Recorder.messages.clear();
  EXPECT_TRUE(Plot->SaveResponse(name));
  EXPECT_TRUE(Recorder.messages.empty());
  QFile::remove(name);
  Plot->SetMinFrequency(400);  // new points: the old levels belong to other frequencies
  EXPECT_TRUE(refused());
  EXPECT_EQ(traces(), std::make_pair(false, false));
}

TEST_F(ResponsePlotTest, FailedWritesNameTheFileAndLeaveTheOldOne) {
  FeedFast(*Plot, [](int) { return 1000; }, [](int) { return 2000; });
  const QString missing = Dir.filePath("no/such/folder/r.dat");
  EXPECT_FALSE(Plot->SaveResponse(missing));
  ASSERT_EQ(Recorder.messages.size(), 1u);
  EXPECT_EQ(Recorder.messages[0].rfind("Could not write the response file \"" + missing.toStdString() + "\": ", 0), 0u);
  // A file size limit fails the write as a full disk does, and only when the data is flushed.
  const QString name = Write("old.dat", "old");
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  setrlimit(RLIMIT_FSIZE, &tiny);
  const bool written = Plot->SaveResponse(name);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_FALSE(written);
  EXPECT_EQ(Recorder.messages.back(), "Could not write the response file \"" + name.toStdString() + "\": File too large.");
  EXPECT_EQ(Read(name), "old");
}

}  // namespace
