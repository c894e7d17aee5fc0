// The window's side of the sound devices: the dialog, the kept choice, the offsets kept per
// input device, and the status line naming the devices in use.
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <cmath>

#include "AudioAnalyser.h"
#include "AudioDevice.h"
#include "DisplayResponse.h"
#include "AboutBox.h"
#include "Calibration.h"
#include "CardTestDialog.h"
#include "DeviceDialog.h"
#include "MainForm.h"
#include "Messages.h"
#include "SoundDevices.h"
#include "ToneGenerator.h"
#include "Widgets.h"

namespace {

// The default input keeps the offsets under the keys it always had; any other input's are in
// the list "ADCOffsets" under its name, so a measurement on one card is never applied to another.
constexpr const char* kOffsetList = "ADCOffsets";

bool ValidOffset(const QVariant& value, int& offset) {
  bool ok = false;
  offset = value.toInt(&ok);
  return ok && offset >= -32767 && offset <= 32767;
}

}  // namespace

bool ReadOffsetsFor(QSettings& s, const std::string& input, int& left, int& right) {
  left = right = 0;
  if (input.empty()) {
    const QVariant l = s.value("ADCLeftOffset"), r = s.value("ADCRightOffset");
    const QString measured = s.value("ADCMeasured").toString().trimmed().toLower();
    if (measured != "true" && measured != "1") return false;
    // A missing offset is 0; one that no 16-bit input gives was not written by a measurement.
    if ((l.isValid() && !ValidOffset(l, left)) || (r.isValid() && !ValidOffset(r, right))) {
      left = right = 0;
      return false;
    }
    return true;
  }
  const int n = s.beginReadArray(kOffsetList);
  bool found = false;
  for (int i = 0; i < n && !found; ++i) {
    s.setArrayIndex(i);
    if (s.value("Device").toString().toStdString() != input) continue;
    found = ValidOffset(s.value("Left"), left) && ValidOffset(s.value("Right"), right);
    if (!found) left = right = 0;
    break;
  }
  s.endArray();
  return found;
}

void WriteOffsetsFor(QSettings& s, const std::string& input, int left, int right) {
  if (input.empty()) {
    s.setValue("ADCLeftOffset", left);
    s.setValue("ADCRightOffset", right);
    s.setValue("ADCMeasured", true);
    return;
  }
  struct TEntry {
    QString device;
    int left, right;
  };
  std::vector<TEntry> entries;
  const int n = s.beginReadArray(kOffsetList);
  for (int i = 0; i < n; ++i) {
    s.setArrayIndex(i);
    TEntry e{s.value("Device").toString(), s.value("Left").toInt(), s.value("Right").toInt()};
    if (e.device.toStdString() != input && !e.device.isEmpty()) entries.push_back(e);
  }
  s.endArray();
  entries.push_back({QString::fromStdString(input), left, right});
  s.remove(kOffsetList);
  s.beginWriteArray(kOffsetList, static_cast<int>(entries.size()));
  for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
    s.setArrayIndex(i);
    s.setValue("Device", entries[i].device);
    s.setValue("Left", entries[i].left);
    s.setValue("Right", entries[i].right);
  }
  s.endArray();
}

void TMainForm::ReadDeviceChoice(QSettings& s) {
  FDeviceChoice.output = s.value("SoundOutput").toString().toStdString();
  FDeviceChoice.input = s.value("SoundInput").toString().toStdString();
  bool ok = false;
  const int latency = s.value("SoundLatency").toInt(&ok);
  FDeviceChoice.latency = ok && latency >= 0 && latency <= 2 ? static_cast<TLatency>(latency) : TLatency::Normal;
  // The devices themselves are looked up once the window is on its way to the screen.
  FToneGenerator->SetToneBlockFrames(LatencyPlan(EffectiveDeviceChoice(FDeviceChoice).latency).toneBlockFrames);
  int left = 0, right = 0;
  FADCMeasured = ReadOffsetsFor(s, FDeviceChoice.input, left, right);
  FAnalyser->SetLeftOffset(left);
  FAnalyser->SetRightOffset(right);
}

