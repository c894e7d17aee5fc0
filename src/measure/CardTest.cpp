#include "CardTest.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "Distortion.h"
#include "ImpulseResponse.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kFadeSeconds = 0.01;
constexpr double kTailSeconds = 0.25;

double FromdB(double dB) { return std::pow(10.0, dB / 20.0); }
double TodB(double ratio) { return ratio > 0 ? 20.0 * std::log10(ratio) : -300.0; }

TSyncSweepSettings SweepOf(const TCardTestSettings& s) {
  TSyncSweepSettings w;
  w.F1 = s.SweepF1();
  w.F2 = s.SweepF2();
  w.Seconds = s.SweepSeconds;
  w.Amplitude = FromdB(s.SweepdBFS);
  w.TailSeconds = s.SweepTailSeconds;
  w.SampleRate = s.SampleRate;
  return w;
}

// Linear interpolation of a response's dB between bins; NaN outside its band.
double ResponseAt(const TResponseCurve& r, double hz) {
  if (r.BinHz <= 0 || r.MagnitudedB.empty()) return kNoFigure;
  // The band's own ends (F1, F2) may fall a fraction of a bin outside its first and last bins.
  const double b = std::clamp(hz / r.BinHz, hz / r.BinHz > r.FirstBin - 1 ? static_cast<double>(r.FirstBin) : 0.0,
                              hz / r.BinHz < r.LastBin + 1 ? static_cast<double>(r.LastBin) : 1e300);
  if (b < r.FirstBin || b > r.LastBin) return kNoFigure;
  const int lo = std::min(static_cast<int>(b), r.LastBin - 1);
  const double t = b - lo;
  return r.MagnitudedB[lo] * (1 - t) + r.MagnitudedB[lo + 1] * t;
}

// One channel of a capture stretch, full scale 1.0.
std::vector<double> ChannelOf(const int16_t* frames, int64_t from, int count, int ch) {
  std::vector<double> x(count);
  for (int i = 0; i < count; ++i) x[i] = frames[2 * (from + i) + ch] / 32767.0;
  return x;
}

struct TNoiseReading {
  double Dc = 0, dBFS = -300, dBFSA = -300;
  std::vector<double> Spectrum;  // tone-equivalent dBFS per bin
};

// Power in the band of a stretch (mean removed) under the 7-term Blackman-Harris window.
TNoiseReading Noise(std::vector<double> x, double fs, double low, double high) {
  TNoiseReading r;
  const int n = static_cast<int>(x.size());
  double mean = 0;
  for (double v : x) mean += v;
  mean /= n;
  r.Dc = mean;
  const std::vector<double> w = BlackmanHarris7(n);
  double sum = 0, squares = 0;
  std::vector<float> in(n);
  for (int i = 0; i < n; ++i) {
    in[i] = static_cast<float>((x[i] - mean) * w[i]);
    sum += w[i];
    squares += w[i] * w[i];
  }
  std::vector<fftwf_complex> out(n / 2 + 1);
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
  fftwf_execute(plan);
  fftwf_destroy_plan(plan);
  double flat = 0, weighted = 0;
  r.Spectrum.resize(n / 2 + 1);
  for (int k = 0; k <= n / 2; ++k) {
    const double p = static_cast<double>(out[k][0]) * out[k][0] + static_cast<double>(out[k][1]) * out[k][1];
    r.Spectrum[k] = 10 * std::log10(std::max(4 * p / (sum * sum), 1e-30));
    const double hz = k * fs / n;
    if (k == 0 || hz < low || hz > high) continue;
    flat += p;
    weighted += p * std::pow(10.0, AWeightingdB(hz) / 10);
  }
  // Two-sided power over the window's energy; dBFS re a full-scale sine's power of 1/2.
  const auto level = [&](double p) { return 10 * std::log10(std::max(2 * (2 * p / (n * squares)), 1e-30)); };
  r.dBFS = level(flat);
  r.dBFSA = level(weighted);
  return r;
}

// Largest bin per 1/48 octave from 20 Hz.
std::vector<double> Reduce(const std::vector<double>& spectrum, double binHz, const std::vector<double>& at) {
  std::vector<double> out;
  for (double hz : at) {
    const int a = std::max(1, static_cast<int>(std::floor(hz * std::pow(2.0, -1.0 / 96) / binHz)));
    const int b = std::min(static_cast<int>(spectrum.size()) - 1,
                           static_cast<int>(std::ceil(hz * std::pow(2.0, 1.0 / 96) / binHz)));
    double m = -300;
    for (int k = a; k <= b; ++k) m = std::max(m, spectrum[k]);
    out.push_back(m);
  }
  return out;
}

}  // namespace

