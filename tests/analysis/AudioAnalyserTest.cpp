// The analyser: its numeric kernels, replayed blocks, and capture from the simulated card.
#include "AudioAnalyser.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <climits>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"

namespace {

using TFrames = std::vector<int16_t>;  // interleaved left, right

TFrames Frames(int count, const std::function<int(int)>& left, const std::function<int(int)>& right) {
  TFrames data(2 * static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    data[2 * k] = static_cast<int16_t>(left(k));
    data[2 * k + 1] = static_cast<int16_t>(right(k));
  }
  return data;
}

int FullScaleSine(int k) {
  return static_cast<int>(std::nearbyint(32767 * std::sin(2 * std::numbers::pi * 1000 * k / 44100)));
}
int FullScaleSquare(int k) { return (k / 22) % 2 ? -32767 : 32767; }

// ---- kernels ----------------------------------------------------------------

TEST(AnalyserKernels, OffsetRemovalLimitsEverySampleTo32760) {
  TFrames block = {-32768, 32767, -32700, 100, 5, -5, 32767, -32768};
  RemoveOffsets(block.data(), 4, 0, 0);
  EXPECT_EQ(block, (TFrames{-32760, 32760, -32700, 100, 5, -5, 32760, -32760}));

  block = {-32700, 100, 5, -5, 32767, -32768};
  RemoveOffsets(block.data(), 3, 100, -32700);
  EXPECT_EQ(block, (TFrames{-32760, 32760, -95, 32695, 32667, -68}));

  block = {0, 0, -1, 1};
  RemoveOffsets(block.data(), 2, INT_MIN, INT_MAX);
  EXPECT_EQ(block, (TFrames{32760, -32760, 32760, -32760}));
}

TEST(AnalyserKernels, LevelsOfSilenceSineAndSquare) {
  TFrames silence(2 * 4096, 0);
  const TChannelLevels peak = PeakLevels(silence.data(), 4096);
  EXPECT_FLOAT_EQ(peak.Left, static_cast<float>(0.5L / (32767.0L * 32767.0L)));
  EXPECT_NEAR(PowerTodB(peak.Left), -90.309, 0.001) << "a silent peak counts as 1";
  const TChannelLevels quiet = MeanSquareLevels(silence.data(), 4096);
  EXPECT_NEAR(PowerTodB(quiet.Left), -196.100, 0.001);
  EXPECT_NEAR(PowerTodB(quiet.Right), -196.100, 0.001);

  // 4410 frames hold 100 whole cycles of 1 kHz; the analyser's limit takes 0.002 dB off.
  TFrames block = Frames(4410, FullScaleSine, FullScaleSquare);
  RemoveOffsets(block.data(), 4410, 0, 0);
  const TChannelLevels ms = MeanSquareLevels(block.data(), 4410);
  EXPECT_NEAR(PowerTodB(ms.Left), 0.0, 0.01);
  EXPECT_NEAR(PowerTodB(ms.Right), 3.01, 0.01);
  const TChannelLevels pk = PeakLevels(block.data(), 4410);
  EXPECT_NEAR(PowerTodB(pk.Left), 0.0, 0.01);
  EXPECT_NEAR(PowerTodB(pk.Right), 0.0, 0.01) << "a peak reading assumes a sine";
}

TEST(AnalyserKernels, SquaresAccumulateRoundedToSinglePrecision) {
  // 4097^2 = 16785409 lies halfway between the floats 16785408 and 16785410; the 1e-8 the sum
  // starts from tips it up. A second one gives 33570819, which rounds to 33570820.
  const long double full = 32767.0L * 32767.0L;
  TFrames one = {4097, 0};
  TChannelLevels level = MeanSquareLevels(one.data(), 1);
  EXPECT_EQ(level.Left, static_cast<float>(16785410.0L / full));
  EXPECT_EQ(level.Right, static_cast<float>(static_cast<long double>(1e-8f) / full));
  TFrames two = {4097, 0, 4097, 0};
  level = MeanSquareLevels(two.data(), 2);
  EXPECT_EQ(level.Left, static_cast<float>(33570820.0L / (2 * full)));

  // The same rounding over whole blocks, against the rule written out step by step.
  auto reference = [&](const TFrames& block, int channel) {
    float sum = 1e-8f;
    for (size_t k = channel; k < block.size(); k += 2)
      sum = static_cast<float>(static_cast<long double>(sum) + block[k] * block[k]);
    return static_cast<float>(sum / (block.size() / 2 * full));
  };
  std::mt19937 rng(11);
  std::vector<TFrames> blocks;
  for (int limit : {32760, 4096, 300, 1}) {
    std::uniform_int_distribution<int> sample(-limit, limit);
    blocks.push_back(Frames(4096, [&](int) { return sample(rng); }, [&](int) { return sample(rng); }));
  }
  blocks.push_back(Frames(44100, [](int) { return 32760; }, [](int k) { return k < 3000 ? 0 : 4097; }));
  blocks.push_back(Frames(4410, FullScaleSine, [](int k) { return k % 2 ? 4097 : 4095; }));
  for (size_t b = 0; b < blocks.size(); ++b) {
    const int frames = static_cast<int>(blocks[b].size() / 2);
    level = MeanSquareLevels(blocks[b].data(), frames);
    EXPECT_EQ(level.Left, reference(blocks[b], 0)) << b;
    EXPECT_EQ(level.Right, reference(blocks[b], 1)) << b;
  }

  const TChannelLevels smoothed = SmoothLevels({0.25f, 1.0f}, {1.0f, 0.0f});
  EXPECT_EQ(smoothed.Left, 0.4375f);
  EXPECT_EQ(smoothed.Right, 0.75f);
}

// ---- replayed blocks --------------------------------------------------------

class ProbeDisplay : public TAudioDisplay {
public:
  using TAudioDisplay::TAudioDisplay;
  std::vector<TFrames> Blocks;
  bool ClearFlag = false;
  std::function<void()> OnBlock;
  void ProcessSamples(const int16_t* samples, int frameCount, bool& continueFlag) override {
    EXPECT_TRUE(continueFlag);
    Blocks.emplace_back(samples, samples + 2 * static_cast<size_t>(frameCount));
    if (OnBlock) OnBlock();
    if (ClearFlag) continueFlag = false;
  }
};

struct AnalyserTest : ::testing::Test {
  std::shared_ptr<TSimulatedBackend> Backend;
  TMessageRecorder Recorder;
  TMessageInterface* Previous = nullptr;
  QWidget Parent;
  ProbeDisplay* Probe = new ProbeDisplay(&Parent);
  TLevelMeter* Meter = new TLevelMeter(&Parent);

