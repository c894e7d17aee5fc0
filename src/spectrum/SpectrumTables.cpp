#include "SpectrumTables.h"

#include <algorithm>
#include <cmath>

TBandTable BuildBandTable(int n, int fs) {
  TBandTable table;
  table.N = n;
  const float g = static_cast<float>(static_cast<long double>(fs) / (2.0L * n));
  const float first = fs <= 49000 ? 31.25f : 62.5f;
  const float limit = fs <= 49000 ? 16000.0f : 32000.0f;
  float lower = static_cast<float>(first / 1.122462048309L);
  // The edges grow by 2^(1/3) from half a third below the first centre: exactly 28 bands fit
  // below the limit; the bound only guards the arrays.
  for (int j = 0; lower <= limit && j < kSpectrumBands; ++j) {
    const int start = static_cast<int>(std::trunc(lower / static_cast<long double>(g) + 1)) / 2;
    const float upper = static_cast<float>(1.259921049895L * lower);
    const int end = static_cast<int>(std::trunc(upper / static_cast<long double>(g) + 1)) / 2;
    const int count = end - start + 1;
    table.Start[j] = start;
    table.Count[j] = count;
    table.Scale[j] =
        static_cast<float>((static_cast<long double>(upper) - lower) / (count * 2.0L * g));
    lower = upper;
  }
  return table;
}

double BandCentreHz(int band, int fs) {
  return (fs <= 49000 ? 31.25 : 62.5) * std::exp2(band / 3.0);
}

std::vector<float> BuildFrequencyTable(bool logAxis, int freqMin, int freqMax, int d) {
  if (d < 1) return {};
  std::vector<float> table(static_cast<std::size_t>(d) + 1);
  float q = 1.0f;
  if (logAxis && freqMin > 0 && freqMax != 0)
    q = static_cast<float>(
        std::exp2(std::log2(static_cast<long double>(freqMax) / freqMin) / d));
  const long double step = static_cast<long double>(freqMax - freqMin) / d;
  float c = static_cast<float>(freqMin);
  for (int i = 0; i <= d; ++i) {
    table[static_cast<std::size_t>(i)] = c;
    c = logAxis ? c * q : static_cast<float>(c + step);
  }
  return table;
}

std::vector<int> BuildColumnBins(bool logAxis, int freqMin, int freqMax, int n, int fs,
                                 int count) {
  std::vector<int> bins(static_cast<std::size_t>(std::max(count, 0)));
  const int d = count - 1;
  const long double r = freqMin > 0 && freqMax != 0 ? static_cast<long double>(freqMax) / freqMin
                                                    : 1.0L;
  const long double lnR = std::log(r);
  const long double top = static_cast<long double>(static_cast<int64_t>(freqMax) * n) / fs;
  for (int i = 0; i < count; ++i) {
    // One position has no step: it is the bin of freqMin.
    const long double fraction = d > 0 ? static_cast<long double>(i) / d : 0.0L;
    long double bin;
    if (logAxis) {
      bin = top * std::exp(lnR * (fraction - 1));
    } else {
      const long double f =
          d > 0 ? static_cast<long double>(static_cast<int64_t>(i) * (freqMax - freqMin)) / d
                : 0.0L;
      bin = (f + freqMin) * n / fs;
    }
    bins[static_cast<std::size_t>(i)] = static_cast<int>(std::nearbyint(bin));
  }
  return bins;
}

int MarkerColumn(int frequency, int freqMin, int freqMax, int d) {
  if (!(freqMin < frequency && frequency < freqMax)) return 0;
  return static_cast<int>(std::nearbyint(static_cast<long double>(frequency - freqMin) /
                                         (freqMax - freqMin) * d));
}

void ReduceBands(const float* power, const TBandTable& bands, float referencePower,
                 float* values) {
  for (int j = 0; j < kSpectrumBands; ++j) {
    float sum = 0.0f;
    const float* p = power + bands.Start[j];
    for (int k = 0; k < bands.Count[j]; ++k) sum += p[k];
    const float b = bands.Scale[j] * sum;
    values[j] = static_cast<float>((static_cast<double>(b) + 1e-10) / referencePower);
  }
}

void ReduceColumns(const float* power, std::span<const int> bins, float referencePower,
                   float* values) {
  const int n = static_cast<int>(bins.size());
  if (n == 0) return;
  const float s = static_cast<float>(bins[n - 1] - bins[0]) / static_cast<float>(n);
  if (!(s > 0.0f)) {
    // A range that does not increase has no bins between the midpoints: show the floor.
    std::fill_n(values, n, kSpectrumFloor / referencePower);
    return;
  }
  for (int i = 0; i < n; ++i) {
    const int lo = i == 0 ? bins[0] : (bins[i - 1] + bins[i]) / 2;
    const int hi = i == n - 1 ? bins[n - 1] : (bins[i] + bins[i + 1]) / 2;
    float sum = kSpectrumFloor;
    for (int k = lo; k <= hi; ++k) sum += power[k];
    // Only an increasing table reaches here, so hi >= lo.
    values[i] = static_cast<float>(static_cast<double>(s) * sum /
                                   (static_cast<double>(hi - lo + 1) * referencePower));
  }
}

void ReduceChannels(const int16_t* samples, int frames, TChannelSelect select, float* out) {
  // The integer reduction then the conversion and the exact scaling by 2^-15 in one pass; the
  // result is the same float as converting the integers and multiplying afterwards.
  constexpr float kScale = 3.0517578125e-05f;
  switch (select) {
    case csSum:
      for (int i = 0; i < frames; ++i)
        out[i] = static_cast<float>((samples[2 * i] + samples[2 * i + 1]) / 2) * kScale;
      break;
    case csDiff:
      for (int i = 0; i < frames; ++i)
        out[i] = static_cast<float>((samples[2 * i + 1] - samples[2 * i]) / 2) * kScale;
      break;
    case csLeft:
      for (int i = 0; i < frames; ++i) out[i] = static_cast<float>(samples[2 * i]) * kScale;
      break;
    case csRight:
      for (int i = 0; i < frames; ++i) out[i] = static_cast<float>(samples[2 * i + 1]) * kScale;
      break;
  }
}

void RejectHum(float* power, int n, int fs) {
  const int first = static_cast<int>(static_cast<int64_t>(n) * 45 / fs);
  const int last = static_cast<int>(static_cast<int64_t>(n) * 65 / fs);
  for (int k = first; k <= last; ++k) power[k] /= 100.0f;
}
