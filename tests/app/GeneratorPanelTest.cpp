// The "Tone" tab of the generator panel: what its controls give the tone generator, the
// start-up order that restores them, the delay countdown, and a tone measured on the
// simulated card.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <cmath>
#include <numbers>
#include <string>
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
    // No offset question in the way.
    Store({{"ADCMeasured", true}});
  }
  void ShowForm(TMainForm& form) {
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  }
  template <typename T>
  static T* Find(const QObject* form, const char* name) {
    T* child = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  static QSlider* Bar(const TMainForm& f, const char* name) { return Find<QSlider>(&f, name); }
  static std::string Text(const TMainForm& f, const char* name) {
    return Find<QLabel>(&f, name)->text().toStdString();
  }
  // A list item chosen as the user chooses it.
  static void Choose(const TMainForm& f, const char* list, int index) {
    auto* box = Find<QComboBox>(&f, list);
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
};

// ---- frequency -------------------------------------------------------------------------------

TEST_F(GeneratorPanelTest, TrackBarPositionGivesToneFrequencyOrNoiseBand) {
  struct TCase {
    int range;          // list index; 4 with the user boxes below
    int userF1, userF2;
    int waveform;       // left list index
    int position;       // of TrackBarFLeft
    float frequency;    // given to the generator: Hz or band index
    const char* label;
  } const cases[] = {
      {2, 0, 0, SineWave, 300, 3000, "3000"},    // top of "MF"
      {2, 0, 0, SineWave, 3000, 300, "300"},     // bottom
      {2, 0, 0, Triangle, 2300, 1000, "1000"},
      {0, 0, 0, SineWave, 20, 20000, "20000"},
      {3, 0, 0, SineWave, 14000, 2000, "2000"},
      // Band noise: 23 at the top, 0 at the bottom, in every range.
      {0, 0, 0, Octave3Noise, 20, 23, "16000"},
      {0, 0, 0, Octave3Noise, 20000, 0, "79"},
      {1, 0, 0, Octave3Noise, 50, 23, "16000"},
      {1, 0, 0, Octave3Noise, 1000, 0, "79"},
      {2, 0, 0, Octave3Noise, 300, 23, "16000"},
      {2, 0, 0, Octave3Noise, 3000, 0, "79"},
      {3, 0, 0, Octave3Noise, 1000, 23, "16000"},
      {3, 0, 0, Octave3Noise, 15000, 0, "79"},
      {4, 440, 8800, Octave3Noise, 440, 23, "16000"},
      {4, 440, 8800, Octave3Noise, 8800, 0, "79"},
      {2, 0, 0, Octave3Noise, 1650, 12, "1260"},  // 11.5 -> 12
      // A 46 Hz range puts exact halves on whole positions: they round to even.
      {4, 300, 346, Octave3Noise, 345, 0, "79"},   // 0.5 -> 0
      {4, 300, 346, Octave3Noise, 341, 2, "125"},  // 2.5 -> 2
      {4, 300, 346, Octave3Noise, 339, 4, "198"},  // 3.5 -> 4
  };
  for (const TCase& c : cases) {
    TMainForm form;
    ShowForm(form);
    if (c.range == 4) {
      Find<QSpinBox>(&form, "SpinEditUserF1")->setValue(c.userF1);
      Find<QSpinBox>(&form, "SpinEditUserF2")->setValue(c.userF2);
    }
    Choose(form, "ComboBoxFreqRange", c.range);
    Choose(form, "ComboBoxLeftWaveform", c.waveform);
    Bar(form, "TrackBarFLeft")->setValue(c.position);
    const std::string where = std::to_string(c.range) + "/" + std::to_string(c.position);
    EXPECT_EQ(Bar(form, "TrackBarFLeft")->value(), c.position) << where;
    EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), c.frequency) << where;
    EXPECT_EQ(Text(form, "LabelFLeft"), c.label) << where;
    // "L = R" took the right track bar along; it plays a sine.
    EXPECT_EQ(Bar(form, "TrackBarFRight")->value(), c.position) << where;
  }
}

