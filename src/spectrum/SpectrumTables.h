// The spectrum display's numeric kernels as plain functions: the third-octave band table, the
// per-column frequency table, the column bin table, the marker columns and the per-block
// reductions of a power spectrum. No widget is needed, so tests and benchmarks call them alone.
//
// Threads: any; nothing is shared. Units: frequencies Hz (integers where the display stores
// integers), fs samples per second, n the FFT length, bins are indices into a power spectrum of
// n / 2 + 1 values, powers linear (re^2 + im^2 of the unscaled transform).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

enum TSpectrumDisplayMode : int {
  sdOctave3,
  sdLogFreq,
  sdLinFreq,
  sdLogSpectrogram,
  sdLinSpectrogram,
};

enum TChannelSelect : int { csSum, csDiff, csLeft, csRight };

constexpr int kSpectrumBands = 28;
// Largest FFT the display runs, 2^15.
constexpr int kSpectrumMaxFftOrder = 15;
constexpr int kSpectrumMinFftOrder = 12;
constexpr int kSpectrumMaxFft = 1 << kSpectrumMaxFftOrder;
// Added to every band and column sum so that silence stays finite in dB.
constexpr float kSpectrumFloor = 1e-10f;

inline bool IsLogAxis(TSpectrumDisplayMode mode) {
  return mode == sdLogFreq || mode == sdLogSpectrogram;
}
inline bool IsSpectrogram(TSpectrumDisplayMode mode) {
  return mode == sdLogSpectrogram || mode == sdLinSpectrogram;
}
inline bool IsTrace(TSpectrumDisplayMode mode) { return mode == sdLogFreq || mode == sdLinFreq; }

// Which bins a third-octave band sums and how its sum is scaled to the band's true width.
struct TBandTable {
  int N = 0;  // FFT length the table was built for; 0 = not built
  std::array<int, kSpectrumBands> Start{};
  std::array<int, kSpectrumBands> Count{};
  std::array<float, kSpectrumBands> Scale{};
};

// The 28 bands from 31.25 Hz (62.5 Hz above fs 49000) in third-octave steps, edges rounded to
// the nearest bin (halves up). Neighbouring bands share their edge bin.
TBandTable BuildBandTable(int n, int fs);

// Centre of band j of that table, Hz: 31.25 (62.5 above fs 49000) times 2^(j / 3).
double BandCentreHz(int band, int fs);

// Frequencies of positions 0 ... d (single precision, accumulated from freqMin), logarithmic or
// linear. A logarithmic axis needs freqMin > 0 and freqMax != 0, else every entry is freqMin.
// Empty for d < 1.
std::vector<float> BuildFrequencyTable(bool logAxis, int freqMin, int freqMax, int d);

// The FFT bin nearest to each of the count positions (ties to even): b[0] is the bin of
// freqMin, b[count - 1] that of freqMax.
std::vector<int> BuildColumnBins(bool logAxis, int freqMin, int freqMax, int n, int fs,
                                 int count);

// Plot column of a marker on a linear trace of columns 0 ... d; 0 (no line) unless freqMin <
// frequency < freqMax.
int MarkerColumn(int frequency, int freqMin, int freqMax, int d);

// Reference power (n / 4)^2: the power of the peak bin of a bin-centred full-scale sine under a
// window of mean 1/2.
inline float SpectrumReferencePower(int n) {
  const float quarter = static_cast<float>(n) / 4.0f;
  return quarter * quarter;
}

// values[j] = (scale_j * (P[start_j] + ... ) + 1e-10) / referencePower for the 28 bands.
void ReduceBands(const float* power, const TBandTable& bands, float referencePower,
                 float* values);

// One value per position of the column bin table: the mean power of the bins between the
// midpoints to its neighbours (shared by both), scaled to the mean bin count per position and
// divided by referencePower. Bins must lie within the power spectrum. A table that does not
// increase (a reversed or empty range) gives the floor kSpectrumFloor / referencePower at
// every position.
void ReduceColumns(const float* power, std::span<const int> bins, float referencePower,
                   float* values);

// Channel reduction of frames interleaved stereo frames into floats scaled to full scale +-1.
void ReduceChannels(const int16_t* samples, int frames, TChannelSelect select, float* out);

// Bins k from n * 45 / fs to n * 65 / fs (integer division) divided by 100.
void RejectHum(float* power, int n, int fs);
