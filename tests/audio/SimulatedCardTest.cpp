// The simulated card as a model of a sound system: its round trip, its clocks, its devices
// under test and its configuration, each against ground truth computed here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"
#include "WaveCommon.h"

namespace {

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
    SetAudioBackend(backend);
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TSimulatedCard& Card() { return backend->Card(); }

  // One opening of output and input: play(n, channel) is played from the output's first frame;
  // the capture holds `frames` stereo frames from the input's first.
  struct TSession {
    std::vector<int16_t> captured;
    int64_t lag = 0;        // capture frame at which played frame 0 comes back, by the card
    int64_t delay = 0;      // the opening's round trip
    int64_t outClock = -1;  // the first played block's clock
    int64_t inClock = -1;   // the first captured block's clock
  };
  TSession Session(const std::function<int16_t(int64_t, int)>& play, int64_t frames) {
    TSession s;
    TWaveIn in;
    TWaveOut out;
    in.SetBufferSamples(4410);
    out.SetBufferSamples(8820);
    in.SetOnData([&](wavehdr_tag& h) {
      if (s.inClock < 0) s.inClock = h.deviceClock;
      const auto* p = reinterpret_cast<const int16_t*>(h.lpData);
      s.captured.insert(s.captured.end(), p, p + h.dwBytesRecorded / 2);
    });
    int64_t played = 0;
    out.SetOnNeedData([&](PWaveHdr h) {
      auto* p = reinterpret_cast<int16_t*>(h->lpData);
      for (uint32_t i = 0; i < h->dwBufferLength / 4; ++i, ++played) {
        p[2 * i] = play(played, 0);
        p[2 * i + 1] = play(played, 1);
      }
    });
    in.SetAutoStart(true);
    in.SetEnabled(true);
    out.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return static_cast<int64_t>(s.captured.size()) >= 2 * frames; }, 30000));
    s.outClock = out.FirstBlockClock();
    out.SetEnabled(false);
    in.SetEnabled(false);
    s.delay = Card().CurrentDelayFrames();
    s.lag = Card().LastOutputStartFrame() - Card().LastInputStartFrame() + s.delay;
    return s;
  }

  std::shared_ptr<TSimulatedBackend> backend;
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

// A sequence that differs per session and does not repeat within one.
int16_t Pattern(int64_t n, int channel, int session) {
  uint64_t x = (static_cast<uint64_t>(n) * 2 + channel) * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(session + 1) * 0xD1B54A32D192ED03ull;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<int16_t>(static_cast<int>(x % 40000) - 20000);
}

// Every opening draws its delay in [base, base + jitter]; the capture is the offsets alone until
// the played frames arrive, then exactly them; the output's clock less the input's is where they
// arrive.
TEST_F(CardTest, EachOpeningHasItsOwnRoundTripAndTheClocksSayWhereThePlayedFramesComeBack) {
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  Card().SetDeviceUnderTest(1, {TDutKind::Wire});
  const double offset[2] = {TSimulatedCard::kLeftOffset, TSimulatedCard::kRightOffset};
  struct {
    int base, jitter;
  } const cases[] = {{441, 441}, {44100, 4410}, {0, 0}};
  int session = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "base " << c.base << " jitter " << c.jitter);
    Card().SetRoundTrip(c.base);
    Card().SetJitter(c.jitter);
    std::set<int64_t> delays;
    for (int opening = 0; opening < 3; ++opening, ++session) {
      const int64_t frames = c.base + c.jitter + 3 * 8820;
      const TSession s = Session([&](int64_t n, int ch) { return Pattern(n, ch, session); }, frames);
      ASSERT_GE(static_cast<int64_t>(s.captured.size()), 2 * frames);
      delays.insert(s.delay);
      EXPECT_GE(s.delay, c.base);
      EXPECT_LE(s.delay, c.base + c.jitter);
      // Ground truth from the samples: the first frame that is not the idle input.
      int64_t arrival = 0;
      while (arrival < frames && s.captured[2 * arrival] == offset[0]) ++arrival;
      EXPECT_EQ(arrival, s.lag);
      EXPECT_LE(s.lag + 8820, frames) << "a whole block of the pattern is compared";
      ASSERT_GE(s.outClock, 0);
      ASSERT_GE(s.inClock, 0);
      EXPECT_EQ(s.outClock - s.inClock, arrival);
      int64_t mismatches = 0;
      for (int64_t k = 0; k < frames; ++k)
        for (int ch : {0, 1})
          mismatches += s.captured[2 * k + ch] != (k < arrival ? 0 : Pattern(k - arrival, ch, session)) + offset[ch];
      EXPECT_EQ(mismatches, 0) << "opening " << opening;
    }
    EXPECT_EQ(delays.size() > 1, c.jitter > 0);
  }
  EXPECT_EQ(Card().DroppedInputFrames(), 0);

  // The draws are the seed's: another card with the same seed opens with the same delays.
  auto draws = [](uint32_t seed) {
    auto card = std::make_shared<TSimulatedCard>(TCardPace::Accelerated, seed);
    TDeviceNotifier notifier([](unsigned, PWaveHdr, uint32_t) {});
    std::vector<int64_t> d;
    for (int k = 0; k < 4; ++k) {
      auto out = card->CreateOutput();
      EXPECT_EQ(out->Open(&notifier, NewDeviceGeneration()), 0);
      d.push_back(card->CurrentDelayFrames());
    }
    return d;
  };
  EXPECT_EQ(draws(3), draws(3));
  EXPECT_NE(draws(3), draws(4));
}

