// Playback and capture streams on the simulated card (accelerated) and on a scripted
// device that lets a test hand blocks back by hand.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "SoundDevices.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
    SetAudioBackend(backend);
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);  // let stale notifications of destroyed streams drain
    SetAudioBackend(nullptr);
  }
  TSimulatedCard& Card() { return backend->Card(); }

  std::shared_ptr<TSimulatedBackend> backend;
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

// ---- playback ---------------------------------------------------------------

TEST_F(StreamTest, PlaybackDefaultsAndEventOrderOnLengthChange) {
  TWaveOut out;
  EXPECT_EQ(out.BufferSamples(), 8820);
  EXPECT_EQ(out.SampleRate(), 44100);
  EXPECT_FALSE(out.Enabled());
  EXPECT_EQ(out.State(), Closed);

  std::vector<std::string> log;
  std::vector<uint32_t> lengths;
  out.SetOnOpen([&](QObject* s) {
    EXPECT_EQ(s, &out);
    log.push_back("open");
  });
  out.SetOnClose([&](QObject*) { log.push_back("close"); });
  out.SetOnNeedData([&](PWaveHdr h) {
    lengths.push_back(h->dwBufferLength);
    std::memset(h->lpData, 0, h->dwBufferLength);
  });
  EXPECT_TRUE(log.empty()) << "assigning events on a closed stream fires nothing";

  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return lengths.size() >= 4; }));
  EXPECT_EQ(log, (std::vector<std::string>{"open"}));
  EXPECT_EQ(out.State(), Running);

  out.SetEnabled(true);  // same value: nothing happens
  out.SetBufferSamples(8820);
  EXPECT_EQ(log.size(), 1u);

  lengths.clear();
  out.SetBufferSamples(4410);
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close"}));
  ASSERT_TRUE(PumpUntil([&] { return lengths.size() >= 4; }));
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close", "open"}));
  for (uint32_t l : lengths) EXPECT_EQ(l, 4u * 4410u);
  EXPECT_TRUE(out.Enabled());

  // assigning an event while playing restarts the device; OnDone follows each refill
  out.SetOnDone([&](QObject*) {
    EXPECT_TRUE(out.Enabled());
    if (log.back() != "done") log.push_back("done");
  });
  EXPECT_EQ(log.back(), "close");
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 6; }));
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close", "open", "close", "open", "done"}));

  out.SetEnabled(false);
  EXPECT_EQ(log.back(), "close");
  EXPECT_EQ(out.State(), Closed);
  PumpFor(50);
  EXPECT_EQ(log.back(), "close") << "nothing after the close";
}

TEST_F(StreamTest, NoFillAfterEnabledIsCleared) {
  TWaveOut out;
  out.SetBufferSamples(1024);
  int fills = 0;
  out.SetOnNeedData([&](PWaveHdr) { ++fills; });
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 10; }));
  out.SetEnabled(false);
  int atStop = fills;
  PumpFor(100);  // the reset's returned blocks arrive now and must be ignored
  EXPECT_EQ(fills, atStop);
}

TEST_F(StreamTest, FailedOpenThenSecondAttemptOpens) {
  TWaveOut out;
  int opens = 0;
  out.SetOnOpen([&](QObject*) { ++opens; });
  Card().RefuseNextOutputOpen(4, "Device held by another test");
  try {
    out.SetEnabled(true);
    FAIL() << "open should have failed";
  } catch (const EWaveOutError& e) {
    EXPECT_STREQ(e.what(), "Error 4 opening wave output - Device held by another test");
  }
  EXPECT_FALSE(out.Enabled());
  EXPECT_EQ(out.Status(), 4u);
  PumpFor(30);
  EXPECT_EQ(opens, 0);

  out.SetEnabled(true);
  EXPECT_EQ(out.Status(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return opens == 1; }));

  TWaveIn in;
  Card().RefuseNextInputOpen(2, "No such input");
  EXPECT_THROW(
      {
        try {
          in.SetEnabled(true);
        } catch (const EWaveInError& e) {
          EXPECT_STREQ(e.what(), "Error 2 opening wave input - No such input");
          throw;
        }
      },
      EWaveInError);
  EXPECT_FALSE(in.Enabled());
  in.SetEnabled(true);
  EXPECT_TRUE(in.Enabled());
}

TEST_F(StreamTest, FillExceptionIsReportedOnceAndPlaybackGoesOn) {
  TWaveOut out;
  out.SetBufferSamples(512);
  int fills = 0;
  out.SetOnNeedData([&](PWaveHdr h) {
    std::memset(h->lpData, 0x11, h->dwBufferLength);
    if (++fills == 3) throw std::runtime_error("fill failed");
  });
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 40; }));
  ASSERT_EQ(recorder.exceptions.size(), 1u);
  EXPECT_EQ(recorder.exceptions[0], "fill failed");
  EXPECT_EQ(out.State(), Running);
}

// ---- bad block lengths ------------------------------------------------------

