// The "Tone" tab: what its controls give the tone generator, the restore order, the delay
// countdown, and a tone measured on the simulated card.
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "Controls.h"
#include "MainForm.h"
#include "ToneGenerator.h"

namespace {

class GeneratorPanelTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    Store({{"ADCMeasured", true}});  // no offset question
  }
  void ShowForm(TMainForm& form) {
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  }
  template <typename T = QSlider>
  static T* Find(const QObject* form, const char* name) {
    T* child = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  static std::string Text(const TMainForm& f, const char* name) {
    return Find<QLabel>(&f, name)->text().toStdString();
  }
  static void Choose(const TMainForm& f, const char* list, int index) {  // as the user does
    auto* box = Find<QComboBox>(&f, list);
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
};

// ---- typed values -------------------------------------------------------------------------

// What a user's double click on a label gives.
void DoubleClick(QLabel* label) {
  const QPointF at(label->width() / 2.0, label->height() / 2.0);
  QMouseEvent click(QEvent::MouseButtonDblClick, at, label->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(label, &click);
}

// A double click on a label, then keys as typed ('\r' Enter, '\x1b' Escape) into the box it opens.
void TypeInto(QLabel* label, const QString& keys) {
  DoubleClick(label);
  ASSERT_NE(QApplication::focusWidget(), nullptr);
  ASSERT_STREQ(QApplication::focusWidget()->metaObject()->className(), "QDoubleSpinBox");
  for (QChar k : keys) {
    const int key = k == '\r' ? Qt::Key_Return : k == '\x1b' ? Qt::Key_Escape
                    : k == '.' ? Qt::Key_Period : k == '-' ? Qt::Key_Minus
                               : Qt::Key_0 + (k.unicode() - '0');
    const QString text = k == '\r' || k == '\x1b' ? QString() : QString(k);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(QApplication::focusWidget(), &press);
    QApplication::sendEvent(QApplication::focusWidget(), &release);
  }
}

float Factor(double dB) { return static_cast<float>(std::pow(10.0L, dB / 20.0L)); }

// The figures under the track bars: "left|right frequency left|right level".
std::string Figures(const QObject& form) {
  auto text = [&](const char* name) {
    return form.findChild<QLabel*>(QString::fromLatin1(name))->text().toStdString();
  };
  return text("LabelFLeft") + "|" + text("LabelFRight") + " " + text("LabelLAmplitude") + "|" +
         text("LabelRAmplitude");
}

// Typed values reach the generator with the exact sine and the labels, tied partners follow,
// Escape keeps what was there, and a user's move of a track bar gives its channel (and a tied
// partner) back to the bar; the exact sine goes with the last typed value.
TEST_F(GeneratorPanelTest, TypedValuesPlayExactlyUntilATrackBarMoves) {
  TMainForm form;
  ShowForm(form);
  QApplication::setActiveWindow(&form);
  TAudioToneGenerator* g = form.ToneGenerator();
  auto* radio = Find<TRadioGroup>(&form, "RadioGroupOutChannel");
  struct TStep {
    const char* what;
    std::function<void()> act;
    float lf, rf;
    double la, ra;  // dB; the right one negated for 180 degrees
    bool negated, exact;
    const char* labels;
  } const steps[] = {
      {"start", [] {}, 400, 400, -20, -20, false, false, "400|400 -20 dB|-20 dB"},
      {"left frequency, tied", [&] { TypeInto(Find<QLabel>(&form, "LabelFLeft"), "997\r"); },
       997, 997, -20, -20, false, true, "997.00|997.00 -20 dB|-20 dB"},
      {"Escape", [&] { TypeInto(Find<QLabel>(&form, "LabelFRight"), "1234\x1b"); },
       997, 997, -20, -20, false, true, "997.00|997.00 -20 dB|-20 dB"},
      {"left level, in phase", [&] { TypeInto(Find<QLabel>(&form, "LabelLAmplitude"), "-1\r"); },
       997, 997, -1, -1, false, true, "997.00|997.00 -1.00 dB|-1.00 dB"},
      {"180 degrees", [&] { radio->Button(opAntiphase)->click(); },
       997, 997, -1, -1, true, true, "997.00|997.00 -1.00 dB|-1.00 dB"},
      {"independent", [&] {
         radio->Button(opIndependent)->click();
         Find<QCheckBox>(&form, "CheckBoxLockFreqs")->setChecked(false);
         TypeInto(Find<QLabel>(&form, "LabelRAmplitude"), "-12.34\r");
         TypeInto(Find<QLabel>(&form, "LabelFRight"), "19999.99\r");
       }, 997, 19999.99f, -1, -12.34, false, true, "997.00|19999.99 -1.00 dB|-12.34 dB"},
      {"left frequency bar", [&] {
         Find(&form, "TrackBarFLeft")->triggerAction(QAbstractSlider::SliderPageStepAdd);
       }, 697, 19999.99f, -1, -12.34, false, true, "697|19999.99 -1.00 dB|-12.34 dB"},
      {"left level bar at its end", [&] {
         TypeInto(Find<QLabel>(&form, "LabelLAmplitude"), "-0.3\r");
         Find(&form, "TrackBarALeft")->triggerAction(QAbstractSlider::SliderSingleStepSub);
       }, 697, 19999.99f, 0, -12.34, false, true, "697|19999.99 0 dB|-12.34 dB"},
      {"right bars", [&] {
         Find(&form, "TrackBarFRight")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
         Find(&form, "TrackBarARight")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
       }, 697, 2999, 0, -13, false, false, "697|2999 0 dB|-13 dB"},
  };
  for (const TStep& step : steps) {
    step.act();
    const float right = step.negated ? -Factor(step.ra) : Factor(step.ra);
    EXPECT_EQ(std::tuple(g->LeftFrequency(), g->RightFrequency(), g->LeftAmplitude(),
                         g->RightAmplitude(), g->ExactSine(), Figures(form)),
              std::tuple(step.lf, step.rf, Factor(step.la), right, step.exact,
                         std::string(step.labels)))
        << step.what;
    for (const char* box : {"EditFLeft", "EditFRight", "EditLAmplitude", "EditRAmplitude"})
      EXPECT_FALSE(Find<QDoubleSpinBox>(&form, box)->isVisible()) << step.what << " " << box;
  }
  // Typed values are held to the boxes' ranges and steps.
  form.TypedFrequencyEntered(0, 30000);
  form.TypedLevelEntered(0, -130);
  EXPECT_EQ(Text(form, "LabelFLeft") + " " + Text(form, "LabelLAmplitude"), "22000.00 -120.00 dB");
  form.TypedFrequencyEntered(0, 0.5);
  form.TypedLevelEntered(0, -3.14159);
  EXPECT_EQ(g->LeftFrequency(), 1.0f);
  EXPECT_EQ(g->LeftAmplitude(), Factor(-3.14));
}

// The two-tones close the lists; their frequencies are fixed, so there is nothing to type or
// tie. "Set generator" puts a test tone on both channels and shows it, without starting.
TEST_F(GeneratorPanelTest, TwoTonesAndTheTestToneFromTheDistortionPage) {
  TMainForm form;
  ShowForm(form);
  QApplication::setActiveWindow(&form);
  TAudioToneGenerator* g = form.ToneGenerator();
  for (auto [index, waveform, label] :
       {std::tuple{5, SmpteTwoTone, "SMPTE"}, std::tuple{6, CcifTwoTone, "CCIF"}}) {
    Choose(form, "ComboBoxLeftWaveform", index);
    EXPECT_EQ(g->LeftWaveform(), waveform);
    EXPECT_EQ(Text(form, "LabelFLeft"), label);
    EXPECT_FALSE(Find(&form, "TrackBarFLeft")->isEnabled());
    EXPECT_FALSE(Find<QCheckBox>(&form, "CheckBoxLockFreqs")->isEnabled());
    DoubleClick(Find<QLabel>(&form, "LabelFLeft"));
    EXPECT_FALSE(Find<QDoubleSpinBox>(&form, "EditFLeft")->isVisible()) << "nothing to type";
  }

  Find<QCheckBox>(&form, "CheckBoxRightEnabled")->setChecked(false);
  Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(opIndependent)->click();
  Find<TTabControl>(&form, "TabControlGenerator")->SetTabIndex(1);
  form.TabControlGeneratorChange();
  struct TCase {
    TWaveform waveform;
    double hz, dB;
    int index;
    float frequency;
    const char* labels;
  } const cases[] = {
      {SineWave, 997, -1, 0, 997, "997.00|997.00 -1.00 dB|-1.00 dB"},
      {SmpteTwoTone, 0, -6.02, 5, 997, "SMPTE|SMPTE -6.02 dB|-6.02 dB"},
      {CcifTwoTone, 1000, -10, 6, 997, "CCIF|CCIF -10.00 dB|-10.00 dB"},
      {Triangle, 61.036, 0, 1, 61.04f, "61.04|61.04 0.00 dB|0.00 dB"},
  };
  for (const TCase& c : cases) {
    form.ApplyTestTone(c.waveform, c.hz, c.dB);
    EXPECT_EQ(std::tuple(Find<TTabControl>(&form, "TabControlGenerator")->TabIndex(),
                         Find<QComboBox>(&form, "ComboBoxLeftWaveform")->currentIndex(),
                         Find<QComboBox>(&form, "ComboBoxRightWaveform")->currentIndex(),
                         g->LeftWaveform(), g->RightWaveform(), g->LeftFrequency(),
                         g->RightFrequency(), g->LeftAmplitude(), g->RightAmplitude(),
                         g->ExactSine(), g->Enabled(), Figures(form)),
              std::tuple(0, c.index, c.index, c.waveform, c.waveform, c.frequency, c.frequency,
                         Factor(c.dB), Factor(c.dB), true, false, std::string(c.labels)))
        << c.waveform;
    EXPECT_TRUE(Find<QGroupBox>(&form, "GroupBoxOutputFreq")->isVisible());
  }
}

// Typed values and the exact mode go to the store in hundredths and come back; a value that
// is not a whole number of hundredths in range gives the track bar's, and typed values count
// only with the exact mode stored on.
TEST_F(GeneratorPanelTest, TypedValuesRoundTripThroughTheStore) {
  {
    TMainForm form;
    ShowForm(form);
    Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(opIndependent)->click();
    Find<QCheckBox>(&form, "CheckBoxLockFreqs")->setChecked(false);
    form.TypedFrequencyEntered(0, 997);
    form.TypedFrequencyEntered(1, 19000.25);
    form.TypedLevelEntered(1, -0.01);
    form.close();
  }
  EXPECT_EQ(Stored("ToneExactSine").toString(), "true");
  EXPECT_EQ(Stored("ToneLeftFrequency").toInt(), 99700);
  EXPECT_EQ(Stored("ToneRightFrequency").toInt(), 1900025);
  EXPECT_EQ(Stored("ToneRightLevel").toInt(), -1);
  EXPECT_FALSE(Stored("ToneLeftLevel").isValid());
  {
    TMainForm form;
    ShowForm(form);
    TAudioToneGenerator* g = form.ToneGenerator();
    EXPECT_TRUE(g->ExactSine());
    EXPECT_EQ(g->LeftFrequency(), 997.0f);
    EXPECT_EQ(g->RightFrequency(), 19000.25f);
    EXPECT_EQ(g->LeftAmplitude(), 0.1f);
    EXPECT_EQ(g->RightAmplitude(), Factor(-0.01));
    EXPECT_EQ(Figures(form), "997.00|19000.25 -20 dB|-0.01 dB");
    // Back to the bars: the keys go.
    Find(&form, "TrackBarFLeft")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    Find(&form, "TrackBarFRight")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    Find(&form, "TrackBarARight")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    form.close();
  }
  for (const char* key : {"ToneExactSine", "ToneLeftFrequency", "ToneRightFrequency", "ToneRightLevel"})
    EXPECT_FALSE(Stored(key).isValid()) << key;

  struct TCase {
    bool exact;
    QVariant leftHz, leftdB;
    float frequency, amplitude;
    bool exactAfter;
  } const cases[] = {
      {true, 99, -12001, 400, 0.1f, false},           // both out of range
      {true, "997.5", "x", 400, 0.1f, false},        // not whole hundredths
      {true, 2200000, 0, 22000, 1.0f, true},          // the ends of the ranges
      {false, 99700, -600, 400, 0.1f, false},         // exact mode off
  };
  for (const TCase& c : cases) {
    Store({{"ToneExactSine", c.exact}, {"ToneLeftFrequency", c.leftHz},
           {"ToneLeftLevel", c.leftdB}});
    TMainForm form;
    ShowForm(form);
    const std::string where = c.leftHz.toString().toStdString();
    EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), c.frequency) << where;
    EXPECT_EQ(form.ToneGenerator()->LeftAmplitude(), c.amplitude) << where;
    EXPECT_EQ(form.ToneGenerator()->ExactSine(), c.exactAfter) << where;
  }
}