  void SetUp() override {
    Backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
    SetAudioBackend(Backend);
    Previous = SetMessages(&Recorder);
    Meter->SetMindB(-100);
  }
  void TearDown() override {
    SetMessages(Previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TSimulatedCard& Card() { return Backend->Card(); }
  static void Replay(TBasicAudioAnalyser& analyser, TFrames& data) {
    analyser.ReplaySamples(reinterpret_cast<char*>(data.data()), static_cast<int64_t>(data.size()) * 2);
  }
};

TEST_F(AnalyserTest, ReplayedBlocksAreCorrectedAndShortOnesIgnored) {
  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(4096);
  analyser.SetDisplay(Probe);
  EXPECT_EQ(Probe->Source(), &analyser);
  std::vector<wavehdr_tag> headers;
  analyser.SetOnData([&](wavehdr_tag& h) { headers.push_back(h); });

  // Two and a half blocks: the half is neither shown nor counted.
  auto inBlock1 = [](int k) { return k >= 4096 && k < 8192; };
  TFrames data = Frames(4096 * 5 / 2, [&](int k) { return inBlock1(k) ? 1234 : -32768; },
                        [&](int k) { return inBlock1(k) ? -1234 : 32767; });
  Replay(analyser, data);
  ASSERT_EQ(Probe->Blocks.size(), 2u);
  EXPECT_EQ(Probe->Blocks[0], Frames(4096, [](int) { return -32760; }, [](int) { return 32760; }));
  EXPECT_EQ(Probe->Blocks[1], Frames(4096, [](int) { return 1234; }, [](int) { return -1234; }));
  EXPECT_EQ(analyser.BufferNumber(), 3) << "2 blocks counted, the half block numbered but not counted";
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[1].dwUser, FileBlockMarker);
  EXPECT_EQ(headers[1].dwBytesRecorded, 4u * 4096);
  EXPECT_EQ(reinterpret_cast<int16_t*>(headers[1].lpData), data.data() + 2 * 4096);
  EXPECT_EQ(data[2 * 8192], -32768) << "the short block is not corrected either";
  EXPECT_EQ(data[2 * 8192 + 1], 32767);

  Probe->Blocks.clear();
  analyser.SetLeftOffset(100);
  analyser.SetRightOffset(-32700);
  data = Frames(4096, [](int) { return -32700; }, [](int) { return 100; });
  Replay(analyser, data);
  ASSERT_EQ(Probe->Blocks.size(), 1u);
  EXPECT_EQ(Probe->Blocks[0][0], -32760);
  EXPECT_EQ(Probe->Blocks[0][1], 32760);

  // Handlers get a copy of the header: changing it shortens what the display gets, but never
  // what the stream itself sees next.
  Probe->Blocks.clear();
  analyser.SetOnData([](wavehdr_tag& h) { h.dwBytesRecorded = 400; });
  data = TFrames(2 * 4096 * 3, 0);
  Replay(analyser, data);
  ASSERT_EQ(Probe->Blocks.size(), 3u);
  for (const TFrames& block : Probe->Blocks) EXPECT_EQ(block.size(), 2u * 100);
}

TEST_F(AnalyserTest, MeterReadingsAreSmoothedThreeToOneFromTheSecondBlock) {
  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(4096);
  analyser.SetLevelMeter(Meter);
  analyser.SetPeakLevel(true);
  std::vector<float> left, right;
  analyser.SetOnData([&](wavehdr_tag&) {
    left.push_back(Meter->LeftdB());
    right.push_back(Meter->RightdB());
  });
  // Left: silence, then two full-scale blocks, then a full-scale half block that is ignored.
  TFrames data = Frames(4096 * 7 / 2, [](int k) { return k < 4096 ? 0 : 32767; }, [](int) { return 0; });
  Replay(analyser, data);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_NEAR(left[0], -90.309, 0.001);
  EXPECT_NEAR(left[1], -6.0225, 0.001);  // a quarter of full scale (less the limit)
  EXPECT_NEAR(left[2], -3.5921, 0.001);  // seven sixteenths
  for (float r : right) EXPECT_NEAR(r, -90.309, 0.001);
  EXPECT_EQ(Meter->LeftdB(), left[2]);

  // A new run starts from its own first block, not from the old smoothed level.
  left.clear();
  analyser.SetPeakLevel(false);
  data = TFrames(2 * 4096, 0);
  Replay(analyser, data);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NEAR(left[0], -196.100, 0.001);
}

TEST_F(AnalyserTest, TimingTotalsRestartAtTheFirstBlock) {
  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(1000);
  analyser.SetDisplay(Probe);
  analyser.ProcTicks = 1e15;
  analyser.PlotTicks = 1000;
  std::vector<double> procAtCall;
  Probe->OnBlock = [&] {
    procAtCall.push_back(analyser.ProcTicks);
    analyser.PlotTicks += 10;  // as a display that paints from this stream would
  };
  TFrames data(2 * 3000, 0);
  Replay(analyser, data);
  ASSERT_EQ(procAtCall.size(), 3u);
  EXPECT_EQ(procAtCall[0], 0.0);
  EXPECT_GT(procAtCall[1], 0.0);
  EXPECT_GE(procAtCall[2], procAtCall[1]);
  EXPECT_GE(analyser.ProcTicks, procAtCall[2]);
  EXPECT_LT(analyser.ProcTicks, 1e15);
  EXPECT_EQ(analyser.PlotTicks, 30.0) << "cleared before the first display call";
}

// ---- capture from the simulated card ---------------------------------------

TEST_F(AnalyserTest, DisplayThatClearsTheFlagStopsCaptureAndDropsTheMeters) {
  TBasicAudioAnalyser analyser;
  analyser.SetDisplay(Probe);
  analyser.SetLevelMeter(Meter);
  Probe->ClearFlag = true;
  int closes = 0;
  std::vector<float> readings;
  analyser.SetOnClose([&](QObject*) { ++closes; });
  analyser.SetOnData([&](wavehdr_tag&) { readings.push_back(Meter->LeftdB()); });
  analyser.SetAutoStart(true);
  analyser.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
  EXPECT_FALSE(analyser.Enabled());
  EXPECT_EQ(analyser.State(), Closed);
  EXPECT_EQ(analyser.BufferNumber(), 1);
  ASSERT_EQ(readings.size(), 1u);
  EXPECT_GT(readings[0], -90.0f) << "the card's offset and hum were measured";
  EXPECT_EQ(Meter->LeftdB(), -100.0f);
  EXPECT_EQ(Meter->RightdB(), -100.0f);
  PumpFor(50);
  EXPECT_EQ(Probe->Blocks.size(), 1u);
}

TEST_F(AnalyserTest, SwitchingTheDisplayWhileRunningRestartsWithItsBlockLength) {
  TBasicAudioAnalyser analyser;
  TWaveformDisplay* scope = new TWaveformDisplay(&Parent);
  scope->SetBounds(0, 0, 443, 200);
  scope->SetTimebase(wtb_100ms);
  analyser.SetDisplay(Probe);
  EXPECT_EQ(analyser.BufferSamples(), 4410);
  std::vector<std::string> log;
  std::vector<uint32_t> bytes;
  analyser.SetOnOpen([&](QObject*) { log.push_back("open"); });
  analyser.SetOnClose([&](QObject*) { log.push_back("close"); });
  analyser.SetOnData([&](wavehdr_tag& h) { bytes.push_back(h.dwBytesRecorded); });
  analyser.SetAutoStart(true);
  analyser.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return Probe->Blocks.size() >= 2; }));

  Probe->SetAveragingCount(5);
  analyser.SetDisplay(scope);
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close"}));
  EXPECT_EQ(Probe->AveragingCount(), 0) << "stopping restarts the averaging";
  EXPECT_EQ(analyser.BufferSamples(), 44100);
  EXPECT_EQ(scope->Source(), &analyser);
  const size_t probeBlocks = Probe->Blocks.size(), before = bytes.size();
  ASSERT_TRUE(PumpUntil([&] { return scope->PointCount() == 441; }));
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close", "open"}));
  EXPECT_TRUE(analyser.Enabled());
  EXPECT_EQ(Probe->Blocks.size(), probeBlocks);
  for (size_t i = before; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 4u * 44100);

  scope->SetAveragingCount(3);
  analyser.SetEnabled(true);
  EXPECT_EQ(scope->AveragingCount(), 0) << "every SetEnabled restarts it";

  // A stopped analyser takes the new display and stays stopped.
  analyser.SetEnabled(false);
  analyser.SetDisplay(Probe);
  PumpFor(30);
  EXPECT_FALSE(analyser.Enabled());
  EXPECT_EQ(log.back(), "close");
}