TEST_F(StreamTest, InvalidBlockLengthRefusesToPlayUntilFixed) {
  TWaveOut out;
  int fills = 0;
  out.SetOnNeedData([&](PWaveHdr) { ++fills; });
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 2; }));

  for (int bad : {0, -5, INT_MAX}) {
    recorder.messages.clear();
    out.SetBufferSamples(bad);
    ASSERT_EQ(recorder.messages.size(), 1u) << bad;
    EXPECT_EQ(recorder.messages[0], "Failed to get memory for output buffers");
    EXPECT_FALSE(out.Enabled());
    EXPECT_EQ(out.State(), Closed);
    try {
      out.SetEnabled(true);
      FAIL() << "a stream without buffers must not open";
    } catch (const EWaveOutError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Error 7 opening wave output - ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(out.Enabled());
  }
  int before = fills;
  PumpFor(30);
  EXPECT_EQ(fills, before);

  out.SetBufferSamples(2048);
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= before + 4; }));

  TWaveIn in;
  in.SetBufferSamples(-1);
  EXPECT_EQ(recorder.messages.back(), "Failed to get memory for input buffers");
  EXPECT_THROW(in.SetEnabled(true), EWaveInError);
  EXPECT_FALSE(in.Enabled());
  std::vector<char> data(4096);
  EXPECT_THROW(in.ReplaySamples(data.data(), 4096), EWaveInError);
}

// ---- capture ----------------------------------------------------------------

TEST_F(StreamTest, CaptureWaitsForStartUnlessAutoStart) {
  TWaveIn in;
  EXPECT_EQ(in.BufferSamples(), 4410);
  std::vector<std::string> log;
  int data = 0;
  in.SetOnOpen([&](QObject*) { log.push_back("open"); });
  in.SetOnClose([&](QObject*) { log.push_back("close"); });
  in.SetOnData([&](wavehdr_tag& h) {
    EXPECT_EQ(h.dwBytesRecorded, 4u * 4410u);
    EXPECT_EQ(h.dwUser, 0u);
    ++data;
  });
  in.Start();  // closed: nothing to start
  EXPECT_EQ(in.State(), Closed);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 1; }));
  EXPECT_EQ(in.State(), Opening);
  PumpFor(50);
  EXPECT_EQ(data, 0) << "no data before Start";

  in.Start();
  EXPECT_EQ(in.State(), Running);
  in.Start();  // running: no second start
  EXPECT_EQ(in.State(), Running);
  ASSERT_TRUE(PumpUntil([&] { return data >= 3; }));

  // A new length while capturing: close, open, numbering restarts; capture waits again.
  in.SetBufferSamples(2205);
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close"}));
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
  EXPECT_EQ(in.BufferNumber(), 0);
  EXPECT_EQ(in.State(), Opening);

  // AutoStart set: always stops capture and leaves Enabled false.
  in.SetAutoStart(true);
  EXPECT_FALSE(in.Enabled());
  EXPECT_EQ(log.back(), "close");

  int before = data;
  in.SetOnData([&](wavehdr_tag&) { ++data; });
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return data >= before + 3; })) << "AutoStart starts on open";
  EXPECT_EQ(in.State(), Running);
}

TEST_F(StreamTest, StartBeforeOpenNotificationStillStartsCapture) {
  TWaveIn in;
  int data = 0;
  in.SetOnData([&](wavehdr_tag&) { ++data; });
  in.SetEnabled(true);
  in.Start();  // the open notification has not been handled yet
  ASSERT_TRUE(PumpUntil([&] { return data >= 2; }));
  EXPECT_EQ(in.State(), Running);
}

TEST_F(StreamTest, DataExceptionIsReportedOnceAndCaptureGoesOn) {
  TWaveIn in;
  in.SetBufferSamples(1024);
  std::vector<int> numbers;
  in.SetOnData([&](wavehdr_tag&) {
    numbers.push_back(in.BufferNumber());
    if (numbers.size() == 2) throw std::runtime_error("analysis failed");
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return numbers.size() >= 20; }));
  ASSERT_EQ(recorder.exceptions.size(), 1u);
  EXPECT_EQ(recorder.exceptions[0], "analysis failed");
  for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<int>(i));
}

