// The main window: settings restored and written, the first-showing sequence, starting and
// stopping the generator and analyser, the scope page, shutdown order and the layout.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>

#include <QRegularExpression>

#include <climits>
#include <map>
#include <string>
#include <tuple>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "Controls.h"
#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "Displays.h"
#include "LED.h"
#include "MainForm.h"
#include "ToneGenerator.h"
#include "Version.h"

namespace {

const char* const kOffsetQuestion =
    "You don't seem to have measured the zero-signal ADC Offset of your sound card.  You are "
    "advised to make this measurement for most accurate results, and it will only take a few "
    "seconds.  Would you like to measure the ADC offset in the Sound Card now?\r\rPlease click "
    "on Yes to continue or No to stop";

const QColor kBrightGreen(0, 255, 0);
const QColor kGreen(0, 128, 0);

QStringList Items(const QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

QColor TextColour(const QWidget* w) { return w->palette().color(QPalette::WindowText); }

// Records what the components were doing when the settings were written.
class ProbeForm : public TMainForm {
 public:
  std::vector<std::string>* log = nullptr;
  bool generatorRan = true, analyserRan = true;

 protected:
  void WriteSettings() override {
    if (log) log->push_back("settings");
    generatorRan = ToneGenerator()->Enabled() || ToneGenerator()->State() != Closed;
    analyserRan = Analyser()->Enabled() || Analyser()->State() != Closed;
    TMainForm::WriteSettings();
  }
};

class MainFormTest : public AppTest {
 protected:
  void Click(TMainForm& form, const char* button) { Find<QPushButton>(&form, button)->click(); }
  QColor LED(TMainForm& form, const char* name) { return Find<TLED>(&form, name)->Colour(); }
};

// ---- settings ----------------------------------------------------------------------------------

// The keys written at close, the control that keeps each, its default and a changed value.
struct TKey {
  const char* key;
  const char* control;
  int fallback;
  int changed;
};
const TKey kKeys[] = {
    {"FreqRange", "ComboBoxFreqRange", 2, 4},
    {"WaveformLeft", "ComboBoxLeftWaveform", 0, 3},
    {"WaveformRight", "ComboBoxRightWaveform", 0, 4},
    // "Independent" first, so that the two levels are set apart and come back apart.
    {"OutputPhase", "RadioGroupOutChannel", 0, 2},
    {"OutputLeftGainPos", "TrackBarALeft", 20, 7},
    {"OutputRightGainPos", "TrackBarARight", 20, 33},
    {"VectorScopeAGC", "CheckBoxAGC", 1, 0},
    {"ScopeTraceOffset", "ComboBoxTraceOffset", 0, 2},
    {"ScopeGain", "UpDownScopeGain", 0, 5},
    {"ScopeTimebase", "UpDownTimebase", 3, 0},
    {"SpectrumMode", "ComboBoxSpectrumMode", 0, 6},
    {"SpectrumInChannel", "RadioGroupInChannel", 2, 3},
    {"SpectrumHumFilter", "CheckBoxHumFilter", 0, 1},
    {"SpectrumHighResolution", "CheckBoxHighResn", 0, 1},
    {"SpectrumMovingAverage", "CheckBoxSpectrumMvgAvg", 1, 0},
    {"ResponseTraceSmoothing", "ComboBoxTraceSmoothing", 1, 2},
    {"ResponseMovingAverage", "CheckBoxMovingAverage", 1, 0},
    {"UserF1", "SpinEditUserF1", 300, 440},
    {"UserF2", "SpinEditUserF2", 3000, 8800},
    {"SpectrumMin", "UpDownSpectMin", 90, 70},
    {"SpectrumMax", "UpDownSpectMax", 10, 20},
    {"ResponseMin", "UpDownResponseMin", 80, 60},
    {"ResponseMax", "UpDownResponseMax", 0, -15},
    {"SweepIsStepped", "CheckBoxSteppedSweep", 0, 1},
    {"SweepIsLog", "CheckBoxLogSweep", 1, 0},
    {"SweepIsDelayed", "CheckBoxDelaySweep", 0, 1},
    {"SweepDeclick", "CheckBoxDeclickSweep", 1, 0},
    {"SweepIsSlow", "CheckBoxSlowSpeed", 0, 1},
    {"SweepDuration", "SpinEditSweepDuration", 45, 12},
    {"SweepStopAfterOne", "CheckBoxStopAfterOne", 0, 1},
    {"GeneratorTab", "TabControlGenerator", 0, 1},
    {"DistortionKind", "ComboBoxDistortionKind", 0, 2},
    {"DistortionBand", "ComboBoxDistortionBand", 0, 1},
    {"DistortionWeighting", "ComboBoxDistortionWeighting", 0, 1},
    {"DistortionAveraging", "ComboBoxDistortionAveraging", 0, 2},
    {"ImpulseView", "ComboBoxImpulseView", 2, 5},
    {"ImpulseSmoothing", "ComboBoxImpulseSmoothing", 0, 4},
    {"ImpulseLength", "SpinEditImpulseLength", 5, 9},
    {"ImpulseF1", "SpinEditImpulseF1", 20, 50},
    {"ImpulseF2", "SpinEditImpulseF2", 20000, 16000},
    {"ImpulseLevel", "SpinEditImpulseLevel", -10, -23},
    {"ImpulseDual", "CheckBoxImpulseDual", 0, 1},
    {"ImpulseAveraging", "ComboBoxImpulseAveraging", 0, 3},
    {"ImpulseWindowAuto", "CheckBoxImpulseWindowAuto", 1, 0},
    {"ImpulseWindowStart", "SpinEditImpulseWindowStart", -5, -12},
    {"ImpulseWindowEnd", "SpinEditImpulseWindowEnd", 300, 45},
};

// The value a control keeps for its key: an index, a position, a number or a check state.
int ControlValue(const QObject* form, const char* name) {
  QObject* c = form->findChild<QObject*>(name);
  if (auto* x = qobject_cast<QComboBox*>(c)) return x->currentIndex();
  if (auto* x = qobject_cast<QCheckBox*>(c)) return x->isChecked();
  if (auto* x = qobject_cast<QSlider*>(c)) return x->value();
  if (auto* x = qobject_cast<QSpinBox*>(c)) return x->value();
  if (auto* x = qobject_cast<TUpDown*>(c)) return x->Position();
  if (auto* x = qobject_cast<TRadioGroup*>(c)) return x->ItemIndex();
  if (auto* x = qobject_cast<TTabControl*>(c)) return x->TabIndex();
  ADD_FAILURE() << "no control " << name;
  return INT_MIN;
}

void SetControlValue(const QObject* form, const char* name, int value) {
  QObject* c = form->findChild<QObject*>(name);
  if (auto* x = qobject_cast<QComboBox*>(c)) return x->setCurrentIndex(value);
  if (auto* x = qobject_cast<QCheckBox*>(c)) return x->setChecked(value != 0);
  if (auto* x = qobject_cast<QSlider*>(c)) return x->setValue(value);
  if (auto* x = qobject_cast<QSpinBox*>(c)) return x->setValue(value);
  if (auto* x = qobject_cast<TUpDown*>(c)) return x->SetPosition(value);
  if (auto* x = qobject_cast<TRadioGroup*>(c)) return x->SetItemIndex(value);
  if (auto* x = qobject_cast<TTabControl*>(c)) return x->SetTabIndex(value);
  ADD_FAILURE() << "no control " << name;
}

TEST_F(MainFormTest, EmptyStoreRestoresEveryDefaultAndAsksForTheOffsetOnce) {
  TMainForm form;
  ShowForm(form);
  PumpFor(50);
  ASSERT_EQ(recorder.questions.size(), 1u);
  EXPECT_EQ(recorder.questions[0], kOffsetQuestion);
  EXPECT_EQ(recorder.questionTitles, std::vector<std::string>{"Measure sound card A/D offset"});
  EXPECT_FALSE(form.ADCMeasured());
  EXPECT_EQ(form.Analyser()->LeftOffset(), 0);
  EXPECT_EQ(form.Analyser()->RightOffset(), 0);
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonMeasureOffset")->toolTip(), "Left: 0,  Right: 0");
  for (const TKey& k : kKeys) EXPECT_EQ(ControlValue(&form, k.control), k.fallback) << k.key;

  // Set after the restore, and the state the first showing leaves.
  EXPECT_EQ(Find<QSlider>(&form, "TrackBarFLeft")->value(), 2900);
  EXPECT_EQ(Find<QSlider>(&form, "TrackBarFRight")->value(), 2900);
  EXPECT_EQ(Find<QSpinBox>(&form, "SpinEditUserF2")->maximum(), 22050);
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  EXPECT_EQ(pages->tabText(pages->currentIndex()), "Spectrum analyser");
  EXPECT_TRUE(Find<QGroupBox>(&form, "GroupBoxOutputFreq")->isVisible());
  EXPECT_FALSE(Find<QGroupBox>(&form, "GroupBoxSweepProperties")->isVisible());
  auto* scope = Find<TWaveformDisplay>(&form, "WaveformDisplay1");
  EXPECT_EQ(scope->LSB(), 256);
  EXPECT_EQ(scope->Timebase(), wtb__10ms);
  EXPECT_EQ(scope->TraceOffset(), 0);
  EXPECT_NE(form.findChild<QLabel*>("WaveformDisplay1_X10"), nullptr) << "scale labels made";
  auto* spectrum = Find<TSpectrumDisplay>(&form, "SpectrumDisplay1");
  EXPECT_EQ(form.Analyser()->Display(), spectrum);
  EXPECT_EQ(form.Analyser()->BufferSamples(), 4096);
  EXPECT_EQ(spectrum->Mode(), sdOctave3);
  EXPECT_EQ(spectrum->ChannelSelect(), csSum);
  EXPECT_EQ(spectrum->MaxdB(), -10);
  EXPECT_EQ(spectrum->MindB(), -90);
  EXPECT_FALSE(spectrum->HumReject());
  EXPECT_TRUE(spectrum->MovingAverage());
  EXPECT_EQ(spectrum->FFTpower(), 12);
  EXPECT_NE(form.findChild<QLabel*>("SpectrumDisplay1_X10"), nullptr) << "scale labels made";
  EXPECT_TRUE(form.Analyser()->AutoStart());
  EXPECT_TRUE(Find<TVectorScope>(&form, "VectorScope1")->AGC());
  // The generator: sines at 400 Hz ("MF" from 2900) at -20 dB.
  const TAudioToneGenerator* tone = form.ToneGenerator();
  EXPECT_EQ(tone->LeftWaveform(), SineWave);
  EXPECT_EQ(tone->RightWaveform(), SineWave);
  EXPECT_EQ(tone->LeftFrequency(), 400.0f);
  EXPECT_EQ(tone->RightFrequency(), 400.0f);
  EXPECT_FLOAT_EQ(tone->LeftAmplitude(), 0.1f);
  EXPECT_FLOAT_EQ(tone->RightAmplitude(), 0.1f);
  const TResponsePlot* response = form.ResponsePlot();
  EXPECT_EQ(response->MaxdB(), 0);
  EXPECT_EQ(response->MindB(), -80);
  EXPECT_EQ(response->TraceSmoothing(), 1);
  EXPECT_TRUE(response->MovingAverage());
  EXPECT_EQ(response->MinFrequency(), 300);
  EXPECT_EQ(response->MaxFrequency(), 3000);
  EXPECT_TRUE(response->LogSweep());
  EXPECT_FALSE(response->SteppedSweep());
  EXPECT_TRUE(response->Declick());
  EXPECT_FALSE(response->SlowSweep());
  EXPECT_TRUE(StoredKeys().isEmpty()) << "nothing is written before closing";
}

TEST_F(MainFormTest, StoredMeasurementIsNotAskedAgainAndTheHintShowsIt) {
  Store({{"ADCMeasured", true}, {"ADCLeftOffset", -3}, {"ADCRightOffset", 2}});
  TMainForm form;
  ShowForm(form);
  EXPECT_TRUE(recorder.questions.empty());
  EXPECT_TRUE(form.ADCMeasured());
  EXPECT_EQ(form.Analyser()->LeftOffset(), -3);
  EXPECT_EQ(form.Analyser()->RightOffset(), 2);
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonMeasureOffset")->toolTip(), "Left: -3,  Right: 2");
}

TEST_F(MainFormTest, SettingsRoundTripThroughCloseAndReopen) {
  {
    TMainForm form;
    ShowForm(form);
    for (const TKey& k : kKeys) SetControlValue(&form, k.control, k.changed);
    form.close();
  }
  QStringList written;
  for (const TKey& k : kKeys) written << QString("Quorvane/") + k.key;
  for (const char* key :
       {"WindowLeft", "WindowTop", "WindowWidth", "WindowHeight", "WindowMaximised"})
    written << QString("Quorvane/") + key;
  written.sort();
  EXPECT_EQ(StoredKeys(), written) << "the documented keys and nothing else";
  EXPECT_EQ(Stored("ResponseMax").toInt(), -15);
  EXPECT_EQ(Stored("SweepIsLog").toString(), "false");

  TMainForm form;
  ShowForm(form);
  for (const TKey& k : kKeys) EXPECT_EQ(ControlValue(&form, k.control), k.changed) << k.key;
  // The first showing pushed the restored scope values into the display and showed the tab.
  auto* scope = Find<TWaveformDisplay>(&form, "WaveformDisplay1");
  EXPECT_EQ(scope->LSB(), 8);
  EXPECT_EQ(scope->Timebase(), wtb_100ms);
  EXPECT_EQ(scope->TraceOffset(), 64);
  EXPECT_TRUE(Find<QGroupBox>(&form, "GroupBoxSweepProperties")->isVisible());
  EXPECT_FALSE(Find<QComboBox>(&form, "ComboBoxLeftWaveform")->isVisible());
}

// Logs the handlers the first showing runs, the offset question and each key written.
class OrderProbe : public TMainForm {
 public:
  explicit OrderProbe(std::vector<std::string>& log) : log_(log) {}

  // Only the calls of the sequence itself: a handler may run others (a waveform, its track bar).
#define QV_LOGGED(handler)                                \
  void handler() override {                               \
    if (!Shown() && depth_ == 0) log_.push_back(#handler); \
    ++depth_;                                             \
    TMainForm::handler();                                 \
    --depth_;                                             \
  }
  QV_LOGGED(ComboBoxLeftWaveformChange)
  QV_LOGGED(ComboBoxRightWaveformChange)
  QV_LOGGED(TrackBarFLeftChange)
  QV_LOGGED(TrackBarFRightChange)
  QV_LOGGED(LeftAmplitudeChanged)
  QV_LOGGED(RightAmplitudeChanged)
  QV_LOGGED(ComboBoxFreqRangeChange)
  QV_LOGGED(UpDownScopeGainClick)
  QV_LOGGED(UpDownTimebaseClick)
  QV_LOGGED(ComboBoxSpectrumModeChange)
  QV_LOGGED(ComboBoxTraceSmoothingChange)
  QV_LOGGED(ComboBoxTraceOffsetChange)
  QV_LOGGED(UpDownSpectMinClick)
  QV_LOGGED(UpDownSpectMaxClick)
  QV_LOGGED(UpDownResponseMinClick)
  QV_LOGGED(UpDownResponseMaxClick)
  QV_LOGGED(TabControlGeneratorChange)
  QV_LOGGED(CheckBoxAGCClick)
  QV_LOGGED(PageControlAnalyserChange)
#undef QV_LOGGED

 protected:
  void StoreSetting(QSettings& s, const char* key, const QVariant& value) override {
    log_.push_back(key);
    TMainForm::StoreSetting(s, key, value);
  }

 private:
  std::vector<std::string>& log_;
  int depth_ = 0;
};

struct TOrderRecorder : TMessageRecorder {
  std::vector<std::string>* log = nullptr;
  bool AskYesNo(const std::string& text, const std::string& title) override {
    log->push_back("question");
    return TMessageRecorder::AskYesNo(text, title);
  }
};

TEST_F(MainFormTest, SettingsThatCannotBeWrittenAreReportedAtTheMeasurementAndAtClose) {
  // A file where the settings folder should be: no write gets through, not even as root.
  QFile blocker(folder.filePath("Brackwell Systems"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.write("not a folder");
  blocker.close();
  const std::string where = "The settings cannot be saved in \"" +
                            QDir::toNativeSeparators(StoreFile()).toStdString() +
                            "\": the file or its folder cannot be written. ";
  recorder.answer = true;  // measure the offsets: they are stored at once
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  {
    TMainForm form;
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }, 20000));
    ASSERT_TRUE(form.ADCMeasured());
    EXPECT_EQ(recorder.messages,
              std::vector<std::string>{where + "The measured offsets are used until the program ends."});
    EXPECT_EQ(form.Analyser()->LeftOffset(), -3) << "the measurement is kept for the session";
    form.close();
  }
  EXPECT_EQ(recorder.messages.size(), 2u);
  EXPECT_EQ(recorder.messages.back(), where + "The choices of this session are not kept.");
  QFile after(folder.filePath("Brackwell Systems"));
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), "not a folder");
}