TEST_F(GeneratorPanelTest, LockAndNoiseDecideWhatTheOtherChannelDoes) {
  TMainForm form;
  ShowForm(form);
  TAudioToneGenerator* g = form.ToneGenerator();
  QSlider* left = Bar(form, "TrackBarFLeft");
  QSlider* right = Bar(form, "TrackBarFRight");
  right->setValue(2300);
  EXPECT_EQ(left->value(), 2300) << "locked";
  EXPECT_EQ(g->LeftFrequency(), 1000.0f);

  Find<QCheckBox>(&form, "CheckBoxLockFreqs")->setChecked(false);
  left->setValue(2800);
  EXPECT_EQ(right->value(), 2300);
  EXPECT_EQ(g->LeftFrequency(), 500.0f);
  EXPECT_EQ(g->RightFrequency(), 1000.0f);

  // White and pink noise have no frequency: the track bar is off and the label stays.
  Choose(form, "ComboBoxRightWaveform", WhiteNoise);
  EXPECT_EQ(g->RightWaveform(), WhiteNoise);
  EXPECT_FALSE(right->isEnabled());
  right->setValue(1300);
  EXPECT_EQ(Text(form, "LabelFRight"), "1000");
  EXPECT_EQ(g->RightFrequency(), 1000.0f);
  Choose(form, "ComboBoxRightWaveform", Octave3Noise);
  EXPECT_TRUE(right->isEnabled());
  EXPECT_EQ(g->RightFrequency(), 14.0f);  // (3000 - 1300) * 23 / 2700 = 14.48
  EXPECT_EQ(Text(form, "LabelFRight"), "2000");

  // A range change leaves the band-noise channel's track bar and the range labels alone.
  Choose(form, "ComboBoxFreqRange", 0);
  EXPECT_EQ(left->minimum(), 20);
  EXPECT_EQ(left->maximum(), 20000);
  EXPECT_EQ(left->tickInterval(), 1998);
  EXPECT_EQ(g->LeftFrequency(), 17220.0f);
  EXPECT_EQ(right->minimum(), 300);
  EXPECT_EQ(right->maximum(), 3000);
  EXPECT_EQ(Text(form, "LabelFMin"), "300");
  EXPECT_EQ(Text(form, "LabelFMax"), "3000");
  Choose(form, "ComboBoxRightWaveform", SineWave);
  Choose(form, "ComboBoxFreqRange", 1);  // "LF": 2800 clips to the bottom
  EXPECT_EQ(left->value(), 1000);
  EXPECT_EQ(g->LeftFrequency(), 50.0f);
  EXPECT_EQ(right->maximum(), 1000);
  EXPECT_EQ(Text(form, "LabelFMin"), "50");
  EXPECT_EQ(Text(form, "LabelFMax"), "1000");
}

// Both track bars stand at 2900 before the stored range applies at first showing.
TEST_F(GeneratorPanelTest, StoredRangeStartsFromPosition2900) {
  struct TCase {
    QVariant range;
    int rightWaveform;
    int lo, hi, position;
    float left, right;
    const char* fMin;
    const char* fMax;
  } const cases[] = {
      {2, SineWave, 300, 3000, 2900, 400, 400, "300", "3000"},
      {9, SineWave, 300, 3000, 2900, 400, 400, "300", "3000"},  // out of the list
      {0, SineWave, 20, 20000, 2900, 17120, 17120, "20", "20000"},
      {1, SineWave, 50, 1000, 1000, 50, 50, "50", "1000"},
      {3, SineWave, 1000, 15000, 2900, 13100, 13100, "1000", "15000"},
      {4, SineWave, 440, 8800, 2900, 6340, 6340, "440", "8800"},
      // Right band noise keeps 300 ... 3000 and the labels; band 1 is round(0.85).
      {0, Octave3Noise, 20, 20000, 2900, 17120, 1, "300", "3000"},
  };
  for (const TCase& c : cases) {
    Store({{"FreqRange", c.range}, {"WaveformRight", c.rightWaveform}, {"UserF1", 440},
           {"UserF2", 8800}});
    TMainForm form;
    ShowForm(form);
    const std::string where = c.range.toString().toStdString();
    QSlider* left = Bar(form, "TrackBarFLeft");
    EXPECT_EQ(left->minimum(), c.lo) << where;
    EXPECT_EQ(left->maximum(), c.hi) << where;
    EXPECT_EQ(left->tickInterval(), (c.hi - c.lo) / 10) << where;
    EXPECT_EQ(left->value(), c.position) << where;
    EXPECT_EQ(form.ToneGenerator()->LeftFrequency(), c.left) << where;
    EXPECT_EQ(form.ToneGenerator()->RightFrequency(), c.right) << where;
    EXPECT_EQ(Text(form, "LabelFMin"), c.fMin) << where;
    EXPECT_EQ(Text(form, "LabelFMax"), c.fMax) << where;
    EXPECT_EQ(Find<QSpinBox>(&form, "SpinEditUserF1")->isEnabled(), c.range == 4) << where;
  }
}

