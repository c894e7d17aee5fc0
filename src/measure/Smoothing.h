// Fractional-octave smoothing of a frequency response given on a uniform grid (bin k at
// k * BinHz), evaluated at any frequency, for drawing and for files.
//
// Method, and why:
// - Magnitude: the mean of the power |H|^2 over the band f 2^(-1/2n) ... f 2^(1/2n). Averaging
//   power keeps the energy in the band (a narrow notch costs what it removes), where averaging
//   dB would let a deep notch drag the curve down far beyond its weight.
// - Phase and group delay: the argument of the mean of the complex response over the same band,
//   so no unwrapping decides anything inside a band; give a response whose delay is removed
//   (as TImpulseAnalyser does), else the phase turns too fast for any mean to mean much. Group
//   delay is the slope of that smoothed phase.
// - The bins are joined by straight lines and the band's mean is the exact integral of that line
//   over the band (from running sums), so the curve is continuous in f, a band narrower than a
//   bin gives the interpolated value, and each point costs the same at any width.
//
// Threads: an object is used by one thread at a time. Set allocates on a new length only;
// evaluating allocates nothing.
// Units: Hz; power on the response's own scale squared; dB; degrees; ms.
#pragma once

#include <complex>
#include <vector>

enum class TSmoothing { None, Octave1, Octave3, Octave6, Octave12, Octave24, Octave48 };

// n of 1/n octave: 0 (None), 1, 3, 6, 12, 24, 48.
int OctaveFraction(TSmoothing s);
// "None", "1/1 octave", "1/3 octave", ... as a choice list shows them.
const char* SmoothingName(TSmoothing s);

struct TSmoothedPoint {
  double Hz = 0;
  double MagnitudedB = -300;
  double PhaseDeg = 0;       // wrapped, (-180, 180]
  double UnwrappedDeg = 0;   // continued along the points given, from the first
  double GroupDelayMs = 0;
};

class TSmoother {
 public:
  // The response at bins 0 ... count - 1 (count >= 2), bin k at k * binHz.
  void Set(const std::complex<double>* response, int count, double binHz);
  int Bins() const { return static_cast<int>(power_.size()); }
  double BinHz() const { return binHz_; }

  // Mean power and mean complex response over the smoothing band around hz (hz clamped to the
  // grid; None: the linear interpolation at hz).
  double Power(double hz, TSmoothing s) const;
  std::complex<double> Complex(double hz, TSmoothing s) const;
  // The smoothed phase's slope at hz: -d(arg)/d(omega), ms.
  double GroupDelayMs(double hz, TSmoothing s) const;

  // One point per frequency (ascending), count of them, into out.
  void Evaluate(const double* hz, int count, TSmoothing s, TSmoothedPoint* out) const;

 private:
  // Band [lo, hi] in bins around bin position u.
  void Band(double u, TSmoothing s, double& lo, double& hi) const;
  template <class T>
  static T Integral(const std::vector<T>& g, const std::vector<T>& sum, double u);

  double binHz_ = 1;
  std::vector<double> power_, powerSum_;
  std::vector<std::complex<double>> value_, valueSum_;
};