TEST_F(StreamTest, ReplayOfTwoAndAHalfBlocks) {
  TWaveIn in;
  in.SetBufferSamples(100);
  std::vector<int16_t> samples(2 * 250);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i);
  struct TSeen {
    int number;
    uint32_t bytes, user;
    int16_t first;
  };
  std::vector<TSeen> seen;
  int closes = 0;
  in.SetOnClose([&](QObject*) { ++closes; });
  in.SetOnData([&](wavehdr_tag& h) {
    seen.push_back({in.BufferNumber(), h.dwBytesRecorded, h.dwUser, reinterpret_cast<int16_t*>(h.lpData)[0]});
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
  ASSERT_EQ(in.State(), Running);

  seen.clear();
  in.ReplaySamples(reinterpret_cast<char*>(samples.data()), 1000);
  EXPECT_EQ(closes, 1) << "an open device is closed first";
  EXPECT_FALSE(in.Enabled());
  EXPECT_EQ(in.BufferCount(), 2);
  ASSERT_EQ(seen.size(), 2u) << "the half block is ignored";
  EXPECT_EQ(seen[0].number, 0);
  EXPECT_EQ(seen[1].number, 1);
  for (const auto& s : seen) {
    EXPECT_EQ(s.bytes, 400u);
    EXPECT_EQ(s.user, FileBlockMarker);
  }
  EXPECT_EQ(seen[0].first, 0);
  EXPECT_EQ(seen[1].first, 200);
  EXPECT_EQ(in.State(), Closed);

  PumpFor(50);
  EXPECT_EQ(seen.size(), 2u) << "capture does not resume by itself";
}

// ---- full duplex through the card ------------------------------------------

int16_t Pattern(int64_t n, int channel) {
  // a sequence that never repeats within the test, so a lost or doubled block shows
  return static_cast<int16_t>(((n * 7919 + channel * 104729) % 40000) - 20000);
}

TEST_F(StreamTest, FullDuplexPatternComesBackAtTheCardLatency) {
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  TWaveIn in;
  TWaveOut out;
  in.SetBufferSamples(4410);
  out.SetBufferSamples(8820);

  std::vector<int16_t> captured;
  std::vector<int> numbers;
  in.SetOnData([&](wavehdr_tag& h) {
    numbers.push_back(in.BufferNumber());
    auto* p = reinterpret_cast<int16_t*>(h.lpData);
    captured.insert(captured.end(), p, p + h.dwBytesRecorded / 2);
  });
  int64_t played = 0;
  out.SetOnNeedData([&](PWaveHdr h) {
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++played) {
      p[2 * i] = Pattern(played, 0);
      p[2 * i + 1] = Pattern(played, 1);
    }
    in.Start();  // capture begins with the first block, as a generator does
  });
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return in.State() == Opening && in.Enabled(); }));
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return numbers.size() >= 100; }, 20000));
  out.SetEnabled(false);
  in.SetEnabled(false);

  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(numbers[i], static_cast<int>(i));
  const int64_t delay = Card().CurrentDelayFrames();
  ASSERT_GE(delay, Card().RoundTrip());
  ASSERT_LE(delay, Card().RoundTrip() + Card().Jitter());
  int64_t lag = Card().LastOutputStartFrame() - Card().LastInputStartFrame() + delay;
  ASSERT_GE(lag, delay);
  const int64_t frames = 100 * 4410;
  int64_t mismatches = 0;
  for (int64_t k = 0; k < frames; ++k) {
    int16_t l = captured[2 * k], r = captured[2 * k + 1];
    if (k < lag) {  // before the pattern arrives: silence plus the offsets
      mismatches += (l != -3);
      continue;
    }
    mismatches += (l != Pattern(k - lag, 0) - 3);
    (void)r;
  }
  EXPECT_EQ(mismatches, 0) << "lag " << lag;
}

// The real-time card moves many frames per wakeup; what it records must be what the accelerated
// one records, frame for frame: the left wire's pattern plus offset and hum exactly, and with
// noise on, the same noise at the same card frames.
TEST_F(StreamTest, TheRealTimeCardRecordsWhatTheAcceleratedOneDoes) {
  constexpr int kBlocks = 12;
  constexpr int kIn = 4410, kOut = 16384;  // boundaries that do not line up
  std::vector<int16_t> idle[2];
  for (TCardPace pace : {TCardPace::Accelerated, TCardPace::Realtime}) {
    const bool realtime = pace == TCardPace::Realtime;
    SCOPED_TRACE(realtime ? "real time" : "accelerated");
    backend = std::make_shared<TSimulatedBackend>(pace, 7);
    SetAudioBackend(backend);

    // Idle input from card frame 0: offsets, hum and noise.
    {
      TWaveIn in;
      in.SetBufferSamples(kIn);
      std::vector<int16_t>& got = idle[realtime];
      in.SetOnData([&](wavehdr_tag& h) {
        auto* p = reinterpret_cast<int16_t*>(h.lpData);
        if (got.size() < 2u * kIn * kBlocks) got.insert(got.end(), p, p + h.dwBytesRecorded / 2);
      });
      in.SetAutoStart(true);
      in.SetEnabled(true);
      const auto started = std::chrono::steady_clock::now();
      ASSERT_TRUE(PumpUntil([&] { return got.size() >= 2u * kIn * kBlocks; }, 20000));
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      in.SetEnabled(false);
      ASSERT_EQ(Card().LastInputStartFrame(), 0);
      // Never ahead of the wall clock: that is what real time means.
      if (realtime) {
        EXPECT_GE(seconds, 0.95 * kBlocks * kIn / 44100.0);
      }
    }

    // A pattern played through the left wire, without noise.
    Card().SetNoiseRms(0);
    TWaveIn in;
    TWaveOut out;
    in.SetBufferSamples(kIn);
    out.SetBufferSamples(kOut);
    std::vector<int16_t> captured;
    in.SetOnData([&](wavehdr_tag& h) {
      auto* p = reinterpret_cast<int16_t*>(h.lpData);
      captured.insert(captured.end(), p, p + h.dwBytesRecorded / 2);
    });
    int64_t played = 0;
    out.SetOnNeedData([&](PWaveHdr h) {
      auto* p = reinterpret_cast<int16_t*>(h->lpData);
      for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++played) {
        p[2 * i] = static_cast<int16_t>(Pattern(played, 0) / 2);
        p[2 * i + 1] = 0;
      }
      in.Start();
    });
    in.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return in.State() == Opening && in.Enabled(); }));
    out.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return captured.size() >= 2u * kIn * kBlocks; }, 20000));
    out.SetEnabled(false);
    in.SetEnabled(false);
    const int64_t inStart = Card().LastInputStartFrame(), outStart = Card().LastOutputStartFrame();
    const int64_t delay = Card().CurrentDelayFrames();
    ASSERT_GE(inStart, 0);
    ASSERT_GE(outStart, 0);
    int64_t mismatches = 0, patterned = 0;
    for (int64_t k = 0; k < int64_t{kIn} * kBlocks; ++k) {
      const int64_t t = inStart + k, n = t - outStart - delay;
      const double wire = n >= 0 ? Pattern(n, 0) / 2 : 0;
      patterned += n >= 0;
      mismatches += captured[2 * k] != std::nearbyint(wire + TSimulatedCard::kLeftOffset + TSimulatedCard::HumAt(t));
    }
    EXPECT_GT(patterned, int64_t{kIn} * (kBlocks - 2) - delay);
    EXPECT_EQ(mismatches, 0);
  }
  EXPECT_TRUE(idle[0] == idle[1]) << "the noise differs between the paces";
}

