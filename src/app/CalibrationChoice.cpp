// The window's side of calibration files: the two menu items, the kept choice, and the status
// line naming the file in use.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cmath>

#include "Calibration.h"
#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "FileDialogs.h"
#include "ImpulsePage.h"
#include "MainForm.h"
#include "Messages.h"

namespace {

constexpr const char* kCalibrationKey = "CalibrationFile";
// Far above 100000 lines of numbers: anything bigger is no calibration file.
constexpr qint64 kMaxCalibrationBytes = 16 << 20;

// The calibration in the file, or why it cannot be used (a sentence without a full stop).
std::string ReadCalibrationFile(const QString& path, std::shared_ptr<const TCalibration>& out) {
  const QFileInfo info(path);
  if (!info.exists()) return "the file does not exist";
  // A pipe or a device would wait or never end.
  if (!info.isFile()) return "it is not a plain file";
  if (info.size() > kMaxCalibrationBytes) return "it is larger than 16 MB";
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return file.errorString().toStdString();
  const QByteArray bytes = file.read(kMaxCalibrationBytes + 1);
  if (file.error() != QFileDevice::NoError) return file.errorString().toStdString();
  if (bytes.size() > kMaxCalibrationBytes) return "it is larger than 16 MB";
  TCalibrationParse parse = ParseCalibration(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (!parse.Ok) return parse.Reason;
  parse.Calibration.FileName = path.toStdString();
  out = std::make_shared<const TCalibration>(std::move(parse.Calibration));
  return {};
}

std::string PathText(const QString& path) { return QDir::toNativeSeparators(path).toStdString(); }

}  // namespace

void TMainForm::ReadCalibrationChoice(QSettings& s) {
  const QString path = s.value(kCalibrationKey).toString();
  if (path.isEmpty()) return;
  std::shared_ptr<const TCalibration> calibration;
  if (const std::string why = ReadCalibrationFile(path, calibration); !why.empty()) {
    // Forgotten: else every start would say the same, and "No calibration" is not there to stop it.
    s.remove(kCalibrationKey);
    FCalibrationNote = "The calibration file \"" + PathText(path) + "\" kept from the last session cannot be used: " +
                       why + ". The readings are shown without calibration.";
    return;
  }
  ApplyCalibration(std::move(calibration));
}

void TMainForm::LoadCalibration1Click() {
  const QString name = FileDialogs().OpenFileName(
      {"Load calibration", FCalibration ? QString::fromStdString(FCalibration->FileName) : QString(), "txt",
       "Calibration files (*.txt *.cal *.frd)|*.txt;*.cal;*.frd|All files (*.*)|*.*"});
  if (!name.isEmpty()) LoadCalibration(name);
}

bool TMainForm::LoadCalibration(const QString& path) {
  std::shared_ptr<const TCalibration> calibration;
  if (const std::string why = ReadCalibrationFile(path, calibration); !why.empty()) {
    ShowMessage("Could not load the calibration file \"" + PathText(path) + "\": " + why + ".");
    return false;
  }
  ApplyCalibration(std::move(calibration));
  const auto settings = OpenSettings();
  settings->setValue(kCalibrationKey, path);
  SaveSettings(*settings, "The calibration is applied until the program ends.");
  return true;
}

void TMainForm::NoCalibration1Click() {
  ApplyCalibration(nullptr);
  const auto settings = OpenSettings();
  settings->remove(kCalibrationKey);
  SaveSettings(*settings, "The calibration file is loaded again at the next start.");
}

void TMainForm::ApplyCalibration(std::shared_ptr<const TCalibration> calibration) {
  FCalibration = std::move(calibration);
  SpectrumDisplay1->SetCalibration(FCalibration);
  ResponsePlot1->SetCalibration(FCalibration);
  ImpulseDisplay1->SetCalibration(FCalibration);
  NoCalibration1->setEnabled(FCalibration != nullptr);
  // Before the first showing the status line has no backend to name yet.
  if (FShown) ShowStatus();
}

void TMainForm::AddCalibrationStatus(QString& tail, QString& hint) const {
  if (!FCalibration) return;
  const QString path = QString::fromStdString(FCalibration->FileName);
  tail = QString::fromUtf8(" \u00B7 Cal: ") + QFileInfo(path).fileName();
  if (!hint.isEmpty()) hint += '\n';
  hint += QString("Calibration: %1 (subtracted from the readings)").arg(QDir::toNativeSeparators(path));
  if (!FCalibration->SensitivityText.empty()) {
    hint += QString("\nSensitivity: %1").arg(QString::fromStdString(FCalibration->SensitivityText));
    if (std::isfinite(FCalibration->SensitivitydB))
      hint += QString(" (%1 dB)").arg(FCalibration->SensitivitydB, 0, 'f', 2);
  }
}
