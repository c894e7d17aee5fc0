// The generator panel: tone and sweep tabs, frequency and level track bars, lists, and the
// start button's handler.
#include <QGroupBox>
#include <QTabWidget>
#include <QThread>

#include <string>

#include "AudioAnalyser.h"
#include "MainForm.h"
#include "Messages.h"
#include "ToneGenerator.h"
#include "Widgets.h"

namespace {

const char* const kGeneratorAloneFailed =
    "Could not start sound generation.  If another sound program is in use, please close it "
    "first.  It may also be that your sound card cannot support 44.1KHz, 16-bit stereo.\r\r"
    "Original error:\r%s";
const char* const kGeneratorWithAnalyserFailed =
    "Could not start sound generation.  If another sound program is in use, please close it "
    "first.  If you can generate sound but not run simultaneous generation and analysis, your "
    "sound card drivers may need updating to handle full-duplex operation - check the "
    "manufacturer's Web site.  \rIt may also be that your sound card cannot support 44.1KHz, "
    "16-bit stereo.\r\rOriginal error:\r%s";
const char* const kAnalyserFailed =
    "Could not start sound analysis.  If another sound program is in use, please close it "
    "first.  It may also be that your sound card cannot support 44.1KHz, 16-bit stereo.\r\r"
    "Original error: %s";

std::string WithError(const char* text, const char* error) {
  std::string s = text;
  s.replace(s.find("%s"), 2, error);
  return s;
}

constexpr int kToneTab = 0;
constexpr int kSweepTab = 1;

}  // namespace

void TMainForm::CreateGeneratorPanel(QWidget* client) {
  TabControlGenerator = Named(new TTabControl(client, {"Tone", "Sweep"}), "TabControlGenerator",
                              8, 8, 281, 401);
  QWidget* tab = TabControlGenerator;

  GroupBoxOutputFreq = Named(new QGroupBox(" Output Frequency ", tab), "GroupBoxOutputFreq", 8, 32,
                             129, 234);
  QWidget* freq = GroupBoxOutputFreq;
  TrackBarFLeft = MakeTrackBar(freq, "TrackBarFLeft", 300, 3000, 300, 150, 10, 20, 30, 170);
  TrackBarFRight = MakeTrackBar(freq, "TrackBarFRight", 300, 3000, 300, 150, 50, 20, 30, 170);
  LabelFLeft = MakeLabel(freq, "LabelFLeft", "1000", 2, 192, 46);
  LabelFRight = MakeLabel(freq, "LabelFRight", "1000", 44, 192, 46);
  LabelFLeft->setAlignment(Qt::AlignHCenter);
  LabelFRight->setAlignment(Qt::AlignHCenter);
  LabelFMax = MakeLabel(freq, "LabelFMax", "3000", 84, 0, 42);
  LabelFMin = MakeLabel(freq, "LabelFMin", "300", 84, 0, 42);
  CheckBoxLockFreqs = MakeCheckBox(freq, "CheckBoxLockFreqs", "L = R", 30, 211, 64, 17, true);

  GroupBoxOutputLevel = Named(new QGroupBox(" Output Level ", tab), "GroupBoxOutputLevel", 144,
                              32, 129, 234);
  QWidget* level = GroupBoxOutputLevel;
  TrackBarALeft = MakeTrackBar(level, "TrackBarALeft", 0, 40, 5, 5, 10, 20, 30, 170);
  TrackBarARight = MakeTrackBar(level, "TrackBarARight", 0, 40, 5, 5, 82, 20, 30, 170);
  TrackBarARight->setTickPosition(QSlider::TicksLeft);
  LabelLAmplitude = MakeLabel(level, "LabelLAmplitude", "-XX dB", 2, 192, 52);
  LabelRAmplitude = MakeLabel(level, "LabelRAmplitude", "-XX dB", 72, 192, 52);
  LabelLAmplitude->setAlignment(Qt::AlignHCenter);
  LabelRAmplitude->setAlignment(Qt::AlignHCenter);
  CheckBoxLeftEnabled = MakeCheckBox(level, "CheckBoxLeftEnabled", "L", 14, 211, 36, 17, true);
  CheckBoxRightEnabled = MakeCheckBox(level, "CheckBoxRightEnabled", "R", 86, 211, 36, 17, true);

  LabelLeftWaveform = MakeLabel(tab, "LabelLeftWaveform", "Left waveform", 8, 270, 129);
  LabelRightWaveform = MakeLabel(tab, "LabelRightWaveform", "Right waveform", 144, 270, 129);
  const QStringList waveforms = {"Sinewave", "Triangle", "White noise", "Pink noise",
                                 "1/3 oct noise"};
  ComboBoxLeftWaveform = MakeList(tab, "ComboBoxLeftWaveform", waveforms, 8, 286, 129);
  ComboBoxRightWaveform = MakeList(tab, "ComboBoxRightWaveform", waveforms, 144, 286, 129);

  LabelFreqRange = MakeLabel(tab, "LabelFreqRange", "Frequency range", 8, 314, 129);
  ComboBoxFreqRange = MakeList(tab, "ComboBoxFreqRange",
                               {"Wide  (20...20K)", "LF  (50...1000)", "MF  (300...3000)",
                                "HF  (1K...15K)", "User defined"},
                               8, 330, 129);
  SpinEditUserF1 = MakeNumberBox(tab, "SpinEditUserF1", 1, 22050, 1, 8, 360, 58);
  LabelUserTo = MakeLabel(tab, "LabelUserTo", " to ", 66, 362, 14);
  SpinEditUserF2 = MakeNumberBox(tab, "SpinEditUserF2", 1, 22050, 1, 79, 360, 58);

  RadioGroupOutChannel = Named(
      new TRadioGroup(tab, "Output channels ", {"In phase", QString::fromUtf8("180° phase"),
                                                "Independent"}),
      "RadioGroupOutChannel", 144, 312, 129, 78);
  RadioGroupOutChannel->SetItemIndex(0);

  GroupBoxSweepProperties = Named(new QGroupBox(" Sweep Properties ", tab),
                                  "GroupBoxSweepProperties", 8, 32, 129, 234);
  QWidget* sweep = GroupBoxSweepProperties;
  CheckBoxSteppedSweep =
      MakeCheckBox(sweep, "CheckBoxSteppedSweep", "Stepped sweep", 6, 22, 122, 17);
  CheckBoxLogSweep =
      MakeCheckBox(sweep, "CheckBoxLogSweep", "Log sweep", 6, 44, 122, 17);
  CheckBoxDeclickSweep =
      MakeCheckBox(sweep, "CheckBoxDeclickSweep", "Declick sweep", 6, 66, 122, 17);
  CheckBoxSlowSpeed =
      MakeCheckBox(sweep, "CheckBoxSlowSpeed", "Slow speed sweep", 6, 100, 122, 17);
  CheckBoxDelaySweep =
      MakeCheckBox(sweep, "CheckBoxDelaySweep", "Delay sweep", 6, 122, 122, 17);
  CheckBoxDelaySweep->setEnabled(false);
  CheckBoxDelaySweep->setToolTip("Check for initial delay");
  LabelSweepDuration = MakeLabel(sweep, "LabelSweepDuration", "Duration (secs)", 8, 150, 117);
  SpinEditSweepDuration = MakeNumberBox(sweep, "SpinEditSweepDuration", 0, 99, 20, 8, 168, 49);
  LabelSweepDuration->setBuddy(SpinEditSweepDuration);
  LabelSweepDuration->setEnabled(false);
  SpinEditSweepDuration->setEnabled(false);
  GroupBoxSweepProperties->hide();

  connect(TabControlGenerator, &TTabControl::Change, this,
          Guard(&TMainForm::TabControlGeneratorChange));
}