TEST_F(GeneratorPanelTest, TrackBarPositionGivesToneFrequencyOrNoiseBand) {
  struct TCase {
    int range, userF1, userF2, waveform, position;
    float frequency;  // Hz or band index
    const char* label;
  } const cases[] = {
      {2, 0, 0, SineWave, 300, 3000, "3000"},  {2, 0, 0, SineWave, 3000, 300, "300"},
      {2, 0, 0, Triangle, 2300, 1000, "1000"}, {0, 0, 0, SineWave, 20, 20000, "20000"},
      {2, 0, 0, WhiteNoise, 1300, 400, "400"},  // no frequency: label and value stay
      // Band noise: 23 at the top and 0 at the bottom in every range.
      {0, 0, 0, Octave3Noise, 20, 23, "16000"},      {0, 0, 0, Octave3Noise, 20000, 0, "79"},
      {1, 0, 0, Octave3Noise, 50, 23, "16000"},      {1, 0, 0, Octave3Noise, 1000, 0, "79"},
      {2, 0, 0, Octave3Noise, 300, 23, "16000"},     {2, 0, 0, Octave3Noise, 3000, 0, "79"},
      {3, 0, 0, Octave3Noise, 1000, 23, "16000"},    {3, 0, 0, Octave3Noise, 15000, 0, "79"},
      {4, 440, 8800, Octave3Noise, 440, 23, "16000"}, {4, 440, 8800, Octave3Noise, 8800, 0, "79"},
      // A 46 Hz range puts exact halves on whole positions: they round to even.
      {4, 300, 346, Octave3Noise, 345, 0, "79"},   // 0.5
      {4, 300, 346, Octave3Noise, 341, 2, "125"},  // 2.5
      {4, 300, 346, Octave3Noise, 339, 4, "198"},  // 3.5
  };
  for (const TCase& c : cases) {
    TMainForm form;
    ShowForm(form);
    Find<QSpinBox>(&form, "SpinEditUserF1")->setValue(c.userF1);
    Find<QSpinBox>(&form, "SpinEditUserF2")->setValue(c.userF2);
    Choose(form, "ComboBoxFreqRange", c.range);
    Choose(form, "ComboBoxLeftWaveform", c.waveform);
    const float right = form.ToneGenerator()->RightFrequency();
    Find(&form, "TrackBarFLeft")->setValue(c.position);
    const std::string where = std::to_string(c.range) + "/" + std::to_string(c.position);
    EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), c.frequency) << where;
    EXPECT_EQ(Text(form, "LabelFLeft"), c.label) << where;
    EXPECT_EQ(Find(&form, "TrackBarFLeft")->isEnabled(), c.waveform != WhiteNoise) << where;
    // The right channel plays a sine: tied only to another tone.
    if (c.waveform == SineWave || c.waveform == Triangle)
      EXPECT_EQ(Find(&form, "TrackBarFRight")->value(), c.position) << where << ": L = R";
    else
      EXPECT_EQ(form.ToneGenerator()->RightFrequency(), right) << where << ": not tied";
  }
  TMainForm form;
  ShowForm(form);
  Find<QCheckBox>(&form, "CheckBoxLockFreqs")->setChecked(false);
  Find(&form, "TrackBarFLeft")->setValue(2300);
  EXPECT_EQ(Find(&form, "TrackBarFRight")->value(), 2900);
  EXPECT_EQ(form.ToneGenerator()->RightFrequency(), 400.0f);
}

