#include "CardTestDialog.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QUrl>

#include "CardTest.h"
#include "CardTestRun.h"
#include "FileDialogs.h"
#include "Help.h"
#include "Messages.h"

namespace {

bool WriteFile(const QString& name, const std::string& text) {
  QSaveFile f(name);
  const QByteArray bytes = QByteArray::fromStdString(text);
  if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit()) return true;
  ShowMessage("The report cannot be written to \"" + QDir::toNativeSeparators(name).toStdString() +
              "\": " + f.errorString().toStdString() + ".");
  return false;
}

}  // namespace

TCardTestDialog::TCardTestDialog(QWidget* parent) : QDialog(parent), plan_(std::make_unique<TCardTestPlan>()) {
  setWindowTitle("Sound card test");
  setObjectName("CardTestDialog");
  auto* grid = new QGridLayout(this);
  auto* intro = new QLabel(
      QString("Wire the output to the input, left to left and right to right, and set the levels so "
              "that a full-scale tone does not clip. The test plays for %1 s: a sweep, silence and tones.")
          .arg(plan_->Seconds(), 0, 'f', 0),
      this);
  intro->setWordWrap(true);
  grid->addWidget(intro, 0, 0, 1, 3);
  grid->addWidget(new QLabel("Report folder:", this), 1, 0);
  EditCardTestFolder = new QLineEdit(this);
  EditCardTestFolder->setObjectName("EditCardTestFolder");
  grid->addWidget(EditCardTestFolder, 1, 1);
  ButtonCardTestFolder = new QPushButton("Choose ...", this);
  ButtonCardTestFolder->setObjectName("ButtonCardTestFolder");
  grid->addWidget(ButtonCardTestFolder, 1, 2);
  CheckBoxCardTestBeside = new QCheckBox("Lay the folder's newest earlier report beside this one", this);
  CheckBoxCardTestBeside->setObjectName("CheckBoxCardTestBeside");
  CheckBoxCardTestBeside->setChecked(true);
  grid->addWidget(CheckBoxCardTestBeside, 2, 0, 1, 3);
  ProgressBarCardTest = new QProgressBar(this);
  ProgressBarCardTest->setObjectName("ProgressBarCardTest");
  ProgressBarCardTest->setRange(0, 100);
  ProgressBarCardTest->setValue(0);
  grid->addWidget(ProgressBarCardTest, 3, 0, 1, 3);
  LabelCardTestStep = new QLabel(this);
  LabelCardTestStep->setObjectName("LabelCardTestStep");
  LabelCardTestStep->setWordWrap(true);
  LabelCardTestStep->setMinimumWidth(460);
  grid->addWidget(LabelCardTestStep, 4, 0, 1, 3);
  auto* buttons = new QHBoxLayout;
  ButtonCardTestStart = new QPushButton("Start", this);
  ButtonCardTestStart->setObjectName("ButtonCardTestStart");
  ButtonCardTestStart->setDefault(true);
  ButtonCardTestOpen = new QPushButton("Open report", this);
  ButtonCardTestOpen->setObjectName("ButtonCardTestOpen");
  ButtonCardTestOpen->setEnabled(false);
  ButtonCardTestClose = new QPushButton("Close", this);
  ButtonCardTestClose->setObjectName("ButtonCardTestClose");
  buttons->addWidget(ButtonCardTestStart);
  buttons->addWidget(ButtonCardTestOpen);
  buttons->addStretch();
  buttons->addWidget(ButtonCardTestClose);
  grid->addLayout(buttons, 5, 0, 1, 3);
  connect(ButtonCardTestFolder, &QPushButton::clicked, this, [this] { ChooseFolder(); });
  connect(ButtonCardTestStart, &QPushButton::clicked, this, [this] { StartClick(); });
  connect(ButtonCardTestOpen, &QPushButton::clicked, this,
          [this] {
            if (!OpenUrl(QUrl::fromLocalFile(htmlFile_)))
              ShowMessage("No browser opened the report \"" + QDir::toNativeSeparators(htmlFile_).toStdString() + "\".");
          });
  connect(ButtonCardTestClose, &QPushButton::clicked, this, &QDialog::reject);
  ShowIdle();
}

TCardTestDialog::~TCardTestDialog() = default;

void TCardTestDialog::SetFolder(const QString& folder) { EditCardTestFolder->setText(QDir::toNativeSeparators(folder)); }
QString TCardTestDialog::Folder() const { return QDir::fromNativeSeparators(EditCardTestFolder->text().trimmed()); }
bool TCardTestDialog::Running() const { return run_ && run_->Running(); }

