// The synchronised exponential sine sweep: x(t) = A w(t) sin(2 pi f1 L (exp(t / L) - 1)), the rate
// L rounded so that f1 L is a whole number. Then sin(k phase(t)) = sin(phase(t + L ln k)) exactly:
// the k-th harmonic of any memoryless nonlinearity is the sweep itself running L ln k earlier, so
// its impulse response comes out of the deconvolution L ln k before the linear one, in phase.
// w(t) is a raised-cosine fade-in and fade-out, short enough to leave the band [f1, f2] usable
// (the deconvolution divides by the spectrum of what was played, fades included).
//
// A run is the sweep followed by a tail of silence, long enough to hold the device's response
// and the sound system's round trip.
//
// Threads: a sweep is immutable after construction; any thread may read it.
// Units: Hz, seconds, frames at SampleRate; amplitude as a peak on the full scale 1.0 (16-bit
// 32767); 0 dBFS = a full-scale sine.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

struct TSyncSweepSettings {
  double F1 = 20.0;            // Hz, start; 1 ... SampleRate / 2
  double F2 = 20000.0;         // Hz, end; above F1, at most SampleRate / 2
  double Seconds = 5.0;        // requested length, 1 ... 10 s; the actual is L ln(F2 / F1)
  double Amplitude = 0.316227766;  // peak, full scale 1.0 (-10 dBFS); 0 < A <= 1
  double FadeInMs = 10.0;      // raised-cosine fade-in, 0 ... a quarter of the sweep
  double FadeOutMs = 5.0;      // raised-cosine fade-out, 0 ... a quarter of the sweep
  double TailSeconds = 1.0;    // silence after the sweep, 0 ... 10 s
  bool LeftOut = true, RightOut = true;  // output channels that carry the sweep (16-bit frames)
  double SampleRate = 44100.0;
};

class TSyncSweep {
 public:
  // Throws std::invalid_argument for settings outside the ranges above.
  explicit TSyncSweep(const TSyncSweepSettings& settings = {});

  const TSyncSweepSettings& Settings() const { return s_; }
  // The rate parameter L in seconds (F1 * L is a whole number).
  double Rate() const { return rate_; }
  // The actual length L ln(F2 / F1), seconds.
  double Duration() const { return rate_ * std::log(s_.F2 / s_.F1); }
  int SweepFrames() const { return sweepFrames_; }
  // Sweep and tail.
  int RunFrames() const { return runFrames_; }
  // How much earlier the k-th harmonic's impulse response comes: L ln k, in frames.
  double HarmonicAdvance(int k) const;
  // Instantaneous frequency at frame n (Hz).
  double FrequencyAt(double frame) const;

  // The run's value at frame n on the full scale 1.0 (0 outside the sweep), exact in double.
  double Value(int64_t n) const;
  // The 16-bit value played for frame n: round-to-nearest-even of 32767 Value(n).
  int16_t Value16(int64_t n) const;
  // Frames [from, from + count) of the run, one channel, full scale 1.0. Frames beyond the run
  // are 0. No allocation.
  void Fill(float* out, int64_t from, int count) const;
  // The same as 16-bit interleaved stereo frames (left first) for the output stream; a channel
  // that does not carry the sweep gets 0. No allocation.
  void FillStereo16(int16_t* out, int64_t from, int count) const;
  // The sweep frames exactly as played (16-bit values / 32767), SweepFrames() of them: what the
  // deconvolution divides by.
  std::vector<double> Played() const;

 private:
  TSyncSweepSettings s_;
  double rate_ = 0;
  int sweepFrames_ = 0, runFrames_ = 0;
  int fadeIn_ = 0, fadeOut_ = 0;
};