// Gain of a second-order section's analog prototype at x = tan(pi f / fs) / tan(pi f0 / fs),
// which the bilinear transform makes the digital filter's gain at f exactly.
double PrototypedB(const TDutModel& m, double hz) {
  auto x = [](double f, double f0) { return std::tan(std::numbers::pi * f / kSampleRate) / std::tan(std::numbers::pi * f0 / kSampleRate); };
  auto section = [](double num, double x2, double xq) { return 10 * std::log10(num / ((1 - x2) * (1 - x2) + xq * xq)); };
  auto highPass = [&](double f0, double q) { const double v = x(hz, f0); return section(v * v * v * v, v * v, v / q); };
  auto lowPass = [&](double f0, double q) { const double v = x(hz, f0); return section(1, v * v, v / q); };
  switch (m.Kind) {
    case TDutKind::Wire: return 0;
    case TDutKind::HighPass: return highPass(m.CornerHz, m.Q);
    case TDutKind::LowPass: return lowPass(m.CornerHz, m.Q);
    case TDutKind::BandPass: {
      const double v = x(hz, m.CornerHz);
      return section(v * v / (m.Q * m.Q), v * v, v / m.Q);
    }
    case TDutKind::Loudspeaker: {
      const double v = x(hz, 3000), a = std::pow(10.0, 4.0 / 40), q = 1.0;
      const double d = (1 - v * v) * (1 - v * v);
      const double peak = 10 * std::log10((d + v * v * a * a / (q * q)) / (d + v * v / (a * a * q * q)));
      return highPass(80, std::numbers::sqrt2 / 2) + peak + lowPass(12000, std::numbers::sqrt2 / 2);
    }
  }
  return NAN;
}

