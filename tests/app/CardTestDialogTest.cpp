// The sound-card test's dialog on the accelerated simulated card: a run writes its report, a
// second lays the first beside it, Cancel writes nothing, and a calibration curve comes off the
// response.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <cmath>

#include "AppTestSupport.h"
#include "CardTestDialog.h"

namespace {

class CardTestDialogTest : public AppTest {
 protected:
  // Starts a run and pumps until the dialog is idle again.
  void RunTest(TCardTestDialog& dialog, int cancelAtPercent = -1) {
    auto* progress = Find<QProgressBar>(&dialog, "ProgressBarCardTest");
    Find<QPushButton>(&dialog, "ButtonCardTestStart")->click();
    EXPECT_EQ(Find<QPushButton>(&dialog, "ButtonCardTestStart")->text(), "Cancel");
    EXPECT_FALSE(Find<QPushButton>(&dialog, "ButtonCardTestClose")->isEnabled());
    if (cancelAtPercent >= 0) {
      ASSERT_TRUE(PumpUntil([&] { return progress->value() >= cancelAtPercent; }, 20000));
      Find<QPushButton>(&dialog, "ButtonCardTestStart")->click();
    }
    ASSERT_TRUE(PumpUntil([&] { return !dialog.Running(); }, 30000));
    EXPECT_EQ(Find<QPushButton>(&dialog, "ButtonCardTestStart")->text(), "Start");
  }
  static std::string Text(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
  }
  static double Figure(const QString& csv, const char* key) {
    const std::optional<TCardReport> r = ParseCardReportCsv(Text(csv), nullptr);
    return r && r->Result.Find(key) ? r->Result.Find(key)->Left : kNoFigure;
  }
};

}  // namespace

TEST_F(CardTestDialogTest, RunsCancelsAndLaysReportsBeside) {
  QTemporaryDir out;
  TCardTestDialog dialog;
  dialog.SetFolder(out.path());
  dialog.OutputBlockFrames = dialog.InputBlockFrames = 16384;
  dialog.ReportHead = [] {
    TCardReport head;
    head.Program = "Quorvane test";
    return head;
  };
  auto* label = Find<QLabel>(&dialog, "LabelCardTestStep");

  RunTest(dialog, 30);
  EXPECT_EQ(label->text(), "The test was cancelled.");
  EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files).isEmpty());

  RunTest(dialog);
  EXPECT_EQ(Find<QProgressBar>(&dialog, "ProgressBarCardTest")->value(), 100);
  EXPECT_EQ(label->text(), "Report written: " + QDir::toNativeSeparators(dialog.HtmlFile()));
  const std::string first = Text(dialog.HtmlFile());
  EXPECT_NE(first.find("<td>Quorvane test</td>"), std::string::npos);
  EXPECT_EQ(first.find("Beside: "), std::string::npos);
  const QString firstCsv = dialog.CsvFile();
  EXPECT_NEAR(Figure(firstCsv, "gain_1k_db"), 0.0, 0.02);

  // A curve rising 2 dB per decade above 1 kHz comes off the response: 20 kHz reads 2.6 dB lower.
  dialog.CorrectiondB = [](double hz) { return hz > 1000 ? 2 * std::log10(hz / 1000) : 0.0; };
  RunTest(dialog);
  const std::string second = Text(dialog.HtmlFile());
  EXPECT_NE(second.find("Beside: "), std::string::npos);
  EXPECT_NEAR(Figure(dialog.CsvFile(), "response_20khz_db"),
              Figure(firstCsv, "response_20khz_db") - 2 * std::log10(20.0), 0.005);
  EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 4);

  // "Open report" hands the page to the browser; no folder, no run.
  Find<QPushButton>(&dialog, "ButtonCardTestOpen")->click();
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], QUrl::fromLocalFile(dialog.HtmlFile()));
  dialog.SetFolder(out.path() + "/gone");
  Find<QPushButton>(&dialog, "ButtonCardTestStart")->click();
  EXPECT_FALSE(dialog.Running());
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0], "Choose a folder for the report: \"" + (out.path() + "/gone").toStdString() +
                                      "\" is not a folder.");
  recorder.messages.clear();
}
