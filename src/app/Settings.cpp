// The persisted settings: read once at creation into the controls (and the analyser's offsets),
// written once at close.
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QSpinBox>
#include <QTabBar>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <optional>

#include "AudioAnalyser.h"
#include "Messages.h"
#include "MainForm.h"
#include "Widgets.h"

namespace {

// The layout's dB ranges, stored as negated up-down positions.
constexpr int kSpectrumMindB = -90;
constexpr int kSpectrumMaxdB = -10;
constexpr int kResponseMindB = -80;
constexpr int kResponseMaxdB = 0;

// A missing or unreadable value yields the default.
int ReadInteger(const QSettings& s, const char* key, int fallback) {
  bool ok = false;
  const int value = s.value(QLatin1String(key)).toInt(&ok);
  return ok ? value : fallback;
}

// A list or radio index outside its count of items restores the default, not an empty choice.
int ReadIndex(const QSettings& s, const char* key, int fallback, int count) {
  const int index = ReadInteger(s, key, fallback);
  return index >= 0 && index < count ? index : fallback;
}

// A number outside lo .. hi, or none, restores the default.
int ReadRange(const QSettings& s, const char* key, int fallback, int lo, int hi) {
  const int value = ReadInteger(s, key, fallback);
  return value >= lo && value <= hi ? value : fallback;
}

bool ReadBool(const QSettings& s, const char* key, bool fallback) {
  const QVariant value = s.value(QLatin1String(key));
  if (!value.isValid()) return fallback;
  const QString text = value.toString().trimmed().toLower();
  if (text == QLatin1String("true") || text == QLatin1String("1")) return true;
  if (text == QLatin1String("false") || text == QLatin1String("0")) return false;
  return fallback;
}

// A typed value in hundredths, when the stored one is a whole number inside lo .. hi
// (hundredths); otherwise none, and the track bar's value plays.
std::optional<double> ReadTyped(const QSettings& s, const char* key, int lo, int hi) {
  const QVariant value = s.value(QLatin1String(key));
  bool ok = false;
  const int hundredths = value.toInt(&ok);
  if (!value.isValid() || !ok || hundredths < lo || hundredths > hi) return std::nullopt;
  return hundredths / 100.0;
}

// The typed values' keys; kept only while the exact sine plays, that is while one stands.
constexpr const char* kTypedFrequencyKeys[2] = {"ToneLeftFrequency", "ToneRightFrequency"};
constexpr const char* kTypedLevelKeys[2] = {"ToneLeftLevel", "ToneRightLevel"};

// Up-down positions are 16-bit signed values.
int UpDownValue(const TUpDown* upDown) { return static_cast<int16_t>(upDown->Position()); }

// The window's kept place: all four numbers, or none.
std::optional<QRect> ReadWindowRect(const QSettings& s) {
  int v[4];
  const char* keys[4] = {"WindowLeft", "WindowTop", "WindowWidth", "WindowHeight"};
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    v[i] = s.value(QLatin1String(keys[i])).toInt(&ok);
    if (!ok) return std::nullopt;
  }
  return QRect(v[0], v[1], v[2], v[3]);
}

}  // namespace

std::optional<QRect> KeptWindowPlace(const QRect& kept, QSize minimum,
                                     const QList<QRect>& screens) {
  // Far beyond any screen: a number that means nothing.
  constexpr int kLimit = 1 << 20;
  if (kept.width() <= 0 || kept.height() <= 0 || kept.width() > kLimit ||
      kept.height() > kLimit || std::abs(kept.x()) > kLimit || std::abs(kept.y()) > kLimit)
    return std::nullopt;
  const QRect place(kept.topLeft(), kept.size().expandedTo(minimum));
  // Enough of its top on a screen to take hold of it there.
  const QRect top(place.x(), place.y(), place.width(), std::min(place.height(), 50));
  for (const QRect& screen : screens) {
    const QRect on = screen & top;
    if (on.width() >= std::min(100, place.width()) && on.height() >= std::min(20, top.height()))
      return place;
  }
  return std::nullopt;
}

std::unique_ptr<QSettings> OpenSettings() {
  auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                              QStringLiteral("Brackwell Systems"),
                                              QStringLiteral("Quorvane"));
  settings->beginGroup(QStringLiteral("Quorvane"));
  return settings;
}

bool SaveSettings(QSettings& settings, const std::string& consequence) {
  // QSettings writes a temporary file and renames it: a failed write leaves the old file.
  settings.sync();
  if (settings.status() == QSettings::NoError) return true;
  ShowMessage("The settings cannot be saved in \"" +
              QDir::toNativeSeparators(settings.fileName()).toStdString() +
              "\": the file or its folder cannot be written. " + consequence);
  return false;
}

