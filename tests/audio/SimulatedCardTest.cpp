// The simulated card as a model of a sound system: its round trip, its clocks, its devices
// under test, its noise and its set-up, each against ground truth computed here.
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

using TPlay = std::function<int16_t(int64_t frame, int channel)>;
constexpr double kOffset[2] = {TSimulatedCard::kLeftOffset, TSimulatedCard::kRightOffset};

// One opening of input (and output, if play is given) on the current backend's card, hum off:
// `frames` stereo frames from the input's first.
struct TSession {
  std::vector<int16_t> captured;
  int64_t lag = 0;                   // capture frame where played frame 0 comes back, by the card
  int64_t outClock = -1, inClock = -1;  // the first played and first captured block's clocks
};
TSession Session(TSimulatedCard& card, int64_t frames, const TPlay& play = {}) {
  card.SetHumAmplitude(0);
  TSession s;
  TWaveIn in;
  TWaveOut out;
  in.SetBufferSamples(4410);
  in.SetOnData([&](wavehdr_tag& h) {
    if (s.inClock < 0) s.inClock = h.deviceClock;
    const auto* p = reinterpret_cast<const int16_t*>(h.lpData);
    s.captured.insert(s.captured.end(), p, p + h.dwBytesRecorded / 2);
  });
  int64_t n = 0;
  out.SetOnNeedData([&](PWaveHdr h) {
    for (auto* p = reinterpret_cast<int16_t*>(h->lpData); p < reinterpret_cast<int16_t*>(h->lpData + h->dwBufferLength); p += 2, ++n)
      p[0] = play(n, 0), p[1] = play(n, 1);
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  if (play) out.SetEnabled(true);
  EXPECT_TRUE(PumpUntil([&] { return static_cast<int64_t>(s.captured.size()) >= 2 * frames; }, 60000));
  s.outClock = out.FirstBlockClock();
  s.captured.resize(2 * frames);
  s.lag = card.LastOutputStartFrame() - card.LastInputStartFrame() + card.CurrentDelayFrames();
  return s;
}

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override { SetAudioBackend(backend); }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  TSimulatedCard& Card() { return backend->Card(); }
  std::shared_ptr<TSimulatedBackend> backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 7);
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
};

// Each opening draws its delay in [base, base + jitter], the seed's; the capture is the idle
// input until the played frames arrive, then exactly them; output clock less input clock is
// where they arrive.
TEST_F(CardTest, EachOpeningHasItsOwnRoundTripAndTheClocksSayWhereThePlayedFramesComeBack) {
  Card().SetNoiseRms(0);
  Card().SetDeviceUnderTest(1, {TDutKind::Wire});
  int session = 0;
  auto pattern = [&session](int64_t n, int ch) {  // differs per session, never repeats in one
    uint64_t x = (static_cast<uint64_t>(n) * 2 + ch + (static_cast<uint64_t>(session) << 40)) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<int16_t>(static_cast<int>((x ^ (x >> 29)) % 40000) - 20000);
  };
  const std::pair<int, int> cases[] = {{441, 441}, {44100, 4410}, {0, 0}};
  for (const auto& [base, jitter] : cases) {
    SCOPED_TRACE(testing::Message() << "base " << base << " jitter " << jitter);
    Card().SetRoundTrip(base);
    Card().SetJitter(jitter);
    std::set<int64_t> delays;
    for (int opening = 0; opening < 3; ++opening, ++session) {
      const int64_t frames = base + jitter + 3 * 8820;
      const TSession s = Session(Card(), frames, pattern);
      const int64_t delay = Card().CurrentDelayFrames();
      delays.insert(delay);
      EXPECT_TRUE(delay >= base && delay <= base + jitter) << delay;
      int64_t arrival = 0;  // from the samples: the first frame that is not the idle input
      while (arrival < frames && s.captured[2 * arrival] == kOffset[0]) ++arrival;
      EXPECT_EQ(arrival, s.lag);
      EXPECT_LE(arrival + 8820, frames) << "a whole block of the pattern is compared";
      EXPECT_EQ(s.outClock - s.inClock, arrival);
      int64_t mismatches = 0;
      for (int64_t k = 0; k < 2 * frames; ++k)
        mismatches += s.captured[k] != (k / 2 < arrival ? 0 : pattern(k / 2 - arrival, k % 2)) + kOffset[k % 2];
      EXPECT_EQ(mismatches, 0) << "opening " << opening;
    }
    EXPECT_EQ(delays.size() > 1, jitter > 0);
  }
  auto draws = [](uint32_t seed) {
    auto card = std::make_shared<TSimulatedCard>(TCardPace::Accelerated, seed);
    TDeviceNotifier notifier([](unsigned, PWaveHdr, uint32_t) {});
    std::vector<int64_t> d;
    for (int k = 0; k < 4; ++k, d.push_back(card->CurrentDelayFrames()))
      EXPECT_EQ(card->CreateOutput()->Open(&notifier, NewDeviceGeneration()), 0);
    return d;
  };
  EXPECT_EQ(draws(3), draws(3));
  EXPECT_NE(draws(3), draws(4));
}