TEST_F(GeneratorPanelTest, LeavingAUserBoxKeepsTheRangeOpen) {
  struct TCase {
    bool lower;  // which box is left
    int f1, f2;
    int wantF1, wantF2;
  } const cases[] = {
      {true, 5000, 3000, 5000, 5001},   {true, 3000, 3000, 3000, 3001},
      {true, 200, 3000, 200, 3000},     {false, 5000, 3000, 2999, 3000},
      {false, 5000, 8000, 5000, 8000},  {true, 22050, 22050, 22049, 22050},
      {false, 1, 1, 1, 2},
  };
  TMainForm form;
  ShowForm(form);
  Choose(form, "ComboBoxFreqRange", 4);
  auto* f1 = Find<QSpinBox>(&form, "SpinEditUserF1");
  auto* f2 = Find<QSpinBox>(&form, "SpinEditUserF2");
  for (const TCase& c : cases) {
    f1->setValue(c.f1);
    f2->setValue(c.f2);
    if (c.lower) form.SpinEditUserF1Exit(); else form.SpinEditUserF2Exit();
    EXPECT_EQ(f1->value(), c.wantF1) << c.f1 << " " << c.f2;
    EXPECT_EQ(f2->value(), c.wantF2) << c.f1 << " " << c.f2;
    EXPECT_EQ(Bar(form, "TrackBarFLeft")->minimum(), c.wantF1);
    EXPECT_EQ(Bar(form, "TrackBarFLeft")->maximum(), c.wantF2);
    EXPECT_EQ(Text(form, "LabelFMax"), std::to_string(c.wantF2));
  }
}

// ---- level and phase -------------------------------------------------------------------------

TEST_F(GeneratorPanelTest, LevelPositionsChannelSwitchesAndPhaseGiveTheFactors) {
  struct TCase {
    int phase, position;
    bool leftOn, rightOn;
    float left, right;
    const char* leftLabel;
    const char* rightLabel;
  } const cases[] = {
      {opInPhase, 0, true, true, 1.0f, 1.0f, "0 dB", "0 dB"},
      {opInPhase, 40, true, true, 0.01f, 0.01f, "-40 dB", "-40 dB"},
      {opInPhase, 20, true, true, 0.1f, 0.1f, "-20 dB", "-20 dB"},
      {opAntiphase, 20, true, true, 0.1f, -0.1f, "-20 dB", "-20 dB"},
      {opAntiphase, 0, true, false, 1.0f, 0.0f, "0 dB", "Off"},
      {opAntiphase, 6, false, true, 0.0f, -0.501187205f, "Off", "-6 dB"},
      {opIndependent, 13, false, false, 0.0f, 0.0f, "Off", "Off"},
  };
  TMainForm form;
  ShowForm(form);
  auto* phase = Find<TRadioGroup>(&form, "RadioGroupOutChannel");
  for (const TCase& c : cases) {
    phase->Button(c.phase)->click();
    Find<QCheckBox>(&form, "CheckBoxLeftEnabled")->setChecked(c.leftOn);
    Find<QCheckBox>(&form, "CheckBoxRightEnabled")->setChecked(c.rightOn);
    Bar(form, "TrackBarALeft")->setValue(c.position);
    Bar(form, "TrackBarARight")->setValue(c.position);
    const std::string where = std::to_string(c.phase) + "/" + std::to_string(c.position);
    EXPECT_EQ(form.OutputPhase(), c.phase) << where;
    EXPECT_EQ(form.ToneGenerator()->LeftAmplitude(), c.left) << where;
    EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), c.right) << where;
    EXPECT_FALSE(std::signbit(form.ToneGenerator()->RightAmplitude()) && !c.rightOn)
        << where << ": an Off channel is +0";
    EXPECT_EQ(Text(form, "LabelLAmplitude"), c.leftLabel) << where;
    EXPECT_EQ(Text(form, "LabelRAmplitude"), c.rightLabel) << where;
  }
}

