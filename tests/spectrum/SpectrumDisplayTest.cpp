#include "DisplaySpectrum.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "AudioAnalyser.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"
#include "ToneGenerator.h"

namespace {

constexpr int kFs = 44100;
using TFrames = std::vector<int16_t>;

TFrames RandomFrames(int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(-20000, 20000);
  TFrames f(2 * static_cast<std::size_t>(frames));
  for (auto& s : f) s = static_cast<int16_t>(value(rng));
  return f;
}

// Power of bins 0 ... n / 2 by a direct DFT in double precision of the reduced, windowed block.
std::vector<double> DirectPower(const TFrames& frames, int n, TChannelSelect select, bool hann) {
  std::vector<double> x(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    const int l = frames[2 * j], r = frames[2 * j + 1];
    const int v = select == csSum ? (l + r) / 2 : select == csDiff ? (r - l) / 2
                : select == csLeft ? l : r;
    const double c = std::cos(2 * std::numbers::pi * j / (n - 1));
    x[static_cast<std::size_t>(j)] = v / 32768.0 * (hann ? 0.5 - 0.5 * c : 0.54 - 0.46 * c);
  }
  std::vector<double> cosines(static_cast<std::size_t>(n)), sines(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) {
    cosines[j] = std::cos(2 * std::numbers::pi * j / n);
    sines[j] = std::sin(2 * std::numbers::pi * j / n);
  }
  std::vector<double> power(static_cast<std::size_t>(n / 2 + 1));
  for (int k = 0; k <= n / 2; ++k) {
    double re = 0, im = 0;
    for (int j = 0, index = 0; j < n; ++j, index = (index + k) & (n - 1)) {
      re += x[j] * cosines[index];
      im -= x[j] * sines[index];
    }
    power[k] = re * re + im * im;
  }
  return power;
}

struct TPaintCounter : QObject {
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

struct SpectrumDisplayTest : ::testing::Test {
  QWidget Parent;
  TSpectrumDisplay* Display = new TSpectrumDisplay(&Parent);
  void SetUp() override { Display->SetBounds(24, 32, 443, 258); }  // W 441, H 256