void TMainForm::TabControlGeneratorChange() {
  QWidget* const waveforms[] = {ComboBoxLeftWaveform, ComboBoxRightWaveform, LabelLeftWaveform,
                                LabelRightWaveform};
  GroupBoxSweepProperties->hide();
  GroupBoxOutputFreq->hide();
  for (QWidget* w : waveforms) w->hide();
  switch (TabControlGenerator->TabIndex()) {
    case kToneTab:
      for (QWidget* w : waveforms) w->show();
      TrackBarFLeft->setEnabled(
          TAudioToneGenerator::WaveformHasFrequency(FToneGenerator->LeftWaveform()));
      TrackBarFRight->setEnabled(
          TAudioToneGenerator::WaveformHasFrequency(FToneGenerator->RightWaveform()));
      GroupBoxOutputFreq->show();
      break;
    case kSweepTab:
      FToneGenerator->SetEnabled(false);
      // A stopped tone must not leave "STOP" on the button.
      ButtonStartGenerator->setText("Start Generator");
      GroupBoxSweepProperties->show();
      break;
    default:
      break;
  }
}

void TMainForm::DelayCountdown() {
  if (!CheckBoxDelaySweep->isChecked()) return;
  for (int second = 3; second >= 1; --second) {
    ButtonStartGenerator->setText(QString::number(second));
    ButtonStartGenerator->repaint();
    QThread::msleep(1000);
  }
}

void TMainForm::ButtonStartGeneratorClick() {
  if (FToneGenerator->Enabled()) {
    FToneGenerator->SetEnabled(false);
    ButtonStartGenerator->setText("Start Generator");
    return;
  }
  // Sweeps start here once the response plot and its sweep generator exist.
  if (TabControlGenerator->TabIndex() != kToneTab) return;
  if (PageControlAnalyser->currentWidget() == TabSheetResponse) {
    QSignalBlocker quiet(PageControlAnalyser);
    PageControlAnalyser->setCurrentWidget(TabSheetSpectrum);
  }
  TWaveOut* generator = FToneGenerator;
  if (CheckBoxEnableAnalyser->isChecked()) {
    PageControlAnalyserChange();
    DelayCountdown();
    if (!FAnalyser->Enabled()) {
      try {
        FAnalyser->SetEnabled(true);
      } catch (const EWaveInError& e) {
        ShowMessage(WithError(kAnalyserFailed, e.what()));
      }
    }
    if (FAnalyser->Enabled()) {
      try {
        generator->SetEnabled(!generator->Enabled());
      } catch (const EWaveOutError& e) {
        ShowMessage(WithError(kGeneratorWithAnalyserFailed, e.what()));
      }
      if (!generator->Enabled()) FAnalyser->SetEnabled(false);
    }
    ShowAnalyserState();
  } else {
    DelayCountdown();
    try {
      generator->SetEnabled(!generator->Enabled());
    } catch (const EWaveOutError& e) {
      ShowMessage(WithError(kGeneratorAloneFailed, e.what()));
    }
  }
  ButtonStartGenerator->setText(generator->Enabled() ? "STOP" : "Start Generator");
}
