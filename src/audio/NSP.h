// Signal-processing layer: real FFT in the packed conjugate-symmetric layout, windows and
// vector arithmetic, under the classic nsp names and argument orders.
//
// Threads: any thread may call any function. Nothing is kept between calls except the
// transform plans, made once per order on first use (a few milliseconds, under a lock, with
// allocation); after that a transform takes no lock and allocates nothing. Call
// nspsPrepareFft where a block length is chosen so that no device callback ever plans.
//
// Units: plain numbers. Samples are floats (full scale whatever the caller uses), lengths
// are element counts (complex pairs for the nspc* functions) and a count <= 0 does nothing.
// Transform order p means N = 2^p real samples; every transformed buffer holds N + 2
// floats: bin k (0 = DC ... N/2 = Nyquist) at [2k] (real) and [2k + 1] (imaginary).
#pragma once

struct SCplx {
  float re, im;
};

// Transform direction.
constexpr int NSP_Forw = 1;
constexpr int NSP_Inv = 2;
// Float to integer conversion: round to nearest (ties to even) instead of truncating, and
// saturate. Conversions always saturate; NSP_Clip is accepted for the callers' sake.
constexpr int NSP_Round = 128;
constexpr int NSP_Clip = 4096;

// Largest supported transform order (N = 2^24).
constexpr int kNspMaxFftOrder = 24;

// Makes the plans for order p now. Throws std::invalid_argument for p outside 0..24.
void nspsPrepareFft(int order);

// Forward (NSP_Forw): N real samples become N/2 + 1 bins, unscaled.
// Inverse (NSP_Inv): N/2 + 1 bins become N real samples, scaled by 1/N.
// Both are in place on N + 2 floats; any float alignment is fine. The two names differ only
// in what the callers pass: nspsRealFft with NSP_Forw, nspsCcsFft with NSP_Inv.
// Throws std::invalid_argument for a bad order or a flag that names no direction.
void nspsRealFft(float* vec, int order, int flags);
void nspsCcsFft(float* vec, int order, int flags);

// srcDst[k] = src[k] * srcDst[k] (complex product).
void nspcbMpy2(const SCplx* src, SCplx* srcDst, int n);
// dst[k] = re^2 + im^2.
void nspcbPowerSpectr(const SCplx* src, float* dst, int n);

// In place multiplication by a symmetric window of length n (both ends on the window's
// end values), as spectrum analysers use: Hann 0.5 - 0.5 cos(2 pi k / (n - 1)), Hamming
// 0.54 - 0.46 cos(2 pi k / (n - 1)). A window of length 1 is 1. The window of each length is
// tabulated on its first use (allocation, under a lock) and only looked up afterwards.
void nspsWinHann(float* vec, int n);
void nspsWinHamming(float* vec, int n);

// 32-bit signed integers to floats; flags unused. src may equal dst.
// Both conversions take wordSize 32 only and throw std::invalid_argument for another.
void nspsbIntToFloat(const void* src, float* dst, int n, int wordSize, int flags);
// Floats to 32-bit signed integers (wordSize must be 32): rounded to nearest with ties to
// even under NSP_Round, else truncated toward zero; saturated to int32; NaN gives 0.
// src may equal dst.
void nspsbFloatToInt(const float* src, void* dst, int n, int wordSize, int flags);

void nspsbCopy(const float* src, float* dst, int n);
void nspsbMpy1(float val, float* vec, int n);   // vec[k] *= val
void nspsbAdd1(float val, float* vec, int n);   // vec[k] += val
void nspsbSub1(float val, float* vec, int n);   // vec[k] -= val
void nspsbSub3(const float* a, const float* b, float* dst, int n);  // dst[k] = a[k] - b[k]
void nspsbLn1(float* vec, int n);               // vec[k] = ln vec[k]; ln 0 = -inf
