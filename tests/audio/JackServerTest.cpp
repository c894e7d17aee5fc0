// The streams on a JACK server of the test's own (jackd's dummy driver): it is listed once the
// devices are read again, our own client carries a tone through it with clocks that place the
// played frames in the capture, and the streams end cleanly when it dies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "Messages.h"
#include "PrivateJackServer.h"
#include "SoundDevices.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

const std::string kJack = "JACK Audio Connection Kit";
const std::string kSystem = DeviceKey(kJack, "system");

class JackServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TPrivateJackServer::Installed()) GTEST_SKIP() << "jackd is not installed (Debian package jackd2)";
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    UseDeviceChoice({});
    if (server.Running()) {
      // PortAudio lets go of the server while it runs (ending PortAudio on a dead JACK server is
      // not possible), and starts again where there is none.
      server.PointElsewhere();
      std::string why;
      EXPECT_TRUE(RescanSoundDevices(&why)) << why;
    }
    server.Kill();
    SetAudioBackend(nullptr);
  }
  // PortAudio started afresh: the JACK server's devices.
  std::vector<TSoundDevice> JackDevices() {
    std::string why;
    EXPECT_TRUE(RescanSoundDevices(&why)) << why;
    std::vector<TSoundDevice> jack;
    for (const TSoundDevice& d : ListSoundDevices(&why))
      if (d.hostApi == kJack) jack.push_back(d);
    return jack;
  }
  TPrivateJackServer server;
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

// What was played: frame n of a cosine on each side (different frequencies and levels).
struct TTwoCosines {
  static constexpr double kLeftHz = 1000, kRightHz = 441, kLeft = 0.5, kRight = 0.25;
  static int16_t Sample(int64_t n, bool right) {
    const double hz = right ? kRightHz : kLeftHz, a = right ? kRight : kLeft;
    return static_cast<int16_t>(std::nearbyint(a * 32767 * std::cos(2 * std::numbers::pi * hz * n / 44100)));
  }
  int64_t next = 0;
  void Fill(PWaveHdr h) {
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++next) {
      p[2 * i] = Sample(next, false);
      p[2 * i + 1] = Sample(next, true);
    }
  }
};

TEST_F(JackServer, ADeviceThatCannotTakeTheFormatIsNamed) {
  ASSERT_TRUE(server.Start(48000, 1));
  const auto jack = JackDevices();
  ASSERT_EQ(jack.size(), 1u);
  EXPECT_EQ(jack[0].maxOutputChannels, 1);
  EXPECT_EQ(jack[0].maxInputChannels, 1);
  ASSERT_EQ(UseDeviceChoice({kSystem, kSystem, TLatency::Normal}), "");
  const std::string advice = ". The device \"JACK Audio Connection Kit: system\" does not take 16-bit stereo at 44100 Hz.";
  TWaveOut out;
  TWaveIn in;
  try {
    out.SetEnabled(true);
    ADD_FAILURE() << "a mono 48000 Hz device opened";
  } catch (const EWaveOutError& e) {
    EXPECT_EQ(std::string(e.what()), "Error -9998 opening wave output - Invalid number of channels" + advice);
  }
  try {
    in.SetEnabled(true);
    ADD_FAILURE() << "a mono 48000 Hz device opened";
  } catch (const EWaveInError& e) {
    EXPECT_EQ(std::string(e.what()), "Error -9998 opening wave input - Invalid number of channels" + advice);
  }
  EXPECT_FALSE(out.Enabled() || in.Enabled());
}