TEST_F(AnalyserTest, MeasuredCardOffsetsAreSubtracted) {
  // Measure as the offset dialog does: the mean of a second of idle input.
  TWaveIn idle;
  idle.SetBufferSamples(44100);
  double sumLeft = 0, sumRight = 0;
  bool measured = false;
  idle.SetOnData([&](wavehdr_tag& h) {
    if (measured) return;
    const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
    for (int k = 0; k < 44100; ++k) {
      sumLeft += s[2 * k];
      sumRight += s[2 * k + 1];
    }
    measured = true;
  });
  idle.SetAutoStart(true);
  idle.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return measured; }));
  idle.SetEnabled(false);
  const int leftOffset = static_cast<int>(std::lrint(sumLeft / 44100));
  const int rightOffset = static_cast<int>(std::lrint(sumRight / 44100));
  EXPECT_EQ(leftOffset, -3);
  EXPECT_EQ(rightOffset, 2);

  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(44100);
  analyser.SetDisplay(Probe);
  analyser.SetLeftOffset(leftOffset);
  analyser.SetRightOffset(rightOffset);
  analyser.SetAutoStart(true);
  analyser.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return Probe->Blocks.size() >= 2; }));
  analyser.SetEnabled(false);
  const TFrames& block = Probe->Blocks[1];
  double meanLeft = 0, meanRight = 0;
  for (int k = 0; k < 44100; ++k) {
    meanLeft += block[2 * k];
    meanRight += block[2 * k + 1];
  }
  EXPECT_NEAR(meanLeft / 44100, 0.0, 0.05);
  EXPECT_NEAR(meanRight / 44100, 0.0, 0.05);
}