TEST_F(MainFormTest, FirstShowingRunsTheHandlersInOrderAndClosingWritesTheKeysInOrder) {
  std::vector<std::string> log;
  TOrderRecorder questions;
  questions.log = &log;
  TMessageInterface* previous = SetMessages(&questions);
  OrderProbe form(log);
  ShowForm(form);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "ComboBoxLeftWaveformChange", "ComboBoxRightWaveformChange",
                     "TrackBarFLeftChange", "TrackBarFRightChange", "LeftAmplitudeChanged",
                     "RightAmplitudeChanged", "ComboBoxFreqRangeChange", "UpDownScopeGainClick",
                     "UpDownTimebaseClick", "ComboBoxSpectrumModeChange",
                     "ComboBoxTraceSmoothingChange", "ComboBoxTraceOffsetChange",
                     "UpDownSpectMinClick", "UpDownSpectMaxClick", "UpDownResponseMinClick",
                     "UpDownResponseMaxClick", "TabControlGeneratorChange", "CheckBoxAGCClick",
                     "PageControlAnalyserChange", "question"}));
  log.clear();
  form.close();
  SetMessages(previous);
  EXPECT_EQ(log, (std::vector<std::string>{
                     "UserF1", "UserF2", "OutputLeftGainPos", "OutputRightGainPos", "OutputPhase",
                     "FreqRange", "WaveformLeft", "WaveformRight", "SweepIsStepped", "SweepIsLog",
                     "SweepIsDelayed", "SweepDeclick", "SweepIsSlow", "SweepDuration",
                     "SweepStopAfterOne", "GeneratorTab", "VectorScopeAGC", "ScopeTraceOffset", "ScopeGain",
                     "ScopeTimebase", "SpectrumMode", "SpectrumInChannel", "SpectrumHumFilter",
                     "SpectrumHighResolution", "SpectrumMovingAverage", "ResponseMovingAverage",
                     "ResponseTraceSmoothing", "SpectrumMin", "SpectrumMax", "ResponseMin",
                     "ResponseMax", "DistortionKind", "DistortionBand", "DistortionWeighting",
                     "DistortionAveraging", "ImpulseView", "ImpulseSmoothing", "ImpulseLength",
                     "ImpulseF1", "ImpulseF2", "ImpulseLevel", "ImpulseDual", "ImpulseAveraging",
                     "ImpulseWindowAuto", "ImpulseWindowStart", "ImpulseWindowEnd",
                     "WindowLeft", "WindowTop", "WindowWidth", "WindowHeight",
                     "WindowMaximised"}));
}

