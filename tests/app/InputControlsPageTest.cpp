// The "Input controls" page: the input mixer above the offset group.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTemporaryFile>

#include "AppTestSupport.h"
#include "InputMixer.h"
#include "MainForm.h"

namespace {

class InputControlsPageTest : public AppTest {};

TEST_F(InputControlsPageTest, TheMixerStandsAboveTheOffsetGroupWhateverTheMixerHolds) {
  // ALSA with a configuration that has no mixer at all.
  QTemporaryFile noMixer;
  ASSERT_TRUE(noMixer.open());
  noMixer.write("pcm.!default { type null }\n");
  noMixer.close();
  const QByteArray previousConfig = qgetenv("ALSA_CONFIG_PATH");

  struct TCase {
    const char* what;
    std::shared_ptr<TMixerSystem> mixer;
    QString title;
    int lines, height;
  };
  const TCase cases[] = {
      {"real ALSA, no mixer", CreateAlsaMixerSystem(), " Input mixer ", 0, 57},
      {"four sources", TStandInMixer::WithSources({"Mic", "Line", "CD", "Aux"}, {0, 1, 0, 0}),
       " Stand-in card ", 4, 111},
  };
  Store({{"ADCMeasured", true}});
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetMixerSystem(c.mixer);
    qputenv("ALSA_CONFIG_PATH", noMixer.fileName().toLocal8Bit());
    testing::internal::CaptureStderr();
    {
      TMainForm form;
      form.show();
      ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
      auto* page = form.findChild<QWidget*>("TabSheetInput");
      auto* box = page->findChild<TInputMixer*>("InputMixer1");
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->title(), c.title);
      EXPECT_EQ(box->geometry(), QRect(8, 8, 465, c.height));
      EXPECT_EQ(box->findChildren<QCheckBox*>().size(), c.lines);
      auto* offset = page->findChild<QGroupBox*>("GroupBoxOffset");
      EXPECT_EQ(offset->geometry(), QRect(8, 200, 465, 153));
      EXPECT_EQ(offset->title(), " Offset ");
      EXPECT_NE(offset->findChild<QPushButton*>("ButtonMeasureOffset"), nullptr);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.find("ALSA lib"), std::string::npos) << errors;
    if (c.lines == 0) {
      EXPECT_NE(errors.find("Input mixer: no ALSA mixer \"default\": No such file or directory"),
                std::string::npos)
          << errors;
    }
  }
  if (previousConfig.isNull())
    qunsetenv("ALSA_CONFIG_PATH");
  else
    qputenv("ALSA_CONFIG_PATH", previousConfig);
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
}

}  // namespace