// The bilinear transform makes a cookbook section's gain at f its analog prototype's at
// x = tan(pi f / fs) / tan(pi f0 / fs): ground truth apart from the card's coefficients.
double PrototypedB(const TDutModel& m, double hz) {
  auto section = [hz](double f0, double q, int zeros) {  // zeros 0 low-, 1 band-, 2 high-pass
    const double x = std::tan(std::numbers::pi * hz / kSampleRate) / std::tan(std::numbers::pi * f0 / kSampleRate);
    const double num[] = {1, x * x / (q * q), x * x * x * x};
    return 10 * std::log10(num[zeros] / ((1 - x * x) * (1 - x * x) + x * x / (q * q)));
  };
  const double x = std::tan(std::numbers::pi * hz / kSampleRate) / std::tan(std::numbers::pi * 3000 / kSampleRate);
  const double a = std::pow(10.0, 4.0 / 40), d = (1 - x * x) * (1 - x * x);  // the +4 dB, Q 1 peak
  switch (m.Kind) {
    case TDutKind::Wire: return 0;
    case TDutKind::LowPass: return section(m.CornerHz, m.Q, 0);
    case TDutKind::BandPass: return section(m.CornerHz, m.Q, 1);
    case TDutKind::HighPass: return section(m.CornerHz, m.Q, 2);
    case TDutKind::Loudspeaker:
      return section(80, std::numbers::sqrt2 / 2, 2) + 10 * std::log10((d + x * x * a * a) / (d + x * x / (a * a))) +
             section(12000, std::numbers::sqrt2 / 2, 0);
  }
  return NAN;
}

// Each model on each input, a different one on the other: sines come back at the model's gain
// (RMS of the steady capture over RMS of what was played), which is its analog prototype's; a
// high- or low-pass with Q 0.7071 is 3 dB down at its corner.
TEST_F(CardTest, EachDeviceUnderTestOnEitherInputHasItsModelsGain) {
  Card().SetNoiseRms(0);
  const TDutModel models[] = {{TDutKind::Wire},           {TDutKind::Loudspeaker},          {TDutKind::HighPass, 500},
                              {TDutKind::LowPass, 2000}, {TDutKind::BandPass, 1000, 2}, {TDutKind::HighPass, 4000, 3}};
  constexpr int n = std::size(models), kSettle = 4410, kWindow = 8820;  // whole cycles of each f
  for (int i = 0; i < n; ++i) {
    const TDutModel model[2] = {models[i], models[(i + 1) % n]};
    Card().SetDeviceUnderTest(0, model[0]);
    Card().SetDeviceUnderTest(1, model[1]);
    for (double f : {60, 500, 1000, 2000, 4000, 15000}) {
      SCOPED_TRACE(testing::Message() << "models " << i << ", " << (i + 1) % n << " at " << f << " Hz");
      auto sine = [f](int64_t k, int) { return static_cast<int16_t>(std::nearbyint(8000 * std::sin(2 * std::numbers::pi * f * k / kSampleRate))); };
      const int64_t frames = Card().RoundTrip() + Card().Jitter() + 4 * 4410 + kSettle + kWindow;
      const TSession s = Session(Card(), frames, sine);
      ASSERT_LE(s.lag + kSettle + kWindow, frames);
      for (int ch : {0, 1}) {
        double in = 0, out = 0;
        for (int k = kSettle; k < kSettle + kWindow; ++k) {
          in += std::pow(sine(k, ch), 2);
          out += std::pow(s.captured[2 * (s.lag + k) + ch] - kOffset[ch], 2);
        }
        const double gain = TSimulatedCard::GaindB(model[ch], f);
        if (gain > -50) {  // further down the capture's whole LSB would be measured, not the model
          EXPECT_NEAR(10 * std::log10(out / in), gain, 0.02) << "channel " << ch;
        }
        EXPECT_NEAR(gain, PrototypedB(model[ch], f), 1e-6) << "channel " << ch;
        if ((model[ch].Kind == TDutKind::HighPass || model[ch].Kind == TDutKind::LowPass) && f == model[ch].CornerHz &&
            model[ch].Q < 0.71) {
          EXPECT_NEAR(gain, -3.0103, 0.0001);
        }
      }
    }
  }
}

