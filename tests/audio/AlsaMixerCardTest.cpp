// The input mixer on ALSA's own simple mixer over two card models (an ALSA control plugin with
// the elements of an HDA and of an AC'97 codec, tests/audio/AlsaCardModel.cpp). What a click did
// is read back through ALSA's plain control interface, element by element.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

#include "InputMixer.h"
#include "MixerSystem.h"

namespace {

class AlsaMixerCard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(folder.isValid());
    // The card models join the global configuration the mixer reads.
    const std::string text = std::string("ctl_type.quorvane_card { lib \"") + QUORVANE_ALSA_CARD_MODEL +
                             "\" }\n"
                             "ctl.qv_hda { type quorvane_card model \"hda\" state \"" + State("hda") + "\" }\n" +
                             "ctl.qv_ac97 { type quorvane_card model \"ac97\" state \"" + State("ac97") + "\" }\n";
    ASSERT_GE(snd_config_update(), 0);
    snd_input_t* in = nullptr;
    ASSERT_GE(snd_input_buffer_open(&in, text.c_str(), static_cast<ssize_t>(text.size())), 0);
    ASSERT_GE(snd_config_load(snd_config, in), 0);
    snd_input_close(in);
  }
  static std::string State(const char* card) { return folder.filePath(card).toStdString() + ".state"; }

  void TearDown() override { SetMixerSystem(previous); }
  // A fresh card (its power-on values) and a box that reads it as the page does.
  std::unique_ptr<TInputMixer> Open(const char* model) {
    std::remove(State(model).c_str());
    previous = SetMixerSystem(CreateAlsaMixerSystem(std::string("qv_") + model));
    auto box = std::make_unique<TInputMixer>();
    box->setGeometry(8, 8, 465, 41);
    box->show();
    return box;
  }
  static QCheckBox* Line(TInputMixer& box, int k) {
    return box.findChild<QCheckBox*>("MixerWaveIn_" + QString::number(k));
  }
  static QStringList Captions(TInputMixer& box) {
    QStringList captions;
    for (int k = 0; QCheckBox* line = Line(box, k); ++k) captions << line->text();
    return captions;
  }
  static std::string Ticks(TInputMixer& box) {
    std::string ticks;
    for (int k = 0; QCheckBox* line = Line(box, k); ++k) ticks += line->isChecked() ? 'x' : '.';
    return ticks;
  }
  // The values of one control element, as ALSA's control interface reads them.
  static std::vector<long> Element(const char* card, const char* name, unsigned index) {
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, card, 0) < 0) return {};
    snd_ctl_elem_info_t* info;
    snd_ctl_elem_value_t* value;
    snd_ctl_elem_info_alloca(&info);
    snd_ctl_elem_value_alloca(&value);
    snd_ctl_elem_info_set_interface(info, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_info_set_name(info, name);
    snd_ctl_elem_info_set_index(info, index);
    snd_ctl_elem_id_t* id;
    snd_ctl_elem_id_alloca(&id);
    std::vector<long> values;
    if (snd_ctl_elem_info(ctl, info) >= 0) {
      snd_ctl_elem_info_get_id(info, id);
      snd_ctl_elem_value_set_id(value, id);
      const bool enumerated = snd_ctl_elem_info_get_type(info) == SND_CTL_ELEM_TYPE_ENUMERATED;
      if (snd_ctl_elem_read(ctl, value) >= 0)
        for (unsigned c = 0; c < snd_ctl_elem_info_get_count(info); ++c)
          values.push_back(enumerated ? static_cast<long>(snd_ctl_elem_value_get_enumerated(value, c))
                                      : snd_ctl_elem_value_get_integer(value, c));
    }
    snd_ctl_close(ctl);
    return values;
  }
  static void SetElement(const char* card, const char* name, std::vector<unsigned> items) {
    snd_ctl_t* ctl = nullptr;
    ASSERT_GE(snd_ctl_open(&ctl, card, 0), 0);
    snd_ctl_elem_value_t* value;
    snd_ctl_elem_value_alloca(&value);
    snd_ctl_elem_value_set_interface(value, SND_CTL_ELEM_IFACE_MIXER);
    snd_ctl_elem_value_set_name(value, name);
    for (unsigned c = 0; c < items.size(); ++c) snd_ctl_elem_value_set_enumerated(value, c, items[c]);
    EXPECT_GE(snd_ctl_elem_write(ctl, value), 0);
    snd_ctl_close(ctl);
  }

  static QTemporaryDir folder;
  std::shared_ptr<TMixerSystem> previous;
};
QTemporaryDir AlsaMixerCard::folder;

