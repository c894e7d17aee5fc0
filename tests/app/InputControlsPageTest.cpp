// The "Input controls" page on ALSA with a configuration that has no mixer at all.
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryFile>

#include "AppTestSupport.h"
#include "InputMixer.h"
#include "MainForm.h"

namespace {

class InputControlsPageTest : public AppTest {};

TEST_F(InputControlsPageTest, WithoutAMixerThePageShowsAnEmptyMixerAboveTheOffsetGroupQuietly) {
  QTemporaryFile config;
  ASSERT_TRUE(config.open());
  config.write("pcm.!default { type null }\n");
  config.close();
  const QByteArray previousConfig = qgetenv("ALSA_CONFIG_PATH");
  qputenv("ALSA_CONFIG_PATH", config.fileName().toLocal8Bit());
  SetMixerSystem(CreateAlsaMixerSystem());
  Store({{"ADCMeasured", true}});
  testing::internal::CaptureStderr();
  {
    TMainForm form;
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
    auto* page = form.findChild<QWidget*>("TabSheetInput");
    auto* box = page->findChild<TInputMixer*>("InputMixer1");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->height(), 41) << "the mixer is asked when its page is first opened";
    form.findChild<QTabWidget*>("PageControlAnalyser")->setCurrentWidget(page);
    EXPECT_EQ(box->title(), " Input mixer ");
    EXPECT_EQ(box->geometry(), QRect(8, 8, 465, 57));
    EXPECT_TRUE(box->findChildren<QCheckBox*>().empty());
    auto* offset = page->findChild<QGroupBox*>("GroupBoxOffset");
    EXPECT_EQ(offset->geometry(), QRect(8, 200, 465, 153));
    EXPECT_NE(offset->findChild<QPushButton*>("ButtonMeasureOffset"), nullptr);
  }
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors.find("ALSA lib"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Input mixer: no ALSA mixer \"default\": No such file or directory"),
            std::string::npos)
      << errors;
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
  if (previousConfig.isNull())
    qunsetenv("ALSA_CONFIG_PATH");
  else
    qputenv("ALSA_CONFIG_PATH", previousConfig);
}

}  // namespace
