// libFuzzer target of the WAV parser: any bytes parse without reading outside them, an accepted
// file's samples lie inside the bytes and convert to whole stereo frames, and any bytes written
// as samples come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "WaveFile.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  for (const bool anyRate : {false, true}) {
    const TWaveParse parse = ParseWave(bytes, anyRate);
    Check((parse.Fault == TWaveFault::None) == parse.Reason.empty());
    if (parse.Fault != TWaveFault::None) continue;
    Check(parse.DataOffset <= size && parse.DataSize <= size - parse.DataOffset);
    const int channels = parse.Format.Channels;
    Check(channels >= 1);
    const auto frames = StereoFrames(bytes.subspan(parse.DataOffset, parse.DataSize), channels);
    Check(frames.size() == 2 * (parse.DataSize / (2 * static_cast<uint64_t>(channels))));
  }

  const std::vector<uint8_t> file = WaveFileBytes(TWaveFormat{}, bytes, "2001-02-03");
  const TWaveParse back = ParseWave(file, false);
  Check(back.Fault == TWaveFault::None && back.DataSize == size);
  Check(size == 0 || std::memcmp(file.data() + back.DataOffset, data, size) == 0);
  return 0;
}