  std::vector<float> Values() const {
    const auto v = Display->ColumnArray(0);
    return {v.begin(), v.begin() + Display->PointCount()};
  }
  void Feed(const TFrames& frames) {
    bool go = true;
    Display->ProcessSamples(frames.data(), static_cast<int>(frames.size() / 2), go);
  }
  void Show(TSpectrumDisplayMode mode, int min, int max) {
    Display->SetFreqMin(min);
    Display->SetFreqMax(max);
    Display->SetMode(mode);
  }
};

TEST_F(SpectrumDisplayTest, SettersCompleteAndClampTheRange) {
  TWaveIn source;
  Display->SetSource(&source);
  EXPECT_EQ(source.BufferSamples(), 4096);
  struct TPower {
    int set, stored, n;
  };
  for (const TPower& p : {TPower{11, 12, 4096}, TPower{16, 15, 32768}, TPower{14, 14, 16384},
                          TPower{13, 13, 8192}}) {
    Display->SetFFTpower(p.set);
    EXPECT_EQ(Display->FFTpower(), p.stored);
    EXPECT_EQ(Display->N(), p.n);
    EXPECT_EQ(source.BufferSamples(), p.n);
    EXPECT_EQ(Display->ReferencePower(), static_cast<float>(p.n / 4) * (p.n / 4));
  }
  Display->SetFFTpower(12);

  // A log axis from 0 Hz cannot be: FreqMin rises to one bin, FreqMax 0 means fs / 2.
  Display->SetMode(sdLogFreq);
  EXPECT_EQ(Display->FreqMin(), 10);
  EXPECT_EQ(Display->FreqMax(), 22050);
  Display->SetFreqMin(0);
  Display->SetFreqMax(100);
  Display->SetMode(sdLinFreq);
  EXPECT_EQ(Display->FreqMin(), 0);
  EXPECT_EQ(Display->FreqMax(), 300);
  Display->SetFreqMin(-5);
  Display->SetFreqMax(30000);
  EXPECT_EQ(Display->FreqMin(), 0);
  EXPECT_EQ(Display->FreqMax(), 22050);
  Display->SetFFTpower(14);
  Display->SetFreqMin(0);
  Display->SetMode(sdLogSpectrogram);
  EXPECT_EQ(Display->FreqMin(), 2);
  EXPECT_EQ(Display->ColumnBins().size(), 256u);  // one per row
  Display->SetFFTpower(12);

  // Marker lines only on a linear trace, strictly inside the range.
  Show(sdLinFreq, 0, 2000);
  Display->SetMarkerF1(1000);
  Display->SetMarkerF2(2000);
  Display->SetMarkerF3(500);
  EXPECT_EQ(Display->MarkerColumns(), (std::array<int, 4>{220, 0, 110, 0}));
  Show(sdLogFreq, 20, 2000);
  EXPECT_EQ(Display->MarkerColumns(), (std::array<int, 4>{0, 0, 0, 0}));

  // A resize rebuilds the frequency table as well as the bins.
  Show(sdLinFreq, 0, 22050);
  Display->SetBounds(24, 32, 223, 158);  // W 221
  EXPECT_EQ(Display->LastColumn(), 220);
  EXPECT_NEAR(Display->ColumnArray(6)[220], 22050.0f, 0.05f);  // accumulated in single
  EXPECT_EQ(Display->ColumnBins().back(), 2048);
  Display->SetSource(nullptr);
}

TEST_F(SpectrumDisplayTest, ValuesMatchADirectTransformInEveryMode) {
  Display->SetMovingAverage(false);
  struct TMode {
    TSpectrumDisplayMode mode;
    int min, max;
    TChannelSelect select;
  };
  const TMode modes[] = {
      {sdOctave3, 0, 0, csSum},          {sdLogFreq, 20, 20000, csDiff},
      {sdLinFreq, 0, 22050, csLeft},     {sdLogSpectrogram, 80, 15000, csRight},
      {sdLinSpectrogram, 100, 4000, csSum},
  };
  for (int power : {12, 14}) {
    const int n = 1 << power;
    Display->SetFFTpower(power);
    const TFrames frames = RandomFrames(n + 17, 99u + static_cast<uint32_t>(power));
    std::map<std::pair<int, bool>, std::vector<double>> direct;
    for (const TMode& m : modes) {
      const bool hann = m.mode == sdLogFreq || m.mode == sdLinFreq || m.mode == sdLinSpectrogram;
      auto& p = direct[{m.select, hann}];
      if (p.empty()) p = DirectPower(frames, n, m.select, hann);
      Show(m.mode, m.min, m.max);
      Display->SetChannelSelect(m.select);
      Feed(frames);
      const std::vector<float> got = Values();
      const double ref = double(n / 4) * (n / 4);
      std::vector<double> expected;
      if (m.mode == sdOctave3) {
        const TBandTable& bands = TSpectrumDisplay::BandTable();
        ASSERT_EQ(bands.N, n);
        for (int j = 0; j < kSpectrumBands; ++j) {
          double sum = 0;
          for (int k = 0; k < bands.Count[j]; ++k) sum += p[bands.Start[j] + k];
          expected.push_back((bands.Scale[j] * sum + 1e-10) / ref);
        }
      } else {
        const auto b = Display->ColumnBins();
        const int count = static_cast<int>(b.size());
        const double s = double(b[count - 1] - b[0]) / count;
        for (int i = 0; i < count; ++i) {
          const int lo = i == 0 ? b[0] : (b[i - 1] + b[i]) / 2;
          const int hi = i == count - 1 ? b[count - 1] : (b[i] + b[i + 1]) / 2;
          double sum = 1e-10;
          for (int k = lo; k <= hi; ++k) sum += p[k];
          expected.push_back(s * sum / ((hi - lo + 1) * ref));
        }
      }
      ASSERT_EQ(got.size(), expected.size()) << "mode " << m.mode;
      double worst = 0;
      for (std::size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::abs(got[i] - expected[i]) / expected[i]);
      std::printf("N %d mode %d: worst relative error %.2e\n", n, m.mode, worst);
      EXPECT_LT(worst, 1e-3) << "N " << n << " mode " << m.mode;
    }
  }
}

TEST_F(SpectrumDisplayTest, BinCentredSineHumRejectionAndSilence) {
  Display->SetMovingAverage(false);
  Show(sdLinFreq, 0, 22050);
  // A full-scale sine on bin 100 under the Hann window: the reference power in that bin.
  TFrames sine(2 * 4096);
  for (int j = 0; j < 4096; ++j)
    sine[2 * j] = sine[2 * j + 1] =
        static_cast<int16_t>(std::lrint(32767 * std::sin(2 * std::numbers::pi * 100 * j / 4096)));
  Feed(sine);
  EXPECT_NEAR(10 * std::log10(Display->Power()[100] / Display->ReferencePower()), 0.0, 0.01);

  const TFrames noise = RandomFrames(4096, 5);
  Feed(noise);
  const std::vector<float> plain(Display->Power().begin(), Display->Power().end());
  Display->SetHumReject(true);
  Feed(noise);
  for (int k = 3; k <= 7; ++k)
    EXPECT_EQ(Display->Power()[k], k >= 4 && k <= 6 ? plain[k] / 100.0f : plain[k]) << "bin " << k;
  Display->SetHumReject(false);

  // Float frames saturate to the 16-bit range as integer frames would be.
  std::vector<float> floats(2 * 4096);
  TFrames ints(2 * 4096);
  for (std::size_t i = 0; i < floats.size(); ++i) {
    floats[i] = (i % 3 == 0 ? 40000.0f : -40000.0f) * ((i / 64) % 2 ? 1 : -1);
    ints[i] = floats[i] > 0 ? 32767 : -32768;
  }
  Display->ProcessFloatSamples(floats.data(), 4096);
  const std::vector<float> fromFloats = Values();
  Feed(ints);
  EXPECT_EQ(Values(), fromFloats);

  Show(sdOctave3, 0, 0);
  Feed(TFrames(2 * 4096, 0));
  const std::vector<float> bands = Values();
  ASSERT_EQ(bands.size(), 28u);
  for (float v : bands) EXPECT_EQ(v, static_cast<float>(1e-10 / Display->ReferencePower()));
}

TEST_F(SpectrumDisplayTest, SmoothingWeightsAndRestarts) {
  struct TCase {
    TSpectrumDisplayMode mode;
    int power, weight;
  };
  const TCase cases[] = {{sdLogFreq, 12, 3},  {sdLinFreq, 12, 6},        {sdLogFreq, 14, 1},
                         {sdLinFreq, 15, 0},  {sdOctave3, 12, 7},        {sdLinSpectrogram, 12, 0}};
  for (const TCase& c : cases) {
    Display->SetFFTpower(c.power);
    Show(c.mode, 20, 20000);
    const TFrames a = RandomFrames(Display->N(), 1), b = RandomFrames(Display->N(), 2);
    Feed(a);  // first block after a rebuild: unsmoothed
    const std::vector<float> va = Values();
    Display->SetChannelSelect(csSum);  // restarts the average
    Feed(b);
    const std::vector<float> vb = Values();
    Display->SetChannelSelect(csSum);
    Feed(a);
    EXPECT_EQ(Values(), va) << "mode " << c.mode << " N " << Display->N();
    Feed(b);
    const std::vector<float> got = Values();
    ASSERT_EQ(got.size(), vb.size());
    // Column 0 of a trace is never smoothed.
    const std::size_t first = IsTrace(c.mode) ? 1 : 0;
    EXPECT_EQ(got[0], first == 1 ? vb[0] : got[0]);
    for (std::size_t i = first; i < got.size(); ++i) {
      const float expected = static_cast<float>(
          (static_cast<double>(c.weight) * va[i] + vb[i]) / (c.weight + 1));
      ASSERT_EQ(got[i], expected) << "mode " << c.mode << " N " << Display->N() << " i " << i;
    }
  }
}

TEST_F(SpectrumDisplayTest, ShortBlocksAndTallPlotsAreIgnoredWithoutARepaint) {
  TPaintCounter counter;
  Display->installEventFilter(&counter);
  Parent.resize(600, 400);
  Parent.show();
  Show(sdLogFreq, 20, 20000);
  PumpFor(50);
  counter.Paints = 0;
  const int block = Display->SpectrogramBlockNumber();
  Feed(RandomFrames(4095, 3));
  PumpFor(50);
  EXPECT_EQ(counter.Paints, 0);
  EXPECT_EQ(Display->PointCount(), 0);
  EXPECT_EQ(Display->SpectrogramBlockNumber(), block);
  Feed(RandomFrames(4096, 3));
  PumpFor(50);
  EXPECT_GE(counter.Paints, 1);
  EXPECT_EQ(Display->PointCount(), 441);
  EXPECT_EQ(Display->SpectrogramBlockNumber(), block + 1);

  Display->SetBounds(24, 32, 100, 300);  // W 98 < H 298
  counter.Paints = 0;
  PumpFor(50);
  counter.Paints = 0;
  Feed(RandomFrames(4096, 3));
  PumpFor(50);
  EXPECT_EQ(counter.Paints, 0);
  EXPECT_EQ(Display->PointCount(), 0);
  Display->removeEventFilter(&counter);
}

TEST_F(SpectrumDisplayTest, BandTableFollowsTheFftLength) {
  Show(sdOctave3, 0, 0);
  Feed(RandomFrames(4096, 8));
  EXPECT_EQ(TSpectrumDisplay::BandTable().N, 4096);
  Display->SetFFTpower(14);
  EXPECT_EQ(TSpectrumDisplay::BandTable().N, 4096);  // rebuilt by the next block, not before
  Feed(RandomFrames(16384, 8));
  EXPECT_EQ(TSpectrumDisplay::BandTable().N, 16384);
  EXPECT_EQ(TSpectrumDisplay::BandTable().Start[0], 10);
  EXPECT_EQ(TSpectrumDisplay::BandTable().Count[0], 4);
}

// Pink noise through the simulated card: the wire gives flat bands, the right channel the
// card's known filter.
TEST(SpectrumOnTheCard, PinkNoiseBandsShowTheWireAndTheFilter) {
  auto backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 11);
  // The noise reseeds from a clock once per block: a counter makes every run the same.
  static uint32_t ticks = 0;
  ticks = 0;
  SetReseedClock([] { return ticks += 7919; });
  SetAudioBackend(backend);
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
  {
    struct TAveraging : TSpectrumDisplay {
      using TSpectrumDisplay::TSpectrumDisplay;
      std::vector<double> Sum = std::vector<double>(kSpectrumBands);
      int Blocks = 0, Skip = 2, FirstAfterRestart = -1;
      bool Restarted = false;
      void ProcessSamples(const int16_t* s, int n, bool& go) override {
        TSpectrumDisplay::ProcessSamples(s, n, go);
        if (Restarted && FirstAfterRestart < 0) FirstAfterRestart = SpectrogramBlockNumber();
        if (PointCount() != kSpectrumBands || Skip-- > 0) return;
        for (int j = 0; j < kSpectrumBands; ++j) Sum[j] += ColumnArray(0)[j];
        ++Blocks;
      }
      std::vector<double> TakedB() {
        std::vector<double> dB;
        for (double s : Sum) dB.push_back(10 * std::log10(s / Blocks));
        Sum.assign(kSpectrumBands, 0);
        Blocks = 0;
        return dB;
      }
    };
    QWidget parent;
    auto* display = new TAveraging(&parent);
    display->SetBounds(24, 32, 443, 258);
    display->SetMovingAverage(false);
    display->SetFFTpower(15);
    display->SetChannelSelect(csLeft);
    TBasicAudioAnalyser analyser;
    analyser.SetDisplay(display);
    EXPECT_EQ(analyser.BufferSamples(), 32768);
    TAudioToneGenerator generator;
    generator.SetLeftWaveform(PinkNoise);
    generator.SetRightWaveform(PinkNoise);
    generator.SetLeftAmplitude(0.1f);
    generator.SetRightAmplitude(0.1f);
    analyser.SetAutoStart(true);
    analyser.SetEnabled(true);
    generator.SetEnabled(true);
    constexpr int kBlocks = 60;
    ASSERT_TRUE(PumpUntil([&] { return display->Blocks >= kBlocks; }, 60000));
    const std::vector<double> left = display->TakedB();

    // Rebuilding the axes restarts the running capture, with block numbers from the start.
    display->SetChannelSelect(csRight);
    display->SetMode(sdOctave3);
    display->Restarted = true;
    EXPECT_TRUE(analyser.Enabled());
    display->Skip = 0;
    ASSERT_TRUE(PumpUntil([&] { return display->Blocks >= kBlocks; }, 60000));
    EXPECT_GE(display->FirstAfterRestart, 0);
    EXPECT_LE(display->FirstAfterRestart, 1);
    const std::vector<double> right = display->TakedB();
    generator.SetEnabled(false);
    analyser.SetEnabled(false);

    constexpr int kFirst = 5, kLast = 25;  // 99 Hz ... 10.1 kHz
    double mean = 0;
    for (int j = kFirst; j <= kLast; ++j) mean += left[j] / (kLast - kFirst + 1);
    double worstFlat = 0, worstFilter = 0;
    int worstFlatBand = 0, worstFilterBand = 0;
    for (int j = kFirst; j <= kLast; ++j) {
      const double centre = 31.25 * std::exp2(j / 3.0);
      const double flat = std::abs(left[j] - mean);
      const double filter = std::abs(right[j] - left[j] - TSimulatedCard::RightGaindB(centre));
      if (flat > worstFlat) worstFlat = flat, worstFlatBand = j;
      if (filter > worstFilter) worstFilter = filter, worstFilterBand = j;
      EXPECT_LT(flat, 1.0) << "band " << j;
      EXPECT_LT(filter, 1.0) << "band " << j << " at " << centre << " Hz";
    }
    std::printf("wire: worst %.2f dB from flat at band %d; filter: worst %.2f dB at band %d\n",
                worstFlat, worstFlatBand, worstFilter, worstFilterBand);
  }
  SetMessages(previous);
  SetReseedClock(nullptr);
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
  PumpFor(20);
  SetAudioBackend(nullptr);
}

// Every display has the analyser as its source, but only one is fed: a display nobody feeds
// changes its range, mode and FFT length without stopping, restarting or resizing the capture
// of the one that is.
TEST(SpectrumOnTheCard, ADisplayNotFedLeavesTheCaptureAlone) {
  auto backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 11);
  SetAudioBackend(backend);
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
  {
    QWidget parent;
    auto* idle = new TSpectrumDisplay(&parent);
    auto* fed = new TSpectrumDisplay(&parent);
    for (TSpectrumDisplay* d : {idle, fed}) d->SetBounds(24, 32, 443, 258);
    fed->SetFFTpower(13);
    TBasicAudioAnalyser analyser;
    analyser.SetDisplay(idle);
    analyser.SetDisplay(fed);
    std::vector<std::string> events;
    analyser.SetOnOpen([&](QObject*) { events.push_back("open"); });
    analyser.SetOnClose([&](QObject*) { events.push_back("close"); });
    analyser.SetAutoStart(true);
    analyser.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return analyser.BufferNumber() >= 3; }, 10000));

    idle->SetFreqMin(300);
    idle->SetFreqMax(3300);
    idle->SetMode(sdLinFreq);
    idle->SetFFTpower(14);
    idle->SetMarkerF1(1000);
    ASSERT_TRUE(PumpUntil([&] { return analyser.BufferNumber() >= 6; }, 10000));
    EXPECT_EQ(events, std::vector<std::string>{"open"});
    EXPECT_EQ(analyser.BufferSamples(), 8192);
    EXPECT_EQ(idle->FFTpower(), 14);
    EXPECT_EQ(idle->FreqMax(), 3300);

    fed->SetMode(sdLinFreq);  // the display fed restarts its capture, as it always has
    ASSERT_TRUE(PumpUntil([&] { return events.size() >= 3 && events.back() == "open"; }, 10000));
    EXPECT_EQ(events[1], "close");
    analyser.SetEnabled(false);
  }
  SetMessages(previous);
  EXPECT_TRUE(recorder.Log().empty()) << recorder.Log();
  PumpFor(20);
  SetAudioBackend(nullptr);
}

}  // namespace