// Each input holds its polynomial of the played samples, through its filter, plus the other
// input's crosstalk, rounded as the card rounds; the reference runs in long double with powers
// rather than Horner, so where it lies within a hair of a half either neighbour is taken. A
// channel that plays nothing shows the other's crosstalk alone.
TEST_F(CardTest, EachInputIsItsPolynomialThroughItsFilterPlusTheOthersCrosstalk) {
  Card().SetNoiseRms(0);
  struct TChannelCase {
    std::vector<double> poly;
    TDutModel model;
    double hz, peak;  // the played sine; peak 0: silence
  };
  struct {
    TChannelCase ch[2];
    double crosstalk;
  } const cases[] = {
      // wires: exactly the polynomial's products; the right one driven past full scale clips
      {{{{0.7071}, {TDutKind::Wire}, 1000, 20000},
        {{0.9, 0.2, 0.05, 0, 0, 0, 0, 0, 0.3}, {TDutKind::Wire}, 1500, 32000}}, 0},
      // the polynomial, then the filter
      {{{{1, 0.05, -0.02}, {TDutKind::HighPass, 500}, 300, 25000},
        {{1.2, 0, -0.2, 0.01}, {TDutKind::Loudspeaker}, 3000, 16000}}, 0},
      // one channel plays: the other reads -40 dB or -60 dB of it, after its nonlinearity and filter
      {{{{1, 0.01, -0.03}, {TDutKind::LowPass, 2000}, 700, 30000}, {{1}, {TDutKind::Wire}, 0, 0}}, 1e-2},
      {{{{1, 0.5}, {TDutKind::HighPass, 200}, 0, 0}, {{0.8, 0, 0.1}, {TDutKind::BandPass, 1000, 2}, 1200, 30000}}, 1e-3},
      // both play, both leak into each other; then the identity again, bit for bit
      {{{{1, -0.1}, {TDutKind::Wire}, 440, 20000}, {{1, 0, 0.1}, {TDutKind::LowPass, 5000}, 2500, 20000}}, 0.05},
      {{{{1}, {TDutKind::Wire}, 997, 30000}, {{1}, {TDutKind::Wire}, 1999, 30000}}, 0},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << index++);
    for (int ch : {0, 1}) {
      Card().SetNonlinearity(ch, c.ch[ch].poly);
      Card().SetDeviceUnderTest(ch, c.ch[ch].model);
    }
    Card().SetCrosstalk(c.crosstalk);
    auto sine = [&c](int64_t k, int ch) {
      return static_cast<int16_t>(std::nearbyint(c.ch[ch].peak * std::sin(2 * std::numbers::pi * c.ch[ch].hz * k / kSampleRate)));
    };
    const int64_t frames = Card().RoundTrip() + Card().Jitter() + 8820;
    const TSession s = Session(Card(), frames, sine);
    std::vector<double> d[2];  // each device under test's output, from the input's first frame
    for (int ch : {0, 1}) {
      std::vector<TSimulatedCard::TBiquad> stages = TSimulatedCard::Stages(c.ch[ch].model);
      for (int64_t k = 0; k < frames; ++k) {
        long double y = 0;
        if (k >= s.lag) {
          const long double x = sine(k - s.lag, ch) / 32767.0L;
          for (size_t j = 0; j < c.ch[ch].poly.size(); ++j) y += c.ch[ch].poly[j] * std::pow(x, static_cast<int>(j + 1));
        }
        double v = static_cast<double>(32767 * y);
        for (TSimulatedCard::TBiquad& b : stages) v = b.Process(v);
        d[ch].push_back(v);
      }
    }
    ASSERT_LT(s.lag, frames - 4410);
    for (int ch : {0, 1}) {
      int64_t mismatches = 0, clipped = 0;
      for (int64_t k = 0; k < frames; ++k) {
        const double want = d[ch][k] + c.crosstalk * d[1 - ch][k] + kOffset[ch];
        const double got = s.captured[2 * k + ch];
        clipped += std::abs(want + 0.5) > 32768;
        const double rounded = std::clamp<double>(std::nearbyint(want), -32768, 32767);
        if (got != rounded && !(std::abs(std::abs(want - got) - 0.5) < 1e-6 && std::abs(want) < 32767))
          ++mismatches;
      }
      EXPECT_EQ(mismatches, 0) << "channel " << ch;
      EXPECT_EQ(clipped > 0, index == 1 && ch == 1) << "channel " << ch;
    }
  }
}