TEST_F(MainFormTest, StoredValuesOutsideTheControlsLimitsAreClippedOrRestoreTheDefault) {
  struct TBad {
    const char* key;
    QVariant stored;
    const char* control;
    int restored;
  } const bad[] = {
      {"UserF1", 99999, "SpinEditUserF1", 22049},  // clipped, then below the upper box
      {"UserF2", 0, "SpinEditUserF2", 22050},
      {"SweepDuration", 500, "SpinEditSweepDuration", 99},
      {"ScopeGain", 40, "UpDownScopeGain", 8},
      {"ScopeTimebase", -7, "UpDownTimebase", 0},
      {"SpectrumInChannel", 9, "RadioGroupInChannel", 2},
      {"OutputPhase", -1, "RadioGroupOutChannel", 0},
      {"OutputLeftGainPos", 1000, "TrackBarALeft", 40},
      {"OutputRightGainPos", 1000, "TrackBarARight", 40},
      {"FreqRange", 9, "ComboBoxFreqRange", 2},
      {"WaveformLeft", -1, "ComboBoxLeftWaveform", 0},
      {"WaveformRight", "pink", "ComboBoxRightWaveform", 0},
      {"ScopeTraceOffset", 3, "ComboBoxTraceOffset", 0},
      {"SpectrumMode", 8, "ComboBoxSpectrumMode", 0},
      {"ResponseTraceSmoothing", -2, "ComboBoxTraceSmoothing", 1},
      {"SweepIsLog", "maybe", "CheckBoxLogSweep", 1},
      {"GeneratorTab", 5, "TabControlGenerator", 0},
      {"DistortionKind", 3, "ComboBoxDistortionKind", 0},
      {"DistortionBand", "wide", "ComboBoxDistortionBand", 0},
      {"DistortionWeighting", -1, "ComboBoxDistortionWeighting", 0},
      {"DistortionAveraging", 3, "ComboBoxDistortionAveraging", 0},
      {"ImpulseView", 6, "ComboBoxImpulseView", 2},
      {"ImpulseSmoothing", -1, "ComboBoxImpulseSmoothing", 0},
      {"ImpulseLength", 11, "SpinEditImpulseLength", 5},
      {"ImpulseF1", 30000, "SpinEditImpulseF1", 20},  // and so the range is the default one
      {"ImpulseF2", "high", "SpinEditImpulseF2", 20000},
      {"ImpulseLevel", 3, "SpinEditImpulseLevel", -10},
      {"ImpulseDual", "both", "CheckBoxImpulseDual", 0},
      {"ImpulseAveraging", 4, "ComboBoxImpulseAveraging", 0},
      {"ImpulseWindowAuto", 2, "CheckBoxImpulseWindowAuto", 1},
      {"ImpulseWindowStart", 0, "SpinEditImpulseWindowStart", -5},
      {"ImpulseWindowEnd", 5000, "SpinEditImpulseWindowEnd", 300},
  };
  std::map<QString, QVariant> store = {
      {"ADCMeasured", true}, {"ADCLeftOffset", 40000}, {"ADCRightOffset", 2}};
  for (const TBad& b : bad) store[b.key] = b.stored;
  Store(store);
  TMainForm form;
  for (const TBad& b : bad) EXPECT_EQ(ControlValue(&form, b.control), b.restored) << b.key;
  EXPECT_FALSE(form.ADCMeasured()) << "an offset no sample can carry was never measured";
  EXPECT_EQ(form.Analyser()->LeftOffset(), 0);
  EXPECT_EQ(form.Analyser()->RightOffset(), 0);

  // What the fallbacks give the generator: "MF" from 2900, a sine, the lowest level.
  ShowForm(form);
  EXPECT_EQ(recorder.questions, std::vector<std::string>{kOffsetQuestion});
  EXPECT_EQ(form.ToneGenerator()->LeftWaveform(), SineWave);
  EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), 400.0f);
  EXPECT_EQ(form.ToneGenerator()->LeftAmplitude(), 0.01f);
  EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), 0.01f);
  EXPECT_EQ(Find<QLabel>(&form, "LabelLAmplitude")->text(), "-40 dB");
}

