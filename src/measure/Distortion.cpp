#include "Distortion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <utility>

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kFloor = -300.0;

// 7-term Blackman-Harris: sidelobes 180 dB down, main lobe 7 bins either side.
constexpr std::array<double, 7> kWindowTerms = {0.27105140069342, 0.43329793923448,
                                                0.21812299954311, 0.06592544638803,
                                                0.01081174209837, 0.00077658482522,
                                                0.00001388721735};
constexpr int kLobeBins = 8;
// FFTW 3.3.10's patient plan of the real transform of 32768 floats, out of place, on an AVX
// processor.
constexpr const char* kWisdom =
    "(fftw-3.3.10 fftwf_wisdom #x9e7d4dee #xdb14fed1 #x34bf76a4 #xeb6e8fdf\n"
    "  (fftwf_codelet_r2cfII_2 2 #x11048 #x11048 #x0 #x820214b9 #x4e3de466 #x45ec47fb #xcec4091d)\n"
    "  (fftwf_codelet_n2fv_8_avx 0 #x11048 #x11048 #x0 #x0c88c289 #x34d63ee3 #xeca9a860 #xae01ca50)\n"
    "  (fftwf_codelet_t1fv_4_avx 0 #x11048 #x11048 #x0 #x8a755267 #x6378e3be #x20af89ad #xb4a633e9)\n"
    "  (fftwf_codelet_t3fv_8_avx 0 #x11048 #x11048 #x0 #xf1915d84 #x56c4bdfa #x16f8d847 #xdbd3c190)\n"
    "  (fftwf_dft_vrank_geq1_register 0 #x11048 #x11048 #x0 #x4fb97a16 #xc85fd32b #x6a5fdbf7 #xc8c9e75f)\n"
    "  (fftwf_codelet_r2cf_2 2 #x11048 #x11048 #x0 #x923c05ce #x6c937a5d #x13efcff5 #x6ac6aa9b)\n"
    "  (fftwf_codelet_t2fv_64_avx 0 #x11048 #x11048 #x0 #xe7a5fbf5 #x314b2d13 #x3ffb1670 #x67c08b43)\n"
    "  (fftwf_dft_vrank_geq1_register 0 #x11048 #x11048 #x0 #x1cdfdcf8 #xaae6e58b #x547a23a1 #xf3a05129)\n"
    "  (fftwf_codelet_hc2cfdftv_2_sse2 0 #x11048 #x11048 #x0 #x3a703b4b #x398198b2 #x01557430 #x7f273845)\n"
    ")\n";
// A tone's bin must stand this far above the median bin power (noise alone reaches about 15x).
constexpr double kToneAboveFloor = 1000.0;
// Bins around a harmonic left out of the noise.
constexpr int kNoiseGapBins = 10;

double dB20(double ratio) { return ratio > 0 ? 20.0 * std::log10(ratio) : kFloor; }
double dB10(double ratio) { return ratio > 0 ? 10.0 * std::log10(ratio) : kFloor; }

// |sum of x[n] e^(-i w n)| for several w at once: Goertzel, in independent chains so that the
// recurrences overlap.
template <int kChains>
void DtftChains(const double* x, int count, const double* omegas, double* out) {
  double coeff[kChains], s1[kChains] = {}, s2[kChains] = {};
  for (int j = 0; j < kChains; ++j) coeff[j] = 2.0 * std::cos(omegas[j]);
  for (int i = 0; i < count; ++i) {
    const double v = x[i];
#pragma GCC unroll 12
    for (int j = 0; j < kChains; ++j) {
      const double s0 = v + coeff[j] * s1[j] - s2[j];
      s2[j] = s1[j];
      s1[j] = s0;
    }
  }
  for (int j = 0; j < kChains; ++j) {
    const std::complex<double> y = s1[j] - std::polar(1.0, -omegas[j]) * s2[j];
    out[j] = std::abs(y);
  }
}

template <int... kCounts>
void DtftGroup(const double* x, int count, const double* omegas, int m, double* out,
               std::integer_sequence<int, kCounts...>) {
  // Exactly m chains: a chain more is a recurrence run for nothing.
  ((m == kCounts + 1 ? DtftChains<kCounts + 1>(x, count, omegas, out) : void()), ...);
}

void DtftMagnitudes(const double* x, int count, const double* omegas, int m, double* out) {
  for (int first = 0; first < m; first += 12)
    DtftGroup(x, count, omegas + first, std::min(12, m - first), out + first,
              std::make_integer_sequence<int, 12>());
}

// The same magnitude as DtftMagnitudes gives on the windowed block, from the transform of the
// block without the window (bins 0 ... count / 2). The window is seven cosines, so its transform
// is seven pairs of shifted Dirichlet kernels; beyond kReach bins it lies over 180 dB down, and
// the bins that far from omega are left out, which costs only that leakage.
double WindowedDtft(const std::complex<float>* unwindowed, int count, double omega) {
  constexpr int kReach = 16;
  constexpr int kShifts = static_cast<int>(kWindowTerms.size()) - 1;
  constexpr int kSpan = kReach + kShifts;
  const double binOmega = kTwoPi / count;
  const int centre = static_cast<int>(std::lrint(omega / binOmega));
  const double offset = omega - centre * binOmega;
  // Each kernel's numerator sin(count d / 2) at d = offset - t bins is (-1)^t times this; the
  // phase common to all terms is left out, as only the magnitude is wanted.
  const double numerator = std::sin(0.5 * count * offset);
  // sin(d / 2) and the phases e^(-i pi t / count) from one rotation by pi / count: two sines a
  // term cost more than the rest of the reading.
  const double half = 0.5 * offset, so = std::sin(half), co = std::cos(half);
  const double rc = std::cos(std::numbers::pi / count), rs = std::sin(std::numbers::pi / count);
  std::array<std::complex<double>, 2 * kSpan + 1> kernel;
  double ct = 1, st = 0;
  for (int t = 0; t <= kSpan; ++t) {
    for (int sign : {1, -1}) {
      if (t == 0 && sign < 0) continue;
      const double sinHalf = so * ct - co * sign * st;  // sin(offset / 2 - t pi / count)
      const double ratio = offset == 0 && t == 0 ? count : numerator / sinHalf;
      kernel[sign * t + kSpan] = std::complex<double>(ratio * ct, -ratio * sign * st);
    }
    const double c = ct;
    ct = c * rc - st * rs;
    st = st * rc + c * rs;
  }
  const int last = count / 2;
  std::complex<double> sum = 0;
  for (int u = -kReach; u <= kReach; ++u) {
    std::complex<double> w = kWindowTerms[0] * kernel[u + kSpan];
    for (int m = 1, sign = -1; m <= kShifts; ++m, sign = -sign)
      w += 0.5 * sign * kWindowTerms[m] * (kernel[u + m + kSpan] + kernel[u - m + kSpan]);
    int k = centre + u;
    bool conjugate = false;
    if (k < 0) k = -k, conjugate = true;
    if (k > last) k = count - k, conjugate = !conjugate;
    if (k < 0 || k > last) continue;
    const std::complex<double> r(unwindowed[k].real(), unwindowed[k].imag());
    sum += (conjugate ? std::conj(r) : r) * w;
  }
  return std::abs(sum) / count;
}

