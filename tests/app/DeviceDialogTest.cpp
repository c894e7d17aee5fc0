// The sound-device dialog's lists and choice, and the offsets kept per input device.
#include <QComboBox>
#include <QLabel>
#include <QSettings>

#include <memory>

#include "AppTestSupport.h"
#include "AudioAnalyser.h"
#include "DeviceDialog.h"
#include "MainForm.h"
#include "ToneGenerator.h"

namespace {

QStringList Texts(const QComboBox* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->itemText(i);
  return texts;
}

bool Selectable(const QComboBox* list, int i) {
  return list->model()->flags(list->model()->index(i, 0)) & Qt::ItemIsEnabled;
}

const std::vector<TSoundDevice> kDevices = {
    {"ALSA", "HDA Intel PCH: ALC257 Analog (hw:0,0)", 2, 2, false, false},
    {"ALSA", "USB Audio CODEC: Audio (hw:1,0)", 2, 2, false, false},
    {"ALSA", "HDMI 0 (hw:0,3)", 0, 8, false, false},
    {"ALSA", "default", 32, 32, true, true},
    {"JACK Audio Connection Kit", "system", 2, 2, false, false},
};

class DeviceDialogTest : public AppTest {};

TEST_F(DeviceDialogTest, ListsGroupByInterfaceAndTheSimulatedCardGoesBothWays) {
  TDeviceDialog dialog;
  dialog.SetDevices(kDevices, {"", "ALSA: USB Audio CODEC: Audio (hw:1,0)", TLatency::Safe});
  EXPECT_EQ(Texts(dialog.ComboBoxOutput),
            (QStringList{"Default output (ALSA: default)", "ALSA", "    HDA Intel PCH: ALC257 Analog (hw:0,0)",
                         "    USB Audio CODEC: Audio (hw:1,0)", "    HDMI 0 (hw:0,3)", "    default",
                         "JACK Audio Connection Kit", "    system", "Simulation", "    Simulated sound card"}));
  // HDMI plays only: the input list leaves it out.
  EXPECT_FALSE(Texts(dialog.ComboBoxInput).contains("    HDMI 0 (hw:0,3)"));
  for (int heading : {1, 6, 8}) EXPECT_FALSE(Selectable(dialog.ComboBoxOutput, heading)) << heading;
  EXPECT_TRUE(Selectable(dialog.ComboBoxOutput, 7));
  EXPECT_EQ(dialog.Choice(), (TDeviceChoice{"", "ALSA: USB Audio CODEC: Audio (hw:1,0)", TLatency::Safe}));

  // The simulated card on one side takes the other along; a real device on one side then
  // brings the other back to the default.
  dialog.ComboBoxOutput->setCurrentIndex(9);
  emit dialog.ComboBoxOutput->activated(9);
  EXPECT_EQ(dialog.Choice(), (TDeviceChoice{kSimulatedCardKey, kSimulatedCardKey, TLatency::Safe}));
  dialog.ComboBoxInput->setCurrentIndex(6);  // JACK: system
  emit dialog.ComboBoxInput->activated(6);
  EXPECT_EQ(dialog.Choice(), (TDeviceChoice{"", "JACK Audio Connection Kit: system", TLatency::Safe}));

  // A kept device that is not connected stays chosen, marked, until another is picked.
  dialog.SetDevices(kDevices, {"ALSA: Gone (hw:5,0)", "", TLatency::Normal});
  EXPECT_EQ(dialog.ComboBoxOutput->currentText(), "ALSA: Gone (hw:5,0) (not connected)");
  EXPECT_EQ(dialog.Choice(), (TDeviceChoice{"ALSA: Gone (hw:5,0)", "", TLatency::Normal}));
}

TEST_F(DeviceDialogTest, OffsetsAreKeptPerInputDeviceAndNeverAppliedToAnother) {
  {
    const auto s = OpenSettings();
    s->setValue("ADCMeasured", true);
    s->setValue("ADCLeftOffset", -3);
    s->setValue("ADCRightOffset", 2);
    WriteOffsetsFor(*s, "ALSA: USB Audio CODEC: Audio (hw:1,0)", 7, -9);
    WriteOffsetsFor(*s, "JACK Audio Connection Kit: system", 1, 1);
    WriteOffsetsFor(*s, "ALSA: USB Audio CODEC: Audio (hw:1,0)", 5, -4);  // measured again
  }
  struct TCase {
    std::string input;
    bool measured;
    int left, right;
  } cases[] = {
      {"", true, -3, 2},
      {"ALSA: USB Audio CODEC: Audio (hw:1,0)", true, 5, -4},
      {"JACK Audio Connection Kit: system", true, 1, 1},
      {kSimulatedCardKey, false, 0, 0},
  };
  const auto s = OpenSettings();
  for (const TCase& c : cases) {
    int left = 99, right = 99;
    EXPECT_EQ(ReadOffsetsFor(*s, c.input, left, right), c.measured) << c.input;
    EXPECT_EQ(left, c.left) << c.input;
    EXPECT_EQ(right, c.right) << c.input;
  }
  EXPECT_EQ(s->beginReadArray("ADCOffsets"), 2);
  s->endArray();
}

TEST_F(DeviceDialogTest, ChoosingTheSimulatedCardKeepsItAndAsksForItsOffsets) {
  Store({{"ADCMeasured", true}, {"ADCLeftOffset", -3}, {"ADCRightOffset", 2}});
  auto form = std::make_unique<TMainForm>();
  form->show();
  ASSERT_TRUE(PumpUntil([&] { return form->Shown(); }));
  EXPECT_EQ(form->Analyser()->LeftOffset(), -3);
  recorder.answer = false;  // no measurement now
  const size_t asked = recorder.questions.size();
  form->ApplyDeviceChoice({kSimulatedCardKey, kSimulatedCardKey, TLatency::Safe}, true);
  EXPECT_EQ(recorder.questions.size(), asked + 1) << recorder.Log();
  EXPECT_FALSE(form->ADCMeasured());
  EXPECT_EQ(form->Analyser()->LeftOffset(), 0);
  EXPECT_EQ(form->ToneGenerator()->ToneBlockFrames(), LatencyPlan(TLatency::Safe).toneBlockFrames);
  EXPECT_EQ(form->findChild<QLabel*>("LabelBackend")->text(), "Simulated sound card");
  form.reset();
  const auto s = OpenSettings();
  EXPECT_EQ(s->value("SoundOutput").toString(), kSimulatedCardKey);
  EXPECT_EQ(s->value("SoundInput").toString(), kSimulatedCardKey);
  EXPECT_EQ(s->value("SoundLatency").toInt(), 2);
  EXPECT_EQ(s->value("ADCLeftOffset").toInt(), -3);  // the default input's stay
}

}  // namespace
