// Reference pieces the generator tests check against, written from the definitions.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "NSP.h"
#include "ToneGenerator.h"

// The noise sequence as defined: state * 134775813 + 1 before every draw.
struct TRefLcg {
  uint32_t state;
  uint32_t Next() { return state = state * 134775813u + 1u; }
  uint32_t Integer(uint32_t below) {
    return static_cast<uint32_t>((static_cast<uint64_t>(Next()) * below) >> 32);
  }
};

// Phase increment of a frequency, straight from its definition.
inline uint32_t RefIncrement(double hz) {
  return static_cast<uint32_t>(static_cast<int64_t>(std::nearbyint(hz * 1073741824.0 / 44100.0)));
}

// A block of interleaved frames with its own header, as a device would hand it over.
struct TTestBlock {
  explicit TTestBlock(int frames, int16_t fill = 0) : samples(2 * frames, fill) {
    header.lpData = reinterpret_cast<char*>(samples.data());
    header.dwBufferLength = 4u * static_cast<uint32_t>(frames);
    header.dwUser = 0xDEADBEEF;
  }
  int16_t Left(int k) const { return samples[2 * k]; }
  int16_t Right(int k) const { return samples[2 * k + 1]; }
  std::vector<int16_t> samples;
  wavehdr_tag header;
};

// Power per bin (0 .. 8192) of one channel of a 16384-frame block, unwindowed: the
// generator's noise is circular in its block, so each bin is exact.
inline std::vector<double> ChannelPower(const TTestBlock& block, int channel) {
  std::vector<float> buf(kToneBlockFrames + 2);
  for (int k = 0; k < kToneBlockFrames; ++k) buf[k] = block.samples[2 * k + channel];
  nspsRealFft(buf.data(), kToneFftOrder, NSP_Forw);
  std::vector<double> power(kToneBlockFrames / 2 + 1);
  for (size_t i = 0; i < power.size(); ++i)
    power[i] = double(buf[2 * i]) * buf[2 * i] + double(buf[2 * i + 1]) * buf[2 * i + 1];
  return power;
}