TEST_F(GeneratorPanelTest, TiedPhaseModesMoveThePartnerLevelIndependentDoesNot) {
  TMainForm form;
  ShowForm(form);
  auto* phase = Find<TRadioGroup>(&form, "RadioGroupOutChannel");
  QSlider* left = Bar(form, "TrackBarALeft");
  QSlider* right = Bar(form, "TrackBarARight");
  for (int mode : {opInPhase, opAntiphase}) {
    phase->Button(mode)->click();
    left->setValue(11);
    EXPECT_EQ(right->value(), 11) << mode;
    right->setValue(27);
    EXPECT_EQ(left->value(), 27) << mode;
  }
  phase->Button(opIndependent)->click();
  left->setValue(3);
  right->setValue(35);
  EXPECT_EQ(left->value(), 3);
  EXPECT_EQ(form.ToneGenerator()->LeftAmplitude(), static_cast<float>(std::pow(10.0L, -0.15L)));
  EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), static_cast<float>(std::pow(10.0L, -1.75L)));
  // Leaving "Independent" ties the right level to the left one at once.
  phase->Button(opAntiphase)->click();
  EXPECT_EQ(right->value(), 3);
  EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), -form.ToneGenerator()->LeftAmplitude());
}

// The phase is restored before the levels, so "Independent" levels come back apart; the tied
// modes end, in either order, with both at the stored right level.
TEST_F(GeneratorPanelTest, StoredPhaseAndLevelsRestoreTogether) {
  struct TCase {
    int phase;
    int left, right;  // restored positions
    float rightFactor;
  } const cases[] = {
      {opInPhase, 33, 33, 0.0223872121f},
      {opAntiphase, 33, 33, -0.0223872121f},
      {opIndependent, 7, 33, 0.0223872121f},
  };
  for (const TCase& c : cases) {
    Store({{"OutputPhase", c.phase}, {"OutputLeftGainPos", 7}, {"OutputRightGainPos", 33}});
    TMainForm form;
    ShowForm(form);
    EXPECT_EQ(Bar(form, "TrackBarALeft")->value(), c.left) << c.phase;
    EXPECT_EQ(Bar(form, "TrackBarARight")->value(), c.right) << c.phase;
    EXPECT_EQ(form.ToneGenerator()->RightAmplitude(), c.rightFactor) << c.phase;
    EXPECT_EQ(Text(form, "LabelLAmplitude"), "-" + std::to_string(c.left) + " dB") << c.phase;
    form.close();
    EXPECT_EQ(Stored("OutputLeftGainPos").toInt(), c.left);
    EXPECT_EQ(Stored("OutputRightGainPos").toInt(), 33);
  }
}

// ---- start -----------------------------------------------------------------------------------

class CountdownForm : public TMainForm {
 public:
  std::vector<std::string> steps;

 protected:
  void CountdownPause(int ms) override {
    auto* button = findChild<QPushButton*>("ButtonStartGenerator");
    steps.push_back(button->text().toStdString() + "/" + std::to_string(ms) +
                    (ToneGenerator()->Enabled() ? "/on" : "/off"));
  }
};

TEST_F(GeneratorPanelTest, DelaySweepCountsAToneStartDown) {
  CountdownForm form;
  ShowForm(form);
  form.ButtonStartGeneratorClick();
  EXPECT_TRUE(form.steps.empty()) << "unchecked: no countdown";
  form.ButtonStartGeneratorClick();
  // Checked although it is disabled outside slow sweeps: it still counts.
  Find<QCheckBox>(&form, "CheckBoxDelaySweep")->setChecked(true);
  form.ButtonStartGeneratorClick();
  EXPECT_EQ(form.steps, (std::vector<std::string>{"3/1000/off", "2/1000/off", "1/1000/off"}));
  EXPECT_TRUE(form.ToneGenerator()->Enabled());
  EXPECT_EQ(Find<QPushButton>(&form, "ButtonStartGenerator")->text(), "STOP");
}