// ---- shutdown ----------------------------------------------------------------------------------

TEST_F(MainFormTest, ClosingStopsGeneratorThenAnalyserBeforeWritingTheSettings) {
  std::vector<std::string> log;
  ProbeForm form;
  form.log = &log;
  ShowForm(form);
  auto generatorClose = form.ToneGenerator()->OnClose();
  form.ToneGenerator()->SetOnClose([&](QObject* s) {
    log.push_back("generator closed");
    generatorClose(s);
  });
  auto analyserClose = form.Analyser()->OnClose();
  form.Analyser()->SetOnClose([&](QObject* s) {
    log.push_back("analyser closed");
    analyserClose(s);
  });

  Click(form, "ButtonStartGenerator");
  Click(form, "ButtonStartAnalyser");
  ASSERT_TRUE(PumpUntil([&] {
    return LED(form, "LEDgenerator") == kBrightGreen && LED(form, "LEDanalyser") == kBrightGreen;
  }));
  ASSERT_TRUE(PumpUntil([&] { return form.Analyser()->BufferNumber() > 2; }));
  form.close();
  EXPECT_EQ(log, (std::vector<std::string>{"generator closed", "analyser closed", "settings"}));
  EXPECT_FALSE(form.generatorRan);
  EXPECT_FALSE(form.analyserRan);
  EXPECT_EQ(LED(form, "LEDgenerator"), kGreen);
  EXPECT_EQ(LED(form, "LEDanalyser"), kGreen);
  EXPECT_FALSE(StoredKeys().isEmpty());
}

