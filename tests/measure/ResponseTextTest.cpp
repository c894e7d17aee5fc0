// Response text files: what the reader accepts and the reason it gives for each refusal, the
// writer's exact text and its round trip, interpolation against values worked out by hand, and
// the fuzz corpus replayed through the fuzz target's checks.
#include "ResponseText.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ResponseTextChecks.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ResponseText, AcceptedTexts) {
  struct TCase {
    const char* name;
    std::string text;
    std::vector<TResponsePoint> points;
    std::vector<std::string> comments;
  } const cases[] = {
      {"written, with phase",
       "* left input\n* \n20.000 -0.1500 12.500\n1000.000 0.0000 -180.000\n",
       {{20, -0.15, 12.5}, {1000, 0, -180}},
       {"left input", ""}},
      {"BOM, CRLF, every comment marker, blank lines",
       "\xEF\xBB\xBF# one\r\n//two\r\n\r\n  ;  three \r\n*four\r\n10\t-3.5\r\n \t \r\n   100\t-0.2\r\n",
       {{10, -3.5, kNaN}, {100, -0.2, kNaN}},
       {"one", "two", " three ", "four"}},
      {"commas, semicolons, signs, exponents, no final line end",
       "20, -1.5, 170\n40 ;-1.0; -175\n 80\t,\t-0.5 , -160.5\n1.6e2 -2.5E-1 +3.5e1\n.32e3,0,-0",
       {{20, -1.5, 170}, {40, -1, -175}, {80, -0.5, -160.5}, {160, -0.25, 35}, {320, 0, 0}},
       {}},
      {"spaces at the line's end", "100 1   \n200 2\t\n", {{100, 1, kNaN}, {200, 2, kNaN}}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TResponseTextParse r = ParseResponseText(c.text);
    ASSERT_TRUE(r.Ok) << r.Reason;
    EXPECT_EQ(r.Reason, "");
    EXPECT_EQ(r.Text.HasPhase, !std::isnan(c.points[0].Deg));
    EXPECT_EQ(r.Text.Comments, c.comments);
    ASSERT_EQ(r.Text.Points.size(), c.points.size());
    for (std::size_t i = 0; i < c.points.size(); ++i) {
      EXPECT_EQ(r.Text.Points[i].Hz, c.points[i].Hz) << i;
      EXPECT_EQ(r.Text.Points[i].dB, c.points[i].dB) << i;
      if (std::isnan(c.points[i].Deg))
        EXPECT_TRUE(std::isnan(r.Text.Points[i].Deg)) << i;
      else
        EXPECT_EQ(r.Text.Points[i].Deg, c.points[i].Deg) << i;
    }
  }
}

TEST(ResponseText, RefusedTextsNameTheLineAndTheReason) {
  std::string tooMany;
  for (std::size_t i = 1; i <= kResponseTextMaxPoints + 1; ++i)
    tooMany += std::to_string(i) + " 0\n";
  struct TCase {
    const char* name;
    std::string text, reason;
  } const cases[] = {
      {"empty", "", "line 1: the text ends after 0 points; at least 2 are needed"},
      {"comments only", "# a\r\n# b\r\n", "line 2: the text ends after 0 points; at least 2 are needed"},
      {"one point", "# only\n100 1\n\n", "line 3: the text ends after 1 point; at least 2 are needed"},
      {"falling", "100 1\n200 2\n150 3\n",
       "line 3: the frequency 150 Hz does not rise above 200 Hz before it"},
      {"repeated", "100 1\n100 2\n", "line 2: the frequency 100 Hz does not rise above 100 Hz before it"},
      {"zero Hz", "0 1\n100 2\n", "line 1: the frequency 0 Hz is not above 0"},
      {"negative Hz", "# x\n-5 1\n100 2\n", "line 2: the frequency -5 Hz is not above 0"},
      {"columns change", "100 1 10\n\n200 2\n", "line 3: 2 numbers where line 1 has 3"},
      {"one number", "100 1\n200\n", "line 2: one number; a point is frequency and dB, optionally degrees"},
      {"four numbers", "1 2 3 4\n", "line 1: more than 3 numbers (frequency, dB and degrees)"},
      {"NaN", "100 1\n200 nan\n", "line 2: \"nan\" is not a finite number"},
      {"infinity", "100 1 0\n200 2 -inf\n", "line 2: \"-inf\" is not a finite number"},
      {"overflow", "100 1\n1e999 2\n", "line 2: \"1e999\" is out of range"},
      {"two signs", "100 1\n+-200 2\n", "line 2: \"+-200\" is not a number"},
      {"hexadecimal", "0x10 1\n", "line 1: \"0x10\" is not a number"},
      {"a header line", "Frequency-Hz   response-dB\n", "line 1: \"Frequency-Hz\" is not a number"},
      {"a control byte, a long token", "100\x01 1\n",
       "line 1: \"100?\" is not a number"},
      {"long token", "100 1\n200 123456789012345678901234567890x\n",
       "line 2: \"123456789012345678901234...\" is not a number"},
      {"empty field", "100,,1\n", "line 1: an empty field between separators"},
      {"leading comma", ",100 1\n", "line 1: an empty field between separators"},
      {"trailing semicolon", "100;1;\n", "line 1: a separator ends the line"},
      {"decimal commas", "1000 -3,2\n", "line 1: separators of two kinds between the numbers (a decimal comma?)"},
      {"comma then semicolon", "1000,-3;2\n", "line 1: separators of two kinds between the numbers (a decimal comma?)"},
      {"a lone CR ends no line", "100 1\r200 2\n", "line 1: \"1?200\" is not a number"},
      {"too many points", tooMany, "line 1000001: more than 1000000 points"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TResponseTextParse r = ParseResponseText(c.text);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Reason, c.reason);
    EXPECT_TRUE(r.Text.Points.empty() && r.Text.Comments.empty());
  }
}