void TMainForm::ReadSettings() {
  const auto settings = OpenSettings();
  const QSettings& s = *settings;
  ReadDeviceChoice(*settings);
  ReadCalibrationChoice(*settings);
  ComboBoxFreqRange->setCurrentIndex(ReadIndex(s, "FreqRange", 2, ComboBoxFreqRange->count()));
  ComboBoxLeftWaveform->setCurrentIndex(
      ReadIndex(s, "WaveformLeft", 0, ComboBoxLeftWaveform->count()));
  ComboBoxRightWaveform->setCurrentIndex(
      ReadIndex(s, "WaveformRight", 0, ComboBoxRightWaveform->count()));
  // The phase goes first: restored after the levels, "In phase" would still tie them, and an
  // "Independent" left level would come back as the right one.
  RadioGroupOutChannel->SetItemIndex(
      ReadIndex(s, "OutputPhase", 0, RadioGroupOutChannel->Count()));
  // Typed values (hundredths of Hz, 1 .. 22000 Hz; hundredths of dBFS, -120 .. 0) count only
  // with the exact sine on.
  if (ReadBool(s, "ToneExactSine", false)) {
    for (int channel = 0; channel < 2; ++channel) {
      FTypedFrequency[channel] = ReadTyped(s, kTypedFrequencyKeys[channel], 100, 2200000);
      FTypedLevel[channel] = ReadTyped(s, kTypedLevelKeys[channel], -12000, 0);
    }
  }
  TrackBarALeft->setValue(ReadInteger(s, "OutputLeftGainPos", 20));
  TrackBarARight->setValue(ReadInteger(s, "OutputRightGainPos", 20));
  // The scope follows the box when the window is first shown.
  CheckBoxAGC->setChecked(ReadBool(s, "VectorScopeAGC", true));
  ComboBoxTraceOffset->setCurrentIndex(
      ReadIndex(s, "ScopeTraceOffset", 0, ComboBoxTraceOffset->count()));
  UpDownScopeGain->SetPosition(ReadInteger(s, "ScopeGain", 0));
  UpDownTimebase->SetPosition(ReadInteger(s, "ScopeTimebase", 3));
  ComboBoxSpectrumMode->setCurrentIndex(
      ReadIndex(s, "SpectrumMode", 0, ComboBoxSpectrumMode->count()));
  RadioGroupInChannel->SetItemIndex(
      ReadIndex(s, "SpectrumInChannel", 2, RadioGroupInChannel->Count()));
  CheckBoxHumFilter->setChecked(ReadBool(s, "SpectrumHumFilter", false));
  CheckBoxHighResn->setChecked(ReadBool(s, "SpectrumHighResolution", false));
  CheckBoxSpectrumMvgAvg->setChecked(ReadBool(s, "SpectrumMovingAverage", true));
  ComboBoxTraceSmoothing->setCurrentIndex(
      ReadIndex(s, "ResponseTraceSmoothing", 1, ComboBoxTraceSmoothing->count()));
  CheckBoxMovingAverage->setChecked(ReadBool(s, "ResponseMovingAverage", true));
  SpinEditUserF1->setValue(ReadInteger(s, "UserF1", 300));
  SpinEditUserF2->setValue(ReadInteger(s, "UserF2", 3000));
  // A range that is empty or upside down is mended as leaving the lower box would mend it.
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF2->setValue(SpinEditUserF1->value() + 1);
  if (SpinEditUserF1->value() >= SpinEditUserF2->value())
    SpinEditUserF1->setValue(SpinEditUserF2->value() - 1);
  UpDownSpectMin->SetPosition(ReadInteger(s, "SpectrumMin", -kSpectrumMindB));
  UpDownSpectMax->SetPosition(ReadInteger(s, "SpectrumMax", -kSpectrumMaxdB));
  UpDownResponseMin->SetPosition(ReadInteger(s, "ResponseMin", -kResponseMindB));
  UpDownResponseMax->SetPosition(ReadInteger(s, "ResponseMax", -kResponseMaxdB));
  CheckBoxSteppedSweep->setChecked(ReadBool(s, "SweepIsStepped", false));
  CheckBoxLogSweep->setChecked(ReadBool(s, "SweepIsLog", true));
  CheckBoxDelaySweep->setChecked(ReadBool(s, "SweepIsDelayed", false));
  CheckBoxDeclickSweep->setChecked(ReadBool(s, "SweepDeclick", true));
  CheckBoxSlowSpeed->setChecked(ReadBool(s, "SweepIsSlow", false));
  SpinEditSweepDuration->setValue(ReadInteger(s, "SweepDuration", 45));
  CheckBoxStopAfterOne->setChecked(ReadBool(s, "SweepStopAfterOne", false));
  TabControlGenerator->SetTabIndex(
      ReadIndex(s, "GeneratorTab", 0, TabControlGenerator->TabBar()->count()));
  ComboBoxDistortionKind->setCurrentIndex(
      ReadIndex(s, "DistortionKind", 0, ComboBoxDistortionKind->count()));
  ComboBoxDistortionBand->setCurrentIndex(
      ReadIndex(s, "DistortionBand", 0, ComboBoxDistortionBand->count()));
  ComboBoxDistortionWeighting->setCurrentIndex(
      ReadIndex(s, "DistortionWeighting", 0, ComboBoxDistortionWeighting->count()));
  ComboBoxDistortionAveraging->setCurrentIndex(
      ReadIndex(s, "DistortionAveraging", 0, ComboBoxDistortionAveraging->count()));
  ComboBoxImpulseView->setCurrentIndex(ReadIndex(s, "ImpulseView", 2, ComboBoxImpulseView->count()));
  ComboBoxImpulseSmoothing->setCurrentIndex(
      ReadIndex(s, "ImpulseSmoothing", 0, ComboBoxImpulseSmoothing->count()));
  const auto readBox = [&](QSpinBox* box, const char* key, int fallback) {
    box->setValue(ReadRange(s, key, fallback, box->minimum(), box->maximum()));
  };
  readBox(SpinEditImpulseLength, "ImpulseLength", 5);
  readBox(SpinEditImpulseF1, "ImpulseF1", 20);
  readBox(SpinEditImpulseF2, "ImpulseF2", 20000);
  // A sweep that would run downwards or nowhere is no choice anyone made.
  if (SpinEditImpulseF1->value() >= SpinEditImpulseF2->value()) {
    SpinEditImpulseF1->setValue(20);
    SpinEditImpulseF2->setValue(20000);
  }
  readBox(SpinEditImpulseLevel, "ImpulseLevel", -10);
  CheckBoxImpulseDual->setChecked(ReadBool(s, "ImpulseDual", false));
  ComboBoxImpulseAveraging->setCurrentIndex(
      ReadIndex(s, "ImpulseAveraging", 0, ComboBoxImpulseAveraging->count()));
  CheckBoxImpulseWindowAuto->setChecked(ReadBool(s, "ImpulseWindowAuto", true));
  readBox(SpinEditImpulseWindowStart, "ImpulseWindowStart", -5);
  readBox(SpinEditImpulseWindowEnd, "ImpulseWindowEnd", 300);

  // A place on none of today's screens (one unplugged since) gives the centred default.
  if (const std::optional<QRect> kept = ReadWindowRect(s)) {
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
      screens << screen->availableGeometry();
    FKeptPlace = KeptWindowPlace(*kept, minimumSizeHint(), screens);
    if (FKeptPlace) setGeometry(*FKeptPlace);
  }
  if (ReadBool(s, "WindowMaximised", false)) setWindowState(windowState() | Qt::WindowMaximized);
}

