#include "DelayFinder.h"

#include <algorithm>
#include <cmath>

namespace {

// Planned once per size in the process: FFTW keeps what it measured, so a second finder of the
// same size plans at once.
constexpr unsigned kPlannerFlags = FFTW_MEASURE;

double Norm(const float* x, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum);
}

}  // namespace

TDelayFinder::~TDelayFinder() { Release(); }

void TDelayFinder::Release() {
  if (forward_) fftwf_destroy_plan(forward_);
  if (backward_) fftwf_destroy_plan(backward_);
  forward_ = backward_ = nullptr;
  size_ = 0;
}

void TDelayFinder::SetReference(const int16_t* frames, int count, int size, TMode mode) {
  count = std::max(count, 0);
  if (mode == TMode::Circular) size = count;
  if (size < 2 || count > size || (mode == TMode::Linear && count >= size) || !frames) {
    Release();
    return;
  }
  if (size != size_) {
    Release();
    real_.assign(static_cast<std::size_t>(size), 0.0f);
    spectrum_.assign(static_cast<std::size_t>(size / 2 + 1), {});
    analytic_.assign(static_cast<std::size_t>(size), {});
    score_.assign(static_cast<std::size_t>(size), 0.0f);
    // Measuring overwrites the arrays: plan before anything is put in them.
    forward_ = fftwf_plan_dft_r2c_1d(size, real_.data(), reinterpret_cast<fftwf_complex*>(spectrum_.data()),
                                     kPlannerFlags);
    backward_ = fftwf_plan_dft_1d(size, reinterpret_cast<fftwf_complex*>(analytic_.data()),
                                  reinterpret_cast<fftwf_complex*>(analytic_.data()), FFTW_BACKWARD, kPlannerFlags);
    size_ = size;
  }
  mode_ = mode;
  refFrames_ = count;
  for (int ch = 0; ch < 2; ++ch) {
    std::fill(real_.begin(), real_.end(), 0.0f);
    for (int i = 0; i < count; ++i) real_[static_cast<std::size_t>(i)] = frames[2 * i + ch];
    refNorm_[ch] = Norm(real_.data(), count);
    auto& spectrum = refSpectrum_[ch];
    spectrum.assign(spectrum_.size(), {});
    if (refNorm_[ch] == 0) continue;
    fftwf_execute(forward_);
    for (std::size_t k = 1; k < spectrum.size(); ++k) spectrum[k] = std::conj(spectrum_[k]);
  }
}

TDelayResult TDelayFinder::Find(const int16_t* capture, int count) {
  TDelayResult result;
  if (size_ <= 0 || !capture) return result;
  if (mode_ == TMode::Circular ? count != size_ : (count > size_ || count < refFrames_)) return result;
  const int n = size_;
  // Lags whose correlation does not wrap around: the circular search takes them all.
  const int lags = mode_ == TMode::Circular ? n : count - refFrames_ + 1;
  std::fill(score_.begin(), score_.begin() + lags, 0.0f);
  bool any = false;
  for (int ch = 0; ch < 2; ++ch) {
    if (refNorm_[ch] == 0) continue;
    std::fill(real_.begin() + count, real_.end(), 0.0f);
    for (int i = 0; i < count; ++i) real_[static_cast<std::size_t>(i)] = capture[2 * i + ch];
    const double norm = Norm(real_.data(), count);
    if (norm == 0) continue;
    any = true;
    fftwf_execute(forward_);
    const std::size_t half = static_cast<std::size_t>(n / 2);
    const auto& reference = refSpectrum_[ch];
    analytic_[0] = 0;
    // Twice the positive frequencies, none of the negative ones: the analytic correlation.
    for (std::size_t k = 1; k < spectrum_.size(); ++k)
      analytic_[k] = (n % 2 == 0 && k == half ? 1.0f : 2.0f) * spectrum_[k] * reference[k];
    std::fill(analytic_.begin() + static_cast<std::ptrdiff_t>(spectrum_.size()), analytic_.end(),
              std::complex<float>{});
    fftwf_execute(backward_);
    const float scale = static_cast<float>(1.0 / (static_cast<double>(n) * norm * refNorm_[ch]));
    const std::complex<float>* y = analytic_.data();
    float* score = score_.data();
    for (int t = 0; t < lags; ++t)
      score[t] += std::sqrt(y[t].real() * y[t].real() + y[t].imag() * y[t].imag()) * scale;
  }
  if (!any || lags <= 0) return result;
  double sum = 0;
  int best = 0;
  for (int t = 0; t < lags; ++t) {
    sum += score_[static_cast<std::size_t>(t)];
    if (score_[static_cast<std::size_t>(t)] > score_[static_cast<std::size_t>(best)]) best = t;
  }
  const double mean = sum / lags;
  result.Lag = best;
  result.Coherence = score_[static_cast<std::size_t>(best)];
  result.Clarity = mean > 0 ? result.Coherence / mean : 0;
  result.Found = result.Clarity >= kMinClarity;
  return result;
}