using TValues = std::vector<long>;

// "Input Source" is an enumerated capture element: its items are listed and one of them is the
// source, whatever the capture switches say.
TEST_F(AlsaMixerCard, AnHdaCodecListsItsInputSourcesOneOfMany) {
  auto box = Open("hda");
  EXPECT_EQ(box->title(), " HDA Intel PCH ");
  EXPECT_EQ(Captions(*box), (QStringList{"Capture", "Capture 1", "Input Source: Rear Mic", "Input Source: Front Mic",
                                         "Input Source: Line", "Input Source 1: Rear Mic",
                                         "Input Source 1: Front Mic", "Input Source 1: Line"}));
  EXPECT_EQ(Ticks(*box), "x.x....x");
  EXPECT_EQ(box->height(), 57 + 7 * 18);
  struct TClick {
    int line;
    const char* ticks;
    TValues source0, source1, switch1;
  } const clicks[] = {
      {4, "x...x..x", {2}, {2}, {0, 0}},  // Line on the first converter
      {4, "x...x..x", {2}, {2}, {0, 0}},  // the chosen source cannot be unchosen
      {6, "x...x.x.", {2}, {1}, {0, 0}},  // Front Mic on the second
      {1, "xx..x.x.", {2}, {1}, {1, 1}},  // the second converter's switch, both channels
  };
  for (const TClick& c : clicks) {
    SCOPED_TRACE(c.line);
    QCheckBox* line = Line(*box, c.line);
    ASSERT_NE(line, nullptr);
    line->click();
    EXPECT_EQ(Ticks(*box), c.ticks);
    EXPECT_EQ(Element("qv_hda", "Input Source", 0), c.source0);
    EXPECT_EQ(Element("qv_hda", "Input Source", 1), c.source1);
    EXPECT_EQ(Element("qv_hda", "Capture Switch", 1), c.switch1);
  }
  EXPECT_EQ(Element("qv_hda", "Auto-Mute Mode", 0), TValues{1}) << "not a source";
}

// "Capture Source" is split by ALSA into one element per item, whose capture switches exclude
// one another; the enumeration has a value per channel.
TEST_F(AlsaMixerCard, AnAc97CaptureSourceIsOneOfManyOnBothChannels) {
  auto box = Open("ac97");
  EXPECT_EQ(box->title(), " Intel ICH5 ");
  EXPECT_EQ(Captions(*box),
            (QStringList{"Capture", "Line", "CD", "Mic", "Video", "Phone", "Aux", "Mix", "Mix Mono"}));
  EXPECT_EQ(Ticks(*box), "xx.......");
  EXPECT_EQ(box->height(), 57 + 8 * 18);
  ASSERT_NE(Line(*box, 8), nullptr);
  for (int click = 0; click < 2; ++click) {  // Mic, then Mic again: it stays the choice
    Line(*box, 3)->click();
    EXPECT_EQ(Ticks(*box), "x..x.....");
    EXPECT_EQ(Element("qv_ac97", "Capture Source", 0), (TValues{0, 0}));
  }

  // Another program records the CD on the left and the line on the right: both are listed as
  // chosen, and a choice here puts both channels on one source again.
  SetElement("qv_ac97", "Capture Source", {1, 4});
  TInputMixer again;
  again.show();
  EXPECT_EQ(Ticks(again), "xxx......");
  ASSERT_NE(Line(again, 8), nullptr);
  Line(again, 7)->click();  // Mix
  EXPECT_EQ(Ticks(again), "x......x.");
  EXPECT_EQ(Element("qv_ac97", "Capture Source", 0), (TValues{5, 5}));
  Line(again, 0)->click();  // the independent capture switch goes off alone
  EXPECT_EQ(Element("qv_ac97", "Capture Switch", 0), TValues{0});
  EXPECT_EQ(Element("qv_ac97", "Capture Source", 0), (TValues{5, 5}));
}

}  // namespace
