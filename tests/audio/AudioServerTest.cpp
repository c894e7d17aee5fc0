// The streams on real devices: PortAudio through a PulseAudio null sink whose monitor is
// the default input (scripts/test.sh starts that server).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Messages.h"
#include "PrivatePulseServer.h"
#include "PulseFilter.h"
#include "PortAudioBackend.h"
#include "PulseDevice.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

class AudioServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PULSE_SERVER")) GTEST_SKIP() << "no test audio server (scripts/test.sh starts one)";
    std::string why;
    auto backend = CreatePortAudioBackend(&why);
    ASSERT_TRUE(backend) << why;
    SetAudioBackend(backend);
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

// Records the length of every block handed over while capturing.
class TCountingIn : public TWaveIn {
 public:
  std::vector<uint32_t> bytes;
  std::vector<int> numbers;

 protected:
  void HandleData() override {
    if (State() == Running) {
      bytes.push_back(CurrentHeader()->dwBytesRecorded);
      numbers.push_back(BufferNumber());
    }
    TWaveIn::HandleData();
  }
};

struct TTone {
  double amplitudeL, amplitudeR, hz;
  int64_t n = 0;
  void Fill(PWaveHdr h) {
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++n) {
      double s = std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / 44100);
      p[2 * i] = static_cast<int16_t>(std::nearbyint(amplitudeL * 32767 * s));
      p[2 * i + 1] = static_cast<int16_t>(std::nearbyint(amplitudeR * 32767 * s));
    }
  }
};

TEST_F(AudioServer, StreamsOpenRunAndCloseWithTheirEvents) {
  TWaveOut out;
  TWaveIn in;
  std::vector<std::string> log;
  int fills = 0, data = 0;
  out.SetOnOpen([&](QObject*) { log.push_back("out open"); });
  out.SetOnClose([&](QObject*) { log.push_back("out close"); });
  out.SetOnNeedData([&](PWaveHdr h) {
    std::memset(h->lpData, 0, h->dwBufferLength);
    ++fills;
  });
  in.SetOnOpen([&](QObject*) { log.push_back("in open"); });
  in.SetOnClose([&](QObject*) { log.push_back("in close"); });
  in.SetOnData([&](wavehdr_tag& h) {
    EXPECT_EQ(h.dwBytesRecorded, 4u * 4410u);
    ++data;
  });
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 1; }));
  EXPECT_EQ(in.State(), Opening);
  PumpFor(150);
  EXPECT_EQ(data, 0) << "nothing is recorded before Start";
  in.Start();
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return data >= 3 && fills >= 4; }, 10000));
  out.SetEnabled(false);
  in.SetEnabled(false);
  EXPECT_EQ(log, (std::vector<std::string>{"in open", "out open", "out close", "in close"}));
  EXPECT_EQ(out.State(), Closed);
  EXPECT_EQ(in.State(), Closed);
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

TEST_F(AudioServer, ToneLevelAndChannelsSurviveTheRoundTrip) {
  TWaveOut out;
  TWaveIn in;
  out.SetBufferSamples(4410);
  in.SetBufferSamples(8820);
  const double amplitude = std::pow(10.0, -6.0 / 20);
  TTone tone{amplitude, 0.0, 1000.0};  // left only
  out.SetOnNeedData([&](PWaveHdr h) { tone.Fill(h); });
  std::vector<int16_t> got;
  in.SetOnData([&](wavehdr_tag& h) {
    // skip the first blocks: the tone needs the round trip to arrive
    if (in.BufferNumber() == 8) got.assign(reinterpret_cast<int16_t*>(h.lpData), reinterpret_cast<int16_t*>(h.lpData) + 2 * 8820);
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }, 15000));
  out.SetEnabled(false);
  in.SetEnabled(false);

  double sl = 0, sr = 0;
  for (int i = 0; i < 8820; ++i) {
    sl += double(got[2 * i]) * got[2 * i];
    sr += double(got[2 * i + 1]) * got[2 * i + 1];
  }
  // 8820 frames hold exactly 200 periods of 1 kHz: the mean square of the played sine
  double expected = amplitude * 32767 * amplitude * 32767 / 2;
  double leveldB = 10 * std::log10(sl / 8820 / expected);
  EXPECT_NEAR(leveldB, 0.0, 0.1) << "left level off by " << leveldB << " dB";
  EXPECT_LT(sr / 8820, 1.0) << "the left-only tone leaked into the right channel";
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

