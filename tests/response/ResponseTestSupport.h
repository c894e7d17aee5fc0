// Blocks with known levels for the response plot's tests.
#pragma once

#include "DisplayResponse.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

// Level in dB of a square wave of this amplitude.
inline double SquaredB(int amplitude) { return 10 * std::log10(2.0 * amplitude * amplitude / (1 << 30)); }

// A 57330-frame fast block whose column window i (from frame 9970, 100 frames each, on a
// 441-column plot) holds square waves of left(i) and right(i) around DC offsets of 700 and -500,
// which the lead-in shows too.
inline void FeedFast(TResponsePlot& plot, const std::function<int(int)>& left,
                     const std::function<int(int)>& right) {
  constexpr int kFast = 57330;
  std::vector<int16_t> b(2 * kFast);
  for (int f = 0; f < kFast; ++f) b[2 * f] = 700, b[2 * f + 1] = -500;
  for (int i = 0; i < 441; ++i)
    for (int j = 0; j < 100; ++j) {
      const int f = 9970 + 100 * i + j, sign = j % 2 ? -1 : 1;
      b[2 * f] = static_cast<int16_t>(700 + sign * left(i));
      b[2 * f + 1] = static_cast<int16_t>(-500 + sign * right(i));
    }
  bool go = true;
  plot.ProcessSamples(b.data(), kFast, go);
}