void TMainForm::StoreSetting(QSettings& s, const char* key, const QVariant& value) {
  s.setValue(QLatin1String(key), value);
}

void TMainForm::WriteSettings() {
  const auto settings = OpenSettings();
  QSettings& s = *settings;
  StoreSetting(s, "UserF1", SpinEditUserF1->value());
  StoreSetting(s, "UserF2", SpinEditUserF2->value());
  StoreSetting(s, "OutputLeftGainPos", TrackBarALeft->value());
  StoreSetting(s, "OutputRightGainPos", TrackBarARight->value());
  StoreSetting(s, "OutputPhase", RadioGroupOutChannel->ItemIndex());
  StoreSetting(s, "FreqRange", ComboBoxFreqRange->currentIndex());
  StoreSetting(s, "WaveformLeft", ComboBoxLeftWaveform->currentIndex());
  StoreSetting(s, "WaveformRight", ComboBoxRightWaveform->currentIndex());
  const bool typed = FTypedFrequency[0] || FTypedFrequency[1] || FTypedLevel[0] || FTypedLevel[1];
  if (typed)
    StoreSetting(s, "ToneExactSine", true);
  else
    s.remove(QStringLiteral("ToneExactSine"));
  const auto typedKey = [&](const char* key, const std::optional<double>& value) {
    if (value)
      StoreSetting(s, key, static_cast<int>(std::lrint(*value * 100)));
    else
      s.remove(QLatin1String(key));
  };
  for (int channel = 0; channel < 2; ++channel) {
    typedKey(kTypedFrequencyKeys[channel], FTypedFrequency[channel]);
    typedKey(kTypedLevelKeys[channel], FTypedLevel[channel]);
  }
  StoreSetting(s, "SweepIsStepped", CheckBoxSteppedSweep->isChecked());
  StoreSetting(s, "SweepIsLog", CheckBoxLogSweep->isChecked());
  StoreSetting(s, "SweepIsDelayed", CheckBoxDelaySweep->isChecked());
  StoreSetting(s, "SweepDeclick", CheckBoxDeclickSweep->isChecked());
  StoreSetting(s, "SweepIsSlow", CheckBoxSlowSpeed->isChecked());
  StoreSetting(s, "SweepDuration", SpinEditSweepDuration->value());
  StoreSetting(s, "SweepStopAfterOne", CheckBoxStopAfterOne->isChecked());
  StoreSetting(s, "GeneratorTab", TabControlGenerator->TabIndex());
  StoreSetting(s, "VectorScopeAGC", CheckBoxAGC->isChecked());
  StoreSetting(s, "ScopeTraceOffset", ComboBoxTraceOffset->currentIndex());
  StoreSetting(s, "ScopeGain", UpDownValue(UpDownScopeGain));
  StoreSetting(s, "ScopeTimebase", UpDownValue(UpDownTimebase));
  StoreSetting(s, "SpectrumMode", ComboBoxSpectrumMode->currentIndex());
  StoreSetting(s, "SpectrumInChannel", RadioGroupInChannel->ItemIndex());
  StoreSetting(s, "SpectrumHumFilter", CheckBoxHumFilter->isChecked());
  StoreSetting(s, "SpectrumHighResolution", CheckBoxHighResn->isChecked());
  StoreSetting(s, "SpectrumMovingAverage", CheckBoxSpectrumMvgAvg->isChecked());
  StoreSetting(s, "ResponseMovingAverage", CheckBoxMovingAverage->isChecked());
  StoreSetting(s, "ResponseTraceSmoothing", ComboBoxTraceSmoothing->currentIndex());
  StoreSetting(s, "SpectrumMin", UpDownValue(UpDownSpectMin));
  StoreSetting(s, "SpectrumMax", UpDownValue(UpDownSpectMax));
  StoreSetting(s, "ResponseMin", UpDownValue(UpDownResponseMin));
  StoreSetting(s, "ResponseMax", UpDownValue(UpDownResponseMax));
  StoreSetting(s, "DistortionKind", ComboBoxDistortionKind->currentIndex());
  StoreSetting(s, "DistortionBand", ComboBoxDistortionBand->currentIndex());
  StoreSetting(s, "DistortionWeighting", ComboBoxDistortionWeighting->currentIndex());
  StoreSetting(s, "DistortionAveraging", ComboBoxDistortionAveraging->currentIndex());
  StoreSetting(s, "ImpulseView", ComboBoxImpulseView->currentIndex());
  StoreSetting(s, "ImpulseSmoothing", ComboBoxImpulseSmoothing->currentIndex());
  StoreSetting(s, "ImpulseLength", SpinEditImpulseLength->value());
  StoreSetting(s, "ImpulseF1", SpinEditImpulseF1->value());
  StoreSetting(s, "ImpulseF2", SpinEditImpulseF2->value());
  StoreSetting(s, "ImpulseLevel", SpinEditImpulseLevel->value());
  StoreSetting(s, "ImpulseDual", CheckBoxImpulseDual->isChecked());
  StoreSetting(s, "ImpulseAveraging", ComboBoxImpulseAveraging->currentIndex());
  StoreSetting(s, "ImpulseWindowAuto", CheckBoxImpulseWindowAuto->isChecked());
  StoreSetting(s, "ImpulseWindowStart", SpinEditImpulseWindowStart->value());
  StoreSetting(s, "ImpulseWindowEnd", SpinEditImpulseWindowEnd->value());
  // The size it had before it was maximised, so that it comes back to it.
  const QRect place = normalGeometry();
  StoreSetting(s, "WindowLeft", place.x());
  StoreSetting(s, "WindowTop", place.y());
  StoreSetting(s, "WindowWidth", place.width());
  StoreSetting(s, "WindowHeight", place.height());
  StoreSetting(s, "WindowMaximised", isMaximized());
  SaveSettings(s, "The choices of this session are not kept.");
}
