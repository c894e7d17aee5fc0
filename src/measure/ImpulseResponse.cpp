#include "ImpulseResponse.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr unsigned kPlannerFlags = FFTW_ESTIMATE;
constexpr int kS = TImpulseAnalyser::kSegmentFrames;
constexpr int kBins = kS / 2 + 1;
// Regularisation re the sweep's ideal in-band power at each frequency: in band it costs
// 1e-6 of the power (1e-5 dB); past the band's ends, where the played spectrum falls more
// than 60 dB, it stops the division from lifting noise.
constexpr double kRegularisation = 1e-6;
// Interpolation kernel: taps either side and Kaiser beta.
constexpr int kTaps = 64;
constexpr double kKaiserBeta = 8.0;

double BesselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 60; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// Raised cosine from 0 at a to 1 at b (a < b), on whatever axis the caller uses.
double Rise(double x, double a, double b) {
  if (x <= a) return 0;
  if (x >= b) return 1;
  return 0.5 * (1 - std::cos(kPi * (x - a) / (b - a)));
}

double dB20(double ratio) { return ratio > 0 ? 20 * std::log10(ratio) : -300.0; }

// The band's top edge: zero phase, so that the peak stays where the delay is.
double TopWeight(double hz, double f2, double nyquist) {
  const double top = std::min(f2 * std::exp2(1.0 / 6), nyquist);
  if (hz <= f2 || top <= f2) return 1;
  return 1 - Rise(std::log2(hz / f2), 0.0, std::log2(top / f2));
}

} // namespace

// The band's low edge: a 4th-order Butterworth high-pass an octave below F1, minimum phase, so
// it rings only after the peak, where the window keeps it, and is divided out again.
std::complex<double> LowEdgeResponse(double hz, double f1) {
  if (hz <= 0) return 0.0;
  const std::complex<double> s(0.0, hz / (f1 / 2));
  std::complex<double> h = 1.0;
  for (double q : {0.54119610014619699, 1.3065629648763766}) h *= s * s / (s * s + s / q + 1.0);
  return h;
}

namespace {

// The band-limited h at fractional position t (frames), from the samples of a circular buffer.
double Interpolate(const float* h, int size, double t) {
  const int centre = static_cast<int>(std::floor(t));
  static const double i0beta = BesselI0(kKaiserBeta);
  double sum = 0;
  for (int n = centre - kTaps + 1; n <= centre + kTaps; ++n) {
    const double d = t - n;
    const double r = d / (kTaps + 1);
    if (r <= -1 || r >= 1) continue;
    const double w = BesselI0(kKaiserBeta * std::sqrt(1 - r * r)) / i0beta;
    const double sinc = std::abs(d) < 1e-12 ? 1.0 : std::sin(kPi * d) / (kPi * d);
    const int i = ((n % size) + size) % size;
    sum += h[i] * sinc * w;
  }
  return sum;
}

// The position of the largest |h(t)| near the sample p (golden section; the peak of a
// band-limited pulse lies within a sample of its largest sample).
double RefinePeak(const float* h, int size, int p) {
  const double sign = h[p] < 0 ? -1.0 : 1.0;
  const auto f = [&](double t) { return -sign * Interpolate(h, size, t); };
  constexpr double g = 0.6180339887498949;
  double a = p - 0.7, b = p + 0.7;
  double c = b - g * (b - a), d = a + g * (b - a);
  double fc = f(c), fd = f(d);
  for (int i = 0; i < 40; ++i) {
    if (fc < fd) {
      b = d, d = c, fd = fc;
      c = b - g * (b - a), fc = f(c);
    } else {
      a = c, c = d, fc = fd;
      d = a + g * (b - a), fd = f(d);
    }
  }
  return 0.5 * (a + b);
}

// The window of the header: rise over the first half of [start, 0], fall over the last tenth.
double WindowAt(double ms, const TIrWindow& w) {
  if (ms < w.StartMs || ms > w.EndMs) return 0;
  const double rise = std::max(0.0, -w.StartMs) / 2;
  const double fall = 0.1 * (w.EndMs - w.StartMs);
  double v = 1;
  if (rise > 0) v *= Rise(ms, w.StartMs, w.StartMs + rise);
  if (fall > 0) v *= 1 - Rise(ms, w.EndMs - fall, w.EndMs);
  return v;
}

}  // namespace

