#include "DelayFinder.h"

#include <algorithm>
#include <cmath>

namespace {

// Measured plans take seconds to make for these sizes; estimated ones run within a factor of
// two of them and cost nothing to make.
constexpr unsigned kPlannerFlags = FFTW_ESTIMATE;

double Norm(const float* x, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum);
}

}  // namespace

TDelayFinder::~TDelayFinder() { Release(); }

void TDelayFinder::Release() {
  for (fftwf_plan* plan : {&forward_, &analytic_plan_, &even_plan_})
    if (*plan) fftwf_destroy_plan(*plan), *plan = nullptr;
  size_ = 0;
}

void TDelayFinder::SetReference(const int16_t* frames, int count, int size, TMode mode) {
  count = std::max(count, 0);
  if (mode == TMode::Circular) size = count;
  // Even sizes only: the search reads the correlation at even lags from half a transform.
  if (size < 4 || size % 2 != 0 || count > size || (mode == TMode::Linear && count >= size) || !frames) {
    Release();
    return;
  }
  if (size != size_) {
    Release();
    const auto n = static_cast<std::size_t>(size);
    real_.assign(n, 0.0f);
    spectrum_.assign(n / 2 + 1, {});
    analytic_.assign(n, {});
    even_.assign(n / 2, {});
    score_.assign(n / 2, 0.0f);
    forward_ = fftwf_plan_dft_r2c_1d(size, real_.data(), reinterpret_cast<fftwf_complex*>(spectrum_.data()),
                                     kPlannerFlags);
    auto* a = reinterpret_cast<fftwf_complex*>(analytic_.data());
    analytic_plan_ = fftwf_plan_dft_1d(size, a, a, FFTW_BACKWARD, kPlannerFlags);
    auto* e = reinterpret_cast<fftwf_complex*>(even_.data());
    even_plan_ = fftwf_plan_dft_1d(size / 2, e, e, FFTW_BACKWARD, kPlannerFlags);
    size_ = size;
  }
  mode_ = mode;
  refFrames_ = count;
  const std::size_t half = static_cast<std::size_t>(size / 2);
  for (int ch = 0; ch < 2; ++ch) {
    std::fill(real_.begin(), real_.end(), 0.0f);
    for (int i = 0; i < count; ++i) real_[static_cast<std::size_t>(i)] = frames[2 * i + ch];
    refNorm_[ch] = Norm(real_.data(), count);
    auto& spectrum = refSpectrum_[ch];
    spectrum.assign(spectrum_.size(), {});
    refReal_[ch].assign(static_cast<std::size_t>(size), 0.0f);
    refImag_[ch].assign(static_cast<std::size_t>(size), 0.0f);
    capture_[ch].assign(static_cast<std::size_t>(size), 0.0f);
    if (refNorm_[ch] == 0) continue;
    fftwf_execute(forward_);
    // DC says nothing of where a signal lies, and offsets and hum would only blur it.
    for (std::size_t k = 1; k < spectrum.size(); ++k) spectrum[k] = std::conj(spectrum_[k]);
    std::fill(analytic_.begin(), analytic_.end(), std::complex<float>{});
    for (std::size_t k = 1; k <= half; ++k) analytic_[k] = (k == half ? 1.0f : 2.0f) * spectrum_[k];
    fftwf_execute(analytic_plan_);
    const float scale = 1.0f / static_cast<float>(size);
    for (std::size_t t = 0; t < analytic_.size(); ++t) {
      refReal_[ch][t] = analytic_[t].real() * scale;
      refImag_[ch][t] = analytic_[t].imag() * scale;
    }
  }
}

double TDelayFinder::LoadChannel(const int16_t* capture, int count, int ch) {
  std::fill(real_.begin() + count, real_.end(), 0.0f);
  for (int i = 0; i < count; ++i) real_[static_cast<std::size_t>(i)] = capture[2 * i + ch];
  std::copy(real_.begin(), real_.end(), capture_[ch].begin());
  return Norm(real_.data(), count);
}

namespace {

// Sums of x[t] h[t] over two parts: eight lanes of single floats, so that the compiler can use
// vector instructions, added up in double every 512 frames.
void Accumulate(const float* x, const float* real, const float* imag, int count, double& re, double& im) {
  constexpr int kLanes = 8, kRun = 512;
  for (int base = 0; base < count; base += kRun) {
    const int m = std::min(kRun, count - base);
    float sr[kLanes] = {}, si[kLanes] = {};
    int t = 0;
    for (; t + kLanes <= m; t += kLanes)
      for (int k = 0; k < kLanes; ++k) {
        sr[k] += x[base + t + k] * real[base + t + k];
        si[k] += x[base + t + k] * imag[base + t + k];
      }
    for (; t < m; ++t) sr[0] += x[base + t] * real[base + t], si[0] += x[base + t] * imag[base + t];
    for (int k = 0; k < kLanes; ++k) re += sr[k], im += si[k];
  }
}

}  // namespace

