// The generators' block fill, called as a device would call it, and their behaviour on
// the simulated card.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"
#include "ToneTestSupport.h"

namespace {

uint32_t gTick = 0;
uint32_t CountingClock() { return gTick += 1000; }
uint32_t FixedClock() { return 43200000; }  // noon

uint32_t PhaseAfterBlocks(double hz, int blocks) {
  return static_cast<uint32_t>(uint64_t{RefIncrement(hz)} * kToneBlockFrames * blocks % (1u << 30));
}

class GeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
    SetAudioBackend(backend);
    previous = SetMessages(&recorder);
    SetReseedClock(&CountingClock);
  }
  void TearDown() override {
    SetReseedClock(nullptr);
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
    EXPECT_TRUE(recorder.exceptions.empty()) << recorder.Log();
  }
  void Set(TBasicAudioGenerator& g, TWaveform w, float lf, float rf, float la, float ra) {
    g.SetLeftWaveform(w);
    g.SetRightWaveform(w);
    g.SetLeftFrequency(lf);
    g.SetRightFrequency(rf);
    g.SetLeftAmplitude(la);
    g.SetRightAmplitude(ra);
  }

  std::shared_ptr<TSimulatedBackend> backend;
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
  TTestBlock block{kToneBlockFrames};
};

TEST_F(GeneratorTest, OppositeAmplitudesNegateAndTonesTagTheirBlock) {
  TAudioToneGenerator gen;
  Set(gen, SineWave, 1000, 1000, 0.5f, -0.5f);
  gen.FillBlock(&block.header);
  for (int k = 0; k < kToneBlockFrames; ++k) ASSERT_EQ(block.Right(k), -block.Left(k)) << k;
  EXPECT_EQ(block.Left(1), std::lrint(0.5 * SineTable()[RefIncrement(1000) >> 15]));
  EXPECT_EQ(block.header.dwUser, std::bit_cast<uint32_t>(1000.0f));
  EXPECT_EQ(gen.LeftPhase(), PhaseAfterBlocks(1000, 1));
  EXPECT_EQ(gen.RightPhase(), 0u) << "a negated channel does not advance its own phase";

  Set(gen, Triangle, 1000, 1000, 0, 0);  // silent, but still tagged
  gen.FillBlock(&block.header);
  for (int16_t v : block.samples) ASSERT_EQ(v, 0);
  EXPECT_EQ(block.header.dwUser, std::bit_cast<uint32_t>(1000.0f));

  gen.SetRightWaveform(SineWave);
  gen.SetRightFrequency(440);
  gen.FillBlock(&block.header);
  EXPECT_EQ(block.header.dwUser, std::bit_cast<uint32_t>(440.0f)) << "the right tone wins";
  gen.SetRightWaveform(PinkNoise);
  gen.FillBlock(&block.header);
  EXPECT_EQ(block.header.dwUser, std::bit_cast<uint32_t>(1000.0f));
}

TEST_F(GeneratorTest, WhiteNoiseCopiesOrTakesTheNextNumbers) {
  TAudioToneGenerator gen;
  Set(gen, WhiteNoise, 0, 0, 0.5f, 0.5f);
  // Half an odd number is a tie that goes to the even neighbour.
  TRefLcg ref{2024};
  auto next = [&] {
    const int d = static_cast<int>(ref.Integer(65535)) - 32767;
    const int q = d / 2;
    return d % 2 != 0 && q % 2 != 0 ? q + (d > 0 ? 1 : -1) : q;
  };
  SetNoiseSeed(2024);
  gen.FillBlock(&block.header);
  for (int k = 0; k < kToneBlockFrames; ++k) {
    const int expected = next();
    ASSERT_EQ(block.Left(k), expected) << k;
    ASSERT_EQ(block.Right(k), expected) << k;
  }
  EXPECT_EQ(NoiseSeed(), ref.state) << "a copied channel draws nothing";
  EXPECT_EQ(block.header.dwUser, 0u);

  gen.SetRightFrequency(1);
  gen.FillBlock(&block.header);
  for (int k = 0; k < kToneBlockFrames; ++k) ASSERT_EQ(block.Left(k), next()) << k;
  for (int k = 0; k < kToneBlockFrames; ++k) ASSERT_EQ(block.Right(k), next()) << k;
}