void TMainForm::SoundDevices1Click() {
  std::string why;
  // PortAudio reads its devices when it starts: start it again for devices connected since,
  // which it allows only while no stream is open. Otherwise the list stays as it was.
  if (!FToneGenerator->Enabled() && !FAnalyser->Enabled() && !ResponsePlot1->Enabled() &&
      AudioBackend().Name() != "simulated")
    RescanSoundDevices(nullptr);
  const std::vector<TSoundDevice> devices = ListSoundDevices(&why);
  if (devices.empty() && !why.empty()) ShowMessage("No sound devices can be listed: " + why + ".");
  TDeviceDialog dialog(this);
  dialog.setFont(font());
  dialog.SetDevices(devices, FDeviceChoice);
  dialog.OnMeasure = [this](const TDeviceChoice& choice) { return MeasureRoundTrip(choice); };
  const TDeviceChoice before = FDeviceChoice;
  if (dialog.exec() != QDialog::Accepted) {
    // A measurement may have switched the devices: back to those in use.
    if (CurrentDeviceChoice().output != before.output || CurrentDeviceChoice().input != before.input ||
        CurrentDeviceChoice().latency != before.latency)
      ApplyDeviceChoice(before, false);
    return;
  }
  ApplyDeviceChoice(dialog.Choice(), true);
}

QString TMainForm::MeasureRoundTrip(const TDeviceChoice& choice) {
  StopAudio();
  if (const std::string note = UseDeviceChoice(choice); !note.empty()) return QString::fromStdString(note);
  FToneGenerator->SetToneBlockFrames(LatencyPlan(EffectiveDeviceChoice(choice).latency).toneBlockFrames);
  std::string why;
  const double ms = MeasureRoundTripMs(4000, &why);
  if (std::isnan(ms)) return QString::fromStdString(why);
  FRoundTripMs = ms;
  return QString("Round trip: %1 ms").arg(ms, 0, 'f', 0);
}

void TMainForm::ApplyDeviceChoice(const TDeviceChoice& choice, bool keep) {
  const bool inputChanged = choice.input != FDeviceChoice.input;
  StopAudio();
  FDeviceChoice = choice;
  if (const std::string note = UseDeviceChoice(choice); !note.empty()) ShowMessage(note);
  FToneGenerator->SetToneBlockFrames(LatencyPlan(EffectiveDeviceChoice(choice).latency).toneBlockFrames);
  if (keep) {
    const auto settings = OpenSettings();
    settings->setValue("SoundOutput", QString::fromStdString(choice.output));
    settings->setValue("SoundInput", QString::fromStdString(choice.input));
    settings->setValue("SoundLatency", static_cast<int>(choice.latency));
    SaveSettings(*settings, "The devices are used until the program ends.");
  }
  ShowBackend();
  if (!inputChanged) return;
  int left = 0, right = 0;
  {
    const auto settings = OpenSettings();
    FADCMeasured = ReadOffsetsFor(*settings, choice.input, left, right);
  }
  FAnalyser->SetLeftOffset(left);
  FAnalyser->SetRightOffset(right);
  ShowOffsetHint();
  if (!FADCMeasured && keep) AskToMeasureOffset();
}

void TMainForm::SoundCardTest1Click() {
  // The test plays and records on its own streams: nothing else may use the card meanwhile.
  StopAudio();
  const auto settings = OpenSettings();
  QString folder = settings->value("CardTestFolder").toString();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::homePath();
  TCardTestDialog dialog(this);
  dialog.setFont(font());
  dialog.SetFolder(folder);
  const TDeviceChoice choice = CurrentDeviceChoice();
  const TLatencyPlan plan = LatencyPlan(choice.latency);
  dialog.OutputBlockFrames = plan.toneBlockFrames;
  dialog.InputBlockFrames = static_cast<int>(plan.chunkFrames);
  // The calibration in use corrects the report's response, as it does the window's readings.
  if (const TCalibration* calibration = Calibration()) {
    auto curve = std::make_shared<TCalibration>(*calibration);
    dialog.CorrectiondB = [curve](double hz) { return curve->GaindB(hz); };
  }
  const std::string calibrationFile = Calibration() ? Calibration()->FileName : std::string();
  dialog.ReportHead = [choice, calibrationFile] {
    TCardReport head;
    head.Calibration = calibrationFile;
    head.Program = "Quorvane " + VersionText().toStdString();
    head.Backend = AudioBackend().Name() == "simulated"
                       ? std::string("Simulated sound card")
                       : std::string("PortAudio, ") + LatencyName(choice.latency) + " latency";
    return head;
  };
  dialog.exec();
  if (dialog.Folder() != folder && QFileInfo(dialog.Folder()).isDir()) {
    settings->setValue("CardTestFolder", dialog.Folder());
    SaveSettings(*settings, "The report folder is not kept.");
  }
}
