// Power averaging of distortion readings over the last few analyses, so that a reading of noise
// settles without hiding a change of signal for long.
//
// Ratios (THD, THD+N, IMD, each harmonic and product) and amplitudes are averaged as powers: the
// root of the mean of their squares. Levels in dBFS are averaged as the mean of their powers.
// SINAD and SNR come from the averaged noise-to-signal power ratios, so they agree with the
// averaged THD+N and noise. Frequencies and DC are averaged linearly.
//
// Threads: one object is used by one thread at a time. Units as in Distortion.h.
#pragma once

#include "Distortion.h"

#include <deque>

// The power average of channel readings, all valid and of the same kind. Readings whose lists
// of harmonics or products differ from the newest one's count only where an order matches.
TChannelDistortion AverageChannelReadings(const std::deque<TChannelDistortion>& readings);

class TDistortionAverage {
 public:
  // Readings averaged, 1 (none) ... ; restarts the averaging.
  int Count() const { return FCount; }
  void SetCount(int count);
  // Forgets every reading held.
  void Reset();
  // Takes one analysis and returns the average of the last Count() ones of each channel. An
  // invalid channel, or one whose frequency moved by more than 1 % since the reading before,
  // starts that channel's average afresh.
  TDistortionResult Add(const TDistortionResult& result);
  // Readings held per channel.
  int Held(int channel) const { return static_cast<int>(FReadings[channel].size()); }

 private:
  int FCount = 1;
  std::deque<TChannelDistortion> FReadings[2];
};