// ---- generator and analyser buttons ------------------------------------------------------------

TEST_F(MainFormTest, StartGeneratorTogglesTheToneGeneratorCaptionAndLamp) {
  TMainForm form;
  ShowForm(form);
  auto* button = Find<QPushButton>(&form, "ButtonStartGenerator");
  EXPECT_TRUE(button->isDefault());
  EXPECT_EQ(LED(form, "LEDgenerator"), kGreen);
  button->click();
  EXPECT_TRUE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(button->text(), "STOP");
  ASSERT_TRUE(PumpUntil([&] { return LED(form, "LEDgenerator") == kBrightGreen; }));
  EXPECT_FALSE(form.Analyser()->Enabled()) << "the check box is not checked";
  button->click();
  EXPECT_FALSE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(button->text(), "Start Generator");
  EXPECT_EQ(LED(form, "LEDgenerator"), kGreen);

  // Choosing "Sweep" stops the tone.
  button->click();
  ASSERT_TRUE(form.ToneGenerator()->Enabled());
  Find<TTabControl>(&form, "TabControlGenerator")->TabBar()->setCurrentIndex(1);
  EXPECT_FALSE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(button->text(), "Start Generator");
  EXPECT_TRUE(Find<QGroupBox>(&form, "GroupBoxSweepProperties")->isVisible());
  EXPECT_FALSE(Find<QGroupBox>(&form, "GroupBoxOutputFreq")->isVisible());
  EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(MainFormTest, GeneratorFailuresExplainThemselvesAndLeaveEverythingStopped) {
  TMainForm form;
  ShowForm(form);
  auto* button = Find<QPushButton>(&form, "ButtonStartGenerator");

  Card().RefuseNextOutputOpen(4, "Device busy");
  button->click();
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0],
            "Could not start sound generation.  If another sound program is in use, please close "
            "it first.  It may also be that your sound card cannot support 44.1KHz, 16-bit "
            "stereo.\r\rOriginal error:\rError 4 opening wave output - Device busy");
  EXPECT_EQ(button->text(), "Start Generator");
  EXPECT_FALSE(form.ToneGenerator()->Enabled());

  // With the analyser coupled: the check box moves to "Sweep"; the user goes back to "Tone".
  Find<QCheckBox>(&form, "CheckBoxEnableAnalyser")->setChecked(true);
  auto* tabs = Find<TTabControl>(&form, "TabControlGenerator");
  EXPECT_EQ(tabs->TabIndex(), 1);
  tabs->TabBar()->setCurrentIndex(0);
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  EXPECT_EQ(pages->tabText(pages->currentIndex()), "Frequency response");

  Card().RefuseNextOutputOpen(4, "Device busy");
  button->click();
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_EQ(recorder.messages[1],
            "Could not start sound generation.  If another sound program is in use, please close "
            "it first.  If you can generate sound but not run simultaneous generation and "
            "analysis, your sound card drivers may need updating to handle full-duplex operation "
            "- check the manufacturer's Web site.  \rIt may also be that your sound card cannot "
            "support 44.1KHz, 16-bit stereo.\r\rOriginal error:\rError 4 opening wave output - "
            "Device busy");
  EXPECT_FALSE(form.Analyser()->Enabled()) << "the analyser is stopped again";
  EXPECT_FALSE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(pages->tabText(pages->currentIndex()), "Spectrum analyser") << "tone leaves response";

  Card().RefuseNextInputOpen(4, "Input busy");
  button->click();
  ASSERT_EQ(recorder.messages.size(), 3u);
  EXPECT_EQ(recorder.messages[2],
            "Could not start sound analysis.  If another sound program is in use, please close it "
            "first.  It may also be that your sound card cannot support 44.1KHz, 16-bit "
            "stereo.\r\rOriginal error: Error 4 opening wave input - Input busy");
  EXPECT_FALSE(form.ToneGenerator()->Enabled()) << "no generation without the analyser";
  EXPECT_EQ(button->text(), "Start Generator");

  button->click();
  EXPECT_TRUE(form.Analyser()->Enabled());
  EXPECT_TRUE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(button->text(), "STOP");
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonStartAnalyser")->text(), "STOP");
  EXPECT_EQ(recorder.messages.size(), 3u);
}