// The nonlinearity's and crosstalk's defaults, and what they refuse: a refused value leaves the
// previous one.
TEST_F(CardTest, TheNonlinearityAndCrosstalkStartStraightAndRefuseWhatIsNotAPolynomialOrAGain) {
  for (int ch : {0, 1}) EXPECT_EQ(Card().Nonlinearity(ch), std::vector<double>{1.0});
  EXPECT_EQ(Card().Crosstalk(), 0);
  const std::vector<double> nine = {1, -2, 3, -4, 5, -6, 7, -8, 9};
  Card().SetNonlinearity(1, nine);
  EXPECT_EQ(Card().Nonlinearity(1), nine);
  const std::pair<int, std::vector<double>> refused[] = {
      {2, {1}}, {-1, {1}}, {1, {}}, {1, std::vector<double>(10, 0.1)}, {1, {1, NAN}}, {1, {INFINITY}}};
  for (const auto& [ch, poly] : refused) EXPECT_THROW(Card().SetNonlinearity(ch, poly), std::invalid_argument) << ch;
  EXPECT_EQ(Card().Nonlinearity(1), nine);
  Card().SetCrosstalk(1e-4);
  EXPECT_THROW(Card().SetCrosstalk(NAN), std::invalid_argument);
  EXPECT_EQ(Card().Crosstalk(), 1e-4);
}

// The noise floor: its level, mean zero, white (nothing in common with the next few samples nor
// the other input), near Gaussian (kurtosis about 3), and the seed's.
TEST_F(CardTest, TheNoiseFloorIsWhiteGaussianAtItsLevelAndTheSeeds) {
  constexpr int kFrames = 10 * kSampleRate;
  constexpr double kRms = 1000;  // far above the 1/12 LSB² that rounding adds
  Card().SetNoiseRms(kRms);
  const std::vector<int16_t> got = Session(Card(), kFrames).captured;
  auto moment = [&](int a, int b, int lag, int power) {  // mean of x_a[k]^power x_b[k - lag]^power
    double sum = 0;
    for (int k = lag; k < kFrames; ++k) sum += std::pow((got[2 * k + a] - kOffset[a]) * (got[2 * (k - lag) + b] - kOffset[b]), power);
    return sum / kFrames;
  };
  for (int ch : {0, 1}) {
    SCOPED_TRACE(ch);
    double mean = 0;
    for (int k = 0; k < kFrames; ++k) mean += (got[2 * k + ch] - kOffset[ch]) / kFrames;
    const double power = moment(ch, ch, 0, 1);
    EXPECT_NEAR(std::sqrt(power) / kRms, 1, 0.02);
    EXPECT_LT(std::abs(mean), 0.01 * kRms);  // 6 standard errors
    EXPECT_NEAR(moment(ch, ch, 0, 2) / (power * power), 3, 0.35);
    for (int lag = 1; lag <= 8; ++lag) EXPECT_LT(std::abs(moment(ch, ch, lag, 1) / power), 0.01) << "lag " << lag;
  }
  EXPECT_LT(std::abs(moment(0, 1, 0, 1) / moment(0, 0, 0, 1)), 0.01) << "left and right";
  auto floor = [](uint32_t seed) {
    auto other = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, seed);
    SetAudioBackend(other);
    other->Card().SetNoiseRms(kRms);
    return Session(other->Card(), kSampleRate).captured;
  };
  EXPECT_TRUE(floor(7) == std::vector<int16_t>(got.begin(), got.begin() + 2 * kSampleRate));
  EXPECT_FALSE(floor(8) == floor(7));
}

