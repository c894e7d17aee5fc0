// The input mixer on ALSA's default mixer, which the PulseAudio plugin puts on the test
// server: the server's own client tool judges what a click did.
#include <gtest/gtest.h>

#include <QCheckBox>

#include <chrono>
#include <cstdio>

#include "AudioDevice.h"
#include "InputMixer.h"
#include "PrivatePulseServer.h"

namespace {

std::string SourceMute() {
  std::string out;
  if (FILE* p = popen("pactl get-source-mute @DEFAULT_SOURCE@", "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
  }
  return out;
}

class InputMixerServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER"))
      GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
    previous = SetMixerSystem(CreateAlsaMixerSystem());
  }
  void TearDown() override {
    SetMixerSystem(previous);
    std::system("pactl set-source-mute @DEFAULT_SOURCE@ 0");
  }
  std::shared_ptr<TMixerSystem> previous;
};

TEST_F(InputMixerServer, TheCaptureSwitchMutesAndUnmutesTheDefaultSource) {
  ASSERT_EQ(std::system("pactl set-source-mute @DEFAULT_SOURCE@ 1"), 0);
  TInputMixer box;
  box.show();
  const auto lines = box.findChildren<QCheckBox*>();
  for (QCheckBox* line : lines) std::printf("ALSA lists \"%s\"\n", qPrintable(line->text()));
  EXPECT_EQ(box.title(), " PulseAudio ");
  ASSERT_EQ(lines.size(), 1);
  QCheckBox* capture = box.findChild<QCheckBox*>("MixerWaveIn_0");
  ASSERT_NE(capture, nullptr);
  EXPECT_EQ(capture->text(), "Capture");
  EXPECT_FALSE(capture->isChecked()) << "the source was muted";
  capture->click();
  EXPECT_EQ(SourceMute(), "Mute: no\n");
  capture->click();
  EXPECT_EQ(SourceMute(), "Mute: yes\n");
}

TEST_F(InputMixerServer, AFrozenServerCostsABoundedWaitAndAClickLaterWorks) {
  TPrivateServer server;
  ASSERT_TRUE(server.Start());
  TInputMixer box;
  box.show();
  QCheckBox* capture = box.findChild<QCheckBox*>("MixerWaveIn_0");
  ASSERT_TRUE(capture && capture->isChecked());

  server.Freeze(true);
  const auto t0 = std::chrono::steady_clock::now();
  capture->click();
  TInputMixer late;
  late.setTitle(" created ");
  late.show();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
  server.Freeze(false);
  // Unbounded, each would wait for the client library's 30-second timeout.
  EXPECT_LT(took.count(), 2 * kDeviceCommandTimeoutMs / 1000.0 + 1.0);
  EXPECT_EQ(late.title(), " created ");
  EXPECT_TRUE(late.findChildren<QCheckBox*>().empty());
  EXPECT_EQ(SourceMute(), "Mute: no\n") << "the click that found no mixer changed nothing";
  capture->click();  // ticked again, as the source is: nothing to write
  capture->click();
  EXPECT_EQ(SourceMute(), "Mute: yes\n");
}

}  // namespace
