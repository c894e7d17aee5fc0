// The sweep kernels against frequencies measured in their samples, the generator's block
// sequence, and a fast sweep through the simulated card.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "SweepGenerator.h"
#include "TestSupport.h"
#include "ToneTestSupport.h"

namespace {

using Gen = TAudioSweepGenerator;
constexpr int kFast = 57330, kSlow = 11025;

// Frequency of a steady sine in n frames of one channel: x[k-L] + x[k+L] = 2 cos(Lw) x[k]
// holds for any stretch of a sine, and a lag near a quarter period keeps Lw well inside
// (0, pi) even for a wrong guess.
double MeasureHz(const std::vector<int16_t>& s, int channel, int first, int n, double guess) {
  const int lag = std::max(1, static_cast<int>(44100 / (4 * guess)));
  double xx = 0, xy = 0;
  for (int k = first + lag; k < first + n - lag; ++k) {
    const double x = s[2 * k + channel];
    xx += 2 * x * x, xy += x * (s[2 * (k - lag) + channel] + s[2 * (k + lag) + channel]);
  }
  return std::acos(xy / xx) / lag * 44100 / (2 * std::numbers::pi);
}

TEST(SweepKernel, SegmentsSilencesAndDeclickFades) {
  struct {
    int steps;
    bool log;
    float f0, f1;
    int fadeIn, fadeOut, first, last, written;
  } cases[] = {
      {20, true, 20, 20000, 3859, 147, 8820, 52919, kFast},     // 147 is the minimum
      {20, false, 1000, 2900, 147, 147, 8820, 52919, kFast},
      {1000, false, 294, 20, 262, 3859, 8800, 52799, 57200},    // 262.5 goes to even
      {1000, true, 1, 1.5f, 44000, 44000, 8800, 52799, 57200},  // longer than the tone
  };
  // Guard frames around the block show writes outside it.
  constexpr int guard = 80000, marker = 0x5555;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.f0);
    std::vector<int16_t> plain(2 * (guard + kFast + guard), marker), faded = plain;
    uint32_t p1 = 0x2345678, p2 = p1;  // so that only a fade makes the first frame 0
    Gen::FillSweepChannel(&plain[2 * guard], kFast, 0, c.steps, false, c.log, c.f0, c.f1, 0.5f, p1);
    Gen::FillSweepChannel(&faded[2 * guard], kFast, 0, c.steps, true, c.log, c.f0, c.f1, 0.5f, p2);
    auto at = [&](std::vector<int16_t>& v, int frame) -> int16_t& { return v[2 * (guard + frame)]; };
    for (int k = 0; k < kFast; ++k) {
      if (k < c.first || k > c.last) {
        ASSERT_EQ(at(plain, k), k < c.written ? 0 : marker) << k;
      }
    }
    EXPECT_NE(at(plain, c.first), 0);
    EXPECT_EQ(at(faded, c.first), 0);
    EXPECT_EQ(at(faded, c.last), 0);
    if (c.steps == 20) {
      int peak = 0;  // the first segment holds at least one whole period
      for (int k = c.first; k < c.first + 2205; ++k) peak = std::max<int>(peak, at(plain, k));
      EXPECT_NEAR(peak, 16383.5, 1) << "amplitude";
      for (int j = 0; j < 20; ++j) {
        const double hz = c.log ? 20 * std::pow(1000.0, j / 19.0) : 1000 + j * 1900.0001 / 19;
        EXPECT_NEAR(MeasureHz(plain, 0, guard + c.first + 2205 * j, 2205, hz) / hz, 1, 1e-3) << j;
      }
    }
    // Raised cosines of exactly these lengths, rounded to even; nothing else changes.
    std::vector<int16_t> expected = plain;
    auto fade = [&](int frame, int i, int n) {
      int16_t& v = at(expected, frame);
      v = static_cast<int16_t>(std::nearbyint(v * (std::cos(i * std::numbers::pi / n) + 1) / 2));
    };
    for (int i = 1; i <= c.fadeOut; ++i) fade(c.last - c.fadeOut + i, i, c.fadeOut);
    for (int i = 1; i <= c.fadeIn; ++i) fade(c.first + c.fadeIn - i, i, c.fadeIn);
    EXPECT_TRUE(faded == expected);
  }
}

class SweepGeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAudioBackend(backend);
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
    EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
  }
  static void Sweep(Gen& g, float f0, float f1, float left, float right) {
    g.SetLeftFrequency(f0), g.SetRightFrequency(f0), g.SetLeftMaxFrequency(f1), g.SetRightMaxFrequency(f1);
    g.SetLeftAmplitude(left), g.SetRightAmplitude(right);
  }

  std::shared_ptr<TSimulatedBackend> backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

TEST_F(SweepGeneratorTest, SettingsAndWhatTheyRestart) {
  Gen gen;
  EXPECT_EQ(std::vector<int>({gen.BufferSamples(), gen.SlowSweepSamples(), gen.SlowSweepActiveSteps(),
                              gen.SlowSweepSilentSteps(), gen.LeftLog() + gen.RightLog(),
                              gen.LeftDeclick() + gen.RightDeclick(), gen.LeftStepped() + gen.RightStepped()}),
            std::vector<int>({kFast, kSlow, 180, 12, 2, 2, 0}));
  gen.SetLeftFrequency(300);
  EXPECT_EQ(gen.LeftMaxFrequency(), 600.0f);
  gen.SetLeftMaxFrequency(3000);
  gen.SetLeftFrequency(300);
  EXPECT_EQ(gen.LeftMaxFrequency(), 3000.0f) << "an unchanged start leaves the end alone";

  std::vector<std::string> log;
  gen.SetOnOpen([&](QObject*) { log.push_back("open"); });
  gen.SetOnClose([&](QObject*) { log.push_back("close"); });
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 1; }));
  gen.SetSlowSweepActiveSeconds(10);
  ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close", "open"}));
  EXPECT_EQ(gen.SlowSweepActiveSteps(), 40);
  gen.SetSlowSweep(true);
  EXPECT_EQ(std::vector<int>({gen.Enabled(), gen.BufferSamples()}), std::vector<int>({false, kSlow}));

  // Each start begins a slow cycle; enabling a running generator again does not.
  gen.SetEnabled(true);
  const int run = gen.RunNumber();
  ASSERT_TRUE(PumpUntil([&] { return gen.RunBlocks() >= 3; }));
  const int64_t blocks = gen.RunBlocks();
  gen.SetEnabled(true);
  EXPECT_EQ(std::vector<int64_t>({gen.RunBlocks(), gen.RunNumber()}), std::vector<int64_t>({blocks, run}));
  gen.SetEnabled(false);
  EXPECT_EQ(gen.RunBlocks(), 0);
  gen.SetEnabled(true);
  EXPECT_EQ(gen.RunNumber(), run + 1);
  gen.SetEnabled(false);
}

TEST_F(SweepGeneratorTest, RightChannelCopiesNegatesOrSweepsOnItsOwn) {
  struct {
    float amplitude;
    bool stepped, log, declick;
    int sign;  // 1 copy, -1 negation, 0 its own sweep
  } cases[] = {{0.5f, false, true, true, 1}, {-0.5f, false, true, true, -1},
               {-0.5f, true, false, false, 0}};  // set apart by the flags alone
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.amplitude << c.stepped << c.log << c.declick);
    Gen gen;
    Sweep(gen, 300, 3000, 0.5f, c.amplitude);
    gen.SetRightStepped(c.stepped), gen.SetRightLog(c.log), gen.SetRightDeclick(c.declick);
    TTestBlock block(kFast), ref(kFast);
    gen.OnNeedData()(&block.header);
    EXPECT_EQ(block.header.dwUser, 0u);
    uint32_t left = 0, right = 0;
    Gen::FillSweepChannel(ref.samples.data(), kFast, 0, 1000, true, true, 300, 3000, 0.5f, left);
    Gen::FillSweepChannel(ref.samples.data(), kFast, 1, c.stepped ? 20 : 1000, c.declick, c.log, 300,
                          3000, c.amplitude, right);
    for (int k = 0; k < kFast; ++k) {
      ASSERT_EQ(block.Left(k), ref.Left(k)) << k;
      ASSERT_EQ(block.Right(k), c.sign ? c.sign * block.Left(k) : ref.Right(k)) << k;
    }
  }
}

