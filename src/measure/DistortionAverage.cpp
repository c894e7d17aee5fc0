#include "DistortionAverage.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kFloordB = -300;

double RatiodB(double ratio) { return ratio > 0 ? 20 * std::log10(ratio) : kFloordB; }
double PowerdB(double power) { return power > 0 ? 10 * std::log10(power) : kFloordB; }

// Accumulates one quantity over the readings and gives its average.
struct TMean {
  double sum = 0;
  int n = 0;
  void Add(double v) { sum += v, ++n; }
  double Value() const { return n ? sum / n : 0; }
};

template <typename Get>
double Linear(const std::deque<TChannelDistortion>& r, Get get) {
  TMean m;
  for (const auto& c : r) m.Add(get(c));
  return m.Value();
}

template <typename Get>
double Rms(const std::deque<TChannelDistortion>& r, Get get) {
  TMean m;
  for (const auto& c : r) m.Add(get(c) * get(c));
  return std::sqrt(m.Value());
}

template <typename Get>
double PowerMeandB(const std::deque<TChannelDistortion>& r, Get get) {
  TMean m;
  for (const auto& c : r) m.Add(std::pow(10.0, get(c) / 10));
  return PowerdB(m.Value());
}

// The list of the newest reading, each order averaged over the readings that have it.
template <typename List>
std::vector<THarmonicReading> AverageOrders(const std::deque<TChannelDistortion>& r, List list) {
  std::vector<THarmonicReading> out = list(r.back());
  for (THarmonicReading& h : out) {
    TMean frequency, amplitude, ratio;
    for (const auto& c : r)
      for (const THarmonicReading& other : list(c))
        if (other.Order == h.Order) {
          frequency.Add(other.Frequency);
          amplitude.Add(other.Amplitude * other.Amplitude);
          ratio.Add(other.Percent / 100 * (other.Percent / 100));
          break;
        }
    h.Frequency = frequency.Value();
    h.Amplitude = std::sqrt(amplitude.Value());
    const double q = std::sqrt(ratio.Value());
    h.Percent = 100 * q;
    h.dBc = RatiodB(q);
  }
  return out;
}

}  // namespace

TChannelDistortion AverageChannelReadings(const std::deque<TChannelDistortion>& r) {
  if (r.empty()) return {};
  TChannelDistortion a = r.back();
  if (r.size() == 1) return a;
  a.RmsdBFS = PowerMeandB(r, [](const auto& c) { return c.RmsdBFS; });
  a.PeakdBFS = PowerMeandB(r, [](const auto& c) { return c.PeakdBFS; });
  a.Frequency = Linear(r, [](const auto& c) { return c.Frequency; });
  a.Amplitude = Rms(r, [](const auto& c) { return c.Amplitude; });
  a.LeveldBFS = PowerMeandB(r, [](const auto& c) { return c.LeveldBFS; });
  a.Dc = Linear(r, [](const auto& c) { return c.Dc; });
  a.ThdRatio = Rms(r, [](const auto& c) { return c.ThdRatio; });
  a.ThdPercent = 100 * a.ThdRatio;
  a.ThddB = RatiodB(a.ThdRatio);
  a.ThdnRatio = Rms(r, [](const auto& c) { return c.ThdnRatio; });
  a.ThdnPercent = 100 * a.ThdnRatio;
  a.ThdndB = RatiodB(a.ThdnRatio);
  // SINAD through the residual-to-fundamental power ratio it stands for.
  const double residual = Linear(r, [](const auto& c) {
    return 1 / std::max(std::pow(10.0, c.SinaddB / 10) - 1, 1e-30);
  });
  a.SinaddB = PowerdB(1 + 1 / residual);
  a.NoisedBFS = PowerMeandB(r, [](const auto& c) { return c.NoisedBFS; });
  a.NoisedBFSA = PowerMeandB(r, [](const auto& c) { return c.NoisedBFSA; });
  a.SnrdB = -PowerMeandB(r, [](const auto& c) { return -c.SnrdB; });
  a.SnrdBA = -PowerMeandB(r, [](const auto& c) { return -c.SnrdBA; });
  a.Harmonics = AverageOrders(r, [](const TChannelDistortion& c) { return c.Harmonics; });

  TImdReading& imd = a.Imd;
  imd.F1 = Linear(r, [](const auto& c) { return c.Imd.F1; });
  imd.F2 = Linear(r, [](const auto& c) { return c.Imd.F2; });
  imd.A1 = Rms(r, [](const auto& c) { return c.Imd.A1; });
  imd.A2 = Rms(r, [](const auto& c) { return c.Imd.A2; });
  imd.Ratio = Rms(r, [](const auto& c) { return c.Imd.Ratio; });
  imd.Percent = 100 * imd.Ratio;
  imd.dB = RatiodB(imd.Ratio);
  imd.D2 = Rms(r, [](const auto& c) { return c.Imd.D2; });
  imd.D3 = Rms(r, [](const auto& c) { return c.Imd.D3; });
  imd.Products = AverageOrders(r, [](const TChannelDistortion& c) { return c.Imd.Products; });
  imd.Orders = AverageOrders(r, [](const TChannelDistortion& c) { return c.Imd.Orders; });

  std::vector<double> power(a.ResidualSpectrum.size(), 0.0);
  int spectra = 0;
  for (const auto& c : r) {
    if (c.ResidualSpectrum.size() != power.size()) continue;
    for (std::size_t k = 0; k < power.size(); ++k)
      power[k] += std::pow(10.0, c.ResidualSpectrum[k] / 10.0);
    ++spectra;
  }
  for (std::size_t k = 0; k < power.size(); ++k)
    a.ResidualSpectrum[k] = static_cast<float>(PowerdB(power[k] / spectra));
  return a;
}

void TDistortionAverage::SetCount(int count) {
  FCount = std::max(count, 1);
  Reset();
}

void TDistortionAverage::Reset() {
  for (auto& readings : FReadings) readings.clear();
}

TDistortionResult TDistortionAverage::Add(const TDistortionResult& result) {
  TDistortionResult out;
  for (int ch = 0; ch < 2; ++ch) {
    auto& readings = FReadings[ch];
    const TChannelDistortion& c = result.Channel[ch];
    if (!c.Valid ||
        (!readings.empty() &&
         std::abs(c.Frequency - readings.back().Frequency) > 0.01 * readings.back().Frequency))
      readings.clear();
    if (!c.Valid) {
      out.Channel[ch] = c;
      continue;
    }
    if (FCount == 1) {
      // The reading is its own average; the one held tells only the next one's frequency, so
      // its spectrum is not copied.
      readings.clear();
      readings.emplace_back();
      readings.back().Valid = true;
      readings.back().Frequency = c.Frequency;
      out.Channel[ch] = c;
      continue;
    }
    readings.push_back(c);
    while (static_cast<int>(readings.size()) > FCount) readings.pop_front();
    out.Channel[ch] = AverageChannelReadings(readings);
  }
  return out;
}
