// Calibration files: the layouts read (with their sensitivity lines), the exact sentence of each
// refusal, interpolation against values worked out by hand, and the fuzz corpus replayed
// through the fuzz target's checks.
#include "Calibration.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cmath>
#include <string>
#include <vector>

#include "CalibrationChecks.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Calibration, AcceptedLayouts) {
  struct TCase {
    const char* name;
    std::string text;
    std::vector<TCalibrationPoint> points;
    std::string sensitivity;
    double sensitivitydB;
  } const cases[] = {
      {"quoted sensitivity line, tabs, CRLF",
       "\"Sens Factor =-1.2dB, SERNO: 7000123\"\r\n20\t-0.85\r\n1000\t0\r\n20000\t2.5\r\n",
       {{20, -0.85}, {1000, 0}, {20000, 2.5}},
       "Sens Factor =-1.2dB, SERNO: 7000123",
       -1.2},
      {"BOM, plain sensitivity line in dBV, quoted column names, comments of every kind",
       "\xEF\xBB\xBFSensitivity -38.5 dBV\n\"Hz\"  \"dB\"\n* a\n# b\n; c\n// d\n\n10 1\n 100 , -1.5\n",
       {{10, 1}, {100, -1.5}},
       "Sensitivity -38.5 dBV",
       -38.5},
      {"sensitivity in mV/Pa as a comment, semicolons with phase, exponents, signs",
       "# Sensitivity: 10 mV/Pa\n10;-0.83;17.72\n1.12e1 ; +0.5 ; -180\n.125e2;0;0",
       {{10, -0.83, 17.72}, {11.2, 0.5, -180}, {12.5, 0, 0}},
       "Sensitivity: 10 mV/Pa",
       -40},
      {"no sensitivity; a later \"sens\" comment is only a comment", "50,1\n* Sens 3 dB\n60,2\n",
       {{50, 1}, {60, 2}}, "", kNaN},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TCalibrationParse r = ParseCalibration(c.text);
    ASSERT_TRUE(r.Ok) << r.Reason;
    const TCalibration& cal = r.Calibration;
    EXPECT_EQ(cal.SensitivityText, c.sensitivity);
    if (std::isnan(c.sensitivitydB))
      EXPECT_TRUE(std::isnan(cal.SensitivitydB)) << cal.SensitivitydB;
    else
      EXPECT_DOUBLE_EQ(cal.SensitivitydB, c.sensitivitydB);
    EXPECT_EQ(cal.HasPhase(), !std::isnan(c.points[0].Deg));
    ASSERT_EQ(cal.Points().size(), c.points.size());
    for (std::size_t i = 0; i < c.points.size(); ++i) {
      EXPECT_EQ(cal.Points()[i].Hz, c.points[i].Hz) << i;
      EXPECT_EQ(cal.Points()[i].dB, c.points[i].dB) << i;
      EXPECT_EQ(std::isnan(cal.Points()[i].Deg), std::isnan(c.points[i].Deg)) << i;
      if (!std::isnan(c.points[i].Deg)) {
        EXPECT_EQ(cal.Points()[i].Deg, c.points[i].Deg) << i;
      }
    }
  }
}

TEST(Calibration, RefusalsNameTheLineAndTheFault) {
  std::string tooLong;
  for (int i = 1; i <= 100000; ++i) tooLong += "\n";
  tooLong += "1000 0\n";
  struct TCase {
    std::string text;
    const char* reason;
  } const cases[] = {
      {"* only\n\"Sens Factor =-1dB\"\n\n", "no points: no line holds a frequency and a dB value"},
      {"F [Hz]  Ampl [dB]\n10 0\n", "line 1: \"F\" is not a number"},
      {"10 0\n20 1,5\n", "line 2: separators of two kinds between the numbers (a decimal comma?)"},
      {"10 0\n20 nan\n", "line 2: \"nan\" is not a finite number"},
      {"10 0\n20 1e999\n", "line 2: \"1e999\" is out of range"},
      {"10,,0\n", "line 1: an empty field between separators"},
      {"10,0,\n", "line 1: a separator ends the line"},
      {"10 0 0 0\n", "line 1: more than 3 numbers (frequency, dB and degrees)"},
      {"# x\n\n1000\n", "line 3: one number; a point is a frequency and a dB value"},
      {"10 0\n20 0 5\n", "line 2: 3 numbers, but line 1 has 2 (a phase in every line or in none)"},
      {"0 1\n", "line 1: the frequency 0 Hz is not above 0"},
      {"10 0\n* c\n100 1\n100 2\n",
       "line 4: the frequency 100 Hz is not above 100 Hz on line 3 (frequencies must increase)"},
      {"200 0\n\n100 1\n",
       "line 3: the frequency 100 Hz is not above 200 Hz on line 1 (frequencies must increase)"},
      {"\xFF\xFE" "1\0" "0\0", "line 1: the text is UTF-16; a calibration file is plain ASCII or UTF-8"},
      {tooLong, "line 100001: more than 100000 lines"},
  };
  for (const TCase& c : cases) {
    const TCalibrationParse r = ParseCalibration(c.text);
    EXPECT_FALSE(r.Ok) << c.reason;
    EXPECT_EQ(r.Reason, c.reason);
  }
  // 100000 lines, the last a point, are still read.
  std::string longest(99999, '\n');
  EXPECT_TRUE(ParseCalibration(longest + "1000 0\n").Ok);
}

TEST(Calibration, InterpolatesInLogFrequencyAndHoldsTheEnds) {
  const TCalibration cal({{100, -2, 170}, {1000, 4, -170}, {10000, 1, -150}});
  struct TCase {
    double hz, dB, deg;
  } const cases[] = {
      {1, -2, 170},             // held below the first point
      {100, -2, 170},           // the points' own values
      {1000, 4, 190},           // -170 continued from 170 the short way round
      {std::sqrt(1e5), 1, 180},  // half-way in log frequency
      {std::pow(10, 3.25), 3.25, 195},
      {10000, 1, 210},
      {96000, 1, 210},  // held above the last
  };
  for (const TCase& c : cases) {
    EXPECT_NEAR(cal.GaindB(c.hz), c.dB, 1e-12) << c.hz;
    EXPECT_NEAR(cal.PhaseDeg(c.hz), c.deg, 1e-12) << c.hz;
  }
  EXPECT_EQ(cal.GaindB(1000), 4) << "exactly a point's value at its frequency";
  const TCalibration flat({{1000, 2.5}});
  EXPECT_EQ(flat.GaindB(20) + flat.GaindB(20000), 5);
  EXPECT_TRUE(std::isnan(flat.PhaseDeg(1000))) << "no phase column";
}

TEST(Calibration, FuzzCorpusKeepsTheReaderProperties) {
  const QDir corpus(QStringLiteral(QV_FUZZ_CORPUS "/calibration"));
  const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 8);
  int accepted = 0;
  for (const QString& name : names) {
    QFile file(corpus.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    const QByteArray bytes = file.readAll();
    const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    EXPECT_EQ(calibration_checks::Check(text), "") << name.toStdString();
    accepted += ParseCalibration(text).Ok;
  }
  EXPECT_GE(accepted, 4);
  EXPECT_GE(names.size() - accepted, 4);
}

}  // namespace
