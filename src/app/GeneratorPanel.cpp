// The generator panel: tone and sweep tabs, frequency and level track bars, typed values,
// lists, and the start button's handler.
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLocale>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "AudioAnalyser.h"
#include "DisplayResponse.h"
#include "FileDialogs.h"
#include "LED.h"
#include "MainForm.h"
#include "Messages.h"
#include "SweepGenerator.h"
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

const QColor kBrightGreen(0, 255, 0);
const QColor kGreen(0, 128, 0);

constexpr int kToneTab = 0;
constexpr int kSweepTab = 1;

constexpr int kUserRange = 4;
// The spectrum mode that reads the user range ("Linear (user)"); no other needs rebuilding when
// the boxes change.
constexpr int kSpectrumUserMode = 4;
struct TFreqRange {
  int Lo, Hi;  // Hz
};
constexpr TFreqRange kFreqRanges[] = {{20, 20000}, {50, 1000}, {300, 3000}, {1000, 15000}};
constexpr TFreqRange kFallbackRange = {300, 3000};

// The waveform lists' items by index; stored indices keep their meaning.
constexpr TWaveform kListWaveforms[] = {SineWave,     Triangle,     WhiteNoise, PinkNoise,
                                        Octave3Noise, SmpteTwoTone, CcifTwoTone};
constexpr int kListWaveformCount = std::size(kListWaveforms);

int ListIndex(TWaveform waveform) {
  for (int i = 0; i < kListWaveformCount; ++i)
    if (kListWaveforms[i] == waveform) return i;
  return -1;
}

constexpr double kTypedMinHz = 1, kTypedMaxHz = 22000;
constexpr double kTypedMindB = -120, kTypedMaxdB = 0;

// Into the range, in hundredths; NaN gives none.
std::optional<double> TypedValue(double value, double lo, double hi) {
  if (std::isnan(value)) return std::nullopt;
  const double v = std::nearbyint(std::clamp(value, lo, hi) * 100) / 100;
  return v == 0 ? 0.0 : v;  // never "-0.00"
}

bool PlaysTone(TWaveform w) { return w == SineWave || w == Triangle; }

// Moves a track bar to a typed value's nearest position without running its handler.
void ShowOnTrackBar(QSlider* bar, int position) {
  const QSignalBlocker quiet(bar);
  bar->setValue(position);
}

// One channel's frequency from its typed value or its track bar, by the waveform it plays: a
// tone's frequency grows towards the top (the minimum), a noise band's index runs 0 at the
// bottom to 23 at the top whatever the range; white and pink noise have none and keep their
// label; a two-tone's are fixed.
void ChannelFrequency(TAudioToneGenerator* generator, void (TBasicAudioGenerator::*set)(float),
                      TWaveform waveform, QSlider* bar, QLabel* label,
                      const std::optional<double>& typed) {
  const int lo = bar->minimum(), hi = bar->maximum(), position = bar->value();
  switch (waveform) {
    case SineWave:
    case Triangle: {
      if (typed) {
        const float f = static_cast<float>(*typed);
        label->setText(QString::asprintf("%.2f", *typed));
        (generator->*set)(f);
        const long position = hi + lo - std::lrint(*typed);
        ShowOnTrackBar(bar, static_cast<int>(std::clamp<long>(position, lo, hi)));
        break;
      }
      const float f = static_cast<float>(hi + lo - position);
      label->setText(QString::asprintf("%.0f", f));
      (generator->*set)(f);
      break;
    }
    case SmpteTwoTone:
      label->setText("SMPTE");
      break;
    case CcifTwoTone:
      label->setText("CCIF");
      break;
    case Octave3Noise: {
      // A one-point range (hi = lo) would divide by zero.
      const double span = std::max(1, hi - lo);
      const int band =
          std::clamp(static_cast<int>(std::nearbyint((hi - position) * 23.0 / span)), 0,
                     kThirdOctaveBands - 1);
      label->setText(QString::asprintf("%.0f", ThirdOctaveCentres[band]));
      (generator->*set)(static_cast<float>(band));
      break;
    }
    default:
      break;
  }
}