TEST_F(AudioServer, TenSecondsWithoutLostOrShortBlocks) {
  using clock = std::chrono::steady_clock;
  TWaveOut out;
  TCountingIn in;
  out.SetBufferSamples(4096);
  in.SetBufferSamples(4096);
  TTone tone{0.25, 0.25, 440.0};
  std::vector<clock::time_point> doneAt, dataAt;
  out.SetOnNeedData([&](PWaveHdr h) { tone.Fill(h); });
  out.SetOnDone([&](QObject*) { doneAt.push_back(clock::now()); });
  in.SetOnData([&](wavehdr_tag&) { dataAt.push_back(clock::now()); });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  PumpFor(10000);
  out.SetEnabled(false);
  in.SetEnabled(false);

  ASSERT_GT(in.bytes.size(), 60u);
  for (size_t i = 0; i < in.bytes.size(); ++i) {
    EXPECT_EQ(in.bytes[i], 4u * 4096u) << "block " << i;
    EXPECT_EQ(in.numbers[i], static_cast<int>(i));
  }
  ASSERT_EQ(dataAt.size(), in.bytes.size());
  // Blocks must come and go at the sample rate: a dropped block would show as a missing 93 ms.
  // A busy machine delivers some blocks late and then in a burst, which only ever makes them
  // later than their schedule; so the rate runs between the earliest block (against the
  // schedule) of the first and of the last third, skipping the server's first four.
  auto rate = [&](const std::vector<clock::time_point>& t) {
    const auto lateness = [&](std::size_t i) { return Seconds(t[0], t[i]) - 4096.0 * i / 44100; };
    const auto earliest = [&](std::size_t from, std::size_t to) {
      std::size_t best = from;
      for (std::size_t i = from; i < to; ++i)
        if (lateness(i) < lateness(best)) best = i;
      return best;
    };
    const std::size_t third = (t.size() - 4) / 3;
    const std::size_t a = earliest(4, 4 + third), b = earliest(t.size() - third, t.size());
    return 4096.0 * static_cast<double>(b - a) / Seconds(t[a], t[b]);
  };
  ASSERT_GT(doneAt.size(), 60u);
  std::printf("played %zu blocks at %.1f frames/s, captured %zu at %.1f frames/s\n", doneAt.size(),
              rate(doneAt), dataAt.size(), rate(dataAt));
  EXPECT_NEAR(rate(doneAt), 44100.0, 0.006 * 44100);
  EXPECT_NEAR(rate(dataAt), 44100.0, 0.006 * 44100);
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

// Blocks that do not line up with the device's reads (the scope's 4410 frames), and a handler
// that now and then keeps its block longer than one block lasts but well within the device
// buffer: no frame may be lost between blocks, nor the device overrun.
TEST_F(AudioServer, AHandlerThatKeepsItsBlockAWhileLosesNoFrames) {
  constexpr uint32_t kFrames = 4410;
  TWaveOut out;
  TWaveIn in;
  out.SetBufferSamples(4096);
  in.SetBufferSamples(kFrames);
  TTone tone{0.25, 0.25, 440.0};
  std::vector<int64_t> starts;
  std::vector<uint32_t> overruns;
  out.SetOnNeedData([&](PWaveHdr h) { tone.Fill(h); });
  in.SetOnData([&](wavehdr_tag& h) {
    starts.push_back(h.deviceFrame);
    overruns.push_back(h.deviceOverruns);
    if (starts.size() % 4 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(150));
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  PumpFor(6000);
  out.SetEnabled(false);
  in.SetEnabled(false);

  // At most 60 blocks fit in 6 s; a slow start (a sanitizer build) leaves about 40.
  ASSERT_GE(starts.size(), 30u);
  EXPECT_EQ(starts[0], 0);
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_EQ(starts[i] - starts[i - 1], kFrames) << "block " << i;
  EXPECT_EQ(overruns.back(), 0u);
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

TEST_F(AudioServer, AnUnopenableDeviceRaisesPortAudiosErrorAndLaterOpenWorks) {
  auto working = CreatePortAudioBackend(nullptr);
  SetAudioBackend(CreatePortAudioBackendOn(9999, 9999));
  TWaveOut out;
  TWaveIn in;
  try {
    out.SetEnabled(true);
    FAIL() << "open should fail";
  } catch (const EWaveOutError& e) {
    EXPECT_STREQ(e.what(), "Error -9996 opening wave output - Invalid device. There is no device \"PortAudio device 9999\": "
                           "a device connected since is found by File > Sound devices ... while no sound runs.");
  }
  EXPECT_FALSE(out.Enabled());
  EXPECT_EQ(static_cast<int32_t>(out.Status()), -9996);
  try {
    in.SetEnabled(true);
    FAIL() << "open should fail";
  } catch (const EWaveInError& e) {
    EXPECT_STREQ(e.what(), "Error -9996 opening wave input - Invalid device. There is no device \"PortAudio device 9999\": "
                           "a device connected since is found by File > Sound devices ... while no sound runs.");
  }
  EXPECT_FALSE(in.Enabled());

  SetAudioBackend(working);
  int opens = 0;
  out.SetOnOpen([&](QObject*) { ++opens; });
  in.SetOnOpen([&](QObject*) { ++opens; });
  out.SetEnabled(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return opens == 2; }));
  out.SetEnabled(false);
  in.SetEnabled(false);
}

}  // namespace

// What a window watches of a stream: its events in order.
struct TEventLog {
  std::vector<std::string> events;
  template <class S>
  void Watch(S& s, const std::string& name) {
    s.SetOnOpen([this, name](QObject*) { events.push_back(name + " open"); });
    s.SetOnClose([this, name](QObject*) { events.push_back(name + " close"); });
  }
};

// Both streams running: a tone out, blocks counted in.
void StartDuplex(TWaveOut& out, TWaveIn& in, TTone& tone, int& data) {
  out.SetBufferSamples(4096);
  in.SetBufferSamples(4096);
  out.SetOnNeedData([&tone](PWaveHdr h) { tone.Fill(h); });
  in.SetOnData([&data](wavehdr_tag&) { ++data; });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
}

TEST_F(AudioServer, AServerThatDiesEndsBothStreamsWithOneMessageAndAStartLaterWorks) {
  TPrivateServer server;
  ASSERT_TRUE(server.Start());
  TWaveOut out;
  TWaveIn in;
  TEventLog log;
  log.Watch(out, "out");
  log.Watch(in, "in");
  TTone tone{0.25, 0.25, 440.0};
  int data = 0;
  StartDuplex(out, in, tone, data);
  ASSERT_TRUE(PumpUntil([&] { return data >= 5; }, 10000)) << recorder.Log();

  server.Kill();
  ASSERT_TRUE(PumpUntil([&] { return !out.Enabled() && !in.Enabled(); }, 10000)) << recorder.Log();
  PumpFor(500);  // nothing more may come
  EXPECT_EQ(out.State(), Closed);
  EXPECT_EQ(in.State(), Closed);
  // Either stream may notice first.
  std::sort(log.events.begin() + 2, log.events.end());
  EXPECT_EQ(log.events, (std::vector<std::string>{"in open", "out open", "in close", "out close"}));
  // One message naming both streams, the output's error first.
  ASSERT_TRUE(PumpUntil([&] { return !recorder.exceptions.empty(); }, 2000)) << recorder.Log();
  PumpFor(kFailureGatherMs + 100);
  ASSERT_EQ(recorder.exceptions.size(), 1u) << recorder.Log();
  const std::string& e = recorder.exceptions[0];
  const size_t output = e.find(" writing wave output - "), input = e.find(" reading wave input - ");
  EXPECT_EQ(e.rfind("Error ", 0), 0u) << e;
  EXPECT_LT(output, input) << e;
  EXPECT_NE(input, std::string::npos) << e;
  EXPECT_NE(e.find("\" and the sound input \""), std::string::npos) << e;
  EXPECT_NE(e.find(" have stopped: the audio server may have ended"), std::string::npos) << e;

  // With no server at all, the open says what to do about it.
  try {
    out.SetEnabled(true);
    FAIL() << "no server, yet the output opened";
  } catch (const EWaveOutError& e) {
    EXPECT_NE(std::string(e.what()).find("check that the audio server is running"), std::string::npos) << e.what();
  }

  ASSERT_TRUE(server.Start());
  log.events.clear();
  data = 0;
  in.SetEnabled(true);
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return data >= 5; }, 10000)) << recorder.Log();
  out.SetEnabled(false);
  in.SetEnabled(false);
  EXPECT_EQ(log.events, (std::vector<std::string>{"in open", "out open", "out close", "in close"}));
}

