#include "Smoothing.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kRadToDeg = 180.0 / std::numbers::pi;

}  // namespace

int OctaveFraction(TSmoothing s) {
  switch (s) {
    case TSmoothing::None: return 0;
    case TSmoothing::Octave1: return 1;
    case TSmoothing::Octave3: return 3;
    case TSmoothing::Octave6: return 6;
    case TSmoothing::Octave12: return 12;
    case TSmoothing::Octave24: return 24;
    case TSmoothing::Octave48: return 48;
  }
  return 0;
}

const char* SmoothingName(TSmoothing s) {
  switch (s) {
    case TSmoothing::None: return "None";
    case TSmoothing::Octave1: return "1/1 octave";
    case TSmoothing::Octave3: return "1/3 octave";
    case TSmoothing::Octave6: return "1/6 octave";
    case TSmoothing::Octave12: return "1/12 octave";
    case TSmoothing::Octave24: return "1/24 octave";
    case TSmoothing::Octave48: return "1/48 octave";
  }
  return "None";
}

void TSmoother::Set(const std::complex<double>* response, int count, double binHz) {
  binHz_ = binHz;
  power_.resize(count);
  powerSum_.resize(count);
  value_.assign(response, response + count);
  valueSum_.resize(count);
  double p = 0;
  std::complex<double> v = 0;
  for (int k = 0; k < count; ++k) {
    power_[k] = std::norm(response[k]);
    if (k > 0) {
      // Trapezoids: the exact integral of the line joining the bins.
      p += 0.5 * (power_[k - 1] + power_[k]);
      v += 0.5 * (value_[k - 1] + value_[k]);
    }
    powerSum_[k] = p;
    valueSum_[k] = v;
  }
}

template <class T>
T TSmoother::Integral(const std::vector<T>& g, const std::vector<T>& sum, double u) {
  const int last = static_cast<int>(g.size()) - 1;
  const int i = std::clamp(static_cast<int>(std::floor(u)), 0, last - 1);
  const double d = u - i;
  return sum[i] + d * g[i] + (0.5 * d * d) * (g[i + 1] - g[i]);
}

void TSmoother::Band(double u, TSmoothing s, double& lo, double& hi) const {
  const int n = OctaveFraction(s);
  const double top = static_cast<double>(power_.size() - 1);
  u = std::clamp(u, 0.0, top);
  if (n == 0) {
    lo = hi = u;
    return;
  }
  const double half = std::exp2(0.5 / n);
  lo = std::clamp(u / half, 0.0, top);
  hi = std::clamp(u * half, 0.0, top);
}

double TSmoother::Power(double hz, TSmoothing s) const {
  double lo, hi;
  Band(hz / binHz_, s, lo, hi);
  if (hi - lo < 1e-9) {
    const double m = 0.5 * (lo + hi);
    const int i = std::clamp(static_cast<int>(m), 0, Bins() - 2);
    return power_[i] + (m - i) * (power_[i + 1] - power_[i]);
  }
  return (Integral(power_, powerSum_, hi) - Integral(power_, powerSum_, lo)) / (hi - lo);
}

std::complex<double> TSmoother::Complex(double hz, TSmoothing s) const {
  double lo, hi;
  Band(hz / binHz_, s, lo, hi);
  if (hi - lo < 1e-9) {
    const double m = 0.5 * (lo + hi);
    const int i = std::clamp(static_cast<int>(m), 0, Bins() - 2);
    return value_[i] + (m - i) * (value_[i + 1] - value_[i]);
  }
  return (Integral(value_, valueSum_, hi) - Integral(value_, valueSum_, lo)) / (hi - lo);
}

double TSmoother::GroupDelayMs(double hz, TSmoothing s) const {
  // Over one bin either side: the finest step the data carries.
  const double below = std::max(0.0, hz - binHz_), above = std::min(hz + binHz_, binHz_ * (Bins() - 1));
  if (above <= below) return 0;
  const double turn = std::arg(Complex(above, s) * std::conj(Complex(below, s)));
  return -turn / (2 * std::numbers::pi * (above - below)) * 1e3;
}

void TSmoother::Evaluate(const double* hz, int count, TSmoothing s, TSmoothedPoint* out) const {
  double previous = 0, unwrapped = 0;
  for (int i = 0; i < count; ++i) {
    TSmoothedPoint& p = out[i];
    p.Hz = hz[i];
    const double power = Power(hz[i], s);
    p.MagnitudedB = power > 0 ? 10 * std::log10(power) : -300.0;
    const double phase = std::arg(Complex(hz[i], s)) * kRadToDeg;
    p.PhaseDeg = phase <= -180.0 ? phase + 360.0 : phase;
    if (i == 0) {
      unwrapped = p.PhaseDeg;
    } else {
      double step = p.PhaseDeg - previous;
      step -= 360.0 * std::nearbyint(step / 360.0);
      unwrapped += step;
    }
    previous = p.PhaseDeg;
    p.UnwrappedDeg = unwrapped;
    p.GroupDelayMs = GroupDelayMs(hz[i], s);
  }
}