TEST_F(GeneratorTest, PinkAndBandNoiseReseedPerChannel) {
  TAudioToneGenerator gen;
  for (TWaveform w : {PinkNoise, Octave3Noise}) {
    SCOPED_TRACE(w);
    // Band 11 on both, but not "the same settings": each channel is synthesised.
    Set(gen, w, 11, 11.5f, 0.9f, -0.9f);
    SetReseedClock(&FixedClock);  // both reseeds in the same millisecond
    gen.FillBlock(&block.header);
    int nonzero = 0;
    for (int k = 0; k < kToneBlockFrames; ++k) {
      ASSERT_EQ(block.Right(k), -block.Left(k)) << k;
      nonzero += block.Left(k) != 0;
    }
    EXPECT_GT(nonzero, kToneBlockFrames / 2);
    TRefLcg ref{FixedClock()};
    for (int k = 0; k < kToneBlockFrames; ++k) ref.Next();
    EXPECT_EQ(NoiseSeed(), ref.state);

    SetReseedClock(&CountingClock);
    gen.FillBlock(&block.header);
    int same = 0;
    for (int k = 0; k < kToneBlockFrames; ++k) same += block.Right(k) == -block.Left(k);
    EXPECT_LT(same, kToneBlockFrames / 2);
  }
}

TEST_F(GeneratorTest, ShortBlocksPlayWhatWholeBlocksPlayAndANoiseChangeActsAtOnce) {
  // Short blocks only bring a change to the output sooner: eight of 2048 frames are the one
  // block of 16384, pink and band noise included (made whole, played in slices). White noise
  // draws each channel's numbers block by block, so its order differs; it is white either way.
  for (TWaveform w : {SineWave, Triangle, PinkNoise, Octave3Noise, SmpteTwoTone}) {
    SCOPED_TRACE(w);
    SetReseedClock(&FixedClock);
    TAudioToneGenerator whole, sliced;
    for (TAudioToneGenerator* g : {&whole, &sliced}) Set(*g, w, 9, 1234.5f, 0.7f, 0.3f);
    sliced.SetToneBlockFrames(2048);
    ASSERT_EQ(sliced.BufferSamples(), 2048);
    SetNoiseSeed(99);
    whole.FillBlock(&block.header);
    SetNoiseSeed(99);
    TTestBlock part(2048);
    for (int b = 0; b < 8; ++b) {
      sliced.FillBlock(&part.header);
      for (int k = 0; k < 2 * 2048; ++k) ASSERT_EQ(part.samples[k], block.samples[2 * 2048 * b + k]) << b << " " << k;
    }
    if (w != PinkNoise) continue;
    // A new level starts a new noise block with the next short block.
    sliced.FillBlock(&part.header);  // a fresh block: slice 0
    sliced.SetLeftAmplitude(0.2f);
    sliced.SetRightAmplitude(0.2f);
    sliced.FillBlock(&part.header);
    whole.SetLeftAmplitude(0.2f);
    whole.SetRightAmplitude(0.2f);
    whole.FillBlock(&block.header);
    for (int k = 0; k < 2 * 2048; ++k) ASSERT_EQ(part.samples[k], block.samples[k]) << k;
  }
  SetReseedClock(&CountingClock);

  // A sweep waveform's block is its own length; a stale block there must not replay.
  TBasicAudioGenerator gen;
  Set(gen, PinkNoise, 5, 5.5f, 1, 1);
  gen.SetLeftWaveform(SlowSweep);
  TTestBlock stale(kToneBlockFrames, 1234);
  gen.FillBlock(&stale.header);
  for (int k = 0; k < kToneBlockFrames; ++k) ASSERT_EQ(stale.Left(k), 0) << k;
}