double TDelayFinder::EnvelopeAt(int ch, int lag) const {
  const int n = size_;
  const float* x = capture_[ch].data();
  const float* real = refReal_[ch].data();
  const float* imag = refImag_[ch].data();
  lag = ((lag % n) + n) % n;
  double re = 0, im = 0;
  // x[t + lag] over t = 0 ... n - 1, in two runs around the end.
  const int first = n - lag;
  Accumulate(x + lag, real, imag, first, re, im);
  Accumulate(x, real + first, imag + first, n - first, re, im);
  return std::sqrt(re * re + im * im);
}

double TDelayFinder::CoherenceAt(const int16_t* capture, int count, int lag) {
  if (size_ <= 0 || !capture) return 0;
  if (mode_ == TMode::Circular ? count != size_ : (count > size_ || count < refFrames_)) return 0;
  double sum = 0;
  for (int ch = 0; ch < 2; ++ch) {
    if (refNorm_[ch] == 0) continue;
    const double norm = LoadChannel(capture, count, ch);
    if (norm > 0) sum += EnvelopeAt(ch, lag) / (norm * refNorm_[ch]);
  }
  return sum;
}

TDelayResult TDelayFinder::Find(const int16_t* capture, int count) {
  TDelayResult result;
  if (size_ <= 0 || !capture) return result;
  if (mode_ == TMode::Circular ? count != size_ : (count > size_ || count < refFrames_)) return result;
  const int n = size_, half = n / 2;
  // Lags whose correlation does not wrap around: the circular search takes them all.
  const int lags = mode_ == TMode::Circular ? n : count - refFrames_ + 1;
  const int evens = (lags + 1) / 2;
  std::fill(score_.begin(), score_.begin() + evens, 0.0f);
  std::array<double, 2> norms{};
  for (int ch = 0; ch < 2; ++ch) {
    if (refNorm_[ch] == 0) continue;
    norms[ch] = LoadChannel(capture, count, ch);
    if (norms[ch] == 0) continue;
    fftwf_execute(forward_);
    // The analytic correlation has no negative frequencies, so its even lags are the inverse
    // transform, half as long, of its positive half (the Nyquist bin folds onto DC).
    const auto& reference = refSpectrum_[ch];
    even_[0] = spectrum_[static_cast<std::size_t>(half)] * reference[static_cast<std::size_t>(half)];
    for (int k = 1; k < half; ++k)
      even_[static_cast<std::size_t>(k)] = 2.0f * spectrum_[static_cast<std::size_t>(k)] * reference[static_cast<std::size_t>(k)];
    fftwf_execute(even_plan_);
    const float scale = static_cast<float>(1.0 / (static_cast<double>(n) * norms[ch] * refNorm_[ch]));
    const std::complex<float>* y = even_.data();
    float* score = score_.data();
    for (int m = 0; m < evens; ++m)
      score[m] += std::sqrt(y[m].real() * y[m].real() + y[m].imag() * y[m].imag()) * scale;
  }
  if (norms[0] == 0 && norms[1] == 0) return result;
  double sum = 0;
  int best = 0;
  for (int m = 0; m < evens; ++m) {
    sum += score_[static_cast<std::size_t>(m)];
    if (score_[static_cast<std::size_t>(m)] > score_[static_cast<std::size_t>(best)]) best = m;
  }
  const double mean = sum / evens;
  // The odd lags beside the best even one, exactly.
  const auto coherence = [&](int lag) {
    double c = 0;
    for (int ch = 0; ch < 2; ++ch) {
      if (norms[ch] != 0) c += EnvelopeAt(ch, lag) / (norms[ch] * refNorm_[ch]);
    }
    return c;
  };
  result.Lag = 2 * best;
  result.Coherence = score_[static_cast<std::size_t>(best)];
  for (int lag : {2 * best - 1, 2 * best + 1}) {
    if (mode_ == TMode::Linear && (lag < 0 || lag >= lags)) continue;
    if (const double c = coherence(lag); c > result.Coherence) result.Coherence = c, result.Lag = (lag + n) % n;
  }
  result.Clarity = mean > 0 ? score_[static_cast<std::size_t>(best)] / mean : 0;
  result.Found = result.Clarity >= kMinClarity;
  return result;
}