// "L = R" ties positions only while they mean the same on both channels: two tones or two
// noise bands. Otherwise it goes off and cannot be ticked.
TEST_F(GeneratorPanelTest, LEqualsRHoldsOnlyForChannelsThatPlayAlike) {
  TMainForm form;
  ShowForm(form);
  auto* lock = Find<QCheckBox>(&form, "CheckBoxLockFreqs");
  ASSERT_TRUE(lock->isEnabled() && lock->isChecked());
  struct TStep {
    const char* list;
    int waveform;
    bool enabled, checked;
  } const steps[] = {
      {"ComboBoxLeftWaveform", Octave3Noise, false, false},  // a band against a tone
      {"ComboBoxRightWaveform", Octave3Noise, true, false},  // two bands: may be tied again
      {"ComboBoxRightWaveform", WhiteNoise, false, false},
      {"ComboBoxLeftWaveform", PinkNoise, false, false},     // nothing to tie
      {"ComboBoxLeftWaveform", Triangle, false, false},
      {"ComboBoxRightWaveform", SineWave, true, false},      // two tones
  };
  for (const TStep& step : steps) {
    Choose(form, step.list, step.waveform);
    EXPECT_EQ(lock->isEnabled(), step.enabled) << step.list << " " << step.waveform;
    EXPECT_EQ(lock->isChecked(), step.checked) << step.list << " " << step.waveform;
  }
  lock->setChecked(true);
  Find(&form, "TrackBarFLeft")->setValue(2300);
  EXPECT_EQ(Find(&form, "TrackBarFRight")->value(), 2300);
  EXPECT_EQ(form.ToneGenerator()->RightFrequency(), form.ToneGenerator()->LeftFrequency());
  Choose(form, "ComboBoxLeftWaveform", Octave3Noise);
  Find(&form, "TrackBarFLeft")->setValue(2000);
  EXPECT_EQ(Find(&form, "TrackBarFRight")->value(), 2300) << "no longer tied";
}

