// Impulse response, frequency response and harmonic distortion from captures of a synchronised
// sweep (TSyncSweep), per input channel, or the right input against the left (a loopback of
// the output) as the reference.
//
// Method, and why:
// - Deconvolution by FFT with a computed inverse: Y(f) conj(X(f)) / (|X(f)|^2 + e(f)) B(f) E(f),
//   X the spectrum of the sweep exactly as played (16-bit values, fades included), e(f) 1e-6
//   of an ideal exponential sweep's power at f (so in band it costs 1e-5 dB, and past the
//   band's ends, where the played spectrum falls away, it keeps noise from being lifted).
//   The analytic inverse 2 sqrt(f / L) exp(-i 2 pi f L (1 - ln(f / f1)) + i pi / 4) is a
//   stationary-phase approximation: it ignores the fades, the Fresnel ripple at the band's ends
//   and the 16-bit rounding; dividing by the true spectrum is exact wherever the sweep has
//   energy. The transform is single precision (fftw3f) over the whole capture.
// - Band edges: the top edge B is a zero-phase raised cosine in log frequency from F2 to a
//   sixth of an octave above (or Nyquist), short enough to ring only within the window's part
//   before the peak. The low edge E is a 4th-order Butterworth high-pass at F1 / 2
//   (LowEdgeResponse), minimum phase: a zero-phase edge at 20 Hz rings for a tenth of a second
//   before the peak, and cutting that off costs tenths of a dB up to 40 Hz; a minimum-phase edge
//   rings only after the peak, inside the window, and is divided out of every response again.
// - The harmonic k's response is the deconvolved output L ln k before the linear one
//   (HarmonicAdvance); each response is cut out around its known place as a segment of
//   kSegmentFrames, kPreFrames of them before its peak.
// - The delay is the linear response's peak, found on the band-limited impulse response: the
//   largest |h| among the lags where the whole sweep lies in the capture, then refined to a
//   fraction of a frame by maximising |h(t)| between the samples, h(t) by windowed-sinc
//   (Kaiser, 64 taps either side) interpolation, which is exact to far below 0.01 frame for a
//   response band-limited below Nyquist.
// - Averaging: each capture's segments are aligned on its own delay (the left input's in dual
//   mode, for both inputs), the fraction of a frame by a linear phase, and their spectra added.
// - Windows: the linear response is windowed from Start to End (ms re its peak): a half-Hann
//   rise over the first half of [Start, 0], flat, then a half-Hann fall over the last tenth.
//   Automatic: Start is -kAutoPreMs (less where the second harmonic's response is close) and
//   End where the response's envelope, in 1 ms blocks, last stands 10 dB above the segment's
//   noise floor (its last quarter), at least kAutoMinPeriods periods of F1 (the low edge's
//   ringing), at most the segment's end. Each harmonic k gets the same shape, its start at most
//   a quarter of the gap to harmonic k + 1, its end before the next later response's start.
// - Responses: the windowed segment's transform (kSegmentFrames points: bins of SampleRate /
//   kSegmentFrames Hz), the delay removed: magnitude in dB, phase wrapped and unwrapped (from
//   the band's geometric middle outward), group delay as the slope of the unwrapped phase
//   (re the delay). Harmonic k at the fundamental f: |H_k(k f)| / |H_1(f)|, which is the k-th
//   component over the fundamental that a sine at f with the sweep's amplitude would show.
// - Dual mode: the right input's response over the left's, each with its own window and peak,
//   so the card's response and round trip divide out; the ratio's delay is the right peak's
//   lag after the left's.
//
// Threads: one analyser is used by one thread at a time; Start makes FFTW plans (FFTW's planner
// is not reentrant: start analysers on one thread). AddCapture allocates nothing; Result
// allocates what it returns. Neither is for a device thread (tens of ms for a 10-s sweep).
// Units: frames at the sweep's sample rate; Hz; ms; dB; degrees; samples interleaved stereo,
// left first, 16-bit (full scale 32767) or float (full scale 1.0).
#pragma once

#include <fftw3.h>

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

#include "SyncSweep.h"

// Where the linear impulse response is cut, ms re its peak.
struct TIrWindow {
  bool Automatic = true;
  double StartMs = -5.0;   // before the peak: negative
  double EndMs = 300.0;
};

struct TResponseCurve {
  double BinHz = 0;             // bin k is at k * BinHz, k = 0 ... kSegmentFrames / 2
  int FirstBin = 0, LastBin = 0;  // the band the sweep covered: bins from F1 to F2
  std::vector<std::complex<double>> Complex;  // delay removed; a wire is 1
  std::vector<double> MagnitudedB, PhaseDeg, UnwrappedDeg, GroupDelayMs;
};

struct THarmonicCurve {
  int Order = 0;                // 2 ... 5
  // Per fundamental bin b (f = b * BinHz), b = 0 ... LastBin; bins below FirstBin or with
  // Order * f above F2 carry -300 dB and 0 %.
  int FirstBin = 0, LastBin = 0;
  std::vector<double> dB, Percent;  // re the fundamental at f
  // The harmonic's response on its own frequency axis (bin k at k * BinHz), all bins; scaled
  // like the fundamental's Complex, for smoothing (compare H_k at Order * f with H_1 at f).
  std::vector<std::complex<double>> Complex;
};

