// The window's face of the sound-card test: where the report goes, Start, a progress bar with
// Cancel, and the report written when the run ends. The run and the figures are the engine's
// (TCardTestRun, AnalyseCardTest, CardReport* in src/measure), the same as the command line's.
//
// Threads: GUI thread only.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <string>

#include "CardReport.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class TCardTestPlan;
class TCardTestRun;

class TCardTestDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TCardTestDialog(QWidget* parent = nullptr);
  ~TCardTestDialog() override;

  void SetFolder(const QString& folder);
  QString Folder() const;
  // Filled in by the window: what the report says of the sound system and the program.
  std::function<TCardReport()> ReportHead;
  // The calibration curve taken off the response (dB at Hz), and its file for the report.
  std::function<double(double)> CorrectiondB;
  // Output and input blocks for the current latency.
  int OutputBlockFrames = 4096, InputBlockFrames = 4096;
  // The files of the last report written (empty before one is).
  QString HtmlFile() const { return htmlFile_; }
  QString CsvFile() const { return csvFile_; }
  bool Running() const;

  // The newest sound-card test CSV in a folder other than `except` (empty when there is none).
  static QString NewestReport(const QString& folder, const QString& except = {});

 protected:
  void reject() override;

 private:
  void ChooseFolder();
  void StartClick();
  void Finished(const std::string& error);
  void WriteReport();
  void ShowIdle();

  QLineEdit* EditCardTestFolder = nullptr;
  QPushButton* ButtonCardTestFolder = nullptr;
  QCheckBox* CheckBoxCardTestBeside = nullptr;
  QProgressBar* ProgressBarCardTest = nullptr;
  QLabel* LabelCardTestStep = nullptr;
  QPushButton* ButtonCardTestStart = nullptr;
  QPushButton* ButtonCardTestOpen = nullptr;
  QPushButton* ButtonCardTestClose = nullptr;
  std::unique_ptr<TCardTestPlan> plan_;
  std::unique_ptr<TCardTestRun> run_;
  QString htmlFile_, csvFile_;
};