// The block log a soak run reads: on the real-time card, a handler that keeps its block too
// long makes the card drop frames, and the log's gaps must add up to exactly those (the
// last drop well before the end, so that a block follows it).
TEST_F(StreamTest, TheBlockLogAccountsForEveryFrameTheCardDropped) {
  constexpr int kIn = 4410, kBlocks = 16;
  backend = std::make_shared<TSimulatedBackend>(TCardPace::Realtime, 7);
  SetAudioBackend(backend);
  QTemporaryDir dir;
  const std::string path = dir.filePath("blocks").toStdString();
  {
    ASSERT_EQ(setenv("QUORVANE_BLOCK_LOG", path.c_str(), 1), 0);
    TWaveIn in;
    unsetenv("QUORVANE_BLOCK_LOG");
    in.SetBufferSamples(kIn);
    int blocks = 0;
    in.SetOnData([&](wavehdr_tag&) {
      if (++blocks == 5 || blocks == 10) std::this_thread::sleep_for(std::chrono::milliseconds(600));
    });
    in.SetAutoStart(true);
    in.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return blocks >= kBlocks; }, 20000));
    in.SetEnabled(false);
  }
  std::ifstream log(path);
  std::string line, word;
  int opens = 0, blocks = 0, repeated = 0;
  int64_t first = -1, next = -1, lost = 0;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    long long ms = 0;
    unsigned generation = 0;
    fields >> ms >> generation >> word;
    if (word == "open") {
      ++opens;
      continue;
    }
    const int64_t frame = std::stoll(word);
    unsigned frames = 0, overruns = 0;
    fields >> frames >> overruns;
    // only the block that Stop cut short may be shorter
    EXPECT_TRUE(frames == unsigned{kIn} || log.peek() == EOF) << line;
    EXPECT_EQ(overruns, 0u) << line;
    if (first < 0) first = frame;
    if (next >= 0) {
      if (frame > next) lost += frame - next;
      if (frame < next) ++repeated;
    }
    next = frame + frames;
    ++blocks;
  }
  EXPECT_EQ(opens, 1);
  EXPECT_GE(blocks, kBlocks);
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(first, Card().LastInputStartFrame());
  EXPECT_GT(Card().DroppedInputFrames(), 0);
  EXPECT_EQ(lost, Card().DroppedInputFrames());
}

