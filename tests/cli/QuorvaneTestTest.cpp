// quorvane-test as a production line runs it: exit status, limits, messages, and a pair of WAV
// files that sox (not this program) delayed and attenuated.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>
#include <string>

#include "CardReport.h"

namespace {

struct TRun {
  int status = -1;
  std::string out, err;
};

TRun RunProgram(const QStringList& args) {
  QProcess p;
  p.start(QUORVANE_TEST_PROGRAM, args);
  EXPECT_TRUE(p.waitForFinished(60000));
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
          p.readAllStandardError().toStdString()};
}

void Write(const QString& name, const char* text) {
  QFile f(name);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

std::optional<TCardReport> ReportIn(const QString& folder) {
  const QStringList csv = QDir(folder).entryList({"*.csv"}, QDir::Files);
  if (csv.size() != 1) return std::nullopt;
  QFile f(QDir(folder).filePath(csv[0]));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  return ParseCardReportCsv(f.readAll().toStdString(), nullptr);
}

}  // namespace

TEST(QuorvaneTest, ExitStatusFollowsTheLimits) {
  QTemporaryDir dir;
  const QString folder = dir.path();
  Write(folder + "/pass.txt", "# a wire: flat, quiet, no crosstalk\ngain_1k_db.left -0.05 0.05\nthdn_db - -70\n"
                              "crosstalk_1khz_db - -100\nround_trip_ms 200 600\n");
  Write(folder + "/fail.txt", "noise_dbfs - -90\n");
  Write(folder + "/bad.txt", "thdn_db -80\n");
  struct TCase {
    const char* name;
    QStringList args;
    int status;
    const char* text;  // in stdout (0, 1) or stderr (2)
  };
  const TCase cases[] = {
      {"help", {"--help"}, 0, "Usage: quorvane-test [options] FOLDER"},
      {"passes", {"--simulated", "--limits", folder + "/pass.txt", folder}, 0, "All 4 limits met."},
      // The card's hum alone lies at -80 dBFS.
      {"fails", {"--simulated", "--limits", folder + "/fail.txt", folder}, 1, "OUTSIDE LIMIT: noise_dbfs left: -79."},
      {"bad limits", {"--simulated", "--limits", folder + "/bad.txt", folder}, 2, "bad.txt\" line 1: a limit is KEY MIN MAX"},
      {"no folder", {"--simulated"}, 2, "name the folder for the report"},
      {"unknown option", {"--fast", folder}, 2, "unknown option --fast"},
      {"bad device", {"--output", "ALSA: No such card", folder}, 2, "there is no sound output \"ALSA: No such card\""},
      {"bad latency", {"--latency", "quick", folder}, 2, "--latency is low, normal or safe, not \"quick\""},
      {"half a pair", {"--played", "a.wav", folder}, 2, "--played and --captured go together"},
      {"missing file", {"--played", folder + "/none.wav", "--captured", folder + "/none.wav", folder}, 2,
       "cannot read"},
  };
  for (const TCase& c : cases) {
    const TRun r = RunProgram(c.args);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
    EXPECT_NE((c.status == 2 ? r.err : r.out).find(c.text), std::string::npos) << c.name << "\n" << r.out << r.err;
  }
}

// The signal played "through" sox: delayed by 4321 frames and 6 dB down, then read as a pair.
// sox's own gain and pad are the ground truth.
TEST(QuorvaneTest, PairOfFilesFromSox) {
  QTemporaryDir dir;
  const QString played = dir.path() + "/played.wav", captured = dir.path() + "/captured.wav";
  ASSERT_EQ(RunProgram({"--write-signal", played}).status, 0);
  QProcess sox;
  sox.start("sox", {"-D", played, captured, "pad", "4321s", "3s", "gain", "-6"});
  ASSERT_TRUE(sox.waitForFinished(30000));
  ASSERT_EQ(sox.exitCode(), 0) << sox.readAllStandardError().toStdString();
  QDir().mkpath(dir.path() + "/report");
  const TRun r = RunProgram({"--played", played, "--captured", captured, dir.path() + "/report"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::optional<TCardReport> report = ReportIn(dir.path() + "/report");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->Result.DelayMethod, "file positions");
  const auto figure = [&](const char* key) { return *report->Result.Find(key); };
  for (int ch : {0, 1}) {
    const auto at = [&](const char* key) { return ch == 0 ? figure(key).Left : figure(key).Right; };
    EXPECT_NEAR(at("gain_1k_db"), -6.0, 0.02) << ch;
    EXPECT_NEAR(at("response_min_db"), 0.0, 0.02) << ch;
    EXPECT_NEAR(at("response_max_db"), 0.0, 0.02) << ch;
    EXPECT_NEAR(at("round_trip_frames"), 4321.0, 0.1) << ch;
    EXPECT_NEAR(at("dc_offset_lsb"), 0.0, 0.01) << ch;
  }
  // Not the test signal: refused, naming the file.
  const TRun wrong = RunProgram({"--played", captured, "--captured", captured, dir.path() + "/report"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("captured.wav\" is not the test signal"), std::string::npos) << wrong.err;
}

// A report's CSV reads back to the same figures, and a page lays an earlier one beside it.
TEST(QuorvaneTest, ReportRoundTrip) {
  TCardReport report;
  report.Date = "2026-12-09 02:40:00";
  report.Output = "ALSA: USB, \"Codec\"";
  report.Result.Figures = {{"thdn_db", "THD+N at -1 dBFS, 997 Hz", "dB", -96.123456789, kNoFigure},
                           {"round_trip_ms", "Round-trip delay", "ms", 117.25, 117.5}};
  report.Result.CurveHz = {20, 1000};
  report.Result.CurvedB = {std::vector<double>{-0.5, 0}, std::vector<double>{kNoFigure, 0}};
  std::string error;
  const std::optional<TCardReport> back = ParseCardReportCsv(CardReportCsv(report), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->Output, report.Output);
  ASSERT_EQ(back->Result.Figures.size(), 2u);
  EXPECT_EQ(back->Result.Figures[0].Left, -96.123456789);
  EXPECT_TRUE(std::isnan(back->Result.Figures[0].Right));
  EXPECT_EQ(back->Result.CurvedB[0], report.Result.CurvedB[0]);
  EXPECT_FALSE(ParseCardReportCsv("Key,Quantity,Unit,Left,Right\nthdn_db,x,dB,minus,\n", &error));
  EXPECT_EQ(error, "line 2: \"minus\" is not a number");
  const std::string page = CardReportHtml({report, *back});
  EXPECT_NE(page.find("Beside: 2026-12-09 02:40:00"), std::string::npos);
  EXPECT_NE(page.find("<td class=\"n\">&minus;96.12</td><td class=\"n\">&ndash;</td>"), std::string::npos);
  EXPECT_NE(page.find("ALSA: USB, &quot;Codec&quot;"), std::string::npos);
}