// Each model on each input: sines played through the card come back at the model's gain,
// measured as the RMS of the steady-state capture over that of what was played; the model's
// gain is its analog prototype's, and a high- or low-pass with Q = 0.7071 is 3 dB down at its corner.
TEST_F(CardTest, EachDeviceUnderTestOnEitherInputHasItsModelsGain) {
  Card().SetHumAmplitude(0);
  Card().SetNoiseRms(0);
  const TDutModel models[] = {{TDutKind::Wire},
                              {TDutKind::Loudspeaker},
                              {TDutKind::HighPass, 500, 0.70710678},
                              {TDutKind::LowPass, 2000, 0.70710678},
                              {TDutKind::BandPass, 1000, 2},
                              {TDutKind::HighPass, 4000, 3}};
  const double frequencies[] = {60, 500, 1000, 2000, 4000, 15000};
  const double offset[2] = {TSimulatedCard::kLeftOffset, TSimulatedCard::kRightOffset};
  constexpr int kWindow = 8820;  // whole cycles of every frequency
  constexpr int n = std::size(models);
  for (int i = 0; i < n; ++i) {
    const TDutModel model[2] = {models[i], models[(i + 1) % n]};  // a different model on each side
    Card().SetDeviceUnderTest(0, model[0]);
    Card().SetDeviceUnderTest(1, model[1]);
    for (double f : frequencies) {
      SCOPED_TRACE(testing::Message() << "models " << i << ", " << (i + 1) % n << " at " << f << " Hz");
      auto sine = [f](int64_t k, int) {
        return static_cast<int16_t>(std::nearbyint(8000 * std::sin(2 * std::numbers::pi * f * static_cast<double>(k) / kSampleRate)));
      };
      const int64_t settle = 4410, frames = Card().RoundTrip() + Card().Jitter() + 4 * 4410 + settle + kWindow;
      const TSession s = Session(sine, frames);
      ASSERT_LE(s.lag + settle + kWindow, frames);
      for (int ch : {0, 1}) {
        double in = 0, out = 0;
        for (int k = 0; k < kWindow; ++k) {
          const int64_t c = s.lag + settle + k;
          const double y = s.captured[2 * c + ch] - offset[ch], x = sine(settle + k, ch);
          in += x * x;
          out += y * y;
        }
        const double gain = TSimulatedCard::GaindB(model[ch], f);
        // Far down, the capture's rounding to whole LSB would be measured, not the model.
        if (gain > -50) {
          EXPECT_NEAR(10 * std::log10(out / in), gain, 0.02) << "channel " << ch;
        }
        EXPECT_NEAR(gain, PrototypedB(model[ch], f), 1e-6) << "channel " << ch;
        const bool pass = model[ch].Kind == TDutKind::HighPass || model[ch].Kind == TDutKind::LowPass;
        if (pass && f == model[ch].CornerHz && model[ch].Q < 0.71) {
          EXPECT_NEAR(gain, -3.0103, 0.0001);
        }
      }
    }
  }
  EXPECT_EQ(Card().DeviceUnderTest(0), models[n - 1]);
  EXPECT_EQ(Card().DeviceUnderTest(1), models[0]);
}

// The noise floor: its level, mean zero, white (no correlation from one sample to the next few,
// nor between the inputs), near Gaussian (kurtosis about 3), and the same for the same seed.
TEST_F(CardTest, TheNoiseFloorIsWhiteGaussianAtItsLevelAndTheSeeds) {
  constexpr int kFrames = 10 * kSampleRate;
  constexpr double kRms = 1000;  // far above the 1/12 LSB² that rounding adds
  auto idle = [](TSimulatedCard& card, int frames) {
    card.SetHumAmplitude(0);
    card.SetNoiseRms(kRms);
    TWaveIn in;
    in.SetBufferSamples(4410);
    std::vector<int16_t> got;
    in.SetOnData([&](wavehdr_tag& h) {
      const auto* p = reinterpret_cast<const int16_t*>(h.lpData);
      got.insert(got.end(), p, p + h.dwBytesRecorded / 2);
    });
    in.SetAutoStart(true);
    in.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return got.size() >= 2u * frames; }, 60000));
    in.SetEnabled(false);
    got.resize(2 * frames);
    return got;
  };
  const std::vector<int16_t> got = idle(Card(), kFrames);
  const double offset[2] = {TSimulatedCard::kLeftOffset, TSimulatedCard::kRightOffset};
  std::vector<double> x[2];
  for (int ch : {0, 1}) {
    SCOPED_TRACE(ch);
    for (int k = 0; k < kFrames; ++k) x[ch].push_back(got[2 * k + ch] - offset[ch]);
    double sum = 0, sum2 = 0, sum4 = 0;
    for (double v : x[ch]) sum += v, sum2 += v * v, sum4 += v * v * v * v;
    const double mean = sum / kFrames, power = sum2 / kFrames;
    EXPECT_NEAR(std::sqrt(power) / kRms, 1, 0.02);
    EXPECT_LT(std::abs(mean), 0.01 * kRms);  // 6 standard errors
    EXPECT_NEAR(sum4 / kFrames / (power * power), 3, 0.35);
    for (int lag = 1; lag <= 8; ++lag) {
      double r = 0;
      for (int k = lag; k < kFrames; ++k) r += x[ch][k] * x[ch][k - lag];
      EXPECT_LT(std::abs(r / kFrames / power), 0.01) << "lag " << lag;
    }
  }
  double cross = 0, power = 0;
  for (int k = 0; k < kFrames; ++k) cross += x[0][k] * x[1][k], power += x[0][k] * x[0][k];
  EXPECT_LT(std::abs(cross / power), 0.01) << "left and right";

  auto seeded = [&](uint32_t seed) {
    auto card = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, seed);
    SetAudioBackend(card);
    return idle(card->Card(), 44100);
  };
  const std::vector<int16_t> first(got.begin(), got.begin() + 2 * 44100);
  EXPECT_TRUE(seeded(7) == first);
  EXPECT_FALSE(seeded(8) == first);
}