TEST_F(StreamTest, CardIdleSignalAndRightChannelModel) {
  TWaveIn in;
  in.SetBufferSamples(44100);
  std::vector<int16_t> block;
  in.SetOnData([&](wavehdr_tag& h) {
    if (block.empty()) block.assign(reinterpret_cast<int16_t*>(h.lpData), reinterpret_cast<int16_t*>(h.lpData) + 2 * 44100);
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return !block.empty(); }));
  in.SetEnabled(false);
  double meanL = 0, meanR = 0, msL = 0;
  for (int i = 0; i < 44100; ++i) {
    meanL += block[2 * i];
    meanR += block[2 * i + 1];
  }
  meanL /= 44100;
  meanR /= 44100;
  for (int i = 0; i < 44100; ++i) msL += (block[2 * i] - meanL) * (block[2 * i] - meanL);
  msL /= 44100;
  EXPECT_NEAR(meanL, -3.0, 0.05);
  EXPECT_NEAR(meanR, 2.0, 0.05);
  // hum (-80 dB) plus the noise floor, both relative to a full-scale sine
  double expected = TSimulatedCard::kHumAmplitude * TSimulatedCard::kHumAmplitude / 2 +
                    TSimulatedCard::kNoiseRms * TSimulatedCard::kNoiseRms + 1.0 / 12;
  EXPECT_NEAR(10 * std::log10(msL / expected), 0.0, 0.5);

  // Model ground truth: unity at the presence peak's neighbourhood is not assumed; the
  // response is what the filters say, and the stream measures it.
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  for (double f : {100.0, 1000.0, 3000.0, 15000.0}) {
    TWaveOut out;
    TWaveIn cap;
    out.SetBufferSamples(8820);
    cap.SetBufferSamples(8820);
    int64_t n = 0;
    out.SetOnNeedData([&](PWaveHdr h) {
      auto* p = reinterpret_cast<int16_t*>(h->lpData);
      for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++n) {
        auto v = static_cast<int16_t>(std::nearbyint(16000 * std::sin(2 * std::numbers::pi * f * n / 44100)));
        p[2 * i] = v;
        p[2 * i + 1] = v;
      }
    });
    std::vector<int16_t> got;
    cap.SetOnData([&](wavehdr_tag& h) {
      if (cap.BufferNumber() == 3) got.assign(reinterpret_cast<int16_t*>(h.lpData), reinterpret_cast<int16_t*>(h.lpData) + 2 * 8820);
    });
    cap.SetAutoStart(true);
    cap.SetEnabled(true);
    out.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    double sl = 0, sr = 0;
    for (int i = 0; i < 8820; ++i) {
      sl += (got[2 * i] + 3.0) * (got[2 * i] + 3.0);
      sr += (got[2 * i + 1] - 2.0) * (got[2 * i + 1] - 2.0);
    }
    double measured = 10 * std::log10(sr / sl);
    EXPECT_NEAR(measured, TSimulatedCard::RightGaindB(f), 0.02) << f << " Hz";
  }
  EXPECT_NEAR(TSimulatedCard::RightGaindB(80), -3.0, 0.3);
  EXPECT_GT(TSimulatedCard::RightGaindB(3000), 3.0);
  EXPECT_LT(TSimulatedCard::RightGaindB(20000), -10.0);
}

// ---- reopening fast, failing, stalling ---------------------------------------

// What a window sees of a stream: its events, and the block numbers of capture.
struct TWatch {
  std::vector<std::string> events;
  std::vector<int> numbers;
  bool openWhileDisabled = false;
  template <class S>
  void Watch(S& s) {
    s.SetOnOpen([this, &s](QObject*) {
      if (!s.Enabled()) openWhileDisabled = true;
      events.push_back("open");
    });
    s.SetOnClose([this](QObject*) { events.push_back("close"); });
  }
  // Opens and closes strictly alternate, starting with an open.
  bool Alternating() const {
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i] != (i % 2 == 0 ? "open" : "close")) return false;
    return true;
  }
};

TEST_F(StreamTest, CaptureReopenedBeforeItsOpenIsHandledOpensOnceAndNumbersFromZero) {
  TWaveIn in;
  TWatch watch;
  watch.Watch(in);
  std::vector<int> numbers;
  in.SetOnData([&](wavehdr_tag&) { numbers.push_back(in.BufferNumber()); });
  in.SetAutoStart(true);
  in.SetBufferSamples(1024);
  // three openings within one turn of the event loop: only the last one counts
  in.SetEnabled(true);
  in.SetBufferSamples(2048);
  in.SetEnabled(false);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return numbers.size() >= 30; }));
  EXPECT_EQ(watch.events, (std::vector<std::string>{"open"}));
  for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], static_cast<int>(i));
  EXPECT_EQ(Card().DoubleQueued(), 0);
}

TEST_F(StreamTest, AStaleOpenAfterARefusedOpenDoesNothing) {
  TWaveOut out;
  TWatch watch;
  watch.Watch(out);
  int fills = 0;
  out.SetOnNeedData([&](PWaveHdr) { ++fills; });
  out.SetEnabled(true);
  out.SetEnabled(false);
  Card().RefuseNextOutputOpen(4, "busy");
  EXPECT_THROW(out.SetEnabled(true), EWaveOutError);
  PumpFor(50);
  EXPECT_EQ(fills, 0);
  EXPECT_EQ(out.State(), Closed);
  EXPECT_FALSE(out.Enabled());
  EXPECT_TRUE(watch.events.empty());
  EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
}

TEST_F(StreamTest, ACloseThatTimedOutIsNotHandledAgainWhenItArrivesLate) {
  TWaveOut out;
  TWaveIn in;
  TWatch outWatch, inWatch;
  outWatch.Watch(out);
  inWatch.Watch(in);
  int fills = 0;
  out.SetOnNeedData([&](PWaveHdr) { ++fills; });
  in.SetAutoStart(true);
  out.SetEnabled(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 4 && in.State() == Running; }));

  Card().SetUnresponsive(true);
  out.SetEnabled(false);  // the device does not answer: given up, its close comes late
  in.SetEnabled(false);
  Card().SetUnresponsive(false);
  out.SetEnabled(true);  // a new opening, before the late closes are dispatched
  in.SetEnabled(true);
  const int before = fills;
  ASSERT_TRUE(PumpUntil([&] { return fills >= before + 6; }));
  PumpFor(50);
  EXPECT_EQ(outWatch.events, (std::vector<std::string>{"open", "close", "open"}));
  EXPECT_EQ(inWatch.events, (std::vector<std::string>{"open", "close", "open"}));
  EXPECT_EQ(out.State(), Running);
  EXPECT_EQ(in.State(), Running);
  EXPECT_EQ(recorder.messages,
            (std::vector<std::string>{
                "Error 1001 closing wave output - The sound device did not answer within 3 seconds. Device: "
                "simulated sound card output.",
                "Error 1001 closing wave input - The sound device did not answer within 3 seconds. Device: "
                "simulated sound card input."}));
  EXPECT_EQ(Card().DoubleQueued(), 0);
}