TEST_F(MainFormTest, StartAnalyserTogglesAndNamesTheLikelyCauseOfAFailure) {
  TMainForm form;
  ShowForm(form);
  auto* button = Find<QPushButton>(&form, "ButtonStartAnalyser");
  button->click();
  EXPECT_TRUE(form.Analyser()->Enabled());
  EXPECT_EQ(button->text(), "STOP");
  ASSERT_TRUE(PumpUntil([&] { return LED(form, "LEDanalyser") == kBrightGreen; }));
  button->click();
  EXPECT_FALSE(form.Analyser()->Enabled());
  EXPECT_EQ(button->text(), "Start Analyser");
  EXPECT_EQ(LED(form, "LEDanalyser"), kGreen);

  Card().RefuseNextInputOpen(4, "Input busy");
  button->click();
  Find<QPushButton>(&form, "ButtonStartGenerator")->click();
  ASSERT_TRUE(form.ToneGenerator()->Enabled());
  Card().RefuseNextInputOpen(4, "Input busy");
  button->click();
  EXPECT_EQ(recorder.messages,
            (std::vector<std::string>{"Your sound card does not support 16-bit 44.1KHz stereo",
                                      "Your sound card or driver does not support full-duplex"}));
  EXPECT_EQ(button->text(), "Start Analyser");
  EXPECT_EQ(LED(form, "LEDanalyser"), kGreen);
}

// ---- analyser pages ----------------------------------------------------------------------------

TEST_F(MainFormTest, ScopePageFeedsTheWaveformDisplayAndItsControlsSetIt) {
  TMainForm form;
  ShowForm(form);
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  auto* scope = Find<TWaveformDisplay>(&form, "WaveformDisplay1");
  pages->setCurrentIndex(1);
  EXPECT_EQ(form.Analyser()->Display(), scope);
  EXPECT_EQ(form.Analyser()->BufferSamples(), 4410);
  EXPECT_EQ(scope->Source(), form.Analyser());

  auto* gain = Find<TUpDown>(&form, "UpDownScopeGain");
  gain->Press(btNext);
  EXPECT_EQ(scope->LSB(), 128);
  for (int i = 0; i < 9; ++i) gain->Press(btNext);
  EXPECT_EQ(gain->Position(), 8);
  EXPECT_EQ(scope->LSB(), 1);

  auto* timebase = Find<TUpDown>(&form, "UpDownTimebase");
  timebase->Press(btPrev);
  EXPECT_EQ(scope->Timebase(), wtb__20ms);
  for (int i = 0; i < 5; ++i) timebase->Press(btNext);
  EXPECT_EQ(timebase->Position(), 6);
  EXPECT_EQ(scope->Timebase(), wtb___1ms);

  auto* offset = Find<QComboBox>(&form, "ComboBoxTraceOffset");
  for (auto [index, pixels] : {std::pair{1, 16}, {2, 64}, {0, 0}}) {
    offset->setCurrentIndex(index);
    emit offset->activated(index);
    EXPECT_EQ(scope->TraceOffset(), pixels);
  }

  // A running analyser follows the page and keeps running.
  Find<QPushButton>(&form, "ButtonStartAnalyser")->click();
  ASSERT_TRUE(PumpUntil([&] { return form.Analyser()->BufferNumber() > 1; }));
  pages->setCurrentIndex(2);
  EXPECT_EQ(form.Analyser()->Display(), Find<TSpectrumDisplay>(&form, "SpectrumDisplay1"));
  EXPECT_TRUE(form.Analyser()->Enabled());
  pages->setCurrentIndex(1);
  pages->setCurrentIndex(6);
  EXPECT_EQ(form.Analyser()->Display(), scope) << "input controls leave the display";
  // A restart that fails is reported like a device error and leaves the analyser stopped.
  Card().RefuseNextInputOpen(4, "Input busy");
  pages->setCurrentIndex(1);
  EXPECT_EQ(recorder.exceptions,
            std::vector<std::string>{"Error 4 opening wave input - Input busy"});
  EXPECT_FALSE(form.Analyser()->Enabled());
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonStartAnalyser")->text(), "Start Analyser");

  // Checking the coupling shows the response page without changing the display.
  Find<QCheckBox>(&form, "CheckBoxEnableAnalyser")->setChecked(true);
  EXPECT_EQ(pages->currentIndex(), 3);
  EXPECT_EQ(form.Analyser()->Display(), scope);
  Find<QCheckBox>(&form, "CheckBoxEnableAnalyser")->setChecked(false);
  EXPECT_EQ(pages->currentIndex(), 2);
  EXPECT_EQ(form.Analyser()->Display(), scope);
}

TEST_F(MainFormTest, ScopeAmplitudeCaptionsStayClearOfTheDisplay) {
  TMainForm form;
  ShowForm(form);
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  pages->setCurrentIndex(1);
  QWidget* page = pages->currentWidget();
  auto* scope = Find<TWaveformDisplay>(&form, "WaveformDisplay1");
  std::vector<QLabel*> captions;
  for (int k = 0; k <= 8; ++k)
    captions.push_back(Find<QLabel>(page, QString("WaveformDisplay1_Y%1").arg(k).toLatin1()));
  auto picture = [&] { return page->grab(scope->geometry()).toImage(); };
  for (int p : {0, 8}) {  // "-32K" ... "32K", then "-128" ... "128"
    auto* gain = Find<TUpDown>(&form, "UpDownScopeGain");
    gain->SetPosition(p);
    form.UpDownScopeGainClick();
    for (QLabel* label : captions) label->hide();
    const QImage bare = picture();
    for (QLabel* label : captions) {
      label->show();
      const std::string text = label->text().toStdString();
      EXPECT_GE(label->x(), 0) << text;
      EXPECT_LT(label->geometry().right(), scope->x() - 1) << text << ": a pixel clear";
      EXPECT_GE(label->width(), label->sizeHint().width()) << text << " is not cut";
      EXPECT_EQ(label->font(), captions[0]->font()) << text << ": all alike";
    }
    EXPECT_EQ(picture(), bare) << "no caption covers the border or the plot, gain " << p;
  }
}

