// The input mixer's group box over a stand-in mixer.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>

#include <functional>

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
    box->ensurePolished();
    return box;
  }
  static QCheckBox* Line(TInputMixer& box, int k) {
    return box.findChild<QCheckBox*>("MixerWaveIn_" + QString::number(k));
  }
  std::shared_ptr<TStandInMixer> mixer;
  std::shared_ptr<TMixerSystem> previous;
};

TEST_F(InputMixerTest, PopulationShowsTheWaveInLinesFirstMultipleSelectorOrNothing) {
  using M = TStandInMixer&;
  const char* kCard = " Stand-in card ";
  struct TCase {
    const char* what;
    std::function<void(M)> change;
    const char* title;
    int lines;
  };
  const TCase cases[] = {
      {"behind another destination and other controls",
       [](M m) {
         auto& controls = m.lines[0].controls;
         controls.insert(controls.begin(), {TMixerControlType::Mux, false, 1, {"Single"}, {1}});
         controls.insert(controls.begin(), {TMixerControlType::Other, true, 1, {"Volume"}, {1}});
         controls.push_back({TMixerControlType::Mixer, true, 1, {"Second"}, {1}});
         m.lines.insert(m.lines.begin(), {TMixerLineType::Other, {{}}});
       },
       kCard, 4},
      {"no device", [](M m) { m.devices = 0; }, " created ", 0},
      {"device caps fail", [](M m) { m.capsFail = true; }, " created ", 0},
      {"open fails", [](M m) { m.openFails = true; }, kCard, 0},
      {"no wave-in line", [](M m) { m.lines[0].type = TMixerLineType::Other; }, kCard, 0},
      {"no multiple flag", [](M m) { m.lines[0].controls[0].multiple = false; }, kCard, 0},
      {"names fail", [](M m) { m.namesFail = true; }, kCard, 0},
      {"values fail", [](M m) { m.valuesFail = true; }, kCard, 0},
  };
  const QString captions[] = {"Microphone", "Line In", "CD Player", "Stereo Mix"};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto box = Create(c.change);
    EXPECT_EQ(box->title(), c.title);
    EXPECT_EQ(box->geometry(), QRect(8, 8, 465, c.lines ? 111 : 57));
    ASSERT_EQ(box->findChildren<QCheckBox*>().size(), c.lines);
    const QFontMetrics metrics(box->font());
    for (int k = 0; k < c.lines; ++k) {
      QCheckBox* line = Line(*box, k);
      ASSERT_NE(line, nullptr) << k;
      EXPECT_EQ(line->text(), captions[k]);
      EXPECT_EQ(line->isChecked(), k == 0 || k == 3) << k;
      EXPECT_EQ(line->property("tag").toInt(), k);
      EXPECT_EQ(line->geometry(),
                QRect(16, 24 + 20 * k, metrics.horizontalAdvance(captions[k]) + 20, 15));
    }
  }
  auto one = Create([](M m) {
    m.lines[0].controls[0] = {TMixerControlType::Mixer, true, 1, {"Capture"}, {0}};
  });
  EXPECT_EQ(one->height(), 57);
  ASSERT_NE(Line(*one, 0), nullptr);
  one->ensurePolished();
  EXPECT_EQ(one->findChildren<QCheckBox*>().size(), 1) << "read once only";
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
