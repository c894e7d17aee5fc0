// Where a played signal lies in a capture, against captures made here with a known lag: through
// a wire, an inverting or delaying device, a single channel, and noise that holds nothing.
#include "DelayFinder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "SweepGenerator.h"

namespace {

std::vector<int16_t> FastSweep(int n) {
  std::vector<int16_t> block(2 * static_cast<std::size_t>(n));
  for (int channel : {0, 1}) {
    uint32_t phase = 0;
    TAudioSweepGenerator::FillSweepChannel(block.data(), n, channel, kSmoothSweepSteps, false, true, 20, 20000,
                                           0.5f, phase);
  }
  return block;
}

struct TDevice {
  const char* name;
  double leftGain, rightGain;  // negative inverts
  int extraRight;              // the right channel comes this many frames later still
  double noise;                // LSB rms on both
};

TEST(DelayFinder, CircularFindsTheLagOfAPeriodicSweepThroughDevices) {
  constexpr int n = 57330;
  const std::vector<int16_t> played = FastSweep(n);
  TDelayFinder finder;
  finder.SetReference(played.data(), n, n, TDelayFinder::TMode::Circular);
  ASSERT_TRUE(finder.HasReference());
  std::mt19937 random(3);
  const TDevice devices[] = {{"wire", 1, 1, 0, 0},
                             {"inverted right, quiet left", 0.001, -1, 0, 1},
                             {"left silent, noisy right", 0, 0.05, 0, 30},
                             {"right a little later", 1, 1, 3, 0}};
  for (const TDevice& d : devices)
    for (int lag : {0, 1, 13230, 57329}) {
      SCOPED_TRACE(std::string(d.name) + ", lag " + std::to_string(lag));
      std::normal_distribution<double> noise(0, d.noise);
      std::vector<int16_t> captured(played.size());
      for (int f = 0; f < n; ++f) {
        captured[2 * ((f + lag) % n)] = static_cast<int16_t>(std::lrint(d.leftGain * played[2 * f] + noise(random)));
        captured[2 * ((f + lag + d.extraRight) % n) + 1] =
            static_cast<int16_t>(std::lrint(d.rightGain * played[2 * f + 1] + noise(random)));
      }
      const TDelayResult r = finder.Find(captured.data(), n);
      EXPECT_TRUE(r.Found);
      const int apart = std::abs(r.Lag - lag);
      EXPECT_LE(std::min(apart, n - apart), d.extraRight) << r.Lag;
      // The lag found is where the signal is: its coherence there is what the search reported.
      EXPECT_NEAR(finder.CoherenceAt(captured.data(), n, r.Lag), r.Coherence, 1e-3);
    }
}

TEST(DelayFinder, LinearFindsTheMarkerAndNothingInNoise) {
  constexpr int size = 1 << 16;
  std::vector<int16_t> marker(2 * kMarkerFrames, 0);
  for (int c : {0, 1}) TAudioSweepGenerator::FillMarkerChannel(marker.data(), kMarkerFrames, c, 0.5f);
  TDelayFinder finder;
  finder.SetReference(marker.data(), kMarkerFrames, size, TDelayFinder::TMode::Linear);
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0, 20);
  for (int lag : {0, 441, 44100, size - kMarkerFrames}) {
    std::vector<int16_t> captured(2 * size);
    for (auto& v : captured) v = static_cast<int16_t>(std::lrint(noise(random)));
    for (int f = 0; f < kMarkerFrames; ++f)
      for (int c : {0, 1}) captured[2 * (f + lag) + c] = static_cast<int16_t>(captured[2 * (f + lag) + c] + marker[2 * f + c] / 4);
    const TDelayResult r = finder.Find(captured.data(), size);
    EXPECT_TRUE(r.Found && r.Lag == lag) << lag << ": " << r.Lag << ", clarity " << r.Clarity;
    // A capture cut before the marker has come back whole finds no lag beyond its end.
    if (lag > kMarkerFrames) {
      const TDelayResult cut = finder.Find(captured.data(), lag);
      EXPECT_LE(cut.Lag, lag - kMarkerFrames);
    }
  }
  std::vector<int16_t> quiet(2 * size);
  for (auto& v : quiet) v = static_cast<int16_t>(std::lrint(noise(random)));
  const TDelayResult none = finder.Find(quiet.data(), size);
  EXPECT_FALSE(none.Found) << "clarity " << none.Clarity;
  EXPECT_LT(none.Clarity, TDelayFinder::kMinClarity);
}

}  // namespace
