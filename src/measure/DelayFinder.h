// Where a played signal comes back in a capture: the lag at which the envelope of the
// cross-correlation of captured and played samples peaks. The envelope (the magnitude of the
// analytic correlation) does not care about the signal's phase, so a periodic sweep whose phase
// runs on from block to block, or a device that shifts or inverts it, is found all the same.
// Both channels count, each by its own coherence, so one input that carries the signal is
// enough; a device that passes any part of the reference's band is found through that part.
//
// Threads: an object is used by one thread at a time; FFTW plans are made on the first use of a
// size (FFTW's planner is not reentrant: make finders on one thread).
// Units: frames at 44100 Hz; samples 16-bit interleaved stereo, left first.
#pragma once

#include <fftw3.h>

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

struct TDelayResult {
  bool Found = false;
  int Lag = 0;             // frames: capture frame = played frame + Lag
  double Clarity = 0;      // peak of the summed coherence over its mean across all lags
  double Coherence = 0;    // summed coherence of the channels at the peak (0 ... 2)
};

class TDelayFinder {
 public:
  // Below this the peak is no better than what noise gives (about 3 to 4).
  static constexpr double kMinClarity = 8.0;

  enum class TMode {
    // The capture holds the reference repeated with its own period: the capture and the
    // reference are equally long, and the lag is found modulo that length.
    Circular,
    // The reference (shorter) lies somewhere in the capture: lags 0 ... Size - Frames.
    Linear,
  };

  TDelayFinder() = default;
  ~TDelayFinder();
  TDelayFinder(const TDelayFinder&) = delete;
  TDelayFinder& operator=(const TDelayFinder&) = delete;

  // The played frames, with the transform size: Circular needs size == frames; Linear a size
  // above frames, the longest capture that will be searched. A channel that is all zeros takes
  // no part. Makes the plans of a new size and allocates; not for a device thread.
  void SetReference(const int16_t* frames, int count, int size, TMode mode);
  bool HasReference() const { return size_ > 0; }
  // A channel that is all zeros in the reference takes no part.
  bool ChannelTakesPart(int ch) const { return refNorm_[ch] > 0; }
  int Size() const { return size_; }
  int ReferenceFrames() const { return refFrames_; }

  // Searches count captured frames (Circular: exactly Size(); Linear: at most Size(), fewer are
  // padded with silence and only lags up to count - ReferenceFrames() are searched).
  // Allocates nothing.
  TDelayResult Find(const int16_t* capture, int count);
  // The summed coherence at one lag (as TDelayResult::Coherence): a cheap check that a signal
  // is still where it was found. Allocates nothing.
  double CoherenceAt(const int16_t* capture, int count, int lag);

 private:
  void Release();
  // Copies channel ch of count frames into capture_[ch] and real_, padded with zeros; returns
  // its norm.
  double LoadChannel(const int16_t* capture, int count, int ch);
  // |sum over t of x[t + lag] conj(h[t])| for channel ch as loaded (x circular over Size()).
  double EnvelopeAt(int ch, int lag) const;

  TMode mode_ = TMode::Circular;
  int size_ = 0;
  int refFrames_ = 0;
  std::array<std::vector<std::complex<float>>, 2> refSpectrum_;  // conjugated, one-sided
  // The reference's analytic signal (itself + i its Hilbert transform), real and imaginary parts.
  std::array<std::vector<float>, 2> refReal_, refImag_;
  std::array<std::vector<float>, 2> capture_;
  std::array<double, 2> refNorm_{};
  std::vector<float> real_;
  std::vector<std::complex<float>> spectrum_;
  std::vector<std::complex<float>> analytic_;  // Size() entries: the reference's analytic signal
  std::vector<std::complex<float>> even_;      // Size() / 2: the correlation at even lags
  std::vector<float> score_;
  fftwf_plan forward_ = nullptr;   // real_ -> spectrum_
  fftwf_plan analytic_plan_ = nullptr;  // analytic_ in place, complex, Size()
  fftwf_plan even_plan_ = nullptr;      // even_ in place, complex, Size() / 2
};
