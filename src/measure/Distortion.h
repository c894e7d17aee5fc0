// Distortion and noise analysis of a block of two-channel samples: the fundamental's frequency
// and level, THD, THD+N, SINAD, noise and SNR (unweighted and A-weighted), each harmonic, and the
// intermodulation of the SMPTE and CCIF two-tone signals.
//
// Method, and why:
// - The fundamental is found on a windowed spectrum, then fitted by least squares in the time
//   domain (DC, cosine, sine and frequency, Gauss-Newton in double precision). A fit has no
//   scalloping, leaves no window in the level, and its residual holds only what the signal has
//   beyond a pure sine: on a float sine the residual lies below -140 dB. A channel whose tone
//   has not moved starts its fit where its last one ended, with that fit's phasors, and takes
//   full steps until the step is negligible, so that it reads what a fresh fit reads. It skips
//   the windowed spectrum of the block: the residual's spectrum must show instead that the
//   search would have found that tone (nothing in the residual a tenth of the tone's bin, over
//   half the sampled bins 4000 times below it), or the block is analysed afresh.
// - Harmonics and intermodulation products are read at their exact frequencies (multiples of the
//   fitted fundamental, sums and differences of the fitted tones) from the discrete-time Fourier
//   transform of the block under a 7-term Blackman-Harris window. Its sidelobes lie 180 dB down,
//   so a full-scale tone leaks nothing measurable into a product a few bins away, and reading at
//   the exact frequency rather than at a bin costs no scalloping. The harmonics are computed
//   from the residual's transform without the window, through the window's kernel on the bins
//   near each (the residual holds no full-scale tone, so the float transform's rounding stays
//   some 1e-13 of full scale); the two-tone products by Goertzel in double.
// - THD+N and noise are powers of the residual (signal minus fitted fundamental and DC) summed
//   over the bins of the bandwidth on the same window's spectrum, optionally A-weighted; noise
//   leaves out the bins of every harmonic inside the bandwidth and stands the neighbouring
//   noise density in for them. The window is seven cosines of whole periods, so that spectrum
//   is the residual's transform without the window convolved with their thirteen lines: one
//   float transform of the residual serves the harmonics and the noise.
//
// Definitions (amplitudes are peak values; A(f) is the component at f):
// - THD = sqrt(sum of A(k f0)^2, k = 2 ... N, k f0 below the bandwidth's top) / A(f0).
// - THD+N = rms of the residual in the bandwidth (weighted if chosen) / rms of the fundamental.
//   SINAD = 10 log10((P(f0) + P(residual)) / P(residual)).
// - Noise = the residual without the harmonics, in the bandwidth; its level in dBFS, and
//   SNR = 10 log10(P(f0) / P(noise)). Both unweighted and A-weighted (IEC 61672 A curve, 0 dB at
//   1 kHz).
// - SMPTE / DIN modulation distortion (tones f1 low, f2 high, 4:1): the sidebands of one order
//   are added as amplitudes, the orders as powers:
//   IMD = sqrt(sum over n = 1 ... 4 of (A(f2 - n f1) + A(f2 + n f1))^2) / A(f2)
//   (orders 2 to 5).
// - CCIF difference-frequency distortion (f1, f2 equal, 1 kHz apart), referred to the sum of the
//   two tones: d2 = A(f2 - f1) / (A(f1) + A(f2)),
//   d3 = (A(2 f1 - f2) + A(2 f2 - f1)) / (A(f1) + A(f2)), IMD = sqrt(d2^2 + d3^2).
//
// Threads: one analyser is used by one thread at a time. FFTW plans are made on the first use of
// a block length (FFTW's planner is not reentrant: make analysers on one thread); 32768 frames
// take a measured plan from wisdom held here, where this FFTW and processor accept it.
// Units: frequencies in Hz; levels in dB re a full-scale sine (dBFS: a sine of peak 1.0, that is
// 32767 on the 16-bit scale, is 0 dBFS) or in dB re the fundamental (dBc); ratios also in %.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

enum class TDistortionKind { Sine, Smpte, Ccif };
enum class TNoiseWeighting { Flat, AWeighted };

struct TDistortionSettings {
  TDistortionKind Kind = TDistortionKind::Sine;
  int Harmonics = 10;          // highest harmonic counted in THD (2 ... 40)
  double BandLow = 20.0;       // Hz, bandwidth of THD+N, SINAD and noise
  double BandHigh = 20000.0;   // Hz; clamped to half the sample rate
  TNoiseWeighting Weighting = TNoiseWeighting::Flat;  // THD+N and SINAD
  double SampleRate = 44100.0;
};

struct THarmonicReading {
  int Order = 0;           // 2 ... N
  double Frequency = 0;    // Hz
  double Amplitude = 0;    // peak, full scale 1.0
  double dBc = 0;          // re the fundamental
  double Percent = 0;      // re the fundamental
};

// A two-tone signal's intermodulation.
struct TImdReading {
  double F1 = 0, F2 = 0;               // Hz, F1 < F2
  double A1 = 0, A2 = 0;               // peak amplitudes, full scale 1.0
  double Ratio = 0;                    // IMD as defined above (0.01 = 1 %)
  double Percent = 0, dB = 0;
  double D2 = 0, D3 = 0;               // CCIF: d2 and d3 as ratios; SMPTE: orders 2 and 3
  std::vector<THarmonicReading> Products;  // every product read (Order: the product's order)
  // Per order (2 ... 5 SMPTE, 2 and 3 CCIF): the products of that order added as amplitudes,
  // re the reference above (dBc, Percent; Amplitude their sum).
  std::vector<THarmonicReading> Orders;
};