TEST_F(AnalyserTest, FullScaleSineAndSquareThroughTheCard) {
  // The left input is a straight wire, so a played full-scale signal comes back exactly, plus
  // the card's offset that the analyser takes off again.
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  TWaveOut out;
  out.SetBufferSamples(8820);
  bool square = false;
  int64_t played = 0;
  out.SetOnNeedData([&](PWaveHdr h) {
    auto* p = reinterpret_cast<int16_t*>(h->lpData);
    for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++played) {
      const int k = static_cast<int>(played % 44100);
      p[2 * i] = p[2 * i + 1] = static_cast<int16_t>(square ? FullScaleSquare(k) : FullScaleSine(k));
    }
  });
  TBasicAudioAnalyser analyser;
  analyser.SetLeftOffset(-3);
  analyser.SetRightOffset(2);
  analyser.SetLevelMeter(Meter);
  std::vector<float> readings;
  analyser.SetOnData([&](wavehdr_tag&) { readings.push_back(Meter->LeftdB()); });
  analyser.SetAutoStart(true);
  analyser.SetEnabled(true);
  out.SetEnabled(true);

  auto settle = [&](size_t blocks) {
    const size_t target = readings.size() + blocks;
    return PumpUntil([&] { return readings.size() >= target; }, 20000);
  };
  ASSERT_TRUE(settle(60));
  EXPECT_NEAR(readings.back(), 0.0, 0.01) << "mean square";
  analyser.SetPeakLevel(true);
  ASSERT_TRUE(settle(40));
  EXPECT_NEAR(readings.back(), 0.0, 0.01) << "peak";
  analyser.SetPeakLevel(false);
  square = true;
  ASSERT_TRUE(settle(60));
  EXPECT_NEAR(readings.back(), 3.01, 0.01) << "square, mean square";
  out.SetEnabled(false);
  analyser.SetEnabled(false);
  EXPECT_EQ(Meter->LeftdB(), -100.0f);
}