// "L = R" ties two track bar positions; they mean the same frequency only for two tones or two
// noise bands. Otherwise the box goes off and cannot be ticked until they match again.
void LockFrequenciesIfAlike(QCheckBox* lock, TWaveform left, TWaveform right) {
  const auto kind = [](TWaveform w) {
    return w == Octave3Noise ? 2 : TAudioToneGenerator::WaveformHasFrequency(w) ? 1 : 0;
  };
  const bool alike = kind(left) != 0 && kind(left) == kind(right);
  if (!alike) lock->setChecked(false);
  lock->setEnabled(alike);
}

// The frequency figures stand centred under their track bars; a typed figure too wide for its
// place moves the two apart rather than being cut.
constexpr int kFrequencyLabelTop = 192, kFrequencyLabelWidth = 46;
constexpr int kFrequencyLabelLeft[2] = {2, 44};
void PlaceFrequencyLabels(QLabel* left, QLabel* right) {
  const auto text = [](const QLabel* l) { return l->fontMetrics().horizontalAdvance(l->text()); };
  const int lt = text(left), rt = text(right);
  const int lc = std::max(kFrequencyLabelLeft[0] + kFrequencyLabelWidth / 2, lt / 2 + 1);
  const int rc =
      std::min(std::max(kFrequencyLabelLeft[1] + kFrequencyLabelWidth / 2, lc + (lt + rt) / 2 + 6),
               left->parentWidget()->width() - rt / 2 - 1);
  const auto place = [](QLabel* l, int centre, int t) {
    const int w = std::max(kFrequencyLabelWidth, t + 4);
    l->setGeometry(centre - w / 2, kFrequencyLabelTop, w, l->height());
  };
  place(left, lc, lt);
  place(right, rc, rt);
}

// The factor of a typed level or of -position dB, or 0 for a channel that is off.
float LevelFactor(const QCheckBox* on, QSlider* bar, QLabel* label,
                  const std::optional<double>& typed) {
  if (!on->isChecked()) {
    label->setText("Off");
    return 0.0f;
  }
  if (typed) {
    label->setText(QString::asprintf("%.2f dB", *typed));
    ShowOnTrackBar(bar, std::clamp(static_cast<int>(std::lrint(-*typed)), bar->minimum(),
                                   bar->maximum()));
    return static_cast<float>(std::pow(10.0L, static_cast<long double>(*typed) / 20.0L));
  }
  const int dB = -bar->value();  // integer, so position 0 shows "0 dB", not "-0 dB"
  label->setText(QString::asprintf("%.0f dB", double(dB)));
  return static_cast<float>(std::pow(10.0L, dB / 20.0L));
}

}  // namespace