TEST_F(MainFormTest, TimerShowsProcessingAndPlottingTimePerBlock) {
  TMainForm form;
  ShowForm(form);
  auto* button = Find<QPushButton>(&form, "ButtonStartAnalyser");
  form.Timer1Timer();
  EXPECT_EQ(button->toolTip(), "") << "no blocks yet";
  Find<QTabWidget>(&form, "PageControlAnalyser")->setCurrentIndex(1);
  button->click();
  ASSERT_TRUE(PumpUntil([&] { return form.Analyser()->BufferNumber() > 3; }));
  button->click();
  const double blocks = form.Analyser()->BufferNumber();
  const double proc = form.Analyser()->ProcTicks * 1e6 / (blocks * PerfCounterFrequency);
  const double plot = form.Analyser()->PlotTicks * 1e6 / (blocks * PerfCounterFrequency);
  form.Timer1Timer();
  EXPECT_EQ(button->toolTip(), QString::asprintf("Proc: %.0f us\nPlot: %.0f us", proc, plot));
  EXPECT_GT(form.Analyser()->ProcTicks, 0.0);
}

// ---- layout ------------------------------------------------------------------------------------

TEST_F(MainFormTest, WindowCaptionMenusAndBottomRow) {
  TMainForm form;
  EXPECT_EQ(form.windowTitle(),
            QString("Zelk  -  free software from brackwell.example  -  V%1.%2.%3.%4")
                .arg(QUORVANE_VERSION_MAJOR)
                .arg(QUORVANE_VERSION_MINOR)
                .arg(QUORVANE_VERSION_PATCH)
                .arg(QUORVANE_VERSION_TWEAK));
  EXPECT_EQ(form.centralWidget()->size(), QSize(789, 447));
  EXPECT_EQ(form.Analyser()->BufferSamples(), 4096);
  EXPECT_EQ(form.ToneGenerator()->BufferSamples(), 2048);  // the normal latency's
  QStringList menus;
  for (QAction* menu : form.menuBar()->actions()) {
    menus << menu->text();
    for (QAction* item : menu->menu()->actions())
      menus << (item->isSeparator() ? QString("-") : item->text());
  }
  EXPECT_EQ(menus, (QStringList{"&File", "Replay WAV file ...", "Sound devices ...",
                                "Export picture ...", "Export data ...", "Load calibration ...",
                                "No calibration", "-", "E&xit", "&Measure", "Sound card test ...", "&Help",
                                "&Contents", "&Index", "-", "&About"}));
  EXPECT_EQ(Find<QAction>(&form, "Exit1")->shortcut(), QKeySequence(QKeySequence::Quit));
  EXPECT_EQ(Find<QAction>(&form, "Contents1")->shortcut(), QKeySequence(Qt::Key_F1));

  EXPECT_EQ(Find<QWidget>(&form, "ButtonStartAnalyser")->geometry(), QRect(408, 416, 97, 25));
  EXPECT_EQ(Find<QWidget>(&form, "LEDanalyser")->pos(), QPoint(512, 420));
  auto* coupling = Find<QCheckBox>(&form, "CheckBoxEnableAnalyser");
  EXPECT_EQ(coupling->pos(), QPoint(256, 416));
  EXPECT_EQ(coupling->text(), "----> and start analyser");
  EXPECT_EQ(coupling->toolTip(), "Check for simultaneous generation and analysis");
  EXPECT_EQ(Find<QLabel>(&form, "LabelBackend")->text(), "") << "named once the window is shown";
  ShowForm(form);
  EXPECT_EQ(Find<QLabel>(&form, "LabelBackend")->text(), "Simulated sound card");
  // Left to right without overlaps.
  const char* row[] = {"ButtonSaveAs", "ButtonStartGenerator", "LEDgenerator",
                       "CheckBoxEnableAnalyser", "ButtonStartAnalyser", "LEDanalyser",
                       "LabelBackend", "ButtonClose"};
  for (size_t i = 0; i + 1 < std::size(row); ++i)
    EXPECT_LE(Find<QWidget>(&form, row[i])->geometry().right(),
              Find<QWidget>(&form, row[i + 1])->geometry().left())
        << row[i] << " / " << row[i + 1];
}

TEST_F(MainFormTest, AnalyserPagesHoldTheirControlsAtTheirPlaces) {
  TMainForm form;
  ShowForm(form);
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  EXPECT_EQ(pages->geometry(), QRect(296, 8, 489, 401));
  QStringList captions;
  for (int i = 0; i < pages->count(); ++i) captions << pages->tabText(i);
  EXPECT_EQ(captions, (QStringList{"Vectorscope", "Scope", "Spectrum analyser",
                                   "Frequency response", "Distortion", "Impulse",
                                   "Input controls"}));
  const std::pair<const char*, QRect> places[] = {
      {"VectorScope1", {24, 32, 329, 321}},     {"WaveformDisplay1", {24, 32, 443, 257}},
      {"UpDownTimebase", {424, 312, 33, 17}},   {"UpDownSpectMax", {4, 0, 17, 33}},
      {"RadioGroupInChannel", {328, 312, 145, 57}}, {"ButtonMeasureOffset", {56, 96, 113, 41}},
  };
  for (const auto& [name, rect] : places)
    EXPECT_EQ(Find<QWidget>(&form, name)->geometry(), rect) << name;
  EXPECT_EQ(Items(Find<QComboBox>(&form, "ComboBoxSpectrumMode")),
            (QStringList{"1/3 octave", "Log", "Linear", "Linear (speech)", "Linear (user)",
                         "Spectrogram (log)", "Spectrogram (lin)", "Spectrogram (speech)"}));
  auto* channels = Find<TRadioGroup>(&form, "RadioGroupInChannel");
  QStringList items;
  for (int i = 0; i < channels->Count(); ++i) items << channels->Button(i)->text();
  EXPECT_EQ(items, (QStringList{"Left", "Right", "(L + R) / 2", "(R - L) / 2"}));
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonLoadSpectrum")->toolTip(),
            " Get data from file instead of sound card ");
  EXPECT_EQ(Find<QWidget>(&form, "ButtonMeasureOffset")->parent(),
            Find<QGroupBox>(&form, "GroupBoxOffset"));
  // Every control fits inside its page (the displays place their own scale captions).
  for (int i = 0; i < pages->count(); ++i) {
    QWidget* page = pages->widget(i);
    for (QWidget* w : page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w->objectName().contains('_')) continue;
      EXPECT_TRUE(QRect(QPoint(0, 0), page->size()).contains(w->geometry()))
          << w->objectName().toStdString() << " on " << pages->tabText(i).toStdString();
    }
  }
}

