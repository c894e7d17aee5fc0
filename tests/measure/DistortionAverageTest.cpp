// Power averaging of distortion readings: what each quantity averages as, the window of the last
// readings, and what starts a channel afresh.
#include "DistortionAverage.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TChannelDistortion Reading(double hz, double ratio, double leveldBFS, double snrdB) {
  TChannelDistortion c;
  c.Valid = true;
  c.Frequency = hz;
  c.ThdRatio = c.ThdnRatio = ratio;
  c.LeveldBFS = c.RmsdBFS = leveldBFS;
  c.NoisedBFS = leveldBFS - snrdB;
  c.SnrdB = snrdB;
  c.SinaddB = 10 * std::log10(1 + 1 / (ratio * ratio));
  c.Harmonics = {{3, 3 * hz, 0, 20 * std::log10(ratio), 100 * ratio}};
  c.ResidualSpectrum = {static_cast<float>(leveldBFS - snrdB), -100.0f};
  return c;
}

TDistortionResult Both(const TChannelDistortion& c) {
  TDistortionResult r;
  r.Channel[0] = r.Channel[1] = c;
  return r;
}

TEST(DistortionAverage, PowerMeansOverTheLastReadingsAndFreshStarts) {
  TDistortionAverage average;
  average.SetCount(2);
  average.Add(Both(Reading(1000, 0.5, -100, 10)));  // falls out of the window of two
  TChannelDistortion a = average.Add(Both(Reading(1000, 0.001, -6, 90))).Channel[0];
  a = average.Add(Both(Reading(1004, 0.003, -12, 100))).Channel[0];
  EXPECT_EQ(average.Held(0), 2);
  const double ratio = std::sqrt((1e-6 + 9e-6) / 2);
  const double level = 10 * std::log10((std::pow(10, -0.6) + std::pow(10, -1.2)) / 2);
  const double noise = 10 * std::log10((std::pow(10, -9.6) + std::pow(10, -11.2)) / 2);
  const struct {
    const char* name;
    double got, expected;
  } rows[] = {
      {"frequency", a.Frequency, 1002},
      {"THD", a.ThdRatio, ratio},
      {"THD %", a.ThdPercent, 100 * ratio},
      {"THD dB", a.ThddB, 20 * std::log10(ratio)},
      {"THD+N", a.ThdnRatio, ratio},
      {"SINAD", a.SinaddB, 10 * std::log10(1 + 1 / (ratio * ratio))},
      {"level", a.LeveldBFS, level},
      {"noise", a.NoisedBFS, noise},
      {"SNR", a.SnrdB, -10 * std::log10((1e-9 + 1e-10) / 2)},
      {"H3 %", a.Harmonics.at(0).Percent, 100 * ratio},
      {"H3 dBc", a.Harmonics.at(0).dBc, 20 * std::log10(ratio)},
      {"H3 frequency", a.Harmonics.at(0).Frequency, 3006},
      {"residual bin 0", a.ResidualSpectrum.at(0), noise},
      {"residual bin 1", a.ResidualSpectrum.at(1), -100},
  };
  for (const auto& row : rows) EXPECT_NEAR(row.got, row.expected, 1e-5) << row.name;

  // A tone moved by more than 1 % and an invalid channel each start that channel afresh.
  TDistortionResult next = Both(Reading(1020, 0.002, -20, 80));
  next.Channel[1].Valid = false;
  TDistortionResult shown = average.Add(next);
  EXPECT_EQ(average.Held(0), 1);
  EXPECT_EQ(average.Held(1), 0);
  EXPECT_DOUBLE_EQ(shown.Channel[0].ThdRatio, 0.002);
  EXPECT_FALSE(shown.Channel[1].Valid);
  average.SetCount(16);
  EXPECT_EQ(average.Held(0), 0) << "a new count restarts";
}

}  // namespace