namespace {

// Typing a value into a label: a double click opens a number box over it (when the channel
// has such a value now), Enter applies, Escape or leaving the box cancels.
class TTypedEntry : public QObject {
 public:
  // Begin says whether the label can be typed into now and gives the value to start from.
  TTypedEntry(QLabel* label, const char* name, double lo, double hi, int width,
              std::function<bool(double&)> begin, std::function<void(double)> apply)
      : QObject(label), FLabel(label), FBegin(std::move(begin)), FApply(std::move(apply)) {
    QWidget* parent = label->parentWidget();
    FBox = new QDoubleSpinBox(parent);
    FBox->setObjectName(QString::fromLatin1(name));
    FBox->setLocale(QLocale::c());
    FBox->setDecimals(2);
    FBox->setRange(lo, hi);
    FBox->setSingleStep(0.01);
    FBox->setButtonSymbols(QAbstractSpinBox::NoButtons);
    FBox->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    FBox->setAlignment(Qt::AlignHCenter);
    FBox->setKeyboardTracking(false);
    const QRect r = label->geometry();
    const int left = std::clamp(r.center().x() + 1 - width / 2, 0, parent->width() - width);
    FBox->setGeometry(left, r.top() - 2, width, r.height() + 4);
    FBox->hide();
    FBox->installEventFilter(this);
    label->installEventFilter(this);
    label->setToolTip("Double-click to type a value");
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == FLabel && event->type() == QEvent::MouseButtonDblClick) {
      double value = 0;
      if (FBegin(value)) {
        FBox->setValue(value);
        FBox->show();
        FBox->raise();
        FBox->setFocus(Qt::MouseFocusReason);
        FBox->selectAll();
      }
      return true;
    }
    if (watched != FBox) return false;
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        FBox->interpretText();
        const double value = FBox->value();
        FBox->hide();
        FApply(value);
        return true;
      }
      if (key == Qt::Key_Escape) {
        FBox->hide();
        return true;
      }
    } else if (event->type() == QEvent::FocusOut) {
      FBox->hide();
    }
    return false;
  }

 private:
  QLabel* FLabel;
  QDoubleSpinBox* FBox;
  std::function<bool(double&)> FBegin;
  std::function<void(double)> FApply;
};

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
  LabelFLeft = MakeLabel(freq, "LabelFLeft", "1000", kFrequencyLabelLeft[0], kFrequencyLabelTop,
                         kFrequencyLabelWidth);
  LabelFRight = MakeLabel(freq, "LabelFRight", "1000", kFrequencyLabelLeft[1],
                          kFrequencyLabelTop, kFrequencyLabelWidth);
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
  const QStringList waveforms = {"Sinewave",      "Triangle",       "White noise",
                                 "Pink noise",    "1/3 oct noise",  "SMPTE two-tone",
                                 "CCIF two-tone"};
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
  // Checked as the plot starts out, so that a restored "off" reaches it.
  CheckBoxLogSweep =
      MakeCheckBox(sweep, "CheckBoxLogSweep", "Log sweep", 6, 44, 122, 17, true);
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
  CheckBoxStopAfterOne =
      MakeCheckBox(sweep, "CheckBoxStopAfterOne", "Stop after one sweep", 6, 200, 122, 17);
  CheckBoxStopAfterOne->setToolTip("Keep the response of one whole sweep on the plot");
  GroupBoxSweepProperties->hide();

  // Typed values: the current one is where typing starts.
  const auto frequencyEntry = [this](QLabel* label, const char* name, int channel) {
    new TTypedEntry(
        label, name, kTypedMinHz, kTypedMaxHz, 60,
        [this, channel](double& value) {
          const TWaveform w =
              channel == 0 ? FToneGenerator->LeftWaveform() : FToneGenerator->RightWaveform();
          value = channel == 0 ? FToneGenerator->LeftFrequency() : FToneGenerator->RightFrequency();
          return PlaysTone(w);
        },
        [this, channel](double value) { TypedFrequencyEntered(channel, value); });
  };
  const auto levelEntry = [this](QLabel* label, const char* name, int channel) {
    new TTypedEntry(
        label, name, kTypedMindB, kTypedMaxdB, 60,
        [this, channel](double& value) {
          const QCheckBox* on = channel == 0 ? CheckBoxLeftEnabled : CheckBoxRightEnabled;
          const QSlider* bar = channel == 0 ? TrackBarALeft : TrackBarARight;
          value = FTypedLevel[channel].value_or(-bar->value());
          return on->isChecked();
        },
        [this, channel](double value) { TypedLevelEntered(channel, value); });
  };
  frequencyEntry(LabelFLeft, "EditFLeft", 0);
  frequencyEntry(LabelFRight, "EditFRight", 1);
  levelEntry(LabelLAmplitude, "EditLAmplitude", 0);
  levelEntry(LabelRAmplitude, "EditRAmplitude", 1);
  QSlider* const bars[] = {TrackBarFLeft, TrackBarFRight, TrackBarALeft, TrackBarARight};
  for (int i = 0; i < 4; ++i)
    connect(bars[i], &QSlider::actionTriggered, this, [this, i] {
      try {
        TrackBarAction(i);
      } catch (const std::exception& e) {
        ShowException(e);
      }
    });

  connect(TabControlGenerator, &TTabControl::Change, this,
          Guard(&TMainForm::TabControlGeneratorChange));
  // Track bars, check boxes and the radio group run their handlers whenever their value
  // changes, also from code (the restore relies on it); the lists only when the user picks.
  connect(TrackBarFLeft, &QSlider::valueChanged, this, Guard(&TMainForm::TrackBarFLeftChange));
  connect(TrackBarFRight, &QSlider::valueChanged, this, Guard(&TMainForm::TrackBarFRightChange));
  connect(TrackBarALeft, &QSlider::valueChanged, this, Guard(&TMainForm::LeftAmplitudeChanged));
  connect(TrackBarARight, &QSlider::valueChanged, this, Guard(&TMainForm::RightAmplitudeChanged));
  connect(CheckBoxLeftEnabled, &QCheckBox::toggled, this, Guard(&TMainForm::AmplitudeChanged));
  connect(CheckBoxRightEnabled, &QCheckBox::toggled, this, Guard(&TMainForm::AmplitudeChanged));
  connect(RadioGroupOutChannel, &TRadioGroup::Click, this,
          Guard(&TMainForm::RadioGroupOutChannelClick));
  connect(ComboBoxLeftWaveform, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxLeftWaveformChange));
  connect(ComboBoxRightWaveform, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxRightWaveformChange));
  connect(ComboBoxFreqRange, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxFreqRangeChange));
  connect(SpinEditUserF1, &QSpinBox::editingFinished, this, Guard(&TMainForm::SpinEditUserF1Exit));
  connect(SpinEditUserF2, &QSpinBox::editingFinished, this, Guard(&TMainForm::SpinEditUserF2Exit));
  connect(CheckBoxSteppedSweep, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxSteppedSweepClick));
  connect(CheckBoxLogSweep, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxLogSweepClick));
  connect(CheckBoxStopAfterOne, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxStopAfterOneClick));
  connect(CheckBoxDeclickSweep, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxDeclickSweepClick));
  connect(CheckBoxSlowSpeed, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxSlowSpeedClick));
}