// 10 log10(v) for drawing, to 1e-5 dB: the exponent's bits and a polynomial for the
// mantissa, so that the loop over a spectrum's bins vectorises.
inline float FastdB10(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  const float exponent = static_cast<float>(static_cast<int>(bits >> 23) - 127);
  bits = (bits & 0x007FFFFF) | 0x3F800000;
  float m;
  std::memcpy(&m, &bits, 4);  // 1 <= m < 2
  // log2(m) on [1, 2): a polynomial of degree 6, error below 3e-6.
  const float t = m - 1.0f;
  const float l = t * (1.4425449f + t * (-0.7181452f + t * (0.4575485f + t * (-0.2779042f + t * (0.1217970f - t * 0.0258411f)))));
  return 3.0102999566f * (exponent + l);
}

// The loops over a block's samples and bins, also built for AVX2 and chosen when the processor
// has it: the same arithmetic in lanes twice as wide (no FMA, so no rounding changes but the
// order of the sums).
#define QV_WIDE_LANES [[gnu::target_clones("avx2", "default")]]

struct TBlockStats {
  double mean = 0, peak = 0, squares = 0;  // squares about the mean
};

// The samples' mean, largest magnitude and squares about the mean in one pass: about the first
// sample, as the mean is not known yet; the squares lose only what the mean's distance from it
// costs.
QV_WIDE_LANES TBlockStats BlockStats(const double* x, int count) {
  TBlockStats out;
  if (count <= 0) return out;
  const double first = x[0];
  double sum = 0, sum2 = 0, peak = 0;
#pragma omp simd reduction(+ : sum, sum2) reduction(max : peak)
  for (int i = 0; i < count; ++i) {
    const double v = x[i], d = v - first;
    sum += d;
    sum2 += d * d;
    peak = std::max(peak, std::abs(v));
  }
  out.mean = first + sum / count;
  out.peak = peak;
  out.squares = std::max(sum2 - sum * (sum / count), 0.0);
  return out;
}

QV_WIDE_LANES void Deinterleave(const int16_t* frames, int count, int channel, double* x) {
#pragma omp simd
  for (int i = 0; i < count; ++i) x[i] = frames[2 * i + channel] / 32767.0;
}

QV_WIDE_LANES void Deinterleave(const float* frames, int count, int channel, double scale,
                                double* x) {
#pragma omp simd
  for (int i = 0; i < count; ++i) x[i] = frames[2 * i + channel] * scale;
}

// The block for the transform: (v - offset), windowed unless window is null.
QV_WIDE_LANES void ToFloats(const double* v, const double* window, double offset, int count,
                            float* to) {
  if (window) {
#pragma omp simd
    for (int i = 0; i < count; ++i) to[i] = static_cast<float>(window[i] * (v[i] - offset));
  } else {
#pragma omp simd
    for (int i = 0; i < count; ++i) to[i] = static_cast<float>(v[i] - offset);
  }
}

// x less the fitted sine, for the transform. The kept phasors c0, s0 are turned on by the fit's
// last step h = step t, under 5e-6 radians: cos h and sin h to two and three terms are exact in
// double.
QV_WIDE_LANES void Residual(const double* x, const double* c0, const double* s0, int count,
                            double step, double dc, double a, double b, float* to) {
  const double mid = 0.5 * (count - 1);
#pragma omp simd
  for (int i = 0; i < count; ++i) {
    const double h = step * (i - mid), h2 = h * h;
    const double ch = 1 - 0.5 * h2, sh = h - h * h2 * (1.0 / 6);
    const double c = c0[i] * ch - s0[i] * sh, s = s0[i] * ch + c0[i] * sh;
    to[i] = static_cast<float>(x[i] - (dc + a * c + b * s));
  }
}

// The window is seven cosines of whole periods, so the windowed block's transform is the plain
// one convolved with their thirteen lines: out[k] = sum over m of c(m) X[k + m], k = 0 ... n - 1,
// of bins given as re, im pairs with 6 more either side (those beyond 0 and N / 2 folded back).
// Both parts of a bin take the same taps, so the pairs run as one line of floats.
QV_WIDE_LANES void WindowBins(const float* bins, int n, float* out) {
  float c[7];
  for (int m = 0, sign = 1; m < 7; ++m, sign = -sign)
    c[m] = static_cast<float>(m == 0 ? kWindowTerms[0] : 0.5 * sign * kWindowTerms[m]);
  const float* p = bins;
  const int floats = 2 * n;
#pragma omp simd
  for (int j = 0; j < floats; ++j)
    out[j] = c[0] * p[j] + c[1] * (p[j - 2] + p[j + 2]) + c[2] * (p[j - 4] + p[j + 4]) +
             c[3] * (p[j - 6] + p[j + 6]) + c[4] * (p[j - 8] + p[j + 8]) +
             c[5] * (p[j - 10] + p[j + 10]) + c[6] * (p[j - 12] + p[j + 12]);
}

struct TBandSums {
  double all = 0, allA = 0, noise = 0, noiseA = 0;
};