// Typing the lower bound of a user range and pressing Tab goes on to the upper box, which is
// enabled and takes what is typed from its first digit.
TEST_F(GeneratorPanelTest, TabFromTheLowerUserBoxReachesTheUpperOne) {
  TMainForm form;
  ShowForm(form);
  QApplication::setActiveWindow(&form);
  Choose(form, "ComboBoxFreqRange", 4);
  auto* f1 = Find<QSpinBox>(&form, "SpinEditUserF1");
  auto* f2 = Find<QSpinBox>(&form, "SpinEditUserF2");
  auto type = [](const QString& keys) {
    for (QChar k : keys) {
      const int key = k == '\t' ? Qt::Key_Tab : Qt::Key_0 + (k.unicode() - '0');
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, k == '\t' ? QString() : QString(k));
      QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, k == '\t' ? QString() : QString(k));
      QApplication::sendEvent(QApplication::focusWidget(), &press);
      QApplication::sendEvent(QApplication::focusWidget(), &release);
    }
  };
  f1->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(QApplication::focusWidget(), f1);
  f1->selectAll();
  type("500\t");
  EXPECT_EQ(f1->value(), 500);
  ASSERT_EQ(QApplication::focusWidget(), f2);
  EXPECT_TRUE(f2->isEnabled());
  type("4000\t");
  EXPECT_EQ(f2->value(), 4000);
  EXPECT_EQ(Text(form, "LabelFMin"), "500");
  EXPECT_EQ(Text(form, "LabelFMax"), "4000");
}