void TMainForm::TrackBarFLeftChange() {
  if (CheckBoxLockFreqs->isChecked() && TrackBarFRight->value() != TrackBarFLeft->value())
    TrackBarFRight->setValue(TrackBarFLeft->value());
  FrequencyChanged();
}

void TMainForm::TrackBarFRightChange() {
  if (CheckBoxLockFreqs->isChecked() && TrackBarFLeft->value() != TrackBarFRight->value())
    TrackBarFLeft->setValue(TrackBarFRight->value());
  FrequencyChanged();
}

void TMainForm::FrequencyChanged() {
  ChannelFrequency(FToneGenerator, &TBasicAudioGenerator::SetLeftFrequency,
                   FToneGenerator->LeftWaveform(), TrackBarFLeft, LabelFLeft, FTypedFrequency[0]);
  ChannelFrequency(FToneGenerator, &TBasicAudioGenerator::SetRightFrequency,
                   FToneGenerator->RightWaveform(), TrackBarFRight, LabelFRight,
                   FTypedFrequency[1]);
  PlaceFrequencyLabels(LabelFLeft, LabelFRight);
  UpdateExactSine();
}

void TMainForm::UpdateExactSine() {
  bool typed = false;
  for (int channel = 0; channel < 2; ++channel)
    typed = typed || FTypedFrequency[channel] || FTypedLevel[channel];
  FToneGenerator->SetExactSine(typed);
}

void TMainForm::TypedFrequencyEntered(int channel, double hz) {
  if (channel != 0 && channel != 1) return;
  FTypedFrequency[channel] = TypedValue(hz, kTypedMinHz, kTypedMaxHz);
  if (CheckBoxLockFreqs->isChecked()) FTypedFrequency[1 - channel] = FTypedFrequency[channel];
  FrequencyChanged();
}

void TMainForm::TypedLevelEntered(int channel, double dBFS) {
  if (channel != 0 && channel != 1) return;
  FTypedLevel[channel] = TypedValue(dBFS, kTypedMindB, kTypedMaxdB);
  if (FOutputPhase != opIndependent) FTypedLevel[1 - channel] = FTypedLevel[channel];
  AmplitudeChanged();
}

void TMainForm::TrackBarAction(int bar) {
  const int channel = bar % 2;
  QSlider* const bars[] = {TrackBarFLeft, TrackBarFRight, TrackBarALeft, TrackBarARight};
  if (bar < 2) {
    FTypedFrequency[channel].reset();
    if (CheckBoxLockFreqs->isChecked()) FTypedFrequency[1 - channel].reset();
  } else {
    FTypedLevel[channel].reset();
    if (FOutputPhase != opIndependent) FTypedLevel[1 - channel].reset();
  }
  // The position has moved but the value not yet: when it will not change (a bar at its end),
  // no handler follows, so the bar's own value is applied here.
  if (bars[bar]->sliderPosition() != bars[bar]->value()) return;
  if (bar < 2)
    FrequencyChanged();
  else
    AmplitudeChanged();
}