// A run opens with half a second of silence and a timing marker; each cycle's last silent block
// is a marker too, so that blocks 3 and 3 + cycle are markers and step 1 is block 4.
TEST_F(SweepGeneratorTest, SlowCycleSoundsRestsAndBeginsAgain) {
  struct {
    int activeSeconds, silentSeconds, active, silent;
  } cases[] = {{45, 3, 180, 12}, {0, 3, 0, 12}, {1, 0, 4, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.activeSeconds);
    Gen gen;
    Sweep(gen, 300, 3000, 0.5f, 0.5f);
    gen.SetRightLog(false);
    gen.SetSlowSweep(true);
    gen.SetSlowSweepActiveSeconds(c.activeSeconds);
    gen.SetSlowSweepSilentSeconds(c.silentSeconds);
    const int cycle = c.active + c.silent;
    std::vector<std::vector<int16_t>> blocks;  // blocks[b - 1] is block b
    for (int b = 1; b <= cycle + 4; ++b) {
      TTestBlock block(kSlow, 0x5555);
      gen.FillSweepBlock(&block.header);
      blocks.push_back(block.samples);
      const auto zeros = std::count(block.samples.begin(), block.samples.end(), 0);
      const auto tailZeros = std::count(block.samples.begin() + 2 * kMarkerFrames, block.samples.end(), 0);
      const bool marker = c.active > 0 && (b == 3 || (c.silent > 0 && b == cycle + 3));
      const bool sounds = c.active > 0 && b >= 4 && !marker && (b - 4) % cycle < c.active;
      if (marker)
        EXPECT_TRUE(zeros < 2 * kSlow - 2 * kMarkerFrames + 64 && tailZeros == 2 * (kSlow - kMarkerFrames)) << "block " << b;
      else
        EXPECT_TRUE(sounds ? zeros < kSlow : zeros == 2 * kSlow) << "block " << b;
    }
    if (c.active > 0) {
      EXPECT_TRUE(blocks[cycle + 3] == blocks[3]) << "the next cycle begins at the start";
      if (c.silent > 0) EXPECT_TRUE(blocks[cycle + 2] == blocks[2]) << "the same marker";
    }
    if (c.active != 180) continue;

    // Step k plays 300 * 10^((k-1)/179) on the left, 300 + (k-1) * 2700.0001/179 on the right,
    // and the phase runs on: no jump beyond one sample's worth of the sine.
    for (int channel : {0, 1}) {
      int previous = 0;
      for (int k = 1; k <= 180; ++k) {
        const double hz = channel == 0 ? 300 * std::pow(10.0, (k - 1) / 179.0) : 300 + (k - 1) * 2700.0001 / 179;
        EXPECT_NEAR(MeasureHz(blocks[k + 2], channel, 0, kSlow, hz) / hz, 1, 1e-4) << channel << " step " << k;
        const double limit = 16383.5 * 2 * std::numbers::pi * hz / 44100 + 8;
        for (int f = 0; f < kSlow; ++f) {
          const int v = blocks[k + 2][2 * f + channel];
          ASSERT_LE(std::abs(v - previous), limit) << channel << " step " << k << " frame " << f;
          previous = v;
        }
      }
    }
  }
}

TEST_F(SweepGeneratorTest, CaptureStartsWithTheSweepAndHoldsItAtTheCardLatency) {
  backend->Card().SetHumAmplitude(0);
  backend->Card().SetNoiseRms(0);
  TWaveIn in;
  in.SetBufferSamples(kFast);
  std::vector<int16_t> captured, played;
  in.SetOnData([&](wavehdr_tag& h) {
    auto* p = reinterpret_cast<int16_t*>(h.lpData);
    captured.insert(captured.end(), p, p + 2 * kFast);
  });
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return in.State() == Opening && in.Enabled(); }));

  Gen gen;
  Sweep(gen, 300, 3000, 0.5f, 0.25f);
  gen.SetAssociatedInput(&in);
  gen.SetOnNeedData([&](PWaveHdr h) {
    gen.FillSweepBlock(h);
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    played.insert(played.end(), p, p + 2 * kFast);
  });
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return captured.size() >= 3u * 2 * kFast; }, 20000));
  gen.SetEnabled(false);
  in.SetEnabled(false);

  EXPECT_EQ(backend->Card().LastInputStartFrame(), backend->Card().LastOutputStartFrame());
  // The left input is a wire with a DC offset of -3: each captured block holds the sweeps
  // played the opening's round trip earlier.
  const int64_t lag = backend->Card().CurrentDelayFrames();
  ASSERT_GE(lag, backend->Card().RoundTrip());
  for (int64_t g = 0; g < 3 * kFast; ++g)
    ASSERT_EQ(captured[2 * g], (g < lag ? 0 : played[2 * (g - lag)]) - 3) << "block " << g / kFast << " frame " << g % kFast;
  EXPECT_NE(captured[2 * (kFast + lag + 8800 + 100)], -3) << "the second block sounds";
}

}  // namespace