// One device that fails, or both as when the audio server ends: each stream ends closed, and
// the user gets one message that names every device that stopped.
TEST_F(StreamTest, FailedDevicesEndTheirStreamsClosedWithOneMessageAndStartAgain) {
  struct TCase {
    bool output, input;
    const char* message;
  };
  for (const TCase& c :
       {TCase{true, false,
              "Error 5 writing wave output - server gone. The sound output \"simulated sound card output\" has "
              "stopped: the audio server may have ended or the device been disconnected. Start again once it is "
              "back."},
        TCase{false, true,
              "Error 5 reading wave input - server gone. The sound input \"simulated sound card input\" has "
              "stopped: the audio server may have ended or the device been disconnected. Start again once it is "
              "back."},
        TCase{true, true,
              "Error 5 writing wave output - server gone.\rError 5 reading wave input - server gone.\rThe sound "
              "output \"simulated sound card output\" and the sound input \"simulated sound card input\" have "
              "stopped: the audio server may have ended or the devices been disconnected. Start again once it is "
              "back."}}) {
    SCOPED_TRACE(c.message);
    recorder.exceptions.clear();
    TWaveOut out;
    TWaveIn in;
    TWatch outWatch, inWatch;
    int blocks = 0;
    out.SetBufferSamples(1024);
    in.SetBufferSamples(1024);
    in.SetOnData([&](wavehdr_tag&) {
      if (++blocks != 5) return;
      if (c.input) Card().FailInputs(5, "server gone");
      if (c.output) Card().FailOutputs(5, "server gone");
    });
    in.SetAutoStart(true);
    outWatch.Watch(out);
    inWatch.Watch(in);
    out.SetEnabled(true);
    in.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return out.Enabled() != c.output && in.Enabled() != c.input; }));
    ASSERT_TRUE(PumpUntil([&] { return !recorder.exceptions.empty(); }, 2000));
    PumpFor(kFailureGatherMs + 100);  // nothing more comes
    EXPECT_EQ(out.State(), c.output ? Closed : Running);
    EXPECT_EQ(in.State(), c.input ? Closed : Running);
    EXPECT_EQ(outWatch.events, (c.output ? std::vector<std::string>{"open", "close"} : std::vector<std::string>{"open"}));
    EXPECT_EQ(inWatch.events, (c.input ? std::vector<std::string>{"open", "close"} : std::vector<std::string>{"open"}));
    EXPECT_EQ(recorder.exceptions, (std::vector<std::string>{c.message}));

    blocks = 100;  // no second failure
    out.SetEnabled(true);
    in.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return blocks >= 104; }));
    EXPECT_EQ(out.State(), Running);
    EXPECT_EQ(in.State(), Running);
    out.SetEnabled(false);
    in.SetEnabled(false);
  }
}

// A failed output still open moves nothing: the card must sleep, not spin with its lock held
// (which froze every other device call until the stream closed).
TEST_F(StreamTest, ACardWithOnlyFailedStreamsLeftGoesIdle) {
  TDeviceNotifier notifier([](unsigned, PWaveHdr, uint32_t) {});
  std::unique_ptr<TOutputDevice> out = backend->CreateOutput();
  ASSERT_EQ(out->Open(&notifier, 1), 0);
  std::vector<char> data(4 * 1024);
  wavehdr_tag block;
  block.lpData = data.data();
  block.dwBufferLength = static_cast<uint32_t>(data.size());
  ASSERT_EQ(out->Write(&block), 0);
  Card().FailOutputs(5, "server gone");
  // With the fault, Frame() waits for ever and the test's time limit fails it.
  const int64_t before = Card().Frame();
  PumpFor(30);
  EXPECT_EQ(Card().Frame(), before);
  EXPECT_EQ(out->Close(), 0);
}

TEST_F(StreamTest, ADeviceThatStopsDeliveringIsReportedOnceAndRecovers) {
  TWaveOut out;
  TWaveIn in;
  int fills = 0, data = 0;
  out.SetOnNeedData([&](PWaveHdr) { ++fills; });
  in.SetOnData([&](wavehdr_tag&) { ++data; });
  in.SetAutoStart(true);
  out.SetEnabled(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 4 && data >= 2; }));
  Card().SetFrozen(true);
  ASSERT_TRUE(PumpUntil([&] { return out.Stalled() && in.Stalled(); }, 10000));
  PumpFor(600);
  ASSERT_EQ(recorder.messages.size(), 2u) << recorder.Log();
  std::sort(recorder.messages.begin(), recorder.messages.end());
  EXPECT_EQ(recorder.messages[0].rfind("The sound input \"simulated sound card input\" stopped delivering audio: "
                                       "no block has arrived for ", 0), 0u) << recorder.messages[0];
  EXPECT_EQ(recorder.messages[1].rfind("The sound output \"simulated sound card output\" stopped playing: ", 0), 0u)
      << recorder.messages[1];
  EXPECT_TRUE(out.Enabled() && in.Enabled());
  Card().SetFrozen(false);
  ASSERT_TRUE(PumpUntil([&] { return !out.Stalled() && !in.Stalled(); }));
  const int before = data;
  ASSERT_TRUE(PumpUntil([&] { return data >= before + 3; }));
  EXPECT_EQ(recorder.messages.size(), 2u);
}