TCardTestPlan::TCardTestPlan(const TCardTestSettings& settings) : s_(settings), sweep_(SweepOf(settings)) {
  const double fs = s_.SampleRate;
  if (!(s_.LeadInSeconds >= 0 && s_.NoiseSeconds >= 0.5 && s_.ToneSeconds > 0 &&
        s_.AnalyseSeconds > 0 && s_.AnalyseSeconds <= s_.ToneSeconds && s_.AnalyseSeconds * fs >= 4096 &&
        s_.MaxRoundTripSeconds >= 0))
    throw std::invalid_argument("the test's segments are too short");
  for (double hz : s_.CrosstalkHz)
    if (!(hz > 0 && hz < fs / 2)) throw std::invalid_argument("a crosstalk frequency lies beyond the band");
  fade_ = static_cast<int>(kFadeSeconds * fs);
  const auto add = [&](TSegmentKind kind, double seconds, const char* name) {
    TCardSegment seg{kind, frames_, static_cast<int64_t>(std::llround(seconds * fs)), name};
    if (kind == TSegmentKind::Sweep) seg.Frames = sweep_.RunFrames();
    frames_ += seg.Frames;
    segments_.push_back(seg);
  };
  add(TSegmentKind::LeadIn, s_.LeadInSeconds, "Lead-in");
  add(TSegmentKind::Sweep, 0, "Frequency response and round trip");
  add(TSegmentKind::Silence, s_.NoiseSeconds, "Noise and DC offset");
  add(TSegmentKind::LowTone, s_.ToneSeconds, "Dynamic range");
  add(TSegmentKind::HighTone, s_.ToneSeconds, "THD+N");
  add(TSegmentKind::Smpte, s_.ToneSeconds, "IMD (SMPTE)");
  add(TSegmentKind::Ccif, s_.ToneSeconds, "IMD (CCIF)");
  add(TSegmentKind::CrosstalkLeft, s_.ToneSeconds, "Crosstalk, left driven");
  add(TSegmentKind::CrosstalkRight, s_.ToneSeconds, "Crosstalk, right driven");
  add(TSegmentKind::Tail, kTailSeconds, "End");
}

const TCardSegment& TCardTestPlan::Segment(TSegmentKind kind) const {
  for (const TCardSegment& s : segments_)
    if (s.Kind == kind) return s;
  return segments_.back();
}

int64_t TCardTestPlan::CaptureFrames() const {
  return frames_ + static_cast<int64_t>(std::llround(s_.MaxRoundTripSeconds * s_.SampleRate));
}

const TCardSegment& TCardTestPlan::SegmentAt(int64_t frame) const {
  for (const TCardSegment& s : segments_)
    if (frame < s.Start + s.Frames) return s;
  return segments_.back();
}

double TCardTestPlan::Value(int channel, int64_t n) const {
  if (n < 0 || n >= frames_) return 0;
  const TCardSegment& seg = SegmentAt(n);
  const int64_t t = n - seg.Start;
  const double fs = s_.SampleRate;
  const auto sine = [&](double hz) { return std::sin(kTwoPi * std::fmod(hz * static_cast<double>(t), fs) / fs); };
  double v = 0;
  switch (seg.Kind) {
    case TSegmentKind::Sweep:
      return sweep_.Value(t);
    case TSegmentKind::LowTone:
      v = FromdB(s_.LowdBFS) * sine(s_.ToneHz);
      break;
    case TSegmentKind::HighTone:
      v = FromdB(s_.HighdBFS) * sine(s_.ToneHz);
      break;
    case TSegmentKind::Smpte:
      v = FromdB(s_.HighdBFS) * (0.8 * sine(60.0) + 0.2 * sine(7000.0));
      break;
    case TSegmentKind::Ccif:
      v = FromdB(s_.HighdBFS) * (0.5 * sine(19000.0) + 0.5 * sine(20000.0));
      break;
    case TSegmentKind::CrosstalkLeft:
    case TSegmentKind::CrosstalkRight:
      if (channel != (seg.Kind == TSegmentKind::CrosstalkLeft ? 0 : 1)) return 0;
      for (double hz : s_.CrosstalkHz) v += FromdB(s_.CrosstalkdBFS) * sine(hz);
      break;
    default:
      return 0;
  }
  // Raised-cosine ends: a tone that starts with a click rings through the device under test.
  const int64_t edge = std::min(t, seg.Frames - 1 - t);
  if (edge < fade_) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * (static_cast<double>(edge) + 0.5) / fade_);
  return v;
}

