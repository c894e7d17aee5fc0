// The device choice on the PulseAudio server that scripts/test.sh starts (PortAudio's ALSA devices
// there: "default" and "pulse" lead to its null sink, whose monitor is the default input).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Messages.h"
#include "SoundDevices.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

// Sets an environment variable for a scope (empty value: unset).
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value.empty())
      unsetenv(name);
    else
      setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class SoundDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    UseDeviceChoice({});
    SetAudioBackend(nullptr);
  }
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

// The first line a shell command prints.
std::string Shell(const std::string& command) {
  std::string line;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    if (std::fgets(buffer, sizeof buffer, p)) line = buffer;
    pclose(p);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string DefaultDeviceKey(bool output) {
  for (const TSoundDevice& d : ListSoundDevices())
    if (output ? d.defaultOutput : d.defaultInput) return DeviceKey(d.hostApi, d.name);
  return {};
}

// A kept device that is gone gives its default, and the one sentence naming it; the environment
// overrides what was kept; the choice in force and the names in use follow.
TEST_F(SoundDevices, AKeptDeviceThatIsGoneFallsBackToTheDefaultAndSaysSo) {
  std::string why;
  ASSERT_FALSE(ListSoundDevices(&why).empty()) << why;
  const std::string out = DefaultDeviceKey(true), in = DefaultDeviceKey(false);
  ASSERT_EQ(out.rfind("ALSA: ", 0), 0u) << out;
  ASSERT_FALSE(in.empty());
  const std::string gone = "ALSA: USB Audio CODEC", alsoGone = "OSS: /dev/dsp9";
  struct TCase {
    TDeviceChoice choice;
    std::string audioEnv, latencyEnv;
    std::string text;
    TDeviceChoice inForce;
    std::string outputName, inputName;
  } const cases[] = {
      {{gone, in, TLatency::Low}, "", "",
       "The sound output \"ALSA: USB Audio CODEC\" is not connected; the default output is used.",
       {"", in, TLatency::Low}, out, in},
      {{out, gone, TLatency::Safe}, "", "",
       "The sound input \"ALSA: USB Audio CODEC\" is not connected; the default input is used.",
       {out, "", TLatency::Safe}, out, in},
      {{gone, alsoGone, TLatency::Normal}, "", "",
       "The sound output \"ALSA: USB Audio CODEC\" and the sound input \"OSS: /dev/dsp9\" are not connected; the "
       "default devices are used.",
       {"", "", TLatency::Normal}, out, in},
      {{out, in, TLatency::Normal}, "", "", "", {out, in, TLatency::Normal}, out, in},
      {{gone, gone, TLatency::Low}, "simulated", "safe", "",
       {kSimulatedCardKey, kSimulatedCardKey, TLatency::Safe}, kSimulatedCardKey, kSimulatedCardKey},
      {{kSimulatedCardKey, in, TLatency::Normal}, "", "", "",
       {kSimulatedCardKey, kSimulatedCardKey, TLatency::Normal}, kSimulatedCardKey, kSimulatedCardKey},
      {{kSimulatedCardKey, "", TLatency::Normal}, "portaudio", "low", "", {"", "", TLatency::Low}, out, in},
      {{"", "", TLatency::Safe}, "", "", "", {"", "", TLatency::Safe}, out, in},
  };
  for (const TCase& c : cases) {
    TScopedEnv audio("QUORVANE_AUDIO", c.audioEnv), latency("QUORVANE_LATENCY", c.latencyEnv);
    const std::string row = c.choice.output + " / " + c.choice.input + " " + c.audioEnv + " " + c.latencyEnv;
    EXPECT_EQ(UseDeviceChoice(c.choice), c.text) << row;
    const TDeviceChoice got = CurrentDeviceChoice();
    EXPECT_EQ(got.output, c.inForce.output) << row;
    EXPECT_EQ(got.input, c.inForce.input) << row;
    EXPECT_EQ(got.latency, c.inForce.latency) << row;
    EXPECT_EQ(OutputDeviceName(), c.outputName) << row;
    EXPECT_EQ(InputDeviceName(), c.inputName) << row;
    EXPECT_FALSE(SimulatedCardStandsIn()) << row;
  }
}

// The streams open on the device that was fallen back to, and the round trip runs at each
// latency: the pulses come back in order, and the setting reaches the devices (Safe's buffers
// and generator blocks are hundreds of milliseconds longer than Low's).
TEST_F(SoundDevices, TheRoundTripIsMeasuredAtEachLatency) {
  double ms[3] = {};
  for (TLatency latency : {TLatency::Low, TLatency::Normal, TLatency::Safe}) {
    EXPECT_NE(UseDeviceChoice({"ALSA: USB Audio CODEC", "", latency}), "");
    std::string why;
    const double m = MeasureRoundTripMs(10000, &why);
    ASSERT_FALSE(std::isnan(m)) << LatencyName(latency) << ": " << why;
    std::printf("round trip at %s latency: %.1f ms\n", LatencyName(latency), m);
    EXPECT_GT(m, 0) << LatencyName(latency);
    ms[static_cast<int>(latency)] = m;
  }
  EXPECT_LT(ms[0] + 200, ms[2]);
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

// Nothing wired between output and input: no pulse, and it says so.
TEST_F(SoundDevices, ARoundTripWithoutALoopbackSaysNoPulseCameBack) {
  TScopedEnv latency("QUORVANE_LATENCY", "");
  UseDeviceChoice({"", "", TLatency::Low});
  // A null sink of its own that nothing plays into: its monitor hears nothing.
  const std::string source = Shell("pactl get-default-source");
  const std::string module = Shell("pactl load-module module-null-sink sink_name=quorvane_quiet");
  ASSERT_FALSE(module.empty());
  ASSERT_EQ(std::system("pactl set-default-source quorvane_quiet.monitor"), 0);
  std::string why;
  const double m = MeasureRoundTripMs(2500, &why);
  std::system(("pactl set-default-source " + source + "; pactl unload-module " + module).c_str());
  EXPECT_TRUE(std::isnan(m));
  EXPECT_EQ(why, "No pulse came back from \"" + OutputDeviceName() + "\" to \"" + InputDeviceName() +
                     "\" within 2500 ms: connect the output to the input.");
}

}  // namespace