// Both track bars stand at 2900 before the stored range applies at first showing.
TEST_F(GeneratorPanelTest, StoredRangeStartsFromPosition2900) {
  struct TCase {
    int range, rightWaveform, lo, hi, position;
    float left, right;
    const char* fMax;
  } const cases[] = {
      {2, SineWave, 300, 3000, 2900, 400, 400, "3000"},
      {9, SineWave, 300, 3000, 2900, 400, 400, "3000"},  // not in the list
      {0, SineWave, 20, 20000, 2900, 17120, 17120, "20000"},
      {1, SineWave, 50, 1000, 1000, 50, 50, "1000"},
      {3, SineWave, 1000, 15000, 2900, 13100, 13100, "15000"},
      {4, SineWave, 440, 8800, 2900, 6340, 6340, "8800"},
      // Right band noise keeps its track bar and the range labels; band round(0.85).
      {0, Octave3Noise, 20, 20000, 2900, 17120, 1, "3000"},
  };
  for (const TCase& c : cases) {
    Store({{"FreqRange", c.range}, {"WaveformRight", c.rightWaveform}, {"UserF1", 440},
           {"UserF2", 8800}});
    TMainForm form;
    ShowForm(form);
    QSlider* left = Find(&form, "TrackBarFLeft");
    const std::string where = std::to_string(c.range) + "/" + std::to_string(c.rightWaveform);
    EXPECT_EQ(std::tuple(left->minimum(), left->maximum(), left->value(), left->tickInterval()),
              std::tuple(c.lo, c.hi, c.position, (c.hi - c.lo) / 10))
        << where;
    EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), c.left) << where;
    EXPECT_EQ(form.ToneGenerator()->RightFrequency(), c.right) << where;
    EXPECT_EQ(Text(form, "LabelFMax"), c.fMax) << where;
    EXPECT_EQ(Find<QSpinBox>(&form, "SpinEditUserF1")->isEnabled(), c.range == 4) << where;
  }
}