void TMainForm::ApplyTestTone(TWaveform waveform, double hz, double dBFS) {
  const int index = ListIndex(waveform);
  if (index < 0) return;
  if (TabControlGenerator->TabIndex() != kToneTab) {
    TabControlGenerator->SetTabIndex(kToneTab);
    TabControlGeneratorChange();
  }
  ComboBoxLeftWaveform->setCurrentIndex(index);
  ComboBoxRightWaveform->setCurrentIndex(index);
  ComboBoxLeftWaveformChange();
  ComboBoxRightWaveformChange();
  if (PlaysTone(waveform) && TypedValue(hz, kTypedMinHz, kTypedMaxHz))
    FTypedFrequency[0] = FTypedFrequency[1] = TypedValue(hz, kTypedMinHz, kTypedMaxHz);
  if (TypedValue(dBFS, kTypedMindB, kTypedMaxdB))
    FTypedLevel[0] = FTypedLevel[1] = TypedValue(dBFS, kTypedMindB, kTypedMaxdB);
  {
    // One update below rather than one per box.
    const QSignalBlocker quietLeft(CheckBoxLeftEnabled), quietRight(CheckBoxRightEnabled);
    CheckBoxLeftEnabled->setChecked(true);
    CheckBoxRightEnabled->setChecked(true);
  }
  FrequencyChanged();
  AmplitudeChanged();
}

void TMainForm::LeftAmplitudeChanged() {
  if (FOutputPhase != opIndependent && TrackBarARight->value() != TrackBarALeft->value())
    TrackBarARight->setValue(TrackBarALeft->value());
  AmplitudeChanged();
}

void TMainForm::RightAmplitudeChanged() {
  if (FOutputPhase != opIndependent && TrackBarALeft->value() != TrackBarARight->value())
    TrackBarALeft->setValue(TrackBarARight->value());
  AmplitudeChanged();
}

void TMainForm::AmplitudeChanged() {
  const float left =
      LevelFactor(CheckBoxLeftEnabled, TrackBarALeft, LabelLAmplitude, FTypedLevel[0]);
  float right = LevelFactor(CheckBoxRightEnabled, TrackBarARight, LabelRAmplitude, FTypedLevel[1]);
  // Only a channel that is on is inverted: an "Off" channel stays +0.
  if (FOutputPhase == opAntiphase && CheckBoxRightEnabled->isChecked()) right = -right;
  FToneGenerator->SetLeftAmplitude(left);
  FToneGenerator->SetRightAmplitude(right);
  ResponsePlot1->SetLeftAmplitude(left);
  ResponsePlot1->SetRightAmplitude(right);
  UpdateExactSine();
}

void TMainForm::RadioGroupOutChannelClick() {
  switch (RadioGroupOutChannel->ItemIndex()) {
    case opInPhase: FOutputPhase = opInPhase; break;
    case opAntiphase: FOutputPhase = opAntiphase; break;
    case opIndependent: FOutputPhase = opIndependent; break;
    default: break;
  }
  if (FOutputPhase != opIndependent) FTypedLevel[1] = FTypedLevel[0];
  if (FOutputPhase != opIndependent && TrackBarARight->value() != TrackBarALeft->value())
    TrackBarARight->setValue(TrackBarALeft->value());
  AmplitudeChanged();
}

void TMainForm::ComboBoxLeftWaveformChange() {
  const int index = ComboBoxLeftWaveform->currentIndex();
  if (index >= 0 && index < kListWaveformCount)
    FToneGenerator->SetLeftWaveform(kListWaveforms[index]);
  const TWaveform w = FToneGenerator->LeftWaveform();
  TrackBarFLeft->setEnabled(TAudioToneGenerator::WaveformHasFrequency(w));
  LockFrequenciesIfAlike(CheckBoxLockFreqs, w, FToneGenerator->RightWaveform());
  TrackBarFLeftChange();
}

void TMainForm::ComboBoxRightWaveformChange() {
  const int index = ComboBoxRightWaveform->currentIndex();
  if (index >= 0 && index < kListWaveformCount)
    FToneGenerator->SetRightWaveform(kListWaveforms[index]);
  const TWaveform w = FToneGenerator->RightWaveform();
  TrackBarFRight->setEnabled(TAudioToneGenerator::WaveformHasFrequency(w));
  LockFrequenciesIfAlike(CheckBoxLockFreqs, FToneGenerator->LeftWaveform(), w);
  TrackBarFRightChange();
}

