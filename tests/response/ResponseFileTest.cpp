#include "DisplayResponse.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>
#include <sys/resource.h>
#include <vector>

#include "Messages.h"
#include "ResponseTestSupport.h"

namespace {

TEST(ResponseFile, FormatKeepsFirstLastAndChanges) {
  const std::vector<float> f = {300, 301.25f, 302.5f, 303.75f, 305};
  EXPECT_EQ(FormatResponse(f, std::vector<float>{-6.04f, -5.96f, -6.2f, -6.2f, -6.2f}, u','),
            "Frequency-Hz   response-dB\r\n300,0  -6,0\r\n302,5  -6,2\r\n305,0  -6,2\r\n");
  EXPECT_EQ(FormatResponse(f, std::vector<float>{0.0f, -1e-6f, 0.04f, 0.0f, -0.04f}, u'.'),
            "Frequency-Hz   response-dB\r\n300.0  0.0\r\n305.0  0.0\r\n");
}

TEST(ResponseFile, LinesParseWithEitherDecimalPoint) {
  struct TCase {
    const char* line;
    char16_t point;
    TReferenceLine kind;
    float frequency, level;
  };
  const TCase cases[] = {
      {"  300.0  -23.4 \r\n", u'.', TReferenceLine::Point, 300.0f, -23.4f},
      {"300,0  -23,4", u',', TReferenceLine::Point, 300.0f, -23.4f},
      {"300.0  -23.4", u',', TReferenceLine::Point, 300.0f, -23.4f},
      {"300,0  -23,4", u'.', TReferenceLine::Skip, 0, 0},
      {"1,000  -3", u'.', TReferenceLine::Skip, 0, 0},
      {"1000", u'.', TReferenceLine::Skip, 0, 0},
      {"Frequency-Hz   response-dB", u'.', TReferenceLine::Skip, 0, 0},
      {"100 loud", u'.', TReferenceLine::Skip, 0, 0},
      {"-1  0.0", u'.', TReferenceLine::End, 0, 0},
      {"nan 3", u'.', TReferenceLine::End, 0, 0},
  };
  for (const TCase& c : cases) {
    float f = 0, l = 0;
    EXPECT_EQ(ParseReferenceLine(QString::fromLatin1(c.line), QChar(c.point), f, l), c.kind) << c.line;
    if (c.kind == TReferenceLine::Point) {
      EXPECT_EQ(f, c.frequency) << c.line;
      EXPECT_EQ(l, c.level) << c.line;
    }
  }
}

TEST(ResponseFile, ReferenceInterpolatesForwardToTheEndEntry) {
  const TReferenceEntry table[] = {{0, 0}, {100, -20}, {1000, -10}, {3000 + 1e6f, 0}};
  const float f[] = {300, 1000, 3000};
  float levels[3];
  InterpolateReference(table, 2, f, 3, levels);
  EXPECT_NEAR(levels[0], -20 + 10 * 200 / 900.0, 1e-5);
  EXPECT_EQ(levels[1], -10.0f);
  EXPECT_NEAR(levels[2], -10 * (1 - 2000 / 1002000.0), 1e-5);  // about -9.98
}

struct ResponseFileOnThePlot : ::testing::Test {
  QTemporaryDir Dir;
  TMessageRecorder Recorder;
  TMessageInterface* Previous = SetMessages(&Recorder);
  QWidget Parent;
  TResponsePlot* Plot = new TResponsePlot(&Parent);
  void SetUp() override { Plot->SetBounds(24, 32, 443, 258); }
  void TearDown() override { SetMessages(Previous); }
  QString Write(const QString& name, const QByteArray& text) {
    QFile file(Dir.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    return file.fileName();
  }
  QByteArray Read(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
  }
};

TEST_F(ResponseFileOnThePlot, PointLimitWarnsOnlyBeyond500) {
  for (int points : {500, 501}) {
    QByteArray text = "Frequency-Hz   response-dB\r\n";
    for (int i = 1; i <= points; ++i) text += QByteArray::number(10 * i) + "  -1.5\r\n";
    const QString name = Write("many.dat", text);
    Recorder.messages.clear();
    Plot->LoadLeftReference(name);
    EXPECT_TRUE(Plot->ReferenceLoaded());
    EXPECT_EQ(Plot->ReferencePointCount(), 500);
    if (points == 500) {
      EXPECT_TRUE(Recorder.messages.empty());
      continue;
    }
    ASSERT_EQ(Recorder.messages.size(), 1u);
    EXPECT_EQ(Recorder.messages[0],
              "Warning - more points in data file than can be held in memory.  A maximum of "
              "500 points can be accomodated.");
    EXPECT_EQ(Recorder.messageTitles[0], "Error reading data file: " + name.toStdString());
  }
  // A bare number is skipped, -1 ends the data; the 100 Hz -20 and 1000 Hz -10 dB points lie
  // under the 300 ... 3000 Hz plot.
  Plot->LoadLeftReference(Write("two.dat", "100.0  -20.0\r\n1000\r\n1000.0  -10.0\r\n-1  5\r\n7 7\r\n"));
  EXPECT_EQ(Plot->ReferencePointCount(), 2);
  EXPECT_NEAR(Plot->LeftLevels()[0], -17.78, 0.005);
  EXPECT_NEAR(Plot->LeftLevels()[440], -9.98, 0.005);

  Plot->LoadLeftReference(Dir.filePath("absent.dat"));
  EXPECT_FALSE(Plot->ReferenceLoaded());
  ASSERT_EQ(Recorder.messages.size(), 2u);
  EXPECT_EQ(Recorder.messages[1].rfind("Could not read the reference file \"" +
                                           Dir.filePath("absent.dat").toStdString() + "\": ", 0), 0u)
      << Recorder.messages[1];
  EXPECT_EQ(Plot->LeftLevels()[0], 0.0f);
}

TEST_F(ResponseFileOnThePlot, SaveLoadRoundTripInEitherLocale) {
  const QLocale previous;
  Plot->SetMovingAverage(false);
  Plot->SetTraceSmoothing(0);
  const QString name = Dir.filePath("calibration.dat");
  for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::German, QLocale::Germany)}) {
    QLocale::setDefault(locale);
    const QByteArray point = locale == QLocale::c() ? "." : ",";
    FeedFast(*Plot, [](int) { return 1000; }, [](int) { return 2000; });
    ASSERT_TRUE(Plot->SaveResponse(name));
    QByteArray flat = "Frequency-Hz   response-dB\r\n300.0  -21.3\r\n3000.0  -21.3\r\n";
    EXPECT_EQ(Read(name), flat.replace(".", point));
    // Right minus left with a reference equal to the response: 0.0 throughout.
    Plot->LoadLeftReference(name);
    EXPECT_TRUE(Plot->ReferenceLoaded());
    Plot->SetLeftIsReference(true);
    FeedFast(*Plot, [](int) { return 1; }, [](int) { return 2000; });
    ASSERT_TRUE(Plot->SaveResponse(name));
    QByteArray zero = "Frequency-Hz   response-dB\r\n300.0  0.0\r\n3000.0  0.0\r\n";
    EXPECT_EQ(Read(name), zero.replace(".", point));
    Plot->SetLeftIsReference(false);

    // Steps of the level: each written point loads back at its own column.
    Plot->LoadLeftReference("");
    FeedFast(*Plot, [](int) { return 1000; }, [](int i) { return 500 * (1 + i / 100); });
    ASSERT_TRUE(Plot->SaveResponse(name));
    Plot->LoadLeftReference(name);
    ASSERT_EQ(Plot->ReferencePointCount(), 6);  // columns 0, 100, 200, 300, 400, 440
    for (int i : {0, 100, 200, 300, 400, 440})
      EXPECT_NEAR(Plot->LeftLevels()[i], Plot->RightLevels()[i], 0.06) << i;  // one decimal
    Plot->LoadLeftReference("");
  }
  QLocale::setDefault(previous);
  EXPECT_TRUE(Recorder.Log().empty()) << Recorder.Log();
}

TEST_F(ResponseFileOnThePlot, FailedWritesLeaveTheOldFile) {
  const QString missing = Dir.filePath("no/such/folder/r.dat");
  EXPECT_FALSE(Plot->SaveResponse(missing));
  ASSERT_EQ(Recorder.messages.size(), 1u);
  EXPECT_EQ(Recorder.messages[0].rfind("Could not write the response file \"" + missing.toStdString() + "\": ", 0), 0u);

  // A file size limit makes the write fail as a full disk does.
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
  ASSERT_EQ(Recorder.messages.size(), 2u);
  EXPECT_EQ(Recorder.messages[1],
            "Could not write the response file \"" + name.toStdString() + "\": File too large.");
  EXPECT_EQ(Read(name), "old");
}

}  // namespace