TEST_F(StreamTest, ReplayIsNotDisturbedByDeviceReportsInANestedEventLoop) {
  TWaveIn in;
  in.SetBufferSamples(256);
  std::vector<int16_t> file(2 * 256 * 4, 7);
  std::vector<uint32_t> users;
  std::vector<int> numbers;
  bool replaying = false;
  in.SetOnData([&](wavehdr_tag& h) {
    if (!replaying) return;
    users.push_back(h.dwUser);
    numbers.push_back(in.BufferNumber());
    PumpFor(20);  // a message box inside the handler runs the event loop
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return in.BufferNumber() >= 4; }));
  replaying = true;
  in.ReplaySamples(reinterpret_cast<char*>(file.data()), static_cast<int64_t>(file.size() * 2));
  replaying = false;
  EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(users, (std::vector<uint32_t>(4, FileBlockMarker)));
  EXPECT_EQ(in.State(), Closed);
}

// Any sequence of setters keeps every invariant a window relies on.
TEST_F(StreamTest, RandomSettersKeepBlocksOpensAndNumbersStraight) {
  TWaveOut out;
  TWaveIn in;
  TWatch outWatch, inWatch;
  std::vector<int> numbers;  // capture numbers since the last open
  bool numbersOk = true;
  auto watch = [&] {
    outWatch.Watch(out);
    inWatch.Watch(in);
    in.SetOnOpen([&](QObject*) {
      if (!in.Enabled()) inWatch.openWhileDisabled = true;
      inWatch.events.push_back("open");
      numbers.clear();
    });
  };
  watch();
  out.SetOnNeedData([&](PWaveHdr h) { std::memset(h->lpData, 1, h->dwBufferLength); });
  in.SetOnData([&](wavehdr_tag&) {
    if (in.BufferNumber() != static_cast<int>(numbers.size())) numbersOk = false;
    numbers.push_back(in.BufferNumber());
  });
  std::vector<int16_t> file(2 * 4096 * 3);
  uint32_t rng = 12345;
  auto next = [&](uint32_t n) {
    rng = rng * 1664525u + 1013904223u;
    return (rng >> 8) % n;
  };
  const int lengths[] = {512, 1024, 2205, 4096};
  for (int step = 0; step < 400; ++step) {
    SCOPED_TRACE(step);
    try {
      switch (next(10)) {
        case 0: out.SetEnabled(next(2)); break;
        case 1: in.SetEnabled(next(2)); break;
        case 2: out.SetBufferSamples(lengths[next(4)]); break;
        case 3: in.SetBufferSamples(lengths[next(4)]); break;
        case 4: in.SetAutoStart(next(2)); break;
        case 5: in.Start(); break;
        case 6: out.SetOnDone(next(2) ? TNotifyEvent([](QObject*) {}) : TNotifyEvent()); break;
        case 7:
          numbers.clear();  // a replay numbers its blocks from 0 too
          in.ReplaySamples(reinterpret_cast<char*>(file.data()), static_cast<int64_t>(file.size() * 2)); break;
        default: break;  // just let time pass
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    for (int turns = static_cast<int>(next(4)); turns > 0; --turns) QCoreApplication::processEvents();
    ASSERT_EQ(Card().DoubleQueued(), 0);
    ASSERT_TRUE(outWatch.Alternating());
    ASSERT_TRUE(inWatch.Alternating());
    ASSERT_FALSE(outWatch.openWhileDisabled || inWatch.openWhileDisabled);
    ASSERT_TRUE(numbersOk);
    ASSERT_EQ(out.Enabled(), out.State() != Closed) << out.State();
    ASSERT_EQ(in.Enabled(), in.State() != Closed) << in.State();
  }
  EXPECT_TRUE(recorder.exceptions.empty() && recorder.messages.empty()) << recorder.Log();
  // The sequence did exercise the streams.
  EXPECT_GT(outWatch.events.size(), 20u);
  EXPECT_GT(inWatch.events.size(), 20u);
  std::printf("%zu output and %zu input events\n", outWatch.events.size(), inWatch.events.size());
}

// ---- a scripted device: blocks come back only when the test says so ---------

struct TScript {
  std::vector<PWaveHdr> held;
  int doubleWrites = 0;
  int blockFrames = 0;  // as told before the last open
  TDeviceNotifier* notifier = nullptr;
  uint32_t generation = 0;
  void Post(unsigned m, PWaveHdr h) { notifier->Post(m, h, generation); }
};

class TScriptedOutput : public TOutputDevice {
 public:
  explicit TScriptedOutput(TScript* s) : s_(s) {}
  void SetBlockFrames(int frames) override { s_->blockFrames = frames; }
  int Open(TDeviceNotifier* n, uint32_t generation) override {
    s_->notifier = n;
    s_->generation = generation;
    s_->Post(MM_WOM_OPEN, nullptr);
    return 0;
  }
  int Queue(PWaveHdr h) override {
    for (PWaveHdr x : s_->held)
      if (x == h) ++s_->doubleWrites;
    s_->held.push_back(h);
    return 0;
  }
  int Reset() override {
    for (PWaveHdr h : s_->held) s_->Post(MM_WOM_DONE, h);
    s_->held.clear();
    return 0;
  }
  int Close() override {
    Reset();
    s_->Post(MM_WOM_CLOSE, nullptr);
    return 0;
  }
  std::string ErrorText(int) const override { return "scripted"; }
  std::string Name() const override { return "scripted output"; }

 private:
  TScript* s_;
};

class TScriptedBackend : public TAudioBackend {
 public:
  explicit TScriptedBackend(TScript* s, std::shared_ptr<TSimulatedBackend> inputs) : s_(s), inputs_(inputs) {}
  std::string Name() const override { return "scripted"; }
  std::unique_ptr<TOutputDevice> CreateOutput() override { return std::make_unique<TScriptedOutput>(s_); }
  std::unique_ptr<TInputDevice> CreateInput() override { return inputs_->CreateInput(); }

 private:
  TScript* s_;
  std::shared_ptr<TSimulatedBackend> inputs_;
};

TEST(ScriptedDevice, BlocksRotateWithoutDoubleQueueingAcrossRestarts) {
  TScript script;
  SetAudioBackend(std::make_shared<TScriptedBackend>(&script, nullptr));
  {
    TWaveOut out;
    uint32_t next = 100;
    int fills = 0;
    out.SetOnNeedData([&](PWaveHdr h) {
      ++fills;
      h->dwUser = next++;
    });
    out.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return script.held.size() == 2; }));
    EXPECT_EQ(fills, 2);
    // the device finishes A: it is refilled at once and its value is the one played
    PWaveHdr a = script.held[0];
    script.held.erase(script.held.begin());
    script.Post(MM_WOM_DONE, a);
    ASSERT_TRUE(PumpUntil([&] { return fills == 3; }));
    EXPECT_EQ(out.LastPlayedValue(), 100u);
    EXPECT_EQ(a->dwUser, 102u);
    EXPECT_EQ(script.held.size(), 2u);

    // restarts while both blocks are held: each reopen queues each block exactly once
    out.SetOnDone([](QObject*) {});
    ASSERT_TRUE(PumpUntil([&] { return script.held.size() == 2 && out.State() == Running; }));
    out.SetBufferSamples(1000);
    ASSERT_TRUE(PumpUntil([&] { return script.held.size() == 2 && out.State() == Running; }));
    EXPECT_EQ(script.held[0]->dwBufferLength, 4000u);
    EXPECT_EQ(script.blockFrames, 1000);
    PumpFor(20);
    EXPECT_EQ(script.doubleWrites, 0);
    EXPECT_EQ(script.held.size(), 2u);
    out.SetEnabled(false);
    EXPECT_TRUE(script.held.empty());
  }
  SetAudioBackend(nullptr);
}