void TMainForm::ComboBoxFreqRangeChange() {
  const int index = ComboBoxFreqRange->currentIndex();
  // Once, not off and on again: leaving the lower box runs this while the focus is on its way
  // to the upper one, and a disabled box would send it past.
  SpinEditUserF1->setEnabled(index == kUserRange);
  SpinEditUserF2->setEnabled(index == kUserRange);
  TFreqRange range = kFallbackRange;
  if (index >= 0 && index < kUserRange) {
    range = kFreqRanges[index];
  } else if (index == kUserRange) {
    range = {SpinEditUserF1->value(), SpinEditUserF2->value()};
  }
  const auto [lo, hi] = range;
  ResponsePlot1->SetMinFrequency(lo);
  ResponsePlot1->SetMaxFrequency(hi);

  // A band-noise channel keeps its track bar: its position is a band, not a frequency.
  if (FToneGenerator->LeftWaveform() != Octave3Noise) {
    FToneGenerator->SetLeftFrequency(float(lo));
    TrackBarFLeft->setRange(lo, hi);  // clips the position, which runs the handler
    TrackBarFLeft->setTickInterval((hi - lo) / 10);
    TrackBarFLeftChange();
  }
  if (FToneGenerator->RightWaveform() != Octave3Noise) {
    FToneGenerator->SetRightFrequency(float(lo));
    TrackBarFRight->setRange(lo, hi);
    TrackBarFRight->setTickInterval((hi - lo) / 10);
    LabelFMin->setText(QString::number(lo));
    LabelFMax->setText(QString::number(hi));
    TrackBarFRightChange();
  }
}

void TMainForm::SpinEditUserF1Exit() {
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF2->setValue(SpinEditUserF1->value() + 1);
  // At the top of the box the upper end cannot move up, so the lower one gives way.
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF1->setValue(SpinEditUserF2->value() - 1);
  ComboBoxFreqRangeChange();
  if (ComboBoxSpectrumMode->currentIndex() == kSpectrumUserMode) ComboBoxSpectrumModeChange();
}

void TMainForm::SpinEditUserF2Exit() {
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF1->setValue(SpinEditUserF2->value() - 1);
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF2->setValue(SpinEditUserF1->value() + 1);
  ComboBoxFreqRangeChange();
  if (ComboBoxSpectrumMode->currentIndex() == kSpectrumUserMode) ComboBoxSpectrumModeChange();
}

void TMainForm::TabControlGeneratorChange() {
  QWidget* const waveforms[] = {ComboBoxLeftWaveform, ComboBoxRightWaveform, LabelLeftWaveform,
                                LabelRightWaveform};
  GroupBoxSweepProperties->hide();
  GroupBoxOutputFreq->hide();
  for (QWidget* w : waveforms) w->hide();
  switch (TabControlGenerator->TabIndex()) {
    case kToneTab:
      ResponsePlot1->SetEnabled(false);
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
    // Painted now: the event loop does not run until the countdown ends.
    ButtonStartGenerator->repaint();
    CountdownPause(1000);
  }
}

void TMainForm::CountdownPause(int ms) { QThread::msleep(ms); }