TEST_F(GeneratorPanelTest, LeavingAUserBoxKeepsTheRangeOpen) {
  struct TCase {
    bool lower;
    int f1, f2, wantF1, wantF2;
  } const cases[] = {{true, 5000, 3000, 5000, 5001},   {true, 200, 3000, 200, 3000},
                     {false, 5000, 3000, 2999, 3000},  {true, 22050, 22050, 22049, 22050},
                     {false, 1, 1, 1, 2}};
  TMainForm form;
  ShowForm(form);
  Choose(form, "ComboBoxFreqRange", 4);
  auto* f1 = Find<QSpinBox>(&form, "SpinEditUserF1");
  auto* f2 = Find<QSpinBox>(&form, "SpinEditUserF2");
  for (const TCase& c : cases) {
    f1->setValue(c.f1);
    f2->setValue(c.f2);
    c.lower ? form.SpinEditUserF1Exit() : form.SpinEditUserF2Exit();
    EXPECT_EQ(std::pair(f1->value(), f2->value()), std::pair(c.wantF1, c.wantF2)) << c.f1;
    EXPECT_EQ(Find(&form, "TrackBarFLeft")->maximum(), c.wantF2) << c.f1;
    EXPECT_EQ(Text(form, "LabelFMin"), std::to_string(c.wantF1)) << c.f1;
  }
}