TEST(Levels, PowerTodBConversions) {
  EXPECT_FLOAT_EQ(PowerTodB(0.5), 0.0f);
  EXPECT_NEAR(PowerTodB(1.0), 3.0103f, 1e-4);
  EXPECT_NEAR(PowerTodB(0.0), -196.9897f, 1e-3);
  float v[3] = {0.5f, 0.05f, 1.0f};
  PowerVectorTodB(v, 3);
  EXPECT_NEAR(v[0], 0.0f, 1e-5);
  EXPECT_NEAR(v[1], -10.0f, 1e-5);
  EXPECT_NEAR(v[2], 3.0103f, 1e-4);
}

}  // namespace

// A device wakes about once per block: whole blocks, or even shares of long ones, within the
// latency's range; the low latency keeps its small periods.
TEST(DeviceChunkFrames, FollowTheBlockWithinTheLatencysRange) {
  struct TCase {
    TLatency latency;
    int block;
    unsigned long chunk;
  };
  const TCase cases[] = {
      {TLatency::Low, 0, 256},         {TLatency::Low, 4096, 256},      {TLatency::Normal, 0, 1024},
      {TLatency::Normal, 441, 1024},   {TLatency::Normal, 2048, 2048},  {TLatency::Normal, 4096, 4096},
      {TLatency::Normal, 4410, 2205},  {TLatency::Normal, 8192, 4096},  {TLatency::Normal, 57330, 4095},
      {TLatency::Safe, 2048, 4096},    {TLatency::Safe, 16384, 4096},   {TLatency::Safe, 32769, 4096},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(DeviceChunkFrames(c.latency, c.block), c.chunk) << LatencyName(c.latency) << " " << c.block;
}