struct TChannelImpulse {
  bool Valid = false;           // the sweep was found in at least one capture
  int Captures = 0;             // captures averaged
  // Frames. Single: the lag (capture frame of the sweep's first frame) in the latest capture.
  // Dual, right channel: the right peak's lag after the left's (the device's own delay).
  double Delay = 0;
  double Clarity = 0;           // latest capture: |h| at the peak over the rms of h
  TIrWindow Window;             // the window used, resolved (Automatic false), ms re the peak
  double NoisedB = -300;        // the impulse response's noise floor, dB re its peak
  // The averaged linear response, kSegmentFrames samples: sample i is at (i - PeakIndex) /
  // SampleRate s re the peak. Scaled so that a wire's spectrum is 1.
  std::vector<float> Impulse;
  double PeakIndex = 0;
  // Harmonics 2 ... 5 in order: their impulse responses (same layout) and curves.
  std::array<std::vector<float>, 4> HarmonicImpulse;
  std::array<TIrWindow, 4> HarmonicWindow;
  TResponseCurve Response;
  std::array<THarmonicCurve, 4> Harmonics;
};

struct TImpulseResult {
  bool Dual = false;
  TChannelImpulse Channel[2];
  // Dual: right over left, delay removed (the delay is Channel[1].Delay); empty otherwise.
  TResponseCurve Ratio;
};

// What one capture gave, per channel.
struct TCaptureFind {
  bool Found[2] = {false, false};
  double Delay[2] = {0, 0};     // frames: capture frame of the sweep's first frame
  double Clarity[2] = {0, 0};
};

class TImpulseAnalyser {
 public:
  static constexpr int kSegmentFrames = 65536;
  static constexpr int kPreFrames = 8192;
  static constexpr int kMaxHarmonic = 5;
  static constexpr double kAutoPreMs = 5.0;
  // The automatic window is at least this many periods of F1 long: the low edge rings that long.
  static constexpr double kAutoMinPeriods = 8.0;
  // A peak under this many times the rms of h is not the sweep (noise alone gives about 5).
  static constexpr double kMinClarity = 30.0;

  TImpulseAnalyser() = default;
  ~TImpulseAnalyser();
  TImpulseAnalyser(const TImpulseAnalyser&) = delete;
  TImpulseAnalyser& operator=(const TImpulseAnalyser&) = delete;

  // Forgets the average and prepares for captures of up to captureFrames frames of this sweep:
  // computes its inverse and makes the plans (again only when the sweep or the size changed).
  // Dual: the left input is the reference that every capture is aligned on. A capture should be
  // the sweep's run, its tail included, with some silence either side: captureFrames at least
  // the run's frames plus the longest round trip expected.
  void Start(const TSyncSweep& sweep, bool dual, int captureFrames);
  bool Dual() const { return dual_; }
  int CaptureFrames() const { return captureFrames_; }
  // The transform length of the deconvolution.
  int TransformFrames() const { return size_; }

  // Deconvolves count frames (at most CaptureFrames(); fewer are padded with silence), finds the
  // sweep in each input and adds the aligned responses to the average. Single: each input on
  // its own; dual: nothing is added unless the left input's sweep is found. The sweep must lie
  // wholly in the capture.
  TCaptureFind AddCapture(const int16_t* frames, int count);
  TCaptureFind AddCapture(const float* frames, int count);
  int Captures(int channel) const { return count_[channel]; }

  // Windows, transforms and reads the average (any number of times, with other windows).
  TImpulseResult Result(const TIrWindow& window = {});

 private:
  void Release();
  TCaptureFind Process();
  // Deconvolves channel ch of the capture into real_.
  void Deconvolve(int ch);
  // The largest |h| at lags 0 ... maxLag_, refined; false when it is not clear enough.
  bool FindPeak(double& delay, double& clarity) const;
  // Adds the segments of the h in real_ aligned at `at` (frames) to channel ch's sums.
  void Accumulate(int ch, double at);
  void ChannelResult(int ch, const TIrWindow& window, TChannelImpulse& out);
  // The windowed segment's transform, delay `peak` removed, into spectrum (S / 2 + 1 bins).
  void SegmentResponse(const std::vector<float>& segment, double peak, const TIrWindow& w,
                       std::vector<std::complex<double>>& spectrum);
  void Curve(const std::vector<std::complex<double>>& spectrum, TResponseCurve& out) const;

  TSyncSweepSettings sweepSettings_;
  double rate_ = 0;              // L, s
  int sweepFrames_ = 0;
  double fs_ = 44100;
  bool dual_ = false;
  int captureFrames_ = 0;
  int maxLag_ = 0;               // the latest capture's last lag that holds the whole sweep
  int size_ = 0;                 // M
  std::vector<std::complex<float>> inverse_;     // M / 2 + 1
  std::vector<float> real_;                      // M: a channel in, h out
  std::vector<std::complex<float>> spectrum_;    // M / 2 + 1
  fftwf_plan forward_ = nullptr, backward_ = nullptr;
  std::array<std::vector<float>, 2> channel_;    // the capture, split
  int count_[2] = {0, 0};
  double lastDelay_[2] = {0, 0}, lastClarity_[2] = {0, 0};
  // Per channel and order (1 ... 5): sum of aligned segment spectra.
  std::array<std::array<std::vector<std::complex<double>>, kMaxHarmonic>, 2> sums_;
  // Segment transforms, S points.
  std::vector<float> segReal_;
  std::vector<std::complex<float>> segSpectrum_;
  fftwf_plan segForward_ = nullptr, segBackward_ = nullptr;
  std::vector<std::complex<double>> lowEdgeInverse_;  // per segment bin; 0 where it would blow up
};

// The deconvolution's low band edge at hz for a sweep from f1: a 4th-order Butterworth high-pass
// at f1 / 2 (minimum phase). Responses have it divided out (bins where it exceeds 1e-3).
std::complex<double> LowEdgeResponse(double hz, double f1);

// The smallest length at or above n whose only factors are 2, 3, 5 and 7.
int FastTransformSize(int n);
