// RIFF/WAVE over bytes: the layout the playback stream writes, and a reader that walks the
// chunks of any file. No file access and no Qt here, so the fuzz target builds this alone.
//
// Threads: any (pure functions). Units: bytes, frames (interleaved stereo 16-bit), Hz.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "WaveTypes.h"

// The "ISFT" text of every file written (29 characters, so it takes a pad byte).
inline constexpr std::string_view kWaveSoftwareText = "Created by Pellick's TWaveOut";

// What a writer puts around dataBytes of samples: the RIFF header, "fmt " (the first 16 bytes
// of the format record) and the "data" header in Head; the LIST/INFO chunk with "ICRD" (date,
// normally "yyyy-mm-dd", plus a zero) and "ISFT" in Tail. Empty when the file would not fit
// in the 32-bit RIFF sizes.
struct TWaveFileFrame {
  std::vector<uint8_t> Head, Tail;
};
std::optional<TWaveFileFrame> WaveFileFrame(const TWaveFormat& format, uint64_t dataBytes,
                                            std::string_view date);
// A whole file around samples (tests and the fuzz target; the stream writes block by block).
std::vector<uint8_t> WaveFileBytes(const TWaveFormat& format, std::span<const uint8_t> samples,
                                   std::string_view date);

// A whole WAVE_FORMAT_IEEE_FLOAT file: 32-bit float samples (full scale 1.0, values beyond it
// kept), interleaved with `channels` per frame, a partial last frame dropped; "fmt " of 18
// bytes, "fact" with the frames, "data", then the same LIST/INFO chunk. Empty when channels is
// not 1 ... 65535 or the file would not fit in the 32-bit RIFF sizes.
std::vector<uint8_t> FloatWaveFileBytes(std::span<const float> interleaved, int channels,
                                        uint32_t sampleRate, std::string_view date);

enum class TWaveFault {
  None,
  NotRiffWave,  // does not begin with RIFF ... WAVE
  NoFormat,     // no "fmt " chunk
  Refused,      // a format the streams cannot replay: not 16-bit PCM, not 44100 Hz, no channels
  NoData,       // no "data" chunk
  CutShort,     // the file ends inside the "fmt " or "data" chunk
};

// The "fmt " fields the reader uses, as the file gives them.
struct TWaveFileFormat {
  uint32_t ChunkSize = 0;  // as declared
  uint16_t FormatTag = 0;  // 1 PCM; 0xFFFE extensible, whose sub-format is in SubFormat
  uint16_t Channels = 0;
  uint32_t SamplesPerSec = 0;
  uint16_t BitsPerSample = 0;
  uint16_t SubFormat = 0;  // extensible only: the format tag its sub-format GUID carries, else 0
};

struct TWaveParse {
  TWaveFault Fault = TWaveFault::None;
  std::string Reason;  // what is wrong, in words a message can carry; empty when accepted
  TWaveFileFormat Format;
  uint64_t DataOffset = 0;  // where the samples start in the bytes
  uint64_t DataSize = 0;    // bytes of samples, all of them inside the bytes when accepted
};

// Finds RIFF/WAVE, then "fmt " and "data" among the top-level chunks, in any order, skipping
// others with their pad bytes. Accepts 16-bit PCM (or extensible with a PCM sub-format) of one
// or more channels at 44100 Hz, or at any rate with anySampleRate. No size field is trusted:
// every chunk is bounded by the bytes themselves.
TWaveParse ParseWave(std::span<const uint8_t> bytes, bool anySampleRate);

// Interleaved stereo frames of 16-bit little-endian samples with channels (>= 1) per frame:
// mono is doubled to both sides, channels past the second are dropped, and a partial last
// frame is dropped.
std::vector<int16_t> StereoFrames(std::span<const uint8_t> data, int channels);
