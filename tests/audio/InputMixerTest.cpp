// The input mixer's group box over a stand-in mixer.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>

#include <functional>

#include "InputMixer.h"
#include "Messages.h"
#include "MixerStandIn.h"

namespace {

class InputMixerTest : public ::testing::Test {
 protected:
  void SetUp() override { previousMessages = SetMessages(&recorder); }
  void TearDown() override {
    SetMixerSystem(previousMixer);
    SetMessages(previousMessages);
  }
  // A box on the stand-in, created (polished) as a page would.
  std::unique_ptr<TInputMixer> Create(std::shared_ptr<TStandInMixer> mixer) {
    previousMixer = SetMixerSystem(mixer);
    auto box = std::make_unique<TInputMixer>();
    box->setTitle(" created ");
    box->setGeometry(8, 8, 465, 41);
    box->ensurePolished();
    return box;
  }
  static QCheckBox* Line(TInputMixer& box, int k) {
    return box.findChild<QCheckBox*>("MixerWaveIn_" + QString::number(k));
  }

  TMessageRecorder recorder;
  TMessageInterface* previousMessages = nullptr;
  std::shared_ptr<TMixerSystem> previousMixer;
};

TEST_F(InputMixerTest, PopulationFollowsTheWaveInLinesFirstMultipleSelector) {
  using TMixer = std::shared_ptr<TStandInMixer>;
  const auto four = [] {
    return TStandInMixer::WithSources({"Microphone", "Line In", "CD Player", "Stereo Mix"},
                                      {1, 0, 0, 7});
  };
  struct TCase {
    const char* what;
    std::function<TMixer()> mixer;
    QString title;
    std::vector<QString> captions;
    std::vector<bool> ticked;
    int height;
  };
  const std::vector<TCase> cases = {
      {"four items behind another destination",
       [&] {
         TMixer m = four();
         m->lines.insert(m->lines.begin(), {TMixerLineType::Other, {{}}});
         return m;
       },
       " Stand-in card ", {"Microphone", "Line In", "CD Player", "Stereo Mix"},
       {true, false, false, true}, 111},
      {"a mixer-type selector of one",
       [] {
         TMixer m = TStandInMixer::WithSources({"Capture"}, {0});
         m->lines[0].controls[0].type = TMixerControlType::Mixer;
         return m;
       },
       " Stand-in card ", {"Capture"}, {false}, 57},
      {"the first qualifying control of several",
       [&] {
         TMixer m = four();
         auto& controls = m->lines[0].controls;
         controls.insert(controls.begin(), {TMixerControlType::Mux, false, 1, {"Single"}, {1}});
         controls.insert(controls.begin(), {TMixerControlType::Other, true, 1, {"Volume"}, {1}});
         controls.push_back({TMixerControlType::Mixer, true, 1, {"Second"}, {1}});
         return m;
       },
       " Stand-in card ", {"Microphone", "Line In", "CD Player", "Stereo Mix"},
       {true, false, false, true}, 111},
      {"no device", [&] { TMixer m = four(); m->devices = 0; return m; }, " created ", {}, {}, 57},
      {"device caps fail", [&] { TMixer m = four(); m->capsFail = true; return m; }, " created ", {},
       {}, 57},
      {"open fails", [&] { TMixer m = four(); m->openFails = true; return m; }, " Stand-in card ",
       {}, {}, 57},
      {"no wave-in line",
       [&] { TMixer m = four(); m->lines[0].type = TMixerLineType::Other; return m; },
       " Stand-in card ", {}, {}, 57},
      {"selector without the multiple flag",
       [&] { TMixer m = four(); m->lines[0].controls[0].multiple = false; return m; },
       " Stand-in card ", {}, {}, 57},
      {"names cannot be read", [&] { TMixer m = four(); m->namesFail = true; return m; },
       " Stand-in card ", {}, {}, 57},
      {"values cannot be read", [&] { TMixer m = four(); m->valuesFail = true; return m; },
       " Stand-in card ", {}, {}, 57},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto box = Create(c.mixer());
    EXPECT_EQ(box->title(), c.title);
    EXPECT_EQ(box->geometry(), QRect(8, 8, 465, c.height));
    const auto boxes = box->findChildren<QCheckBox*>();
    ASSERT_EQ(boxes.size(), static_cast<qsizetype>(c.captions.size()));
    const QFontMetrics metrics(box->font());
    for (int k = 0; k < static_cast<int>(c.captions.size()); ++k) {
      QCheckBox* line = Line(*box, k);
      ASSERT_NE(line, nullptr) << k;
      EXPECT_EQ(line->text(), c.captions[k]);
      EXPECT_EQ(line->isChecked(), c.ticked[k]) << k;
      EXPECT_EQ(line->property("tag").toInt(), k);
      EXPECT_EQ(line->geometry(),
                QRect(16, 24 + 20 * k, metrics.horizontalAdvance(c.captions[k]) + 20, 15));
    }
    box->ensurePolished();
    EXPECT_EQ(box->findChildren<QCheckBox*>().size(), boxes.size()) << "read once only";
  }
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
}

TEST_F(InputMixerTest, AClickRereadsTheMixerAndChangesOnlyItsItem) {
  auto mixer = TStandInMixer::WithSources({"Mic", "Line", "CD", "Aux"}, {1, 1, 0, 1});
  mixer->lines[0].controls[0].upperBound = 65535;
  auto box = Create(mixer);
  // Another program changes the mixer after the list was read.
  mixer->lines[0].controls[0].values = {0, 1, 0, 1};

  Line(*box, 1)->click();  // now unticked
  Line(*box, 2)->click();  // now ticked: the on value is the upper bound
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
  EXPECT_FALSE(Line(*box, 0)->isChecked());
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
}

}  // namespace