int FastTransformSize(int n) {
  for (int m = std::max(n, 1);; ++m) {
    int r = m;
    for (int p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

TImpulseAnalyser::~TImpulseAnalyser() { Release(); }

void TImpulseAnalyser::Release() {
  for (fftwf_plan* p : {&forward_, &backward_, &segForward_, &segBackward_}) {
    if (*p) fftwf_destroy_plan(*p);
    *p = nullptr;
  }
}

void TImpulseAnalyser::Start(const TSyncSweep& sweep, bool dual, int captureFrames) {
  if (captureFrames < sweep.SweepFrames()) throw std::invalid_argument("capture shorter than the sweep");
  dual_ = dual;
  count_[0] = count_[1] = 0;
  for (auto& channel : sums_)
    for (auto& s : channel) s.assign(kBins, 0.0);
  const TSyncSweepSettings& s = sweep.Settings();
  const bool sameSweep = s.F1 == sweepSettings_.F1 && s.F2 == sweepSettings_.F2 &&
                         s.Seconds == sweepSettings_.Seconds && s.Amplitude == sweepSettings_.Amplitude &&
                         s.FadeInMs == sweepSettings_.FadeInMs && s.FadeOutMs == sweepSettings_.FadeOutMs &&
                         s.SampleRate == sweepSettings_.SampleRate;
  if (sameSweep && captureFrames == captureFrames_ && forward_) return;

  sweepSettings_ = s;
  rate_ = sweep.Rate();
  sweepFrames_ = sweep.SweepFrames();
  fs_ = s.SampleRate;
  captureFrames_ = captureFrames;
  // Room for the capture, the harmonics' responses before lag 0 and a segment after the last lag.
  const int size = FastTransformSize(captureFrames + static_cast<int>(std::ceil(sweep.HarmonicAdvance(kMaxHarmonic))) + kS);
  if (size != size_) {
    Release();
    size_ = size;
    real_.assign(size_, 0.0f);
    spectrum_.assign(size_ / 2 + 1, 0.0f);
    inverse_.assign(size_ / 2 + 1, 0.0f);
    auto* bins = reinterpret_cast<fftwf_complex*>(spectrum_.data());
    forward_ = fftwf_plan_dft_r2c_1d(size_, real_.data(), bins, kPlannerFlags);
    backward_ = fftwf_plan_dft_c2r_1d(size_, bins, real_.data(), kPlannerFlags);
    segReal_.assign(kS, 0.0f);
    segSpectrum_.assign(kBins, 0.0f);
    auto* segBins = reinterpret_cast<fftwf_complex*>(segSpectrum_.data());
    segForward_ = fftwf_plan_dft_r2c_1d(kS, segReal_.data(), segBins, kPlannerFlags);
    segBackward_ = fftwf_plan_dft_c2r_1d(kS, segBins, segReal_.data(), kPlannerFlags);
  }
  lowEdgeInverse_.assign(kBins, 0.0);
  for (int k = 1; k < kBins; ++k) {
    const std::complex<double> e = LowEdgeResponse(k * fs_ / kS, s.F1);
    lowEdgeInverse_[k] = std::abs(e) >= 1e-3 ? 1.0 / e : 0.0;
  }
  channel_[0].assign(captureFrames_, 0.0f);
  channel_[1].assign(captureFrames_, 0.0f);

  // The inverse of what is played, in double from the double-precision sweep's transform.
  const std::vector<double> played = sweep.Played();
  std::fill(real_.begin(), real_.end(), 0.0f);
  std::copy(played.begin(), played.end(), real_.begin());
  fftwf_execute(forward_);
  const double binHz = fs_ / size_;
  const double a = s.Amplitude;
  for (int k = 0; k <= size_ / 2; ++k) {
    const double hz = k * binHz;
    const double top = TopWeight(hz, s.F2, fs_ / 2);
    if (top <= 0 || hz <= 0) {
      inverse_[k] = 0;
      continue;
    }
    // |X|^2 of an ideal exponential sweep: (A fs)^2 L / (4 f).
    const double ideal = a * a * fs_ * fs_ * rate_ / (4 * std::max(hz, s.F1 / 2));
    const std::complex<double> x(spectrum_[k].real(), spectrum_[k].imag());
    const std::complex<double> inv = top * LowEdgeResponse(hz, s.F1) * std::conj(x) / (std::norm(x) + kRegularisation * ideal) / static_cast<double>(size_);
    inverse_[k] = std::complex<float>(static_cast<float>(inv.real()), static_cast<float>(inv.imag()));
  }
}

TCaptureFind TImpulseAnalyser::AddCapture(const int16_t* frames, int count) {
  if (!forward_) throw std::logic_error("impulse analyser not started");
  count = std::min(count, captureFrames_);
  constexpr float scale = 1.0f / 32767.0f;
  for (int ch : {0, 1}) {
    float* c = channel_[ch].data();
    for (int i = 0; i < count; ++i) c[i] = frames[2 * i + ch] * scale;
    std::fill(c + count, c + captureFrames_, 0.0f);
  }
  maxLag_ = count - sweepFrames_;
  return Process();
}

TCaptureFind TImpulseAnalyser::AddCapture(const float* frames, int count) {
  if (!forward_) throw std::logic_error("impulse analyser not started");
  count = std::min(count, captureFrames_);
  for (int ch : {0, 1}) {
    float* c = channel_[ch].data();
    for (int i = 0; i < count; ++i) c[i] = frames[2 * i + ch];
    std::fill(c + count, c + captureFrames_, 0.0f);
  }
  maxLag_ = count - sweepFrames_;
  return Process();
}

void TImpulseAnalyser::Deconvolve(int ch) {
  std::copy(channel_[ch].begin(), channel_[ch].end(), real_.begin());
  std::fill(real_.begin() + captureFrames_, real_.end(), 0.0f);
  fftwf_execute(forward_);
  for (std::size_t k = 0; k < spectrum_.size(); ++k) spectrum_[k] *= inverse_[k];
  fftwf_execute(backward_);
}

bool TImpulseAnalyser::FindPeak(double& delay, double& clarity) const {
  clarity = 0;
  if (maxLag_ < 0) return false;
  int best = 0;
  float top = -1;
  for (int i = 0; i <= maxLag_; ++i) {
    const float v = std::abs(real_[i]);
    if (v > top) top = v, best = i;
  }
  double power = 0;
  for (float v : real_) power += static_cast<double>(v) * v;
  const double rms = std::sqrt(power / size_);
  if (rms <= 0) return false;
  clarity = top / rms;
  delay = RefinePeak(real_.data(), size_, best);
  return clarity >= kMinClarity;
}

void TImpulseAnalyser::Accumulate(int ch, double at) {
  for (int order = 1; order <= kMaxHarmonic; ++order) {
    const double centre = at - rate_ * std::log(static_cast<double>(order)) * fs_;
    const double whole = std::floor(centre);
    const double frac = centre - whole;
    int64_t start = static_cast<int64_t>(whole) - kPreFrames;
    start = ((start % size_) + size_) % size_;
    for (int n = 0; n < kS; ++n) segReal_[n] = real_[(start + n) % size_];
    fftwf_execute(segForward_);
    std::vector<std::complex<double>>& sum = sums_[ch][order - 1];
    // Earlier by frac: the peak lands on kPreFrames.
    const double step = kTwoPi * frac / kS;
    for (int k = 0; k < kBins; ++k) {
      const std::complex<double> v(segSpectrum_[k].real(), segSpectrum_[k].imag());
      sum[k] += v * std::polar(1.0, step * k);
    }
  }
  ++count_[ch];
}

TCaptureFind TImpulseAnalyser::Process() {
  TCaptureFind find;
  for (int ch : {0, 1}) {
    Deconvolve(ch);
    find.Found[ch] = FindPeak(find.Delay[ch], find.Clarity[ch]);
    if (!dual_) {
      if (find.Found[ch]) {
        Accumulate(ch, find.Delay[ch]);
        lastDelay_[ch] = find.Delay[ch];
        lastClarity_[ch] = find.Clarity[ch];
      }
    } else if (find.Found[0]) {
      // Both inputs cut where the reference found the sweep.
      Accumulate(ch, find.Delay[0]);
      lastDelay_[ch] = find.Delay[ch];
      lastClarity_[ch] = find.Clarity[ch];
    }
  }
  return find;
}

void TImpulseAnalyser::SegmentResponse(const std::vector<float>& segment, double peak, const TIrWindow& w,
                                       std::vector<std::complex<double>>& spectrum) {
  const double msPerFrame = 1e3 / fs_;
  for (int n = 0; n < kS; ++n) segReal_[n] = static_cast<float>(segment[n] * WindowAt((n - peak) * msPerFrame, w));
  fftwf_execute(segForward_);
  spectrum.resize(kBins);
  // Later by peak removed: the response's phase is re its peak.
  const double step = kTwoPi * peak / kS;
  for (int k = 0; k < kBins; ++k)
    spectrum[k] = std::complex<double>(segSpectrum_[k].real(), segSpectrum_[k].imag()) * std::polar(1.0, step * k) *
                  lowEdgeInverse_[k];
}

void TImpulseAnalyser::Curve(const std::vector<std::complex<double>>& spectrum, TResponseCurve& out) const {
  out.BinHz = fs_ / kS;
  out.FirstBin = static_cast<int>(std::ceil(sweepSettings_.F1 / out.BinHz));
  out.LastBin = std::min(kBins - 1, static_cast<int>(std::floor(sweepSettings_.F2 / out.BinHz)));
  out.Complex = spectrum;
  const int n = static_cast<int>(spectrum.size());
  out.MagnitudedB.resize(n);
  out.PhaseDeg.resize(n);
  out.UnwrappedDeg.resize(n);
  out.GroupDelayMs.resize(n);
  for (int k = 0; k < n; ++k) {
    out.MagnitudedB[k] = dB20(std::abs(spectrum[k]));
    const double deg = std::arg(spectrum[k]) * (180 / kPi);
    out.PhaseDeg[k] = deg <= -180 ? deg + 360 : deg;
  }
  // Unwrapped outward from the band's geometric middle, which keeps its wrapped value.
  const int middle = std::clamp(static_cast<int>(std::lrint(std::sqrt(sweepSettings_.F1 * sweepSettings_.F2) / out.BinHz)), 0, n - 1);
  out.UnwrappedDeg[middle] = out.PhaseDeg[middle];
  for (int k = middle + 1; k < n; ++k) {
    double step = out.PhaseDeg[k] - out.PhaseDeg[k - 1];
    step -= 360 * std::nearbyint(step / 360);
    out.UnwrappedDeg[k] = out.UnwrappedDeg[k - 1] + step;
  }
  for (int k = middle - 1; k >= 0; --k) {
    double step = out.PhaseDeg[k] - out.PhaseDeg[k + 1];
    step -= 360 * std::nearbyint(step / 360);
    out.UnwrappedDeg[k] = out.UnwrappedDeg[k + 1] + step;
  }
  // -d(phase)/d(omega): degrees over 360 per Hz is seconds.
  for (int k = 0; k < n; ++k) {
    const int lo = std::max(k - 1, 0), hi = std::min(k + 1, n - 1);
    out.GroupDelayMs[k] = -(out.UnwrappedDeg[hi] - out.UnwrappedDeg[lo]) / 360 / ((hi - lo) * out.BinHz) * 1e3;
  }
}

void TImpulseAnalyser::ChannelResult(int ch, const TIrWindow& window, TChannelImpulse& out) {
  out.Captures = count_[ch];
  out.Valid = count_[ch] > 0;
  if (!out.Valid) return;
  // The averages back in time.
  std::array<std::vector<float>, kMaxHarmonic> segments;
  for (int order = 1; order <= kMaxHarmonic; ++order) {
    const std::vector<std::complex<double>>& sum = sums_[ch][order - 1];
    const double scale = 1.0 / (static_cast<double>(count_[ch]) * kS);
    for (int k = 0; k < kBins; ++k)
      segSpectrum_[k] = std::complex<float>(static_cast<float>(sum[k].real() * scale), static_cast<float>(sum[k].imag() * scale));
    fftwf_execute(segBackward_);
    segments[order - 1] = segReal_;
  }
  const std::vector<float>& linear = segments[0];
  int best = 0;
  for (int n = 1; n < kS; ++n)
    if (std::abs(linear[n]) > std::abs(linear[best])) best = n;
  out.PeakIndex = RefinePeak(linear.data(), kS, best);
  const double peakValue = std::abs(Interpolate(linear.data(), kS, out.PeakIndex));
  double noise = 0;
  for (int n = kS - kS / 4; n < kS; ++n) noise += static_cast<double>(linear[n]) * linear[n];
  noise /= kS / 4;
  out.NoisedB = noise > 0 && peakValue > 0 ? 10 * std::log10(noise / (peakValue * peakValue)) : -300.0;
  out.Delay = lastDelay_[ch];
  out.Clarity = lastClarity_[ch];

  // Gaps between the responses, ms: gap[k] from harmonic k to the later one, k - 1.
  const double msPerFrame = 1e3 / fs_;
  const auto gap = [&](int k) { return rate_ * std::log(static_cast<double>(k) / (k - 1)) * 1e3; };
  const double firstMs = -out.PeakIndex * msPerFrame, lastMs = (kS - 1 - out.PeakIndex) * msPerFrame;
  TIrWindow w = window;
  w.Automatic = false;
  if (window.Automatic) {
    w.StartMs = -std::min(kAutoPreMs, 0.25 * gap(2));
    // Where the envelope last stands 10 dB over the noise, in 1 ms blocks.
    const int block = std::max(1, static_cast<int>(std::lrint(fs_ / 1000)));
    const int from = static_cast<int>(std::ceil(out.PeakIndex));
    const int until = kS - kS / 4;
    int end = from;
    for (int b = from; b + block <= until; b += block) {
      double p = 0;
      for (int n = b; n < b + block; ++n) p += static_cast<double>(linear[n]) * linear[n];
      if (p / block > 10 * noise) end = b + 2 * block;
    }
    w.EndMs = std::max((end - out.PeakIndex) * msPerFrame, kAutoMinPeriods * 1e3 / sweepSettings_.F1);
  }
  w.StartMs = std::clamp(w.StartMs, firstMs, 0.0);
  w.EndMs = std::clamp(w.EndMs, std::max(w.StartMs, 0.0) + msPerFrame, lastMs);
  out.Window = w;

  std::vector<std::complex<double>> spectrum;
  SegmentResponse(linear, out.PeakIndex, w, spectrum);
  Curve(spectrum, out.Response);
  out.Impulse = linear;

  double laterPre = -w.StartMs;  // the pre part of the next later response's window
  for (int order = 2; order <= kMaxHarmonic; ++order) {
    TIrWindow hw;
    hw.Automatic = false;
    const double pre = std::min(-w.StartMs, 0.25 * gap(order + 1));
    hw.StartMs = -pre;
    hw.EndMs = std::clamp(std::min(w.EndMs, gap(order) - laterPre), msPerFrame, lastMs);
    laterPre = pre;
    out.HarmonicWindow[order - 2] = hw;
    out.HarmonicImpulse[order - 2] = segments[order - 1];
    std::vector<std::complex<double>> harmonic;
    SegmentResponse(segments[order - 1], out.PeakIndex, hw, harmonic);
    THarmonicCurve& c = out.Harmonics[order - 2];
    c.Order = order;
    c.FirstBin = out.Response.FirstBin;
    c.LastBin = std::min(static_cast<int>(std::floor(sweepSettings_.F2 / order / out.Response.BinHz)), (kBins - 1) / order);
    c.dB.assign(c.LastBin + 1, -300.0);
    c.Percent.assign(c.LastBin + 1, 0.0);
    for (int b = c.FirstBin; b <= c.LastBin; ++b) {
      const double fundamental = std::abs(spectrum[b]);
      if (fundamental <= 0) continue;
      const double ratio = std::abs(harmonic[order * b]) / fundamental;
      c.dB[b] = dB20(ratio);
      c.Percent[b] = 100 * ratio;
    }
    c.Complex = std::move(harmonic);
  }
}

TImpulseResult TImpulseAnalyser::Result(const TIrWindow& window) {
  TImpulseResult r;
  r.Dual = dual_;
  if (!forward_) return r;
  for (int ch : {0, 1}) ChannelResult(ch, window, r.Channel[ch]);
  if (dual_ && r.Channel[0].Valid && r.Channel[1].Valid) {
    TChannelImpulse& right = r.Channel[1];
    right.Delay = right.PeakIndex - r.Channel[0].PeakIndex;
    std::vector<std::complex<double>> ratio(kBins);
    for (int k = 0; k < kBins; ++k) {
      const std::complex<double> reference = r.Channel[0].Response.Complex[k];
      ratio[k] = std::norm(reference) > 0 ? right.Response.Complex[k] / reference : 0.0;
    }
    Curve(ratio, r.Ratio);
  }
  return r;
}