TEST_F(MainFormTest, OutputLevelScaleAndChannelColours) {
  TMainForm form;
  EXPECT_EQ(Items(Find<QComboBox>(&form, "ComboBoxFreqRange")),
            (QStringList{"Wide  (20...20K)", "LF  (50...1000)", "MF  (300...3000)",
                         "HF  (1K...15K)", "User defined"}));
  auto* f = Find<QSlider>(&form, "TrackBarFRight");
  EXPECT_TRUE(f->invertedAppearance()) << "minimum at the top";
  EXPECT_EQ(Find<QLabel>(&form, "LabelFMax")->y(), f->y() + 8);
  EXPECT_EQ(Find<QLabel>(&form, "LabelFMin")->y(), f->y() + f->height() - 19);

  // Every fifth position, beside the track bars, red near full scale, then yellow, then green.
  auto* a = Find<QSlider>(&form, "TrackBarALeft");
  auto* right = Find<QSlider>(&form, "TrackBarARight");
  EXPECT_EQ(form.findChildren<QLabel*>(QRegularExpression("^LabelLevel")).size(), 9);
  for (int i = 0; i <= 40; i += 5) {
    auto* label = Find<QLabel>(&form, QString("LabelLevel%1").arg(i).toLatin1().constData());
    EXPECT_EQ(label->parent(), Find<QGroupBox>(&form, "GroupBoxOutputLevel"));
    EXPECT_EQ(label->text(), QString::number(-i));
    EXPECT_EQ(label->y(), i * (a->height() - 27) / 40 + a->y() + 7) << i;
    EXPECT_EQ(label->x(), a->x());
    EXPECT_EQ(label->geometry().right(), right->geometry().right());
    EXPECT_EQ(TextColour(label), i < 6 ? QColor(255, 0, 0) : i < 11 ? QColor(255, 255, 0)
                                                                   : QColor(0, 128, 0));
  }
  for (const char* name : {"LabelLAmplitude", "CheckBoxLeftEnabled", "LabelFLeft"})
    EXPECT_EQ(TextColour(Find<QWidget>(&form, name)), QColor(0, 0, 255)) << name;
  for (const char* name : {"LabelRAmplitude", "CheckBoxRightEnabled", "LabelFRight"})
    EXPECT_EQ(TextColour(Find<QWidget>(&form, name)), QColor(255, 0, 0)) << name;
}

// The lamps, captions and sound label follow what the devices really do.
TEST_F(MainFormTest, DeviceFailuresAndStallsShowInTheWindowAndAStartAfterwardsWorks) {
  TMainForm form;
  ShowForm(form);
  auto* generate = Find<QPushButton>(&form, "ButtonStartGenerator");
  auto* analyse = Find<QPushButton>(&form, "ButtonStartAnalyser");
  auto* sound = Find<QLabel>(&form, "LabelBackend");
  const QString caption = sound->text();
  generate->click();
  analyse->click();
  ASSERT_TRUE(PumpUntil([&] {
    return LED(form, "LEDgenerator") == kBrightGreen && LED(form, "LEDanalyser") == kBrightGreen;
  }));

  Card().SetFrozen(true);
  ASSERT_TRUE(PumpUntil([&] { return sound->text() == "Output and input stalled"; }, 10000)) << recorder.Log();
  EXPECT_EQ(LED(form, "LEDgenerator"), kGreen);
  EXPECT_EQ(LED(form, "LEDanalyser"), kGreen);
  EXPECT_EQ(generate->text(), "STOP") << "stalled, not stopped";
  EXPECT_EQ(recorder.messages.size(), 2u) << recorder.Log();
  Card().SetFrozen(false);
  ASSERT_TRUE(PumpUntil([&] { return sound->text() == caption; }, 5000));
  EXPECT_EQ(LED(form, "LEDgenerator"), kBrightGreen);
  EXPECT_EQ(LED(form, "LEDanalyser"), kBrightGreen);

  recorder.exceptions.clear();
  Card().FailOutputs(5, "server gone");
  Card().FailInputs(5, "server gone");
  ASSERT_TRUE(PumpUntil([&] { return !form.ToneGenerator()->Enabled() && !form.Analyser()->Enabled(); }));
  ASSERT_TRUE(PumpUntil([&] { return !recorder.exceptions.empty(); }));
  PumpFor(kFailureGatherMs + 100);
  EXPECT_EQ(generate->text(), "Start Generator");
  EXPECT_EQ(analyse->text(), "Start Analyser");
  EXPECT_EQ(LED(form, "LEDgenerator"), kGreen);
  EXPECT_EQ(LED(form, "LEDanalyser"), kGreen);
  // One box for both streams, naming both.
  ASSERT_EQ(recorder.exceptions.size(), 1u) << recorder.Log();
  EXPECT_EQ(recorder.exceptions[0].rfind("Error 5 writing wave output - server gone.\rError 5 reading wave input - "
                                         "server gone.\rThe sound output \"",
                                         0),
            0u)
      << recorder.exceptions[0];
  EXPECT_NE(recorder.exceptions[0].find("\" and the sound input \""), std::string::npos) << recorder.exceptions[0];

  generate->click();
  EXPECT_EQ(generate->text(), "STOP");
  ASSERT_TRUE(PumpUntil([&] { return LED(form, "LEDgenerator") == kBrightGreen; }));
}

}  // namespace
