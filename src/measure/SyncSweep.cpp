#include "SyncSweep.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(std::string("sweep: ") + what);
}

}  // namespace

TSyncSweep::TSyncSweep(const TSyncSweepSettings& settings) : s_(settings) {
  const double nyquist = s_.SampleRate / 2;
  Require(s_.SampleRate >= 8000 && s_.SampleRate <= 384000, "sample rate out of range");
  Require(s_.F1 >= 1 && s_.F1 < nyquist, "start frequency out of range");
  Require(s_.F2 > s_.F1 && s_.F2 <= nyquist, "end frequency out of range");
  Require(s_.Seconds >= 1 && s_.Seconds <= 10, "length out of range");
  Require(s_.Amplitude > 0 && s_.Amplitude <= 1, "amplitude out of range");
  Require(s_.TailSeconds >= 0 && s_.TailSeconds <= 10, "tail out of range");
  // f1 L whole, so that every harmonic starts in phase with the sweep (at least one cycle).
  const double cycles = std::max(1.0, std::nearbyint(s_.F1 * s_.Seconds / std::log(s_.F2 / s_.F1)));
  rate_ = cycles / s_.F1;
  sweepFrames_ = static_cast<int>(std::lrint(Duration() * s_.SampleRate));
  runFrames_ = sweepFrames_ + static_cast<int>(std::lrint(s_.TailSeconds * s_.SampleRate));
  Require(s_.FadeInMs >= 0 && s_.FadeOutMs >= 0, "fade out of range");
  fadeIn_ = static_cast<int>(std::lrint(s_.FadeInMs * 1e-3 * s_.SampleRate));
  fadeOut_ = static_cast<int>(std::lrint(s_.FadeOutMs * 1e-3 * s_.SampleRate));
  Require(fadeIn_ <= sweepFrames_ / 4 && fadeOut_ <= sweepFrames_ / 4, "fade longer than a quarter of the sweep");
}

double TSyncSweep::HarmonicAdvance(int k) const { return rate_ * std::log(static_cast<double>(k)) * s_.SampleRate; }

double TSyncSweep::FrequencyAt(double frame) const { return s_.F1 * std::exp(frame / s_.SampleRate / rate_); }

double TSyncSweep::Value(int64_t n) const {
  if (n < 0 || n >= sweepFrames_) return 0.0;
  const double t = static_cast<double>(n) / s_.SampleRate;
  // Whole cycles dropped before the sine keeps the argument small: f1 L e^(t/L) runs to L f2.
  const double cycles = s_.F1 * rate_ * std::expm1(t / rate_);
  double v = std::sin(kTwoPi * (cycles - std::floor(cycles)));
  if (n < fadeIn_) v *= 0.5 * (1.0 - std::cos(std::numbers::pi * static_cast<double>(n) / fadeIn_));
  const int64_t fromEnd = sweepFrames_ - 1 - n;
  if (fromEnd < fadeOut_) v *= 0.5 * (1.0 - std::cos(std::numbers::pi * static_cast<double>(fromEnd) / fadeOut_));
  return s_.Amplitude * v;
}

int16_t TSyncSweep::Value16(int64_t n) const {
  return static_cast<int16_t>(std::lrint(std::clamp(32767.0 * Value(n), -32767.0, 32767.0)));
}

void TSyncSweep::Fill(float* out, int64_t from, int count) const {
  for (int i = 0; i < count; ++i) out[i] = static_cast<float>(Value(from + i));
}

void TSyncSweep::FillStereo16(int16_t* out, int64_t from, int count) const {
  for (int i = 0; i < count; ++i) {
    const int16_t v = Value16(from + i);
    out[2 * i] = s_.LeftOut ? v : int16_t{0};
    out[2 * i + 1] = s_.RightOut ? v : int16_t{0};
  }
}

std::vector<double> TSyncSweep::Played() const {
  std::vector<double> x(sweepFrames_);
  for (int n = 0; n < sweepFrames_; ++n) x[n] = Value16(n) / 32767.0;
  return x;
}