TEST_F(GeneratorPanelTest, LevelSwitchesAndPhaseGiveTheFactorsAndTieThePartner) {
  struct TCase {
    int phase, position;
    bool leftOn, rightOn;
    float left, right;
    const char* leftLabel;
    const char* rightLabel;
  } const cases[] = {
      {opInPhase, 0, true, true, 1.0f, 1.0f, "0 dB", "0 dB"},
      {opInPhase, 40, true, true, 0.01f, 0.01f, "-40 dB", "-40 dB"},
      {opAntiphase, 20, true, true, 0.1f, -0.1f, "-20 dB", "-20 dB"},
      {opAntiphase, 0, true, false, 1.0f, 0.0f, "0 dB", "Off"},
      {opAntiphase, 6, false, true, 0.0f, -0.501187205f, "Off", "-6 dB"},
      {opIndependent, 13, true, true, 0.223872113f, 0.501187205f, "-13 dB", "-6 dB"},
  };
  TMainForm form;
  ShowForm(form);
  QSlider* right = Find(&form, "TrackBarARight");
  for (const TCase& c : cases) {
    const int partner = right->value();
    Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(c.phase)->click();
    Find<QCheckBox>(&form, "CheckBoxLeftEnabled")->setChecked(c.leftOn);
    Find<QCheckBox>(&form, "CheckBoxRightEnabled")->setChecked(c.rightOn);
    Find(&form, "TrackBarALeft")->setValue(c.position);
    const std::string where = std::to_string(c.phase) + "/" + std::to_string(c.position);
    EXPECT_EQ(right->value(), c.phase == opIndependent ? partner : c.position) << where;
    EXPECT_EQ(form.ToneGenerator()->LeftAmplitude(), c.left) << where;
    EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), c.right) << where;
    EXPECT_EQ(std::signbit(form.ToneGenerator()->RightAmplitude()), c.right < 0) << where;
    EXPECT_EQ(Text(form, "LabelLAmplitude") + "|" + Text(form, "LabelRAmplitude"),
              std::string(c.leftLabel) + "|" + c.rightLabel) << where;
  }
  Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(opInPhase)->click();
  EXPECT_EQ(right->value(), 13) << "leaving Independent ties the right level to the left";
}

// The phase is restored before the levels: "Independent" levels come back apart, the tied
// modes end with both at the stored right level.
TEST_F(GeneratorPanelTest, StoredPhaseAndLevelsRestoreTogether) {
  for (auto [phase, left, rightFactor] : {std::tuple{opInPhase, 33, 0.0223872121f},
                                          {opAntiphase, 33, -0.0223872121f},
                                          {opIndependent, 7, 0.0223872121f}}) {
    Store({{"OutputPhase", phase}, {"OutputLeftGainPos", 7}, {"OutputRightGainPos", 33}});
    TMainForm form;
    ShowForm(form);
    EXPECT_EQ(Find(&form, "TrackBarALeft")->value(), left) << phase;
    EXPECT_EQ(Find(&form, "TrackBarARight")->value(), 33) << phase;
    EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), rightFactor) << phase;
    EXPECT_EQ(Text(form, "LabelLAmplitude"), "-" + std::to_string(left) + " dB") << phase;
  }
}

class CountdownForm : public TMainForm {
 public:
  std::vector<std::string> steps;

 protected:
  void CountdownPause(int ms) override {
    steps.push_back(findChild<QPushButton*>("ButtonStartGenerator")->text().toStdString() + "/" +
                    std::to_string(ms) + (ToneGenerator()->Enabled() ? "/on" : "/off"));
  }
};

TEST_F(GeneratorPanelTest, DelaySweepCountsAToneStartDown) {
  CountdownForm form;
  ShowForm(form);
  form.ButtonStartGeneratorClick();
  form.ButtonStartGeneratorClick();
  EXPECT_TRUE(form.steps.empty()) << "unchecked";
  Find<QCheckBox>(&form, "CheckBoxDelaySweep")->setChecked(true);  // even while disabled
  form.ButtonStartGeneratorClick();
  EXPECT_EQ(form.steps, (std::vector<std::string>{"3/1000/off", "2/1000/off", "1/1000/off"}));
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonStartGenerator")->text(), "STOP");
}