struct TChannelDistortion {
  bool Valid = false;          // false: no tone found (silence, noise only, too short)
  double RmsdBFS = -300;       // whole block, DC removed
  double PeakdBFS = -300;      // largest sample, dB re full scale
  double Frequency = 0;        // Hz, the fundamental (two-tone: F2)
  double Amplitude = 0;        // fundamental peak, full scale 1.0
  double LeveldBFS = -300;     // the fundamental's level
  double Dc = 0;               // full scale 1.0
  double ThdRatio = 0, ThdPercent = 0, ThddB = -300;
  double ThdnRatio = 0, ThdnPercent = 0, ThdndB = -300;
  double SinaddB = 0;
  double NoisedBFS = -300, NoisedBFSA = -300;   // unweighted, A-weighted
  double SnrdB = 0, SnrdBA = 0;                 // re the fundamental
  std::vector<THarmonicReading> Harmonics;      // 2 ... N within the bandwidth
  TImdReading Imd;                              // Smpte and Ccif kinds
  // The residual's power spectrum in dBFS per bin (bin k at k * SampleRate / Frames Hz, bins
  // 0 ... Frames / 2), as the residual spectrum view draws it. Two-tone kinds: the signal's.
  std::vector<float> ResidualSpectrum;
};

struct TDistortionResult {
  TChannelDistortion Channel[2];
};

namespace distortion_detail {
// FFTW's own allocation, aligned for its widest SIMD: on a std::vector's 16 bytes its plans
// leave out AVX and take a quarter longer.
template <typename T>
struct TFftwAllocator {
  using value_type = T;
  TFftwAllocator() = default;
  template <typename U>
  TFftwAllocator(const TFftwAllocator<U>&) {}
  T* allocate(std::size_t n) {
    if (void* p = fftwf_malloc(n * sizeof(T))) return static_cast<T*>(p);
    throw std::bad_alloc();
  }
  void deallocate(T* p, std::size_t) { fftwf_free(p); }
  template <typename U>
  bool operator==(const TFftwAllocator<U>&) const { return true; }
};

// Sums over a block of the phasors c = cos(w t), s = sin(w t) of a fit's frequency and of
// u = t c, v = t s, t = (i - (count - 1) / 2) / count; cv is also the sum of s u.
struct TPhasorSums {
  double c = 0, s = 0, cc = 0, cs = 0, ss = 0, u = 0, v = 0, cu = 0, cv = 0, sv = 0, uu = 0,
         uv = 0, vv = 0;
};
}  // namespace distortion_detail

class TDistortionAnalyser {
 public:
  static constexpr int kMinFrames = 4096;

  TDistortionAnalyser() = default;
  ~TDistortionAnalyser();
  TDistortionAnalyser(const TDistortionAnalyser&) = delete;
  TDistortionAnalyser& operator=(const TDistortionAnalyser&) = delete;

  // frames interleaved stereo frames, left first: 16-bit (full scale 32767) or float with the
  // given full scale. Fewer than kMinFrames frames give invalid channels. The first call with
  // a length makes its plans and buffers.
  TDistortionResult Analyse(const int16_t* frames, int count, const TDistortionSettings& s);
  TDistortionResult Analyse(const float* frames, int count, const TDistortionSettings& s,
                            float fullScale = 1.0f);
  // One channel of count samples on the full scale 1.0.
  TChannelDistortion AnalyseChannel(const double* x, int count, const TDistortionSettings& s);

 private:
  // Where a channel's fit starts when its tone has not moved: a frequency (radians per sample,
  // 0 for none) and its phasors and their sums.
  struct TWarmFit {
    double Omega = 0;
    std::vector<double> Cos, Sin;
    distortion_detail::TPhasorSums Sums;
  };
  TChannelDistortion AnalyseChannel(const double* x, int count, const TDistortionSettings& s,
                                    TWarmFit& warm);
  void Prepare(int count);
  void Release();

  int size_ = 0;
  std::vector<double> x_, window_, residual_, input_, decimated_;
  TWarmFit warm_[2];
  std::vector<double> powers_, sample_;   // per bin; every 8th bin's, for the median
  std::vector<char> tonal_;               // per bin: left out of the noise
  std::vector<float> kept_;               // per bin: 0 where tonal, else 1
  std::vector<std::pair<int, int>> runs_;  // the tonal bins' runs, first and last
  std::vector<float, distortion_detail::TFftwAllocator<float>> real_;  // block for the transform
  // The transform's output: packed complex, size_ / 2 + 1 bins and kFoldBins more either side.
  static constexpr int kFoldBins = 8;
  std::vector<float, distortion_detail::TFftwAllocator<float>> spectrum_;
  std::vector<float> windowed_;  // the residual's windowed transform, size_ / 2 + 1 bins
  fftwf_plan plan_ = nullptr;
  double windowSum_ = 0, windowSquares_ = 0;
  std::vector<double> aWeights_;       // power gain of the A curve per bin
  double weightsRate_ = 0;
};

// The IEC 61672 A-weighting gain at f Hz, in dB (0 dB at 1 kHz).
double AWeightingdB(double hz);
// The 7-term Blackman-Harris window of count points (periodic).
std::vector<double> BlackmanHarris7(int count);
// The windowed DTFT of x (count samples) at f Hz: the amplitude (peak) of a sine at f, under the
// window given (its sum in windowSum).
double ToneAmplitude(const double* windowed, int count, double hz, double sampleRate,
                     double windowSum);
// The same reading from the transform of the block without the window (bins 0 ... count / 2 as
// FFTW's real transform gives them), in the bins near hz alone: all but the window's leakage
// from farther than 16 bins, which lies over 180 dB down.
double ToneAmplitudeFromSpectrum(const fftwf_complex* unwindowed, int count, double hz,
                                 double sampleRate, double windowSum);