// The windowed residual's mean squares over bins lo ... hi, A-weighted too; noise in the bins
// where kept is 1, not 0 (a factor rather than a branch, so that the sums run in lanes).
QV_WIDE_LANES TBandSums BandSums(const float* bin, const double* weights, const float* kept,
                                 int lo, int hi, double toMeanSquare) {
  double all = 0, allA = 0, noise = 0, noiseA = 0;
#pragma omp simd reduction(+ : all, allA, noise, noiseA)
  for (int k = lo; k <= hi; ++k) {
    const double p =
        static_cast<double>(bin[2 * k] * bin[2 * k] + bin[2 * k + 1] * bin[2 * k + 1]) *
        toMeanSquare;
    const double pa = p * weights[k];
    all += p;
    allA += pa;
    noise += kept[k] * p;
    noiseA += kept[k] * pa;
  }
  return {all, allA, noise, noiseA};
}

// dB of scale |X|^2 per bin, for drawing.
QV_WIDE_LANES void BinsdB(const float* bin, int n, float scale, float* to) {
  // max(v, 1e-30) on the bits (v is not negative, so they order as the values): a float
  // comparison keeps the loop from vectorising.
  const float tiny = 1e-30f;
  int32_t tinyBits;
  std::memcpy(&tinyBits, &tiny, 4);
#pragma omp simd
  for (int k = 0; k < n; ++k) {
    float v = scale * (bin[2 * k] * bin[2 * k] + bin[2 * k + 1] * bin[2 * k + 1]);
    int32_t bits;
    std::memcpy(&bits, &v, 4);
    bits = bits < tinyBits ? tinyBits : bits;
    std::memcpy(&v, &bits, 4);
    to[k] = FastdB10(v);
  }
}

struct TBinSurvey {
  float most = 0;  // the largest |X|^2 in lo ... hi
  int below = 0;   // every 8th bin from 0 on: how many lie below the limit
  int sampled = 0;
};

QV_WIDE_LANES TBinSurvey SurveyBins(const float* bin, int bins, int lo, int hi, float limit) {
  TBinSurvey out;
  float most = 0;
#pragma omp simd reduction(max : most)
  for (int k = lo; k <= hi; ++k)
    most = std::max(most, bin[2 * k] * bin[2 * k] + bin[2 * k + 1] * bin[2 * k + 1]);
  out.most = most;
  int below = 0;
  out.sampled = (bins + 7) / 8;
#pragma omp simd reduction(+ : below)
  for (int j = 0; j < out.sampled; ++j) {
    const float* b = bin + 16 * j;
    below += b[0] * b[0] + b[1] * b[1] < limit ? 1 : 0;
  }
  out.below = below;
  return out;
}