TEST_F(AudioServer, AFrozenServerIsReportedOnceRecoversAndNeverFreezesTheWindow) {
  TPrivateServer server;
  ASSERT_TRUE(server.Start());
  TWaveOut out;
  TWaveIn in;
  TTone tone{0.25, 0.25, 440.0};
  int data = 0;
  StartDuplex(out, in, tone, data);
  ASSERT_TRUE(PumpUntil([&] { return data >= 5; }, 10000)) << recorder.Log();

  server.Freeze(true);
  ASSERT_TRUE(PumpUntil([&] { return out.Stalled() && in.Stalled(); }, 15000)) << recorder.Log();
  PumpFor(1000);
  ASSERT_EQ(recorder.messages.size(), 2u) << recorder.Log();
  EXPECT_NE(recorder.messages[0].find("stopped"), std::string::npos);
  EXPECT_TRUE(out.Enabled() && in.Enabled()) << "a stall is not a failure";

  server.Freeze(false);
  const int before = data;
  ASSERT_TRUE(PumpUntil([&] { return data >= before + 5 && !out.Stalled() && !in.Stalled(); }, 15000))
      << recorder.Log();

  // Stopping while the server is frozen: bounded, and the streams end closed.
  server.Freeze(true);
  PumpFor(300);
  const auto t0 = std::chrono::steady_clock::now();
  out.SetEnabled(false);
  in.SetEnabled(false);
  const double seconds = Seconds(t0, std::chrono::steady_clock::now());
  EXPECT_LT(seconds, 4.0 * kDeviceCommandTimeoutMs / 1000.0) << "the window froze";
  EXPECT_EQ(out.State(), Closed);
  EXPECT_EQ(in.State(), Closed);
  server.Freeze(false);
  PumpFor(200);
  std::printf("stopping on a frozen server took %.2f s; messages:\n%s", seconds, recorder.Log().c_str());
}