void TMainForm::ButtonStartGeneratorClick() {
  if (FToneGenerator->Enabled() || ResponsePlot1->Enabled()) {
    if (ResponsePlot1->Enabled() && FAnalyser->Enabled()) FAnalyser->SetEnabled(false);
    FToneGenerator->SetEnabled(false);
    ResponsePlot1->SetEnabled(false);
    ButtonStartGenerator->setText("Start Generator");
    return;
  }
  const bool coupled = CheckBoxEnableAnalyser->isChecked();
  TWaveOut* generator = nullptr;
  if (TabControlGenerator->TabIndex() == kSweepTab) {
    generator = ResponsePlot1->SweepGenerator();
    ResponsePlot1->SetSteppedSweep(CheckBoxSteppedSweep->isChecked());
    ResponsePlot1->SetLogSweep(CheckBoxLogSweep->isChecked());
    ResponsePlot1->SetDeclick(CheckBoxDeclickSweep->isChecked());
    ResponsePlot1->SetSlowSweep(CheckBoxSlowSpeed->isChecked());
    ResponsePlot1->SetSlowSweepActiveSeconds(SpinEditSweepDuration->value());
    ResponsePlot1->SetSlowSweepSilentSeconds(2);
    ResponsePlot1->SetStopAfterOneSweep(CheckBoxStopAfterOne->isChecked());
    if (coupled) {
      ResponsePlot1->SetMovingAverage(CheckBoxMovingAverage->isChecked());
      ResponsePlot1->SetLeftIsReference(CheckBoxLeftIsRef->isChecked());
      QSignalBlocker quiet(PageControlAnalyser);
      PageControlAnalyser->setCurrentWidget(TabSheetResponse);
    }
  } else {
    generator = FToneGenerator;
    if (PageControlAnalyser->currentWidget() == TabSheetResponse) {
      QSignalBlocker quiet(PageControlAnalyser);
      PageControlAnalyser->setCurrentWidget(TabSheetSpectrum);
    }
  }
  if (coupled) {
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

void TMainForm::CheckBoxSteppedSweepClick() {
  ResponsePlot1->SetSteppedSweep(CheckBoxSteppedSweep->isChecked());
}

void TMainForm::CheckBoxLogSweepClick() { ResponsePlot1->SetLogSweep(CheckBoxLogSweep->isChecked()); }

void TMainForm::CheckBoxStopAfterOneClick() {
  ResponsePlot1->SetStopAfterOneSweep(CheckBoxStopAfterOne->isChecked());
}

void TMainForm::CheckBoxDeclickSweepClick() {
  ResponsePlot1->SetDeclick(CheckBoxDeclickSweep->isChecked());
}

void TMainForm::CheckBoxSlowSpeedClick() {
  // The plot switches to slow sweep only when a sweep starts.
  const bool slow = CheckBoxSlowSpeed->isChecked();
  LabelSweepDuration->setEnabled(slow);
  SpinEditSweepDuration->setEnabled(slow);
  CheckBoxDelaySweep->setEnabled(slow);
  CheckBoxDeclickSweep->setEnabled(!slow);
  CheckBoxSteppedSweep->setEnabled(!slow);
  CheckBoxMovingAverage->setEnabled(!slow);
}

void TMainForm::ResponsePlot1SweepOpen() {
  if (CheckBoxEnableAnalyser->isChecked()) {
    LEDanalyser->SetColour(kBrightGreen);
    ButtonStartAnalyser->setText("STOP");
  }
  if (ResponsePlot1->SweepGenerator()->Enabled()) LEDgenerator->SetColour(kBrightGreen);
}

void TMainForm::ResponsePlot1SweepClose() {
  // A tab change stops the sweep but leaves the analyser running: then its lamp stays lit.
  if (CheckBoxEnableAnalyser->isChecked() && !FAnalyser->Enabled()) {
    LEDanalyser->SetColour(kGreen);
    ButtonStartAnalyser->setText("Start Analyser");
  }
  LEDgenerator->SetColour(kGreen);
  ShowGeneratorState();  // also when the device failed by itself
}


void TMainForm::ButtonSaveAsClick() {
  QString name = FileDialogs().SaveFileName(
      {"", "Untitled.wav", "wav", "Wave files (*.wav)|*.wav"});  // SaveDialog1
  if (name.isEmpty()) return;
  if (QFileInfo(name).suffix().isEmpty()) name += ".wav";
  if (QFileInfo::exists(name) && !AskYesNo(QFileInfo(name).fileName().toStdString() +
                                               " already exists.\rDo you want to replace it?",
                                           "Save as"))
    return;
  bool written = false;
  if (TabControlGenerator->TabIndex() == kToneTab) {
    // A file holds the same whole blocks whatever the latency: short play blocks only serve
    // the sound card.
    const int frames = FToneGenerator->BufferSamples() == FToneGenerator->ToneBlockFrames()
                           ? kToneBlockFrames
                           : FToneGenerator->BufferSamples();
    const int blocks = FToneGenerator->SampleRate() / frames + 1;
    written = FToneGenerator->WriteWaveFile(name, blocks, frames);
  } else {
    ResponsePlot1->SetSlowSweep(CheckBoxSlowSpeed->isChecked());
    // The file follows the duration box as a start would, unless a sweep plays: then it is
    // what plays (a new duration would restart it).
    if (!ResponsePlot1->Enabled())
      ResponsePlot1->SetSlowSweepActiveSeconds(SpinEditSweepDuration->value());
    // A copy writes the file: a running sweep must not lose its place, and a file saved twice
    // must be the same file.
    TAudioSweepGenerator copy;
    copy.AssignSettings(*ResponsePlot1->SweepGenerator());
    written = copy.WriteWaveFile(name, copy.SweepBlocks());
  }
  if (written) FLastSaveFolder = QFileInfo(name).absolutePath();
}