TEST(CardModels, ParseDutModelReadsTheEnvironmentsWords) {
  struct {
    const char* text;
    std::optional<TDutModel> model;
  } const cases[] = {
      {"wire", TDutModel{TDutKind::Wire}},
      {"loudspeaker", TDutModel{TDutKind::Loudspeaker}},
      {"highpass:500", TDutModel{TDutKind::HighPass, 500, 0.70710678}},
      {"lowpass:2000:1.5", TDutModel{TDutKind::LowPass, 2000, 1.5}},
      {"bandpass:1e3:4", TDutModel{TDutKind::BandPass, 1000, 4}},
      {"", std::nullopt},
      {"Wire", std::nullopt},
      {"wire:100", std::nullopt},
      {"highpass", std::nullopt},
      {"highpass:", std::nullopt},
      {"highpass: 500", std::nullopt},
      {"highpass:500Hz", std::nullopt},
      {"lowpass:0", std::nullopt},
      {"lowpass:22050", std::nullopt},
      {"lowpass:100:0", std::nullopt},
      {"bandpass:100:-2", std::nullopt},
      {"bandpass:100:2:3", std::nullopt},
      {"notch:100", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDutModel(c.text), c.model) << '"' << c.text << '"';
}

// The window's card reads its set-up from the environment; a malformed value is named once on
// stderr and leaves its default.
TEST(CardModels, TheSimulatedBackendTakesItsSetUpFromTheEnvironment) {
  const char* names[] = {"QUORVANE_AUDIO", "QUORVANE_SIM_DELAY_MS", "QUORVANE_SIM_JITTER_MS", "QUORVANE_SIM_LEFT",
                         "QUORVANE_SIM_RIGHT"};
  struct {
    const char* values[5];
    int roundTrip, jitter;
    TDutModel left, right;
    std::vector<std::string> named;
  } const cases[] = {
      {{"simulated", "100", "10", "lowpass:3000", "bandpass:800:2"}, 4410, 441, {TDutKind::LowPass, 3000}, {TDutKind::BandPass, 800, 2}, {}},
      {{"simulated", "2000.5", "ten", "highpass:0", "wire"}, TSimulatedCard::kDefaultRoundTripFrames,
       TSimulatedCard::kDefaultJitterFrames, {TDutKind::Wire}, {TDutKind::Wire},
       {"QUORVANE_SIM_DELAY_MS=\"2000.5\"", "QUORVANE_SIM_JITTER_MS=\"ten\"", "QUORVANE_SIM_LEFT=\"highpass:0\""}},
      {{"simulated", "0", "-1", "loudspeaker", "lowpass"}, 0, TSimulatedCard::kDefaultJitterFrames, {TDutKind::Loudspeaker},
       {TDutKind::Loudspeaker}, {"QUORVANE_SIM_JITTER_MS=\"-1\"", "QUORVANE_SIM_RIGHT=\"lowpass\""}},
  };
  for (const auto& c : cases) {
    for (int k = 0; k < 5; ++k) setenv(names[k], c.values[k], 1);
    SetAudioBackend(nullptr);
    testing::internal::CaptureStderr();
    auto* backend = dynamic_cast<TSimulatedBackend*>(&AudioBackend());
    const std::string errors = testing::internal::GetCapturedStderr();
    for (const char* name : names) unsetenv(name);
    ASSERT_NE(backend, nullptr);
    SCOPED_TRACE(errors);
    EXPECT_EQ(backend->Card().RoundTrip(), c.roundTrip);
    EXPECT_EQ(backend->Card().Jitter(), c.jitter);
    EXPECT_EQ(backend->Card().DeviceUnderTest(0), c.left);
    EXPECT_EQ(backend->Card().DeviceUnderTest(1), c.right);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), static_cast<long>(c.named.size()));
    for (const std::string& name : c.named) EXPECT_NE(errors.find(name), std::string::npos) << name;
    SetAudioBackend(nullptr);
  }
}

}  // namespace
