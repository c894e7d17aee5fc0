// The input mixer's group box over a stand-in mixer.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>

#include <algorithm>
#include <functional>
#include <string>

#include "InputMixer.h"
#include "MixerStandIn.h"

namespace {

class InputMixerTest : public ::testing::Test {
 protected:
  void TearDown() override { SetMixerSystem(previous); }
  // Four sources on the stand-in, changed as a case says, read by a box as a page would.
  std::unique_ptr<TInputMixer> Create(const std::function<void(TStandInMixer&)>& change = {}) {
    mixer = TStandInMixer::WithSources({"Microphone", "Line In", "CD Player", "Stereo Mix"},
                                       {1, 0, 0, 7});
    if (change) change(*mixer);
    previous = SetMixerSystem(mixer);
    auto box = std::make_unique<TInputMixer>();
    box->setTitle(" created ");
    box->setGeometry(8, 8, 465, 41);
    box->show();
    return box;
  }
  static QCheckBox* Line(TInputMixer& box, int k) {
    return box.findChild<QCheckBox*>("MixerWaveIn_" + QString::number(k));
  }
  std::shared_ptr<TStandInMixer> mixer;
  std::shared_ptr<TMixerSystem> previous;
};

TEST_F(InputMixerTest, PopulationListsEverySelectorOfTheWaveInLineOrNothing) {
  using M = TStandInMixer&;
  const char* kCard = " Stand-in card ";
  const QStringList kSources = {"Microphone", "Line In", "CD Player", "Stereo Mix"};
  struct TCase {
    const char* what;
    std::function<void(M)> change;
    const char* title;
    QStringList captions;
    std::vector<int> ticked;
  };
  const TCase cases[] = {
      {"behind another destination and other controls, one list after another",
       [](M m) {
         auto& controls = m.lines[0].controls;
         controls.insert(controls.begin(), {TMixerControlType::Mux, false, 1, {"Single"}, {1}});
         controls.insert(controls.begin(), {TMixerControlType::Other, true, 1, {"Volume"}, {1}});
         controls.push_back({TMixerControlType::Mixer, true, 1, {"Second"}, {1}});
         m.lines.insert(m.lines.begin(), {TMixerLineType::Other, {{}}});
       },
       kCard, QStringList{"Single"} + kSources + QStringList{"Second"}, {0, 1, 4, 5}},
      {"no device", [](M m) { m.devices = 0; }, " created ", {}, {}},
      {"device caps fail", [](M m) { m.capsFail = true; }, " created ", {}, {}},
      {"open fails", [](M m) { m.openFails = true; }, kCard, {}, {}},
      {"no wave-in line", [](M m) { m.lines[0].type = TMixerLineType::Other; }, kCard, {}, {}},
      {"a single-choice selector", [](M m) { m.lines[0].controls[0].multiple = false; }, kCard, kSources, {0, 3}},
      {"names fail", [](M m) { m.namesFail = true; }, kCard, {}, {}},
      {"values fail", [](M m) { m.valuesFail = true; }, kCard, {}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto box = Create(c.change);
    const int lines = static_cast<int>(c.captions.size());
    EXPECT_EQ(box->title(), c.title);
    EXPECT_EQ(box->geometry(), QRect(8, 8, 465, lines ? 57 + 18 * (lines - 1) : 57));
    ASSERT_EQ(box->findChildren<QCheckBox*>().size(), lines);
    const QFontMetrics metrics(box->font());
    for (int k = 0; k < lines; ++k) {
      QCheckBox* line = Line(*box, k);
      ASSERT_NE(line, nullptr) << k;
      EXPECT_EQ(line->text(), c.captions[k]);
      EXPECT_EQ(line->isChecked(), std::count(c.ticked.begin(), c.ticked.end(), k) == 1) << k;
      EXPECT_EQ(line->property("tag").toInt(), k);
      EXPECT_EQ(line->geometry(),
                QRect(16, 24 + 20 * k, metrics.horizontalAdvance(c.captions[k]) + 20, 15));
    }
  }
  auto one = Create([](M m) {
    m.lines[0].controls[0] = {TMixerControlType::Mixer, true, 1, {"Capture"}, {0}};
  });
  EXPECT_EQ(one->height(), 57);
  ASSERT_NE(Line(*one, 0), nullptr);
  one->hide();
  one->show();
  EXPECT_EQ(one->findChildren<QCheckBox*>().size(), 1) << "read once only";
}

// A single-choice selector beside a multiple-choice one: a choice writes that item alone at
// the upper bound and unticks the others of its list only; the chosen item stays chosen; a
// choice the mixer refused is taken back.
TEST_F(InputMixerTest, AChoiceInAnEnumerationIsOneOfMany) {
  auto box = Create([](TStandInMixer& m) {
    m.lines[0].controls.push_back({TMixerControlType::Mux, false, 3, {"Mic", "Line", "CD"}, {0, 3, 0}});
  });
  auto ticks = [&] {
    std::string s;
    for (int k = 0; k < 7; ++k) s += Line(*box, k)->isChecked() ? 'x' : '.';
    return s;
  };
  ASSERT_EQ(box->findChildren<QCheckBox*>().size(), 7);
  ASSERT_EQ(ticks(), "x..x.x.");
  Line(*box, 4)->click();  // Mic
  EXPECT_EQ(ticks(), "x..xx..");
  Line(*box, 4)->click();  // unticking the choice
  EXPECT_EQ(ticks(), "x..xx..");
  mixer->openFails = true;
  Line(*box, 6)->click();  // CD, but the mixer cannot be opened
  EXPECT_EQ(ticks(), "x..xx..");
  mixer->openFails = false;
  Line(*box, 2)->click();  // the other list's items stay independent
  EXPECT_EQ(ticks(), "x.xxx..");
  EXPECT_EQ(mixer->writes, (std::vector<std::vector<int32_t>>{{3, 0, 0}, {1, 0, 1, 7}}));
}

TEST_F(InputMixerTest, AClickRereadsTheMixerAndChangesOnlyItsItem) {
  auto box = Create([](TStandInMixer& m) {
    m.lines[0].controls[0].upperBound = 65535;
    m.lines[0].controls[0].values = {1, 1, 0, 1};
  });
  mixer->lines[0].controls[0].values = {0, 1, 0, 1};  // another program changed it since
  Line(*box, 1)->click();                              // now unticked
  Line(*box, 2)->click();                              // now ticked: on = the upper bound
  EXPECT_EQ(mixer->writes, (std::vector<std::vector<int32_t>>{{0, 0, 0, 1}, {0, 0, 65535, 1}}));

  box->LineClick(box.get());  // not a check box
  QCheckBox stranger;
  box->LineClick(&stranger);
  mixer->openFails = true;
  Line(*box, 3)->click();
  mixer->openFails = false;
  mixer->valuesFail = true;
  Line(*box, 0)->click();
  EXPECT_EQ(mixer->writes.size(), 2u);
  EXPECT_FALSE(Line(*box, 3)->isChecked()) << "a failed click leaves the box in its new state";
}

}  // namespace