TEST_F(JackServer, AToneGoesRoundAndTheServersEndEndsBothStreams) {
  std::string why;
  for (const TSoundDevice& d : ListSoundDevices(&why)) EXPECT_NE(d.hostApi, kJack) << "JACK before it started";
  ASSERT_TRUE(server.Start());
  for (const TSoundDevice& d : ListSoundDevices(&why)) EXPECT_NE(d.hostApi, kJack) << "JACK before a new start";
  const auto jack = JackDevices();
  ASSERT_EQ(jack.size(), 1u);
  EXPECT_EQ(jack[0].name, "system");
  EXPECT_EQ(jack[0].maxOutputChannels, 2);
  EXPECT_EQ(jack[0].maxInputChannels, 2);
  ASSERT_EQ(UseDeviceChoice({kSystem, kSystem, TLatency::Normal}), "");
  EXPECT_EQ(OutputDeviceName(), kSystem);

  TWaveOut out;
  TWaveIn in;
  out.SetBufferSamples(LatencyPlan(TLatency::Normal).toneBlockFrames);
  in.SetBufferSamples(8820);
  TTwoCosines tone;
  out.SetOnNeedData([&](PWaveHdr h) { tone.Fill(h); });
  std::vector<std::vector<int16_t>> blocks;
  std::vector<int64_t> clocks;
  in.SetOnData([&](wavehdr_tag& h) {
    clocks.push_back(h.deviceClock);
    blocks.emplace_back(reinterpret_cast<int16_t*>(h.lpData), reinterpret_cast<int16_t*>(h.lpData) + h.dwBytesRecorded / 2);
  });
  std::vector<std::string> events;
  out.SetOnClose([&](QObject*) { events.push_back("out close"); });
  in.SetOnClose([&](QObject*) { events.push_back("in close"); });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  // Our outputs into our inputs, beside the silent dummy capture the input records. The ports are
  // our own client's: PortAudio has none there.
  const auto outs = TPrivateJackServer::Ports(":out_"), ins = TPrivateJackServer::Ports(":in_");
  ASSERT_EQ(outs, (std::vector<std::string>{"Quorvane:out_1", "Quorvane:out_2"}));
  ASSERT_EQ(ins, (std::vector<std::string>{"Quorvane:in_1", "Quorvane:in_2"}));
  EXPECT_TRUE(TPrivateJackServer::Ports("PortAudio").empty());
  for (int c = 0; c < 2; ++c) ASSERT_TRUE(TPrivateJackServer::Connect(outs[c], ins[c])) << outs[c];
  const size_t connectedAt = blocks.size();
  ASSERT_TRUE(PumpUntil([&] { return blocks.size() >= connectedAt + 4; }, 10000)) << recorder.Log();

  // The last block is the played cosines, sample for sample, at some delay.
  const std::vector<int16_t>& got = blocks.back();
  ASSERT_EQ(got.size(), 2u * 8820);
  int64_t best = -1;
  int bestError = 1 << 30;
  for (int64_t d = 0; d < 44100; ++d) {  // the left cosine repeats every 44.1 frames; the right every 100
    int error = 0;
    for (int i = 0; i < 200 && error < bestError; ++i)
      error += std::abs(got[2 * i] - TTwoCosines::Sample(d + i, false)) + std::abs(got[2 * i + 1] - TTwoCosines::Sample(d + i, true));
    if (error < bestError) bestError = error, best = d;
  }
  int worst = 0;
  double playedL = 0, playedR = 0, gotL = 0, gotR = 0;
  for (int i = 0; i < 8820; ++i) {
    const int16_t l = TTwoCosines::Sample(best + i, false), r = TTwoCosines::Sample(best + i, true);
    worst = std::max({worst, std::abs(got[2 * i] - l), std::abs(got[2 * i + 1] - r)});
    playedL += double(l) * l, playedR += double(r) * r;
    gotL += double(got[2 * i]) * got[2 * i], gotR += double(got[2 * i + 1]) * got[2 * i + 1];
  }
  EXPECT_EQ(worst, 0) << "captured frame 0 is played frame " << best;
  EXPECT_EQ(gotL, playedL);
  EXPECT_EQ(gotR, playedR);
  // The clocks say the same: the captured block's first frame left the output `best` frames after
  // played frame 0, to 0.2 ms (the period starts' clock is refined as the streams run).
  ASSERT_GE(out.FirstBlockClock(), 0);
  EXPECT_NEAR(static_cast<double>(clocks.back() - out.FirstBlockClock()), static_cast<double>(best), 0.0002 * 44100);

  // Closed and opened again while the server runs.
  out.SetEnabled(false);
  in.SetEnabled(false);
  EXPECT_EQ(events, (std::vector<std::string>{"out close", "in close"}));
  events.clear();
  const size_t before = blocks.size();
  in.SetEnabled(true);
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return blocks.size() >= before + 2; }, 10000)) << recorder.Log();

  // The server dies: both streams end closed by themselves, with one message naming both, as
  // on PulseAudio.
  server.Kill();
  ASSERT_TRUE(PumpUntil([&] { return !out.Enabled() && !in.Enabled(); }, 10000)) << recorder.Log();
  EXPECT_EQ(out.State(), Closed);
  EXPECT_EQ(in.State(), Closed);
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, (std::vector<std::string>{"in close", "out close"}));
  PumpFor(kFailureGatherMs + 100);
  ASSERT_EQ(recorder.exceptions.size(), 1u) << recorder.Log();
  EXPECT_EQ(recorder.exceptions[0],
            "Error -9985 writing wave output - Device unavailable.\rError -9985 reading wave input - Device "
            "unavailable.\rThe sound output \"JACK Audio Connection Kit: system\" and the sound input \"JACK Audio "
            "Connection Kit: system\" have stopped: the audio server may have ended or the devices been "
            "disconnected. Start again once it is back.");
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();

  // A kept choice of the ended server opens nothing: the devices read again no longer hold it,
  // and the choice falls back to the default devices (or the simulated card, without a sound
  // server), saying so.
  ASSERT_TRUE(RescanSoundDevices(&why)) << why;
  for (const TSoundDevice& d : ListSoundDevices(&why)) EXPECT_NE(d.hostApi, kJack) << "JACK after its end";
  const std::string fell = UseDeviceChoice({kSystem, kSystem, TLatency::Normal});
  EXPECT_EQ(fell.rfind("The sound output \"JACK Audio Connection Kit: system\" and the sound input \"JACK Audio "
                       "Connection Kit: system\" are not connected; ", 0), 0u) << fell;
  EXPECT_NE(OutputDeviceName(), kSystem);
}

}  // namespace