// 1000 Hz at -20 dB set with the controls, measured at the card's left input (a straight
// wire); then "180° phase" makes the right output the exact negation of the left.
TEST_F(GeneratorPanelTest, ControlsSetWhatTheCardPlays) {
  TMainForm form;
  ShowForm(form);
  Find(&form, "TrackBarFLeft")->setValue(2300);
  Find(&form, "TrackBarALeft")->setValue(30);
  Find(&form, "TrackBarARight")->setValue(20);
  std::vector<int16_t> input;
  form.Analyser()->SetOnData([&](wavehdr_tag& h) {
    const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
    for (uint32_t k = 0; k < h.dwBytesRecorded / 2; k += 2) input.push_back(s[k]);
  });
  std::vector<std::pair<float, std::vector<int16_t>>> played;  // right factor, samples
  TAudioToneGenerator* g = form.ToneGenerator();
  g->SetOnNeedData([&, fill = g->OnNeedData()](PWaveHdr h) {
    fill(h);
    const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
    played.push_back({g->RightAmplitude(), {s, s + h->dwBufferLength / 2}});
  });
  Find<QTabWidget>(&form, "PageControlAnalyser")->setCurrentIndex(1);
  Find<QPushButton>(&form, "ButtonStartAnalyser")->click();
  Find<QPushButton>(&form, "ButtonStartGenerator")->click();
  auto onset = [&] {  // after the card's latency
    size_t k = 0;
    while (k < input.size() && std::abs(input[k]) < 1000) ++k;
    return k;
  };
  ASSERT_TRUE(PumpUntil([&] { return onset() + 4410 + 44100 <= input.size(); }, 20000));
  const size_t start = onset() + 4410;

  // Half-second fits hold whole cycles of the tone and the hum; the phase moves between them
  // by the frequency error times half a second.
  auto fit = [&](size_t from, double& phase) {
    double c = 0, s = 0;
    for (int k = 0; k < 22050; ++k) {
      c += input[from + k] * std::cos(2 * std::numbers::pi * 1000.0 * k / kSampleRate);
      s += input[from + k] * std::sin(2 * std::numbers::pi * 1000.0 * k / kSampleRate);
    }
    phase = std::atan2(c, s);
    return 2 * std::hypot(c, s) / 22050;
  };
  double phase1 = 0, phase2 = 0;
  const double amplitude = (fit(start, phase1) + fit(start + 22050, phase2)) / 2;
  const double drift = std::remainder(phase2 - phase1, 2 * std::numbers::pi);
  int crossings = 0;
  for (size_t k = start + 1; k < start + 44100; ++k)
    crossings += (input[k - 1] < -3) != (input[k] < -3);  // around the card's DC offset
  EXPECT_NEAR(crossings, 2000, 1) << "the fit has the right cycle";
  EXPECT_NEAR(1000.0 + drift / std::numbers::pi, 1000.0, 0.01);
  EXPECT_NEAR(20 * std::log10(amplitude / 32767), -20.0, 0.05);

  const size_t before = played.size();
  Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(opAntiphase)->click();
  ASSERT_TRUE(PumpUntil([&] { return played.size() >= before + 2; }, 20000));
  int inverted = 0;
  for (const auto& [factor, samples] : played) {
    inverted += factor < 0;
    for (size_t k = 0; k < samples.size(); k += 2)
      ASSERT_EQ(samples[k + 1], factor < 0 ? -samples[k] : samples[k]) << k;
  }
  EXPECT_GE(inverted, 2);
  EXPECT_GE(played.size() - inverted, 2u) << "in phase before";
}

}  // namespace