TEST_F(GeneratorTest, PinkNoiseFallsThreeDecibelsPerOctave) {
  TAudioToneGenerator gen;
  Set(gen, PinkNoise, 0, 1, 1, 1);
  std::vector<double> power(kToneBlockFrames / 2 + 1);
  for (int i = 0; i < 16; ++i) {
    gen.FillBlock(&block.header);
    for (int ch = 0; ch < 2; ++ch) {
      const std::vector<double> p = ChannelPower(block, ch);
      for (size_t b = 0; b < p.size(); ++b) power[b] += p[b];
    }
  }
  // Falling 3 dB per octave, bands of equal relative width carry equal power: seven such
  // bands from 100 Hz to 10 kHz.
  const double binHz = 44100.0 / kToneBlockFrames;
  std::vector<double> level;
  double mean = 0;
  for (int band = 0; band < 7; ++band) {
    const double lo = 100 * std::pow(100.0, band / 7.0), hi = 100 * std::pow(100.0, (band + 1) / 7.0);
    double sum = 0;
    for (int b = static_cast<int>(std::ceil(lo / binHz)); b * binHz < hi; ++b) sum += power[b];
    level.push_back(10 * std::log10(sum));
    mean += level.back() / 7;
  }
  for (int band = 0; band < 7; ++band) EXPECT_NEAR(level[band], mean, 1.0) << band;

  // The Nyquist bin is filtered like its neighbours (left white it would stand ~20 dB out).
  double neighbours = 0;
  for (int b = 8192 - 256; b < 8192; ++b) neighbours += power[b] / 256;
  EXPECT_LT(10 * std::log10(power[8192] / neighbours), 3.0);
}

TEST_F(GeneratorTest, BandNoiseStaysBetweenItsEdgeBins) {
  TAudioToneGenerator gen;
  double kept = 0;
  int keptBins = 0;
  for (int band = 0; band < 24; ++band) {
    SCOPED_TRACE(band);
    Set(gen, Octave3Noise, band + 0.7f, band + 0.7f, 0.5f, 0.5f);  // the index is truncated
    gen.FillBlock(&block.header);
    const std::vector<double> p = ChannelPower(block, 0);
    const TBinRange bins = ThirdOctaveBandBins(band);
    double inside = 0, total = 0;
    for (int b = 0; b < static_cast<int>(p.size()); ++b) {
      total += p[b];
      if (b >= bins.Lower && b <= bins.Upper) inside += p[b];
    }
    EXPECT_GT(inside / total, 0.999);
    kept += inside;
    keptBins += bins.Upper - bins.Lower + 1;
  }
  // The kept bins keep the white noise's level: uniform over 65535 steps, at amplitude 0.5.
  const double white = 0.25 * kToneBlockFrames * (65535.0 * 65535.0 / 12);
  EXPECT_NEAR(10 * std::log10(kept / keptBins / white), 0.0, 0.5);
}