// Solves the n x n system a x = b in place (partial pivoting); false when singular.
template <int N>
bool Solve(std::array<std::array<double, N>, N> a, std::array<double, N>& b) {
  for (int c = 0; c < N; ++c) {
    int p = c;
    for (int r = c + 1; r < N; ++r)
      if (std::abs(a[r][c]) > std::abs(a[p][c])) p = r;
    if (!(std::abs(a[p][c]) > 0)) return false;
    std::swap(a[p], a[c]);
    std::swap(b[p], b[c]);
    for (int r = c + 1; r < N; ++r) {
      const double f = a[r][c] / a[c][c];
      for (int k = c; k < N; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int c = N - 1; c >= 0; --c) {
    double v = b[c];
    for (int k = c + 1; k < N; ++k) v -= a[c][k] * b[k];
    b[c] = v / a[c][c];
  }
  return true;
}

struct TSineFit {
  double dc = 0, a = 0, b = 0, omega = 0;  // x[n] = dc + a cos(w t) + b sin(w t), t = n - mid
};

// cos and sin of w t for t = n - (count - 1) / 2: four interleaved rotations, so that the
// recurrences run side by side and the rounding grows over a quarter of the steps.
template <typename TUse>
void ForPhasors(double omega, int count, TUse&& use) {
  const double mid = 0.5 * (count - 1);
  double pc[4], ps[4];
  for (int k = 0; k < 4; ++k) {
    pc[k] = std::cos(omega * (k - mid));
    ps[k] = std::sin(omega * (k - mid));
  }
  const double rc = std::cos(4 * omega), rs = std::sin(4 * omega);
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    for (int k = 0; k < 4; ++k) {
      use(i + k, pc[k], ps[k]);
      const double v = pc[k];
      pc[k] = v * rc - ps[k] * rs;
      ps[k] = v * rs + ps[k] * rc;
    }
  }
  for (int k = 0; i < count; ++i, ++k) use(i, pc[k], ps[k]);
}

void Phasors(double omega, int count, double* c, double* s) {
  ForPhasors(omega, count, [c, s](int i, double pc, double ps) {
    c[i] = pc;
    s[i] = ps;
  });
}

// One pass of the least-squares sine fit on the phasors of fit.omega. withFrequency: a
// Gauss-Newton step of all four parameters; otherwise the linear fit of dc, a, b.
QV_WIDE_LANES bool FitPass(const double* x, const double* cs, const double* sn, int count, TSineFit& fit,
             bool withFrequency) {
  const double mid = 0.5 * (count - 1);
  const double scale = 1.0 / count;  // keeps the frequency column the size of the others
  const double fa = fit.a * scale, fb = fit.b * scale;
  double sc = 0, ss = 0, sd = 0, scc = 0, scs = 0, scd = 0, sss = 0, ssd = 0, sdd = 0;
  double sx = 0, sxc = 0, sxs = 0, sxd = 0;
#pragma omp simd reduction(+ : sc, ss, sd, scc, scs, scd, sss, ssd, sdd, sx, sxc, sxs, sxd)
  for (int i = 0; i < count; ++i) {
    const double c = cs[i], s = sn[i];
    const double d = (i - mid) * (fb * c - fa * s);
    const double v = x[i];
    sc += c;
    ss += s;
    sd += d;
    scc += c * c;
    scs += c * s;
    scd += c * d;
    sss += s * s;
    ssd += s * d;
    sdd += d * d;
    sx += v;
    sxc += v * c;
    sxs += v * s;
    sxd += v * d;
  }
  const double s1 = count;
  if (withFrequency) {
    std::array<std::array<double, 4>, 4> m = {{{s1, sc, ss, sd},
                                               {sc, scc, scs, scd},
                                               {ss, scs, sss, ssd},
                                               {sd, scd, ssd, sdd}}};
    std::array<double, 4> r = {sx, sxc, sxs, sxd};
    if (!Solve<4>(m, r)) return false;
    fit.dc = r[0];
    fit.a = r[1];
    fit.b = r[2];
    fit.omega += r[3] * scale;
  } else {
    std::array<std::array<double, 3>, 3> m = {{{s1, sc, ss}, {sc, scc, scs}, {ss, scs, sss}}};
    std::array<double, 3> r = {sx, sxc, sxs};
    if (!Solve<3>(m, r)) return false;
    fit.dc = r[0];
    fit.a = r[1];
    fit.b = r[2];
  }
  return true;
}

// FitPass(false) and then FitPass(true) on the same phasors: the frequency column
// (i - mid) (b c - a s) / count is linear in a and b, so its sums are made of sums that do not
// need them, and the linear fit's a and b are put in afterwards. Most sums hold the phasors
// alone, and a fit started at the same frequency again can keep them.
using distortion_detail::TPhasorSums;

QV_WIDE_LANES TPhasorSums SumPhasors(const double* cs, const double* sn, int count) {
  const double mid = 0.5 * (count - 1);
  const double scale = 1.0 / count;
  double sc = 0, ss = 0, scc = 0, scs = 0, sss = 0;
  double su = 0, sv = 0, scu = 0, scv = 0, ssv = 0, suu = 0, suv = 0, svv = 0;
#pragma omp simd reduction(+ : sc, ss, scc, scs, sss, su, sv, scu, scv, ssv, suu, suv, svv)
  for (int i = 0; i < count; ++i) {
    const double c = cs[i], s = sn[i];
    const double t = (i - mid) * scale;
    const double u = t * c, w = t * s;
    sc += c;
    ss += s;
    scc += c * c;
    scs += c * s;
    sss += s * s;
    su += u;
    sv += w;
    scu += c * u;
    scv += c * w;
    ssv += s * w;
    suu += u * u;
    suv += u * w;
    svv += w * w;
  }
  return {sc, ss, scc, scs, sss, su, sv, scu, scv, ssv, suu, suv, svv};
}

QV_WIDE_LANES bool FitLinearThenStep(const double* x, const double* cs, const double* sn,
                                     int count, const TPhasorSums& p, TSineFit& fit) {
  const double mid = 0.5 * (count - 1);
  const double scale = 1.0 / count;
  double sx = 0, sxc = 0, sxs = 0, sxu = 0, sxv = 0;
#pragma omp simd reduction(+ : sx, sxc, sxs, sxu, sxv)
  for (int i = 0; i < count; ++i) {
    const double v = x[i], vt = v * ((i - mid) * scale);
    sx += v;
    sxc += v * cs[i];
    sxs += v * sn[i];
    sxu += vt * cs[i];
    sxv += vt * sn[i];
  }
  const double s1 = count;
  std::array<std::array<double, 3>, 3> m3 = {{{s1, p.c, p.s}, {p.c, p.cc, p.cs}, {p.s, p.cs, p.ss}}};
  std::array<double, 3> r3 = {sx, sxc, sxs};
  if (!Solve<3>(m3, r3)) return false;
  const double a = r3[1], b = r3[2];
  const double sd = b * p.u - a * p.v, scd = b * p.cu - a * p.cv, ssd = b * p.cv - a * p.sv;
  const double sdd = b * b * p.uu - 2 * a * b * p.uv + a * a * p.vv, sxd = b * sxu - a * sxv;
  std::array<std::array<double, 4>, 4> m = {{{s1, p.c, p.s, sd},
                                             {p.c, p.cc, p.cs, scd},
                                             {p.s, p.cs, p.ss, ssd},
                                             {sd, scd, ssd, sdd}}};
  std::array<double, 4> r = {sx, sxc, sxs, sxd};
  if (!Solve<4>(m, r)) return false;
  fit.dc = r[0];
  fit.a = r[1];
  fit.b = r[2];
  fit.omega += r[3] * scale;
  return true;
}

bool FitLinearThenStep(const double* x, const double* cs, const double* sn, int count,
                       TSineFit& fit) {
  return FitLinearThenStep(x, cs, sn, count, SumPhasors(cs, sn, count), fit);
}

}  // namespace

double AWeightingdB(double hz) {
  const auto r = [](double f) {
    const double f2 = f * f;
    const double c1 = 20.598997 * 20.598997, c2 = 107.65265 * 107.65265;
    const double c3 = 737.86223 * 737.86223, c4 = 12194.217 * 12194.217;
    return c4 * f2 * f2 / ((f2 + c1) * std::sqrt((f2 + c2) * (f2 + c3)) * (f2 + c4));
  };
  static const double at1k = r(1000.0);
  return hz > 0 ? 20.0 * std::log10(r(hz) / at1k) : kFloor;
}

std::vector<double> BlackmanHarris7(int count) {
  std::vector<double> window(std::max(count, 0));
  for (int i = 0; i < count; ++i) {
    double w = 0, sign = 1;
    for (std::size_t k = 0; k < kWindowTerms.size(); ++k, sign = -sign)
      w += sign * kWindowTerms[k] * std::cos(kTwoPi * static_cast<double>(k) * i / count);
    window[i] = w;
  }
  return window;
}

double ToneAmplitude(const double* windowed, int count, double hz, double sampleRate,
                     double windowSum) {
  const double omega = kTwoPi * hz / sampleRate;
  double m = 0;
  DtftMagnitudes(windowed, count, &omega, 1, &m);
  return 2.0 * m / windowSum;
}

double ToneAmplitudeFromSpectrum(const fftwf_complex* unwindowed, int count, double hz,
                                 double sampleRate, double windowSum) {
  return 2.0 *
         WindowedDtft(reinterpret_cast<const std::complex<float>*>(unwindowed), count,
                      kTwoPi * hz / sampleRate) /
         windowSum;
}

TDistortionAnalyser::~TDistortionAnalyser() { Release(); }

void TDistortionAnalyser::Release() {
  if (plan_) fftwf_destroy_plan(plan_);
  plan_ = nullptr;
  size_ = 0;
  aWeights_.clear();
}