TEST_F(AnalyserTest, FailingDisplayIsReportedAndCaptureGoesOn) {
  TBasicAudioAnalyser analyser;
  analyser.SetBufferSamples(1024);
  analyser.SetDisplay(Probe);
  Probe->OnBlock = [&] {
    const size_t n = Probe->Blocks.size();
    if (n == 2 || n == 3) throw std::runtime_error("display failed " + std::to_string(n));
  };
  analyser.SetAutoStart(true);
  analyser.SetEnabled(true);
  // Two failures in a row must not keep both blocks away from the device.
  ASSERT_TRUE(PumpUntil([&] { return Probe->Blocks.size() >= 10; }));
  EXPECT_EQ(Recorder.exceptions, (std::vector<std::string>{"display failed 2", "display failed 3"}));
  EXPECT_EQ(analyser.State(), Running);
}

TEST_F(AnalyserTest, DestroyedPartnersAreDroppedAndDestructionIsQuiet) {
  auto analyser = std::make_unique<TBasicAudioAnalyser>();
  analyser->SetDisplay(Probe);
  analyser->SetLevelMeter(Meter);
  int closes = 0, blocks = 0;
  analyser->SetOnClose([&](QObject*) { ++closes; });
  analyser->SetOnData([&](wavehdr_tag&) { ++blocks; });
  analyser->SetAutoStart(true);
  analyser->SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return blocks >= 2; }));

  delete Probe;
  delete Meter;
  Probe = nullptr;
  Meter = nullptr;
  EXPECT_EQ(analyser->Display(), nullptr);
  EXPECT_EQ(analyser->LevelMeter(), nullptr);
  const int before = blocks;
  ASSERT_TRUE(PumpUntil([&] { return blocks >= before + 3; }));

  analyser.reset();
  EXPECT_EQ(closes, 0) << "destruction closes the device without firing OnClose";
}

}  // namespace