namespace {

// A played frame F carries its number: left 1 + F % 30000, right 1 + F / 30000; never 0, which
// is what the null sink's monitor records while nothing plays.
struct TNumberedFrames {
  int64_t next = 0;
  void Fill(PWaveHdr h) {
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++next) {
      p[2 * i] = static_cast<int16_t>(1 + next % 30000);
      p[2 * i + 1] = static_cast<int16_t>(1 + next / 30000);
    }
  }
};

struct TRoundTrip {
  int64_t found = -1;      // capture frame of played frame 0, from the samples
  int64_t estimated = -1;  // the same from the blocks' clocks
  int64_t firstHeard = -1;  // the first played frame the capture holds
  int clientThreads = 0;   // threads of the server's client library while both streams ran
};

int PulseClientThreads() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "threaded-ml") ++n;
  }
  return n;
}

// The streams as the response plot runs them: the capture opens first and starts with the
// first block filled, both with blocks of the sweep's length.
TRoundTrip MeasureRoundTrip(int frames, int blocks) {
  TWaveOut out;
  TWaveIn in;
  out.SetBufferSamples(frames);
  in.SetBufferSamples(frames);
  TNumberedFrames pattern;
  out.SetOnNeedData([&](PWaveHdr h) {
    pattern.Fill(h);
    in.Start();
  });
  std::vector<int16_t> got;
  int64_t firstClock = -1;
  int count = 0;
  in.SetOnData([&](wavehdr_tag& h) {
    if (count++ == 0) firstClock = h.deviceClock;
    got.insert(got.end(), reinterpret_cast<int16_t*>(h.lpData), reinterpret_cast<int16_t*>(h.lpData) + h.dwBytesRecorded / 2);
  });
  in.SetEnabled(true);
  out.SetEnabled(true);
  PumpUntil([&] { return count >= blocks; }, 20000);
  const int64_t playedClock = out.FirstBlockClock();
  TRoundTrip r;
  r.clientThreads = PulseClientThreads();
  out.SetEnabled(false);
  in.SetEnabled(false);
  if (playedClock >= 0 && firstClock >= 0) r.estimated = playedClock - firstClock;
  const int64_t captured = static_cast<int64_t>(got.size() / 2);
  for (int64_t i = 0; i < captured; ++i) {
    if (got[2 * i] == 0 && got[2 * i + 1] == 0) continue;
    const int64_t f = (got[2 * i + 1] - 1) * 30000 + (got[2 * i] - 1);
    r.firstHeard = f;
    r.found = i - f;
    // every later frame must follow on, or the position means nothing
    for (int64_t j = i; j < captured; ++j)
      if ((got[2 * j + 1] - 1) * 30000 + (got[2 * j] - 1) != j - r.found) {
        ADD_FAILURE() << "capture frame " << j << " is not played frame " << j - r.found;
        break;
      }
    break;
  }
  return r;
}

}  // namespace