void TDistortionAnalyser::Prepare(int count) {
  if (count == size_) return;
  Release();
  x_.assign(count, 0.0);
  residual_.assign(count, 0.0);
  decimated_.assign(count / 4, 0.0);
  powers_.assign(count / 2 + 1, 0.0);
  tonal_.assign(count / 2 + 1, 0);
  kept_.assign(count / 2 + 1, 0.0f);
  window_.resize(count);
  real_.assign(count, 0.0f);
  spectrum_.assign(2 * (count / 2 + 1 + 2 * kFoldBins), 0.0f);
  windowed_.assign(2 * (count / 2 + 1), 0.0f);
  windowSum_ = windowSquares_ = 0;
  window_ = BlackmanHarris7(count);
  for (double w : window_) {
    windowSum_ += w;
    windowSquares_ += w * w;
  }
  // The live page's length has a plan found by measuring, here as FFTW's wisdom: it runs in
  // half the time of the plan estimated. Wisdom that does not fit this FFTW or processor is
  // refused, and the plan is estimated.
  static const bool imported = fftwf_import_wisdom_from_string(kWisdom) != 0;
  auto* out = reinterpret_cast<fftwf_complex*>(spectrum_.data() + 2 * kFoldBins);
  if (imported)
    plan_ = fftwf_plan_dft_r2c_1d(count, real_.data(), out, FFTW_MEASURE | FFTW_WISDOM_ONLY);
  if (!plan_) plan_ = fftwf_plan_dft_r2c_1d(count, real_.data(), out, FFTW_ESTIMATE);
  size_ = count;
}

TDistortionResult TDistortionAnalyser::Analyse(const int16_t* frames, int count,
                                               const TDistortionSettings& s) {
  TDistortionResult result;
  input_.resize(std::max(count, 0));
  double* x = input_.data();
  for (int ch = 0; ch < 2; ++ch) {
    Deinterleave(frames, count, ch, x);
    result.Channel[ch] = AnalyseChannel(x, count, s, warm_[ch]);
  }
  return result;
}

TDistortionResult TDistortionAnalyser::Analyse(const float* frames, int count,
                                               const TDistortionSettings& s, float fullScale) {
  TDistortionResult result;
  input_.resize(std::max(count, 0));
  double* x = input_.data();
  const double scale = 1.0 / fullScale;
  for (int ch = 0; ch < 2; ++ch) {
    Deinterleave(frames, count, ch, scale, x);
    result.Channel[ch] = AnalyseChannel(x, count, s, warm_[ch]);
  }
  return result;
}

TChannelDistortion TDistortionAnalyser::AnalyseChannel(const double* x, int count,
                                                       const TDistortionSettings& s) {
  TWarmFit cold;
  return AnalyseChannel(x, count, s, cold);
}