// A 1000 Hz sine at -20 dB set with the controls, measured at the card's left input (a straight
// wire); then "180° phase" inverts the right output exactly.
TEST_F(GeneratorPanelTest, ControlsSetWhatTheCardPlays) {
  TMainForm form;
  ShowForm(form);
  Bar(form, "TrackBarFLeft")->setValue(2300);
  Bar(form, "TrackBarALeft")->setValue(30);
  Bar(form, "TrackBarARight")->setValue(20);
  ASSERT_EQ(Text(form, "LabelFRight"), "1000");
  ASSERT_EQ(Text(form, "LabelLAmplitude"), "-20 dB");

  std::vector<int16_t> input;
  form.Analyser()->SetOnData([&](wavehdr_tag& h) {
    const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
    for (uint32_t k = 0; k < h.dwBytesRecorded / 2; k += 2) input.push_back(s[k]);
  });
  struct TBlock {
    float rightAmplitude;
    std::vector<int16_t> samples;
  };
  std::vector<TBlock> played;
  TAudioToneGenerator* g = form.ToneGenerator();
  const TNeedDataEvent fill = g->OnNeedData();
  g->SetOnNeedData([&](PWaveHdr h) {
    fill(h);
    const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
    played.push_back({g->RightAmplitude(), {s, s + h->dwBufferLength / 2}});
  });

  Find<QTabWidget>(&form, "PageControlAnalyser")->setCurrentIndex(1);
  Find<QPushButton>(&form, "ButtonStartAnalyser")->click();
  Find<QPushButton>(&form, "ButtonStartGenerator")->click();
  ASSERT_TRUE(g->Enabled());
  // The tone starts after the card's latency; measure one second from 0.1 s later.
  auto onset = [&] {
    for (size_t k = 0; k < input.size(); ++k)
      if (std::abs(input[k]) > 1000) return k;
    return input.size();
  };
  ASSERT_TRUE(PumpUntil([&] { return onset() + 4410 + 44100 <= input.size(); }, 20000));
  const size_t start = onset() + 4410;

  // Fits over half-second spans hold whole cycles of the tone and of the 50 Hz hum.
  auto fit = [&](size_t from, int n, double& phase) {
    double c = 0, s = 0;
    for (int k = 0; k < n; ++k) {
      const double w = 2 * std::numbers::pi * 1000.0 * k / kSampleRate;
      c += input[from + k] * std::cos(w);
      s += input[from + k] * std::sin(w);
    }
    phase = std::atan2(c, s);
    return 2 * std::hypot(c, s) / n;
  };
  double phase1 = 0, phase2 = 0;
  const double amplitude = (fit(start, 22050, phase1) + fit(start + 22050, 22050, phase2)) / 2;
  // 500 cycles later the phase has moved by the frequency error times the half second.
  const double drift = std::remainder(phase2 - phase1, 2 * std::numbers::pi);
  const double hz = 1000.0 + drift / (2 * std::numbers::pi * 0.5);
  int crossings = 0;
  for (size_t k = start + 1; k < start + 44100; ++k)
    crossings += (input[k - 1] < -3) != (input[k] < -3);  // about the card's DC offset
  EXPECT_NEAR(crossings, 2000, 1) << "about 1000 Hz, so that the fit locks to the right cycle";

  EXPECT_NEAR(hz, 1000.0, 0.01);
  EXPECT_NEAR(20 * std::log10(amplitude / 32767), -20.0, 0.05);

  // In phase, the right output copies the left; in "180° phase" it is its negation.
  const size_t before = played.size();
  Find<TRadioGroup>(&form, "RadioGroupOutChannel")->Button(opAntiphase)->click();
  ASSERT_EQ(g->RightAmplitude(), -0.1f);
  ASSERT_TRUE(PumpUntil([&] { return played.size() >= before + 2; }, 20000));
  int inverted = 0;
  for (const TBlock& b : played) {
    const bool invert = b.rightAmplitude < 0;
    inverted += invert;
    for (size_t k = 0; k < b.samples.size(); k += 2)
      ASSERT_EQ(b.samples[k + 1], invert ? -b.samples[k] : b.samples[k]) << k;
  }
  EXPECT_GE(inverted, 2);
  EXPECT_GT(played.size() - inverted, 0u);
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

}  // namespace