TEST_F(GeneratorTest, SweepWaveformsSwitchBothChannelsToTheSweepLength) {
  TBasicAudioGenerator gen;
  EXPECT_EQ(gen.PostSilence(), 4410);
  EXPECT_EQ(gen.PreSilence(), 8820);
  EXPECT_EQ(gen.FastSweepSamples(), 57330);
  std::vector<std::string> log;
  std::vector<uint32_t> lengths;
  gen.SetOnOpen([&](QObject*) { log.push_back("open"); });
  gen.SetOnClose([&](QObject*) { log.push_back("close"); });
  gen.SetOnNeedData([&](PWaveHdr h) {
    lengths.push_back(h->dwBufferLength);
    gen.FillBlock(h);
  });
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return lengths.size() >= 2; }));
  EXPECT_EQ(lengths[0], 4u * 16384u);

  gen.SetLeftWaveform(FastSmooth);
  EXPECT_EQ(gen.RightWaveform(), FastSmooth);
  gen.SetRightWaveform(FastStepped);  // same length: the left keeps its own
  EXPECT_EQ(gen.LeftWaveform(), FastSmooth);
  lengths.clear();
  ASSERT_TRUE(PumpUntil([&] { return lengths.size() >= 3; }));
  for (uint32_t l : lengths) EXPECT_EQ(l, 4u * 57330u);
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close", "open"})) << "one restart";

  gen.SetRightWaveform(PinkNoise);
  EXPECT_EQ(gen.BufferSamples(), 16384);
  EXPECT_EQ(gen.LeftWaveform(), PinkNoise);
  gen.SetEnabled(false);

  TAudioToneGenerator tone;  // steady tones only
  tone.SetLeftWaveform(Triangle);
  for (TWaveform w : {FastSmooth, FastStepped, SlowSweep}) tone.SetLeftWaveform(w);
  EXPECT_EQ(tone.LeftWaveform(), Triangle);
  EXPECT_EQ(tone.BufferSamples(), 16384);
  for (int w = 0; w < 8; ++w)
    EXPECT_EQ(TAudioToneGenerator::WaveformHasFrequency(TWaveform(w)), w <= 1 || w == 4) << w;
}

TEST_F(GeneratorTest, LastFrequencyPlayedFollowsTheBlocksHeard) {
  TAudioToneGenerator gen;
  Set(gen, SineWave, 0, 440, 0.1f, 0.1f);
  gen.SetLeftWaveform(WhiteNoise);
  EXPECT_EQ(gen.LastFrequencyPlayed(), 0.0f);
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return gen.LastFrequencyPlayed() == 440.0f; }));
  gen.SetRightWaveform(PinkNoise);
  ASSERT_TRUE(PumpUntil([&] { return gen.LastFrequencyPlayed() == 0.0f; }));
}

TEST_F(GeneratorTest, PhaseIsKeptAcrossStopAndStart) {
  TAudioToneGenerator gen;
  Set(gen, SineWave, 1000, 1000, 0.3f, 0.3f);
  int fills = 0;
  gen.SetOnNeedData([&](PWaveHdr h) {
    ++fills;
    gen.FillBlock(h);
  });
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= 4; }));
  gen.SetEnabled(false);
  EXPECT_EQ(gen.LeftPhase(), PhaseAfterBlocks(1000, fills));
  const int first = fills;
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return fills >= first + 3; }));
  gen.SetEnabled(false);
  EXPECT_EQ(gen.LeftPhase(), PhaseAfterBlocks(1000, fills)) << "not restarted from 0";
}

TEST_F(GeneratorTest, AssociatedInputStartsWithTheFirstBlock) {
  TWaveIn in;
  bool opened = false;
  int data = 0;
  in.SetOnOpen([&](QObject*) { opened = true; });
  in.SetOnData([&](wavehdr_tag&) { ++data; });
  in.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return opened; }));

  TAudioToneGenerator gen;
  std::vector<TStreamState> before, after;
  gen.SetOnNeedData([&](PWaveHdr h) {
    before.push_back(in.State());
    gen.FillBlock(h);
    after.push_back(in.State());
  });
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return before.size() >= 3; }));
  EXPECT_EQ(in.State(), Opening) << "without the association capture keeps waiting";
  gen.SetEnabled(false);

  before.clear();
  after.clear();
  gen.SetAssociatedInput(&in);
  gen.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return data >= 2; }));
  EXPECT_EQ(before.front(), Opening);
  EXPECT_EQ(after.front(), Running);
  gen.SetEnabled(false);

  auto* gone = new TWaveIn;  // a deleted input is forgotten, not started through a dangling pointer
  gen.SetAssociatedInput(gone);
  delete gone;
  EXPECT_EQ(gen.AssociatedInput(), nullptr);
}

}  // namespace