// The window's card reads its set-up from the environment; a malformed value is named in one
// line on stderr and leaves its default.
TEST(CardSetUp, TheSimulatedBackendTakesItsSetUpFromTheEnvironment) {
  const char* names[] = {"QUORVANE_AUDIO",         "QUORVANE_SIM_DELAY_MS",   "QUORVANE_SIM_JITTER_MS",
                         "QUORVANE_SIM_LEFT",      "QUORVANE_SIM_RIGHT",      "QUORVANE_SIM_POLY_LEFT",
                         "QUORVANE_SIM_POLY_RIGHT", "QUORVANE_SIM_CROSSTALK_DB"};
  struct {
    const char* values[8];
    int roundTrip, jitter;
    TDutModel left, right;
    std::vector<double> polyLeft, polyRight;
    double crosstalk;
    std::vector<std::string> named;
  } const cases[] = {
      {{"simulated", "100", "10", "lowpass:3000", "bandpass:1e3:2", "1,0,-1e-2", "0.5,1,2,3,4,5,6,7,8", "-80"}, 4410, 441,
       {TDutKind::LowPass, 3000}, {TDutKind::BandPass, 1000, 2}, {1, 0, -0.01}, {0.5, 1, 2, 3, 4, 5, 6, 7, 8}, 1e-4, {}},
      {{"simulated", "2000.5", "-1", "highpass:0", "lowpass", "1,2,3,4,5,6,7,8,9,10", "1, 0.1", "6"}, 13230, 1323,
       {TDutKind::Wire}, {TDutKind::Loudspeaker}, {1}, {1}, 0,
       {"QUORVANE_SIM_DELAY_MS=\"2000.5\"", "QUORVANE_SIM_JITTER_MS=\"-1\"", "QUORVANE_SIM_LEFT=\"highpass:0\"",
        "QUORVANE_SIM_RIGHT=\"lowpass\"", "QUORVANE_SIM_POLY_LEFT=\"1,2,3,4,5,6,7,8,9,10\"",
        "QUORVANE_SIM_POLY_RIGHT=\"1, 0.1\"", "QUORVANE_SIM_CROSSTALK_DB=\"6\""}},
  };
  for (const auto& c : cases) {
    for (int k = 0; k < 8; ++k) setenv(names[k], c.values[k], 1);
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
    EXPECT_EQ(backend->Card().Nonlinearity(0), c.polyLeft);
    EXPECT_EQ(backend->Card().Nonlinearity(1), c.polyRight);
    EXPECT_DOUBLE_EQ(backend->Card().Crosstalk(), c.crosstalk);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), std::ssize(c.named));
    for (const std::string& name : c.named) EXPECT_NE(errors.find(name), std::string::npos) << name;
    SetAudioBackend(nullptr);
  }
  for (const char* bad : {"Wire", "wire:100", "ten", "highpass: 500", "highpass:500Hz", "lowpass:22050",
                          "lowpass:100:0", "bandpass:100:2:3", "notch:100"})
    EXPECT_FALSE(ParseDutModel(bad).has_value()) << bad;
  EXPECT_EQ(ParseDutModel("lowpass:2000:1.5"), (TDutModel{TDutKind::LowPass, 2000, 1.5}));
  for (const char* bad : {"", ",", "1,", ",1", "1,,2", "1;2", "nan", "1,inf", "0x1", "1e999"})
    EXPECT_FALSE(ParseCoefficients(bad).has_value()) << bad;
  EXPECT_EQ(ParseCoefficients("-0.5"), std::vector<double>{-0.5});
}

}  // namespace
