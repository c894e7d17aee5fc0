// What must hold for any settings file the main window restores at start-up, shared by the fuzz
// target and the corpus replay of the window tests: every restored control within its range,
// the first showing complete, the window closing and writing back what it shows.
// Needs a QApplication, the simulated card as the audio backend and messages that do not block.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>

#include <memory>
#include <string>

#include "AudioAnalyser.h"
#include "Controls.h"
#include "MainForm.h"
#include "TestSupport.h"

namespace settings_checks {

struct TKey {
  const char* key;
  const char* control;
};
// Every key the window restores from the section "Quorvane" and writes back at close.
inline constexpr TKey kKeys[] = {
    {"FreqRange", "ComboBoxFreqRange"},
    {"WaveformLeft", "ComboBoxLeftWaveform"},
    {"WaveformRight", "ComboBoxRightWaveform"},
    {"OutputPhase", "RadioGroupOutChannel"},
    {"OutputLeftGainPos", "TrackBarALeft"},
    {"OutputRightGainPos", "TrackBarARight"},
    {"VectorScopeAGC", "CheckBoxAGC"},
    {"ScopeTraceOffset", "ComboBoxTraceOffset"},
    {"ScopeGain", "UpDownScopeGain"},
    {"ScopeTimebase", "UpDownTimebase"},
    {"SpectrumMode", "ComboBoxSpectrumMode"},
    {"SpectrumInChannel", "RadioGroupInChannel"},
    {"SpectrumHumFilter", "CheckBoxHumFilter"},
    {"SpectrumHighResolution", "CheckBoxHighResn"},
    {"SpectrumMovingAverage", "CheckBoxSpectrumMvgAvg"},
    {"ResponseTraceSmoothing", "ComboBoxTraceSmoothing"},
    {"ResponseMovingAverage", "CheckBoxMovingAverage"},
    {"UserF1", "SpinEditUserF1"},
    {"UserF2", "SpinEditUserF2"},
    {"SpectrumMin", "UpDownSpectMin"},
    {"SpectrumMax", "UpDownSpectMax"},
    {"ResponseMin", "UpDownResponseMin"},
    {"ResponseMax", "UpDownResponseMax"},
    {"SweepIsStepped", "CheckBoxSteppedSweep"},
    {"SweepIsLog", "CheckBoxLogSweep"},
    {"SweepIsDelayed", "CheckBoxDelaySweep"},
    {"SweepDeclick", "CheckBoxDeclickSweep"},
    {"SweepIsSlow", "CheckBoxSlowSpeed"},
    {"SweepDuration", "SpinEditSweepDuration"},
    {"SweepStopAfterOne", "CheckBoxStopAfterOne"},
    {"GeneratorTab", "TabControlGenerator"},
    {"DistortionKind", "ComboBoxDistortionKind"},
    {"DistortionBand", "ComboBoxDistortionBand"},
    {"DistortionWeighting", "ComboBoxDistortionWeighting"},
    {"DistortionAveraging", "ComboBoxDistortionAveraging"},
    {"ImpulseView", "ComboBoxImpulseView"},
    {"ImpulseSmoothing", "ComboBoxImpulseSmoothing"},
    {"ImpulseLength", "SpinEditImpulseLength"},
    {"ImpulseF1", "SpinEditImpulseF1"},
    {"ImpulseF2", "SpinEditImpulseF2"},
    {"ImpulseLevel", "SpinEditImpulseLevel"},
    {"ImpulseDual", "CheckBoxImpulseDual"},
    {"ImpulseAveraging", "ComboBoxImpulseAveraging"},
    {"ImpulseWindowAuto", "CheckBoxImpulseWindowAuto"},
    {"ImpulseWindowStart", "SpinEditImpulseWindowStart"},
    {"ImpulseWindowEnd", "SpinEditImpulseWindowEnd"},
};

// The control's value as WriteSettings stores it, or a fault when it lies outside its range.
inline std::string Value(const QObject& form, const char* name, QString& text) {
  QObject* c = form.findChild<QObject*>(QString::fromLatin1(name));
  const auto range = [&](int v, int low, int high) -> std::string {
    text = QString::number(v);
    if (v >= low && v <= high) return {};
    return std::string(name) + " at " + std::to_string(v) + " outside " + std::to_string(low) +
           " ... " + std::to_string(high);
  };
  if (auto* x = qobject_cast<QComboBox*>(c)) return range(x->currentIndex(), 0, x->count() - 1);
  if (auto* x = qobject_cast<QSlider*>(c)) return range(x->value(), x->minimum(), x->maximum());
  if (auto* x = qobject_cast<QSpinBox*>(c)) return range(x->value(), x->minimum(), x->maximum());
  if (auto* x = qobject_cast<TUpDown*>(c)) return range(x->Position(), x->Min(), x->Max());
  if (auto* x = qobject_cast<TRadioGroup*>(c)) return range(x->ItemIndex(), 0, x->Count() - 1);
  if (auto* x = qobject_cast<TTabControl*>(c))
    return range(x->TabIndex(), 0, x->TabBar()->count() - 1);
  if (auto* x = qobject_cast<QCheckBox*>(c)) {
    text = x->isChecked() ? QStringLiteral("true") : QStringLiteral("false");
    return {};
  }
  return std::string("no control ") + name;
}

inline std::string Restored(const TMainForm& form) {
  for (const TKey& k : kKeys) {
    QString text;
    if (std::string fault = Value(form, k.control, text); !fault.empty()) return fault;
  }
  const auto* f1 = form.findChild<QSpinBox*>(QStringLiteral("SpinEditUserF1"));
  const auto* f2 = form.findChild<QSpinBox*>(QStringLiteral("SpinEditUserF2"));
  if (f1->value() >= f2->value())
    return "user range " + std::to_string(f1->value()) + " ... " + std::to_string(f2->value());
  const auto* from = form.findChild<QSpinBox*>(QStringLiteral("SpinEditImpulseF1"));
  const auto* to = form.findChild<QSpinBox*>(QStringLiteral("SpinEditImpulseF2"));
  if (from->value() >= to->value())
    return "sweep range " + std::to_string(from->value()) + " ... " + std::to_string(to->value());
  for (const int offset : {form.Analyser()->LeftOffset(), form.Analyser()->RightOffset()})
    if (offset < -32767 || offset > 32767) return "offset " + std::to_string(offset);
  return {};
}

// Restores the window from a store holding these bytes in folder, shows it, checks it, closes
// it and checks what it wrote. folder is the path the store is redirected to (QSettings::setPath).
inline std::string Check(const QByteArray& bytes, const QString& folder) {
  // A store of its own per input: QSettings keeps files it has read cached by name and time.
  static int run = 0;
  const QString path = folder + QStringLiteral("/%1").arg(++run);
  const QString file = path + QStringLiteral("/Brackwell Systems/Quorvane.conf");
  QDir().mkpath(path + QStringLiteral("/Brackwell Systems"));
  {
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size()) return "store not written";
  }
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
  std::string fault;
  {
    TMainForm form;
    if (fault = Restored(form); !fault.empty()) return "restored: " + fault;
    form.show();
    if (!PumpUntil([&] { return form.Shown(); }, 10000)) return "first showing not complete";
    if (fault = Restored(form); !fault.empty()) return "shown: " + fault;
    if (!form.close() || form.isVisible()) return "window did not close";

    QSettings written(file, QSettings::IniFormat);
    written.beginGroup(QStringLiteral("Quorvane"));
    for (const TKey& k : kKeys) {
      QString text;
      Value(form, k.control, text);
      const QString stored = written.value(QLatin1String(k.key)).toString();
      if (stored != text)
        return std::string("wrote ") + k.key + "=" + stored.toStdString() + " for " + k.control +
               " at " + text.toStdString();
    }
  }
  // Notifications of the streams the window closed drain before the next window.
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }
  QDir(path).removeRecursively();
  return {};
}

}  // namespace settings_checks