QString TCardTestDialog::NewestReport(const QString& folder, const QString& except) {
  // Newest written first (two reports of one second differ only in a suffix).
  for (const QString& name : QDir(folder).entryList({"sound-card-test-*.csv"}, QDir::Files, QDir::Time)) {
    const QString path = QDir(folder).filePath(name);
    if (path != except) return path;
  }
  return {};
}

void TCardTestDialog::ChooseFolder() {
  const QString chosen = FileDialogs().ExistingFolder({"Report folder", Folder(), {}, {}});
  if (!chosen.isEmpty()) SetFolder(chosen);
}

void TCardTestDialog::ShowIdle() {
  ButtonCardTestStart->setText("Start");
  for (QWidget* w : std::initializer_list<QWidget*>{EditCardTestFolder, ButtonCardTestFolder, CheckBoxCardTestBeside,
                                                   ButtonCardTestClose})
    w->setEnabled(true);
}

void TCardTestDialog::StartClick() {
  if (Running()) {
    run_->Cancel();
    return;
  }
  const QString folder = Folder();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    ShowMessage("Choose a folder for the report: \"" + folder.toStdString() + "\" is not a folder.");
    return;
  }
  run_ = std::make_unique<TCardTestRun>(*plan_);
  run_->SetOnProgress([this](double fraction, const std::string& step) {
    ProgressBarCardTest->setValue(static_cast<int>(fraction * 100));
    LabelCardTestStep->setText(QString::fromStdString(step));
  });
  run_->SetOnFinished([this](const std::string& error) { Finished(error); });
  ProgressBarCardTest->setValue(0);
  LabelCardTestStep->setText("Starting the sound devices");
  ButtonCardTestOpen->setEnabled(false);
  for (QWidget* w : std::initializer_list<QWidget*>{EditCardTestFolder, ButtonCardTestFolder, CheckBoxCardTestBeside,
                                                   ButtonCardTestClose})
    w->setEnabled(false);
  ButtonCardTestStart->setText("Cancel");
  try {
    run_->Start(OutputBlockFrames, InputBlockFrames);
  } catch (const std::exception& e) {
    // The stream has shown its own message; the dialog says where it stands.
    LabelCardTestStep->setText(QString("The test could not start: ") + e.what());
    ShowIdle();
  }
}

void TCardTestDialog::Finished(const std::string& error) {
  ShowIdle();
  if (!error.empty()) {
    LabelCardTestStep->setText(QString::fromStdString(error == "Cancelled." ? "The test was cancelled." : error));
    if (error != "Cancelled.") ShowMessage("The sound card test stopped: " + error);
    return;
  }
  ProgressBarCardTest->setValue(100);
  LabelCardTestStep->setText("Analysing ...");
  WriteReport();
}

void TCardTestDialog::WriteReport() {
  TCardReport report = ReportHead ? ReportHead() : TCardReport{};
  report.Date = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss").toStdString();
  report.Output = run_->OutputName();
  report.Input = run_->InputName();
  report.Settings = plan_->Settings();
  report.Result = AnalyseCardTest(*plan_, run_->Captured().data(), run_->CapturedFrames(), run_->Timing(),
                                  CorrectiondB);
  if (!report.Result.Valid) {
    LabelCardTestStep->setText(QString::fromStdString(report.Result.Error));
    ShowMessage("The sound card test has no figures: " + report.Result.Error);
    return;
  }
  const QString folder = Folder();
  std::vector<TCardReport> pages{report};
  if (CheckBoxCardTestBeside->isChecked()) {
    const QString earlier = NewestReport(folder);
    if (!earlier.isEmpty()) {
      QFile f(earlier);
      std::string why;
      std::optional<TCardReport> old;
      if (f.open(QIODevice::ReadOnly)) old = ParseCardReportCsv(f.readAll().toStdString(), &why);
      else why = f.errorString().toStdString();
      if (old) pages.push_back(*old);
      else ShowMessage("The earlier report \"" + earlier.toStdString() + "\" is not laid beside: " + why + ".");
    }
  }
  const QString stem = QString::fromStdString(NewCardReportStem(
      folder.toStdString(), QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss").toStdString()));
  if (!WriteFile(stem + ".csv", CardReportCsv(report)) || !WriteFile(stem + ".html", CardReportHtml(pages))) {
    LabelCardTestStep->setText("The report was not written.");
    return;
  }
  htmlFile_ = stem + ".html";
  csvFile_ = stem + ".csv";
  ButtonCardTestOpen->setEnabled(true);
  LabelCardTestStep->setText("Report written: " + QDir::toNativeSeparators(htmlFile_));
}

void TCardTestDialog::reject() {
  if (Running()) return;  // Cancel first: Escape must not leave the devices running
  QDialog::reject();
}
