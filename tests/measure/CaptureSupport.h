// Plays an output stream into a capture until enough frames came back: what the measurement
// tests through a sound system share. GUI thread of a test; frames interleaved stereo.
#pragma once

#include <cstdint>
#include <vector>

#include "TestSupport.h"
#include "WaveCommon.h"

// The capture opens first; out plays until frames frames are captured (or timeoutMs passed,
// which the caller sees in the shorter result). Both end disabled.
inline std::vector<int16_t> CaptureWhilePlaying(TWaveOut& out, std::size_t frames, int timeoutMs) {
  TWaveIn in;
  in.SetBufferSamples(8192);
  std::vector<int16_t> got;
  in.SetOnData([&](wavehdr_tag& h) {
    const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
    got.insert(got.end(), s, s + h.dwBytesRecorded / 2);
  });
  in.SetAutoStart(true);
  in.SetEnabled(true);
  out.SetEnabled(true);
  PumpUntil([&] { return got.size() >= 2 * frames; }, timeoutMs);
  out.SetEnabled(false);
  in.SetEnabled(false);
  return got;
}