// Played frame 0 comes back where the first played block's clock less the first captured block's
// says. On this server that is before the capture's first frame (the capture starts 0.1 to 0.5 s
// after the sweep), and the clocks must still place it, to well within a block: once the server
// has run a while they agree to a millisecond, but the first capture on a new server reads its
// clock up to 40 ms late, the server handing its first frames over in bursts. Both ways to the
// server: its own library, one client thread for both streams, and ALSA's plug-in, one each.
TEST_F(AudioServer, TheBlocksClocksTellWhereThePlayedFramesComeBack) {
  for (const auto [way, threads] : {std::pair{"direct", 1}, std::pair{"alsa", 2}}) {
    setenv("QUORVANE_PULSE", way, 1);
    for (const auto [frames, blocks] : {std::pair{57330, 4}, std::pair{11025, 12}}) {  // fast, slow sweep
      const TRoundTrip r = MeasureRoundTrip(frames, blocks);
      ASSERT_GE(r.firstHeard, 0) << way << ", " << frames << "-frame blocks: no played frame came back";
      ASSERT_NE(r.estimated, -1) << way << ", " << frames << "-frame blocks: a block without a clock";
      std::printf("%s, %d-frame blocks: played frame 0 at capture frame %lld (%.1f ms), by the clocks %lld (%.1f ms off)\n",
                  way, frames, static_cast<long long>(r.found), r.found / 44.1, static_cast<long long>(r.estimated),
                  (r.estimated - r.found) / 44.1);
      EXPECT_NEAR(r.estimated, r.found, 0.1 * kSampleRate) << way << ", " << frames << "-frame blocks";
      EXPECT_EQ(r.clientThreads, threads) << way << ", " << frames << "-frame blocks";
    }
  }
  unsetenv("QUORVANE_PULSE");
}

// Which ALSA devices are the server's plug-in, and so go to the server directly: the test
// machine's configuration routes "default" there.
TEST_F(AudioServer, TheAlsaDevicesThatArePulseAudiosGoThereDirectly) {
  const struct {
    const char* pcm;
    const char* way;
    bool direct;
  } cases[] = {{"pulse", "", true},       {"default", "", true},     {"null", "", false},
               {"hw:0,0", "", false},     {"no such device", "", false}, {"pulse", "direct", true},
               {"pulse", "alsa", false},  {"default", "alsa", false}};
  for (const auto& c : cases) {
    setenv("QUORVANE_PULSE", c.way, 1);
    EXPECT_EQ(AlsaPcmLeadsToPulse(c.pcm), c.direct) << c.pcm << " with QUORVANE_PULSE=" << c.way;
  }
  unsetenv("QUORVANE_PULSE");
}

// The filter goes into the server's path and out again, and the outside tools read the plug-in's
// own response there: the ground truth that measurements on the server are held to.
TEST_F(AudioServer, AFilterInTheServersPathIsWhatTheOutsideToolsMeasure) {
  struct TCase {
    std::string kind;  // "none" takes the filter out
    double cutoff;
    std::vector<double> hz;
  };
  const TCase cases[] = {
      {"lpf", 1400, {100, 1400, 5000, 15000}},
      {"hpf", 700, {100, 700, 5000}},
      {"none", 0, {100, 15000}},
  };
  TPulseFilter filter;
  for (const TCase& c : cases) {
    ASSERT_TRUE(c.kind == "none" ? filter.Remove() : filter.Insert(c.kind, c.cutoff)) << c.kind;
    const auto gains = TPulseFilter::Gains(c.hz);
    ASSERT_EQ(gains.size(), c.hz.size()) << c.kind << ": the outside tools failed";
    for (const auto& g : gains) {
      const double expected = c.kind == "none" ? 0.0 : TPulseFilter::ExpectedGaindB(c.kind, c.cutoff, g.hz);
      EXPECT_NEAR(g.left, expected, 0.01) << c.kind << " " << c.cutoff << " Hz, left at " << g.hz << " Hz";
      EXPECT_NEAR(g.right, expected, 0.01) << c.kind << " " << c.cutoff << " Hz, right at " << g.hz << " Hz";
    }
  }
}