void TCardTestPlan::FillStereo16(int16_t* out, int64_t from, int count) const {
  for (int i = 0; i < count; ++i)
    for (int ch = 0; ch < 2; ++ch) {
      const double v = std::nearbyint(32767.0 * Value(ch, from + i));
      out[2 * i + ch] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
    }
}

std::string TCardTestTiming::Method() const {
  if (std::isfinite(SweepTakeClock) && std::isfinite(CaptureClock)) return "device clock";
  if (std::isfinite(SweepFillSeconds) && !Arrivals.empty()) return "wall clock";
  return "file positions";
}

TCardTestResult AnalyseCardTest(const TCardTestPlan& plan, const int16_t* captured, int64_t frames,
                                const TCardTestTiming& timing, const std::function<double(double)>& correctiondB) {
  TCardTestResult result;
  const TCardTestSettings& s = plan.Settings();
  const double fs = s.SampleRate;
  const TCardSegment& sweepSeg = plan.Segment(TSegmentKind::Sweep);
  const TCardSegment& silence = plan.Segment(TSegmentKind::Silence);

  // Where the sweep came back: the capture up to the end of the silence after it, so a round
  // trip up to the silence's length still leaves the whole sweep in it.
  const int64_t findFrames = std::min(frames, silence.Start + silence.Frames);
  if (findFrames < sweepSeg.Frames) {
    result.Error = "The capture is shorter than the sweep: nothing was recorded while the test played.";
    return result;
  }
  TImpulseAnalyser impulse;
  impulse.Start(plan.Sweep(), false, static_cast<int>(findFrames));
  const TCaptureFind find = impulse.AddCapture(captured, static_cast<int>(findFrames));
  if (!find.Found[0] && !find.Found[1]) {
    result.Error = "The sweep did not come back: wire the output to the input and raise the input's "
                   "level until the sweep is well clear of the noise, then run the test again.";
    return result;
  }
  const double lag = find.Found[0] ? find.Delay[0] : find.Delay[1];
  const double offset = lag - static_cast<double>(sweepSeg.Start);
  const int64_t shift = std::llround(offset);
  const TCardSegment& last = plan.Segment(TSegmentKind::CrosstalkRight);
  if (frames < last.Start + last.Frames + shift) {
    result.Error = "The capture ended before the test did: the sound system's round trip is longer than " +
                   std::to_string(static_cast<int>(s.MaxRoundTripSeconds * 1000)) + " ms.";
    return result;
  }
  // Every tone is read in the middle of its segment, clear of its fades and the device's settling.
  const int analyse = static_cast<int>(std::llround(s.AnalyseSeconds * fs));
  const auto startOf = [&](const TCardSegment& seg) {
    return seg.Start + shift + (seg.Frames - analyse) / 2;
  };

  const auto add = [&](const char* key, const char* name, const char* unit, double left, double right) {
    result.Figures.push_back({key, name, unit, left, right});
  };

  // Response.
  const TImpulseResult ir = impulse.Result();
  double gain1k[2] = {kNoFigure, kNoFigure}, lowest[2] = {kNoFigure, kNoFigure},
         highest[2] = {kNoFigure, kNoFigure}, at20[2] = {kNoFigure, kNoFigure}, at20k[2] = {kNoFigure, kNoFigure};
  for (double hz = s.BandLow; hz < std::min(s.BandHigh, fs / 2) * 0.9999; hz *= std::pow(2.0, 1.0 / 24))
    result.CurveHz.push_back(hz);
  result.CurveHz.push_back(std::min(s.BandHigh, fs / 2));
  for (int ch = 0; ch < 2; ++ch) {
    const TChannelImpulse& c = ir.Channel[ch];
    result.CurvedB[ch].assign(result.CurveHz.size(), kNoFigure);
    if (!c.Valid) continue;
    const TResponseCurve& r = c.Response;
    const auto at = [&](double hz) { return ResponseAt(r, hz) - (correctiondB ? correctiondB(hz) : 0.0); };
    gain1k[ch] = at(1000.0);
    for (std::size_t i = 0; i < result.CurveHz.size(); ++i) result.CurvedB[ch][i] = at(result.CurveHz[i]) - gain1k[ch];
    double lo = 1e300, hi = -1e300;
    for (int b = std::max(r.FirstBin, static_cast<int>(std::ceil(40.0 / r.BinHz)));
         b <= std::min(r.LastBin, static_cast<int>(15000.0 / r.BinHz)); ++b) {
      const double v = r.MagnitudedB[b] - (correctiondB ? correctiondB(b * r.BinHz) : 0.0);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    lowest[ch] = lo - gain1k[ch];
    highest[ch] = hi - gain1k[ch];
    at20[ch] = at(s.BandLow) - gain1k[ch];
    at20k[ch] = at(std::min(s.BandHigh, fs / 2)) - gain1k[ch];
  }
  add("gain_1k_db", "Gain at 1 kHz (re the level played)", "dB", gain1k[0], gain1k[1]);
  add("response_min_db", "Response, lowest from 40 Hz to 15 kHz (re 1 kHz)", "dB", lowest[0], lowest[1]);
  add("response_max_db", "Response, highest from 40 Hz to 15 kHz (re 1 kHz)", "dB", highest[0], highest[1]);
  add("response_20hz_db", "Response at 20 Hz (re 1 kHz)", "dB", at20[0], at20[1]);
  add("response_20khz_db", "Response at 20 kHz (re 1 kHz)", "dB", at20k[0], at20k[1]);

  // Noise and DC offset: the silence's last part, clear of the sweep's tail ringing.
  {
    const int count = static_cast<int>(silence.Frames - std::llround(0.5 * fs));
    const int64_t from = silence.Start + shift + (silence.Frames - count);
    TNoiseReading n[2];
    for (int ch = 0; ch < 2; ++ch) n[ch] = Noise(ChannelOf(captured, from, count, ch), fs, s.BandLow, s.BandHigh);
    add("noise_dbfs", "Noise level, unweighted", "dBFS", n[0].dBFS, n[1].dBFS);
    add("noise_dbfs_a", "Noise level, A-weighted", "dBFS(A)", n[0].dBFSA, n[1].dBFSA);
    add("dc_offset_percent", "DC offset", "% of full scale", 100 * n[0].Dc, 100 * n[1].Dc);
    add("dc_offset_lsb", "DC offset (16-bit)", "LSB", 32767 * n[0].Dc, 32767 * n[1].Dc);
    for (double hz = 20; hz <= std::min(20000.0, fs / 2); hz *= std::pow(2.0, 1.0 / 48)) result.SpectrumHz.push_back(hz);
    for (int ch = 0; ch < 2; ++ch) result.NoiseSpectrum[ch] = Reduce(n[ch].Spectrum, fs / count, result.SpectrumHz);
  }

  TDistortionAnalyser distortion;
  TDistortionSettings d;
  d.BandLow = s.BandLow;
  d.BandHigh = s.BandHigh;
  d.SampleRate = fs;
  const auto analyse2 = [&](TSegmentKind kind) {
    return distortion.Analyse(captured + 2 * startOf(plan.Segment(kind)), analyse, d);
  };
  {
    d.Weighting = TNoiseWeighting::AWeighted;
    const TDistortionResult low = analyse2(TSegmentKind::LowTone);
    d.Weighting = TNoiseWeighting::Flat;
    const TDistortionResult high = analyse2(TSegmentKind::HighTone);
    const auto pick = [](const TDistortionResult& r, int ch, double TChannelDistortion::*field) {
      return r.Channel[ch].Valid ? r.Channel[ch].*field : kNoFigure;
    };
    add("dynamic_range_db_a", "Dynamic range (AES17, A-weighted)", "dB",
        60 - pick(low, 0, &TChannelDistortion::ThdndB), 60 - pick(low, 1, &TChannelDistortion::ThdndB));
    add("thdn_db", "THD+N at -1 dBFS, 997 Hz", "dB", pick(high, 0, &TChannelDistortion::ThdndB),
        pick(high, 1, &TChannelDistortion::ThdndB));
    add("thdn_percent", "THD+N at -1 dBFS, 997 Hz", "%", pick(high, 0, &TChannelDistortion::ThdnPercent),
        pick(high, 1, &TChannelDistortion::ThdnPercent));
    add("thd_db", "THD at -1 dBFS, 997 Hz (H2 to H10)", "dB", pick(high, 0, &TChannelDistortion::ThddB),
        pick(high, 1, &TChannelDistortion::ThddB));
    for (int ch = 0; ch < 2; ++ch) {
      const std::vector<float>& sp = high.Channel[ch].ResidualSpectrum;
      std::vector<double> spectrum(sp.begin(), sp.end());
      result.ToneSpectrum[ch] = spectrum.empty() ? std::vector<double>(result.SpectrumHz.size(), kNoFigure)
                                                 : Reduce(spectrum, fs / analyse, result.SpectrumHz);
    }
  }
  struct TImdRow {
    TSegmentKind kind;
    const char *key, *keyPercent, *name;
  };
  for (const TImdRow& row :
       {TImdRow{TSegmentKind::Smpte, "imd_smpte_db", "imd_smpte_percent", "IMD, SMPTE (60 Hz + 7 kHz, 4:1)"},
        TImdRow{TSegmentKind::Ccif, "imd_ccif_db", "imd_ccif_percent", "IMD, CCIF (19 kHz + 20 kHz, 1:1)"}}) {
    const auto& [kind, key, keyPercent, name] = row;
    d.Kind = kind == TSegmentKind::Smpte ? TDistortionKind::Smpte : TDistortionKind::Ccif;
    const TDistortionResult r = analyse2(kind);
    const auto imd = [&](int ch, bool percent) {
      if (!r.Channel[ch].Valid) return kNoFigure;
      return percent ? r.Channel[ch].Imd.Percent : r.Channel[ch].Imd.dB;
    };
    add(key, name, "dB", imd(0, false), imd(1, false));
    add(keyPercent, name, "%", imd(0, true), imd(1, true));
  }

  // Crosstalk: each input's level at each tone while only the other channel plays, re the
  // driven input's.
  {
    const std::vector<double> w = BlackmanHarris7(analyse);
    double wsum = 0;
    for (double v : w) wsum += v;
    double into[2][3];
    for (int driven = 0; driven < 2; ++driven) {
      const TCardSegment& seg = plan.Segment(driven == 0 ? TSegmentKind::CrosstalkLeft : TSegmentKind::CrosstalkRight);
      std::vector<double> x[2];
      for (int ch = 0; ch < 2; ++ch) {
        x[ch] = ChannelOf(captured, startOf(seg), analyse, ch);
        for (int i = 0; i < analyse; ++i) x[ch][i] *= w[i];
      }
      for (int k = 0; k < 3; ++k) {
        const double hz = s.CrosstalkHz[k];
        const double a = ToneAmplitude(x[driven].data(), analyse, hz, fs, wsum);
        const double b = ToneAmplitude(x[1 - driven].data(), analyse, hz, fs, wsum);
        into[1 - driven][k] = TodB(b / a);
      }
    }
    const char* keys[3] = {"crosstalk_100hz_db", "crosstalk_1khz_db", "crosstalk_10khz_db"};
    for (int k = 0; k < 3; ++k) {
      const double hz = s.CrosstalkHz[k];
      const std::string name = "Crosstalk at " + (hz >= 1000 ? std::to_string(static_cast<int>(hz / 1000)) + " kHz"
                                                             : std::to_string(static_cast<int>(hz)) + " Hz") +
                               " (from the other channel)";
      result.Figures.push_back({keys[k], name, "dB", into[0][k], into[1][k]});
    }
  }

  // Round trip.
  {
    result.DelayMethod = timing.Method();
    double trip[2] = {kNoFigure, kNoFigure};
    for (int ch = 0; ch < 2; ++ch) {
      if (!find.Found[ch]) continue;
      const double at = find.Delay[ch];
      if (result.DelayMethod == "device clock") {
        trip[ch] = timing.CaptureClock + at - timing.SweepTakeClock;
      } else if (result.DelayMethod == "wall clock") {
        // The block holding the frame: the first whose end lies past it.
        auto it = std::upper_bound(timing.Arrivals.begin(), timing.Arrivals.end(), at,
                                   [](double f, const std::pair<int64_t, double>& a) { return f < a.first; });
        if (it != timing.Arrivals.end())
          trip[ch] = (it->second - (static_cast<double>(it->first) - at) / fs - timing.SweepFillSeconds) * fs;
      } else {
        trip[ch] = at - static_cast<double>(sweepSeg.Start);
      }
    }
    add("round_trip_ms", "Round-trip delay", "ms", trip[0] / fs * 1000, trip[1] / fs * 1000);
    add("round_trip_frames", "Round-trip delay", "frames", trip[0], trip[1]);
  }
  result.Valid = true;
  return result;
}