TEST(ResponseText, WrittenTextIsExactAndReadsBack) {
  const double inf = std::numeric_limits<double>::infinity();
  struct TCase {
    const char* name;
    std::vector<TResponsePoint> points;
    std::vector<std::string> comments;
    bool withPhase;
    std::string text;
  } const cases[] = {
      {"phase, rounding, a comment of two lines",
       {{20, -0.15, 12.5}, {1000.0004, 0.00004, -180}, {19999.9996, -1.23456, 359.9996}},
       {"left input", "sweep 20 Hz ... 20 kHz\r\n10 s"},
       true,
       "* left input\n* sweep 20 Hz ... 20 kHz\n* 10 s\n20.000 -0.1500 12.500\n"
       "1000.000 0.0000 -180.000\n20000.000 -1.2346 360.000\n"},
      {"no phase asked", {{20, -0.15, 12.5}, {40, 1, 3}}, {}, false, "20.000 -0.1500\n40.000 1.0000\n"},
      {"a point without phase drops the column",
       {{20, -0.15, 12.5}, {40, 1, kNaN}}, {}, true, "20.000 -0.1500\n40.000 1.0000\n"},
      {"what would not read back is left out",
       {{0.0004, 1, 0}, {20, 2, 0}, {20.0004, 3, 0}, {30, inf, 0}, {kNaN, 4, 0}, {40, 5, 0}, {35, 6, 0}},
       {},
       true,
       "20.000 2.0000 0.000\n40.000 5.0000 0.000\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = FormatResponseText(c.points, c.comments, c.withPhase);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(response_text_checks::Check(text), "");
  }

  // A measured response's worth of points, every one read back to the printed precision.
  std::vector<TResponsePoint> points;
  for (int i = 0; i < 32769; ++i) {
    const double hz = 20 * std::pow(1000.0, i / 32768.0);
    points.push_back({hz, 40 * std::sin(i * 0.37) - 20, 1000 * std::cos(i * 0.011)});
  }
  const TResponseTextParse back = ParseResponseText(FormatResponseText(points, {"x"}, true));
  ASSERT_TRUE(back.Ok) << back.Reason;
  ASSERT_EQ(back.Text.Points.size(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const TResponsePoint& p = back.Text.Points[i];
    ASSERT_NEAR(p.Hz, points[i].Hz, 0.0005 + 1e-12) << i;
    ASSERT_NEAR(p.dB, points[i].dB, 0.00005 + 1e-12) << i;
    ASSERT_NEAR(p.Deg, points[i].Deg, 0.0005 + 1e-12) << i;
  }
}

TEST(ResponseText, InterpolatesInLogFrequencyWithTheUnwrappedPhase) {
  TResponseText text;
  // Wrapped phase: 170, -170, -150 continue as 170, 190, 210.
  text.Points = {{100, 0, 170}, {1000, -20, -170}, {10000, -40, -150}};
  text.HasPhase = true;
  struct TCase {
    double hz, dB, deg;
  } const cases[] = {
      {50, 0, 170},           {100, 0, 170},       {std::sqrt(1e5), -10, 180},
      {1000, -20, 190},       {std::pow(10, 3.25), -25, 195}, {10000, -40, 210},
      {20000, -40, 210},      {0, 0, 170},
  };
  std::vector<double> grid;
  for (const TCase& c : cases) grid.push_back(c.hz);
  const std::vector<TResponsePoint> curve = InterpolateResponse(text, grid);
  ASSERT_EQ(curve.size(), grid.size());
  for (std::size_t i = 0; i < grid.size(); ++i) {
    SCOPED_TRACE(grid[i]);
    EXPECT_EQ(curve[i].Hz, grid[i]);
    EXPECT_NEAR(curve[i].dB, cases[i].dB, 1e-9);
    EXPECT_NEAR(curve[i].Deg, cases[i].deg, 1e-9);
    const TResponsePoint one = InterpolateResponse(text, grid[i]);
    EXPECT_EQ(one.dB, curve[i].dB);
    EXPECT_EQ(one.Deg, curve[i].Deg);
  }
  text.HasPhase = false;
  EXPECT_TRUE(std::isnan(InterpolateResponse(text, 500).Deg));
  EXPECT_EQ(InterpolateResponse(TResponseText{}, 500).dB, 0);
}

// Every input of the fuzz corpus (seeds and what fuzzing found) keeps the reader's properties;
// the seeds hold texts both accepted and refused.
TEST(ResponseText, FuzzCorpusKeepsTheReaderProperties) {
  const QDir corpus(QStringLiteral(QV_FUZZ_CORPUS "/response_text"));
  const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
  ASSERT_GE(names.size(), 13);
  int accepted = 0;
  for (const QString& name : names) {
    QFile file(corpus.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    const QByteArray bytes = file.readAll();
    const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    EXPECT_EQ(response_text_checks::Check(text), "") << name.toStdString();
    accepted += ParseResponseText(text).Ok;
  }
  EXPECT_GE(accepted, 6);
  EXPECT_GE(names.size() - accepted, 6);
}

}  // namespace