TChannelDistortion TDistortionAnalyser::AnalyseChannel(const double* x, int count,
                                                       const TDistortionSettings& s,
                                                       TWarmFit& warm) {
  TChannelDistortion out;
  if (count <= 0) return out;
  const double rate = s.SampleRate;
  const double nyquist = 0.5 * rate;
  const double bandHigh = std::min(s.BandHigh, nyquist);
  const double bandLow = std::max(0.0, std::min(s.BandLow, bandHigh));

  const TBlockStats stats = BlockStats(x, count);
  const double mean = stats.mean;
  out.RmsdBFS = dB20(std::sqrt(2.0 * stats.squares / count));
  out.PeakdBFS = dB20(stats.peak);
  out.Dc = mean;
  if (count < kMinFrames) return out;
  Prepare(count);
  const int bins = count / 2 + 1;
  const double binHz = rate / count;
  // The transform's bins, with room either side for the bins folded back.
  float* const transformed = spectrum_.data() + 2 * kFoldBins;
  const auto* spectrum = reinterpret_cast<const std::complex<float>*>(transformed);
  // What the noise and the drawing read: the block's windowed transform while the tone is
  // sought, then the residual's, made from its transform without the window.
  const float* shown = transformed;
  const auto power = [&](int k) {
    return static_cast<double>(shown[2 * k] * shown[2 * k] + shown[2 * k + 1] * shown[2 * k + 1]);
  };
  const auto transform = [&](const double* v, const double* window, double offset) {
    ToFloats(v, window, offset, count, real_.data());
    fftwf_execute(plan_);
  };
  // A sine of peak A gives |X| = A * windowSum / 2 at its frequency.
  const double toAmplitude = 2.0 / windowSum_;
  const auto spectrumdB = [&]() {
    std::vector<float> db(bins);
    BinsdB(shown, bins, static_cast<float>(toAmplitude * toAmplitude), db.data());
    return db;
  };

  // The median bin is the noise floor, however strong the tones; every 8th bin tells it.
  double floorPower = 0;
  double* powers = powers_.data();
  const auto search = [&]() {
    transform(x, window_.data(), mean);
    for (int k = 0; k < bins; ++k) powers[k] = power(k);
    std::vector<double>& sample = sample_;
    sample.clear();
    for (int k = 0; k < bins; k += 8) sample.push_back(powers[k]);
    std::nth_element(sample.begin(), sample.begin() + sample.size() / 2, sample.end());
    floorPower = sample[sample.size() / 2];
  };
  // The strongest bin between lo and hi Hz (outside the DC lobe), refined by a parabola on the
  // log power; 0 when nothing stands out.
  const auto findTone = [&](double loHz, double hiHz, double skipHz) {
    const int lo = std::max(kLobeBins, static_cast<int>(std::ceil(loHz / binHz)));
    const int hi = std::min(bins - 2, static_cast<int>(std::floor(hiHz / binHz)));
    // The largest power first, then where it is: no comparison waits on the one before.
    int best = -1;
    if (lo <= hi) {
      // Four lanes held in registers (an omp simd max keeps its lanes in memory).
      double most[4] = {powers[lo], powers[lo], powers[lo], powers[lo]};
      int k = lo;
      for (; k + 4 <= hi + 1; k += 4)
        for (int j = 0; j < 4; ++j) most[j] = powers[k + j] > most[j] ? powers[k + j] : most[j];
      for (; k <= hi; ++k) most[0] = powers[k] > most[0] ? powers[k] : most[0];
      most[0] = std::max({most[0], most[1], most[2], most[3]});
      for (best = lo; best < hi && !(powers[best] == most[0]); ++best) {
      }
    }
    if (skipHz > 0 && best >= 0 && std::abs(best * binHz - skipHz) < 3 * kLobeBins * binHz) {
      best = -1;
      for (int k = lo; k <= hi; ++k)
        if (std::abs(k * binHz - skipHz) >= 3 * kLobeBins * binHz &&
            (best < 0 || powers[k] > powers[best]))
          best = k;
    }
    if (best < 0 || !(powers[best] > kToneAboveFloor * floorPower) || powers[best] <= 0) return 0.0;
    const double l = std::log(power(best - 1) + 1e-300), c = std::log(power(best)),
                 r = std::log(power(best + 1) + 1e-300);
    const double den = l - 2 * c + r;
    const double delta = den < 0 ? std::clamp(0.5 * (l - r) / den, -0.5, 0.5) : 0.0;
    return (best + delta) * binHz;
  };

  if (s.Kind == TDistortionKind::Sine) {
    const double toneLowHz = bandLow > 0 ? std::min(bandLow, 10.0) : 0.0;
    TSineFit fit;
    double* cs = residual_.data();  // the phasors use the residual's and x_'s room until then
    double* sn = x_.data();
    // Gauss-Newton until the step is tiny (it converges quadratically: after a step this small
    // the next would be nothing). A tone well below a quarter of the rate is first fitted on
    // every 4th sample: the frequency rests on the record's span, not its density, and the
    // passes cost a quarter; one full pass then settles everything.
    const auto converge = [&](const double* v, int n, double stride) {
      TSineFit f = fit;
      f.omega *= stride;
      Phasors(f.omega, n, cs, sn);
      double before = f.omega;
      bool good = FitLinearThenStep(v, cs, sn, n, f);
      for (int pass = 1; good && pass < 6 && std::abs(f.omega - before) * n >= 1e-6; ++pass) {
        before = f.omega;
        Phasors(f.omega, n, cs, sn);
        good = FitPass(v, cs, sn, n, f, true);
      }
      f.omega /= stride;
      fit = f;
      return good;
    };
    // Full passes on until the step is tiny, so that where the fit started leaves nothing in the
    // readings (after a step of s / count the next is about s^2 / count).
    const auto settle = [&](double before, double tiny) {
      bool good = true;
      for (int pass = 0; good && pass < 4 && std::abs(fit.omega - before) * count >= tiny; ++pass) {
        before = fit.omega;
        Phasors(fit.omega, count, cs, sn);
        good = FitPass(x, cs, sn, count, fit, true);
      }
      return good;
    };

    // Everything read from the fit: the residual, its transform and the readings. keep: the
    // kept phasors are near enough to the fit's frequency to turn. checkTone: the fit started
    // from the last block's, and no search of this block's spectrum has found its tone; the
    // residual's spectrum must then show that the search would have found this one, or false
    // and nothing read.
    const auto read = [&](bool keep, bool checkTone) {
      if (!keep) {
        warm.Omega = fit.omega;
        warm.Cos.resize(count);
        warm.Sin.resize(count);
        Phasors(fit.omega, count, warm.Cos.data(), warm.Sin.data());
        warm.Sums = SumPhasors(warm.Cos.data(), warm.Sin.data(), count);
      }
      Residual(x, warm.Cos.data(), warm.Sin.data(), count, fit.omega - warm.Omega, fit.dc, fit.a,
               fit.b, real_.data());
      fftwf_execute(plan_);
      // Bins beyond 0 and N / 2 are those inside, conjugated.
      const int last = bins - 1;
      for (int j = 1; j <= kFoldBins; ++j) {
        transformed[-2 * j] = transformed[2 * j];
        transformed[-2 * j + 1] = -transformed[2 * j + 1];
        transformed[2 * (last + j)] = transformed[2 * (last - j)];
        transformed[2 * (last + j) + 1] = -transformed[2 * (last - j) + 1];
      }
      WindowBins(transformed, bins, windowed_.data());
      shown = windowed_.data();
      const double amplitude = std::hypot(fit.a, fit.b);
      if (checkTone) {
        // The search takes the strongest bin from kLobeBins to N / 2 - 1 if it stands 1000 times
        // above the median of every 8th bin. The tone's nearest bin holds 0.89 of its power at
        // least (the window's scalloping) and the residual adds to the block's bins what it holds
        // itself; so if it holds nowhere a tenth of the tone's, and all but the 3 bins of the
        // tone's and DC's lobes of over half the sampled bins a 4000th, the search finds it.
        const double tone = 0.85 * std::pow(0.5 * amplitude * windowSum_, 2);
        const int lo = std::max(kLobeBins, static_cast<int>(std::ceil(toneLowHz / binHz)));
        const int hi = bins - 2;
        const int at = static_cast<int>(std::lrint(fit.omega * count / kTwoPi));
        if (at <= lo || at >= hi) return false;
        const TBinSurvey v = SurveyBins(shown, bins, lo, hi, static_cast<float>(tone / 4000));
        if (!(v.most < 0.1 * tone) || v.below < v.sampled / 2 + 4) return false;
      }

      const double f0 = fit.omega * rate / kTwoPi;
      out.Valid = true;
      out.Frequency = f0;
      out.Amplitude = amplitude;
      out.LeveldBFS = dB20(amplitude);
      out.Dc = fit.dc;

      // Harmonics at exact multiples of the fitted frequency.
      const int top = std::clamp(s.Harmonics, 2, 40);
      double harmonicPower = 0;
      for (int k = 2; k <= top && k * f0 <= bandHigh && k * f0 < nyquist; ++k) {
        THarmonicReading h;
        h.Order = k;
        h.Frequency = h.Order * f0;
        h.Amplitude = WindowedDtft(spectrum, count, k * fit.omega) * toAmplitude;
        h.dBc = dB20(h.Amplitude / amplitude);
        h.Percent = 100.0 * h.Amplitude / amplitude;
        harmonicPower += h.Amplitude * h.Amplitude;
        out.Harmonics.push_back(h);
      }
      out.ThdRatio = std::sqrt(harmonicPower) / amplitude;
      out.ThdPercent = 100.0 * out.ThdRatio;
      out.ThddB = dB20(out.ThdRatio);

      // The residual's powers in the bandwidth: mean square = sum over one-sided bins of
      // 2 |X|^2 / (N sum w^2).
      const double toMeanSquare = 2.0 / (static_cast<double>(count) * windowSquares_);
      const int kLo = std::max(1, static_cast<int>(std::ceil(bandLow / binHz)));
      const int kHi = std::min(bins - 1, static_cast<int>(std::floor(bandHigh / binHz)));
      // Close harmonics (a low fundamental) get narrower gaps, down to the window's main lobe.
      const int gap =
          std::clamp(static_cast<int>(f0 / binHz / 2) - 1, kLobeBins - 2, kNoiseGapBins);
      // The runs of bins left out, merged where they meet, within kLo ... kHi.
      char* tonal = tonal_.data();
      std::fill_n(tonal, bins, 0);
      std::vector<std::pair<int, int>>& runs = runs_;
      runs.clear();
      for (double f = f0; f <= bandHigh + gap * binHz; f += f0) {
        const int c = static_cast<int>(std::lrint(f / binHz));
        const int first = std::max(kLo, c - gap), end = std::min(kHi, c + gap);
        if (first > end) continue;
        std::fill(tonal + first, tonal + end + 1, 1);
        if (!runs.empty() && first <= runs.back().second + 1)
          runs.back().second = std::max(runs.back().second, end);
        else
          runs.emplace_back(first, end);
      }
      float* kept = kept_.data();
      int keptBins = std::max(kHi - kLo + 1, 0);
      std::fill(kept + std::min(kLo, bins), kept + std::max(kLo, kHi + 1), 1.0f);
      for (auto [first, end] : runs) {
        std::fill(kept + first, kept + end + 1, 0.0f);
        keptBins -= end - first + 1;
      }
      const bool weighted = s.Weighting == TNoiseWeighting::AWeighted;
      if (weightsRate_ != rate || static_cast<int>(aWeights_.size()) != bins) {
        aWeights_.resize(bins);
        for (int k = 0; k < bins; ++k)
          aWeights_[k] = std::pow(10.0, AWeightingdB(k * binHz) / 10.0);
        weightsRate_ = rate;
      }
      const TBandSums sums = BandSums(shown, aWeights_.data(), kept, kLo, kHi, toMeanSquare);
      double noise = sums.noise, noiseA = sums.noiseA;
      // Bins left out at a harmonic hold what the noise beside them holds, so that a hum line
      // elsewhere is not spread into them. Harmonics so
      // close that hardly a bin is left: the residual less the harmonics read.
      if (keptBins > 0.05 * std::max(kHi - kLo + 1, 0)) {
        std::vector<double>& beside = sample_;
        for (auto [k, end] : runs) {
          const int reach = std::max(2 * (end - k + 1), 48);
          beside.clear();
          for (int j = std::max(kLo, k - reach); j <= std::min(kHi, end + reach); ++j)
            if (!tonal[j]) beside.push_back(power(j) * toMeanSquare);
          if (!beside.empty()) {
            // The mean of the bins beside, less any line far above their median. When at most
            // half lie below a tenth of the largest, the median is no smaller, and no line is
            // left out: the median is then not needed.
            const int size = static_cast<int>(beside.size());
            double most = 0, sum = 0;
            for (double v : beside) most = std::max(most, v);
            int low = 0;
            const double tenth = 0.1 * most * (1 + 1e-12);  // so that 10 tenth >= most, rounded
            for (double v : beside) low += v < tenth;
            int n = size;
            if (low <= size / 2) {
              for (double v : beside) sum += v;
            } else {
              std::nth_element(beside.begin(), beside.begin() + size / 2, beside.end());
              const double limit = 10 * beside[size / 2];
              n = 0;
              for (double v : beside)
                if (v <= limit) sum += v, ++n;
            }
            const double density = sum / n;
            for (int j = k; j <= end; ++j) {
              noise += density;
              noiseA += density * aWeights_[j];
            }
          }
        }
      } else {
        noise = sums.all;
        noiseA = sums.allA;
        for (const THarmonicReading& h : out.Harmonics) {
          noise -= 0.5 * h.Amplitude * h.Amplitude;
          noiseA -=
              0.5 * h.Amplitude * h.Amplitude * std::pow(10.0, AWeightingdB(h.Frequency) / 10);
        }
        noise = std::max(noise, 0.0);
        noiseA = std::max(noiseA, 0.0);
      }
      const double fundamental = 0.5 * amplitude * amplitude;
      const double residualPower = weighted ? sums.allA : sums.all;
      out.ThdnRatio = std::sqrt(residualPower / fundamental);
      out.ThdnPercent = 100.0 * out.ThdnRatio;
      out.ThdndB = dB20(out.ThdnRatio);
      out.SinaddB =
          residualPower > 0 ? dB10((fundamental + residualPower) / residualPower) : 300.0;
      out.NoisedBFS = dB10(2.0 * noise);
      out.NoisedBFSA = dB10(2.0 * noiseA);
      out.SnrdB = noise > 0 ? dB10(fundamental / noise) : 300.0;
      out.SnrdBA = noiseA > 0 ? dB10(fundamental / noiseA) : 300.0;
      out.ResidualSpectrum = spectrumdB();
      return true;
    };

    // A channel whose tone has not moved starts from its last fit, with that fit's phasors and
    // their sums while the fits stay this close to it, and skips the search.
    if (warm.Omega > 0 && static_cast<int>(warm.Cos.size()) == count) {
      TSineFit f;
      f.omega = warm.Omega;
      if (FitLinearThenStep(x, warm.Cos.data(), warm.Sin.data(), count, warm.Sums, f) &&
          std::abs(f.omega - warm.Omega) * count < 1e-4) {
        fit = f;
        const bool keep = std::abs(f.omega - warm.Omega) * count < 1e-5;
        if (settle(warm.Omega, 1e-5) && fit.omega > 0 && fit.omega < std::numbers::pi &&
            read(keep, true))
          return out;
      }
      warm.Omega = 0;
      shown = transformed;
    }

    search();
    const double coarse = findTone(toneLowHz, nyquist, 0);
    if (coarse <= 0) {
      out.ResidualSpectrum = spectrumdB();
      return out;
    }
    fit = TSineFit{};
    fit.omega = kTwoPi * coarse / rate;
    bool ok = false;
    if (coarse < 0.45 * nyquist / 4) {
      const int n = count / 4;
      for (int i = 0; i < n; ++i) decimated_[i] = x[4 * i];
      ok = converge(decimated_.data(), n, 4.0);
      if (ok) {
        const double before = fit.omega;
        Phasors(fit.omega, count, cs, sn);
        ok = FitLinearThenStep(x, cs, sn, count, fit) && settle(before, 1e-6);
      }
    } else {
      ok = converge(x, count, 1.0);
    }
    if (!ok || !(fit.omega > 0) || fit.omega >= std::numbers::pi) {
      warm.Omega = 0;
      out.ResidualSpectrum = spectrumdB();
      return out;
    }
    read(false, false);
    return out;
  }

  search();

  // Two tones: find both, refine each on the windowed block's exact transform.
  double f1 = 0, f2 = 0;
  if (s.Kind == TDistortionKind::Smpte) {
    f1 = findTone(20.0, 1000.0, 0);
    f2 = findTone(2000.0, nyquist, 0);
  } else {
    f2 = findTone(2000.0, nyquist, 0);
    if (f2 > 0) f1 = findTone(2000.0, nyquist, f2);
    if (f1 > f2) std::swap(f1, f2);
  }
  out.ResidualSpectrum = spectrumdB();
  if (f1 <= 0 || f2 <= 0) return out;
  for (int i = 0; i < count; ++i) x_[i] = window_[i] * (x[i] - mean);
  // Two rounds of a parabola through the exact transform at f - d, f, f + d, both tones in
  // one pass: six recurrences side by side, where three would wait on each other.
  {
    double d = 0.2 * binHz;
    for (int round = 0; round < 2; ++round, d *= 0.05) {
      double* tones[2] = {&f1, &f2};
      double omegas[6], m[6];
      for (int t = 0; t < 2; ++t) {
        const double f = *tones[t];
        omegas[3 * t] = kTwoPi * (f - d) / rate;
        omegas[3 * t + 1] = kTwoPi * f / rate;
        omegas[3 * t + 2] = kTwoPi * (f + d) / rate;
      }
      DtftMagnitudes(x_.data(), count, omegas, 6, m);
      for (int t = 0; t < 2; ++t) {
        const double* v = m + 3 * t;
        const double den = v[0] - 2 * v[1] + v[2];
        if (den < 0) *tones[t] += std::clamp(0.5 * (v[0] - v[2]) / den, -1.0, 1.0) * d;
      }
    }
  }
  TImdReading& imd = out.Imd;
  imd.F1 = f1;
  imd.F2 = f2;
  std::vector<double> freqs = {f1, f2};
  std::vector<int> orders = {1, 1};
  if (s.Kind == TDistortionKind::Smpte) {
    for (int n = 1; n <= 4; ++n) {
      freqs.push_back(f2 - n * f1);
      freqs.push_back(f2 + n * f1);
      orders.push_back(n + 1);
      orders.push_back(n + 1);
    }
  } else {
    freqs.push_back(f2 - f1);
    freqs.push_back(2 * f1 - f2);
    freqs.push_back(2 * f2 - f1);
    orders.insert(orders.end(), {2, 3, 3});
  }
  // Here by Goertzel in double: on the float transform of the full-scale tones the products
  // would carry its rounding, some 1e-9 of the tones.
  std::vector<double> omegas, magnitudes(freqs.size(), 0.0);
  for (double f : freqs) omegas.push_back(kTwoPi * f / rate);
  DtftMagnitudes(x_.data(), count, omegas.data(), static_cast<int>(omegas.size()),
                 magnitudes.data());
  std::vector<double> amps(freqs.size());
  for (std::size_t j = 0; j < freqs.size(); ++j)
    amps[j] = freqs[j] > 0 && freqs[j] < nyquist ? magnitudes[j] * toAmplitude : 0.0;
  imd.A1 = amps[0];
  imd.A2 = amps[1];
  for (std::size_t j = 2; j < freqs.size(); ++j) {
    THarmonicReading p;
    p.Order = orders[j];
    p.Frequency = freqs[j];
    p.Amplitude = amps[j];
    const double ref = s.Kind == TDistortionKind::Smpte ? imd.A2 : imd.A1 + imd.A2;
    p.dBc = dB20(p.Amplitude / ref);
    p.Percent = 100.0 * p.Amplitude / ref;
    imd.Products.push_back(p);
  }
  {
    const double ref = s.Kind == TDistortionKind::Smpte ? imd.A2 : imd.A1 + imd.A2;
    for (const THarmonicReading& p : imd.Products) {
      if (imd.Orders.empty() || imd.Orders.back().Order != p.Order) {
        imd.Orders.emplace_back();
        imd.Orders.back().Order = p.Order;
      }
      imd.Orders.back().Amplitude += p.Amplitude;
    }
    for (THarmonicReading& o : imd.Orders) {
      o.dBc = dB20(o.Amplitude / ref);
      o.Percent = 100.0 * o.Amplitude / ref;
    }
  }
  if (s.Kind == TDistortionKind::Smpte) {
    double sum = 0;
    for (int n = 0; n < 4; ++n) {
      const double order = (amps[2 + 2 * n] + amps[3 + 2 * n]) / imd.A2;
      sum += order * order;
      if (n == 0) imd.D2 = order;
      if (n == 1) imd.D3 = order;
    }
    imd.Ratio = std::sqrt(sum);
  } else {
    const double ref = imd.A1 + imd.A2;
    imd.D2 = amps[2] / ref;
    imd.D3 = (amps[3] + amps[4]) / ref;
    imd.Ratio = std::hypot(imd.D2, imd.D3);
  }
  imd.Percent = 100.0 * imd.Ratio;
  imd.dB = dB20(imd.Ratio);
  out.Valid = true;
  out.Frequency = f2;
  out.Amplitude = imd.A2;
  out.LeveldBFS = dB20(imd.A2);
  return out;
}
