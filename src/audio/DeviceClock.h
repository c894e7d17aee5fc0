// The blocks' clock that every real device shares, and where a stream's frame 0 lies on it.
// Plain data; a TClockOrigin belongs to one device and is used under that device's lock.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdint>

#include "WaveTypes.h"

// std::chrono::steady_clock in frames at 44100 Hz.
inline int64_t ClockFrames() {
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return ns / 1000000000 * kSampleRate + ns % 1000000000 * kSampleRate / 1000000000;
}

// Where a stream's frame 0 lies on the clock, from readings taken beside the device's calls.
// A reading comes late when the thread was held up between the call and the reading, or when the
// stream's counters had not yet heard of frames the server took or gave in its own chunks; it
// comes early only where a reading cannot tell (the devices take none then). So the earliest
// recent reading is the best one. Only the recent ones count, so that a device whose crystal runs
// a little off the clock, or a gap the stream did not report, is followed within a few seconds.
class TClockOrigin {
 public:
  // Readings of chunks of that many frames; the recent ones cover about 3 s.
  void SetChunkFrames(unsigned long frames) {
    limit_ = static_cast<int>(std::clamp<unsigned long>(3 * kSampleRate / std::max<unsigned long>(frames, 1), 1, kReadings));
    Forget();
  }
  void Forget() { count_ = 0; }
  void Reading(int64_t frameZero) {
    readings_[next_] = frameZero;
    next_ = (next_ + 1) % kReadings;
    count_ = std::min(count_ + 1, limit_);
  }
  // The clock of a frame of the stream, or -1 before any reading.
  int64_t ClockOf(int64_t frame) const {
    if (count_ == 0) return -1;
    int64_t origin = INT64_MAX;
    for (int i = 1; i <= count_; ++i) origin = std::min(origin, readings_[(next_ - i + kReadings) % kReadings]);
    return origin + frame;
  }

 private:
  static constexpr int kReadings = 1024;  // 3 s of 128-frame chunks
  std::array<int64_t, kReadings> readings_{};
  int next_ = 0, count_ = 0, limit_ = 32;
};
