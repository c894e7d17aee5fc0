// The simulated card's polynomial device under test worked out from the polynomial alone: what
// the measurement tests compare the analysers' readings with.
#pragma once

#include <cmath>
#include <complex>
#include <vector>

namespace polynomial_model {

constexpr double kTwoPi = 6.283185307179586476925;

// c1 x + c2 x^2 + ... (the card's coefficients, on the full scale 1.0).
inline double Poly(const std::vector<double>& c, double x) {
  double v = 0, power = 1;
  for (double k : c) v += k * (power *= x);
  return v;
}

// Amplitude of each component of poly(a1 cos(f1 t) + a2 cos(f2 t)) at hz, from one second of
// it sampled so finely that every component up to degree 9 falls on its own bin (f1, f2 and hz
// whole hertz).
inline double Component(const std::vector<double>& c, double a1, double f1, double a2, double f2, double hz) {
  constexpr int n = 1 << 18;
  std::complex<double> sum = 0;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / n;
    const double y = Poly(c, a1 * std::cos(kTwoPi * f1 * t) + a2 * std::cos(kTwoPi * f2 * t + 0.4));
    sum += y * std::polar(1.0, -kTwoPi * hz * t);
  }
  return 2 * std::abs(sum) / n;
}

}  // namespace polynomial_model
