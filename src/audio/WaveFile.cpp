#include "WaveFile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatIeeeFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The sub-format GUID of extensible PCM after its first two bytes (the format tag).
constexpr std::array<uint8_t, 14> kSubFormatTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

void PutId(std::vector<uint8_t>& out, const char (&id)[5]) { out.insert(out.end(), id, id + 4); }

// A complete chunk: identifier, size, data and the pad byte of an odd size.
void PutChunk(std::vector<uint8_t>& out, const char (&id)[5], std::string_view data) {
  PutId(out, id);
  Put32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() % 2) out.push_back(0);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(Get16(p)) | static_cast<uint32_t>(Get16(p + 2)) << 16;
}

bool IsId(const uint8_t* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

std::string Refusal(const TWaveFileFormat& f) {
  return "format tag " + std::to_string(f.FormatTag) + ", " + std::to_string(f.BitsPerSample) +
         " bits, " + std::to_string(f.Channels) + " channels, " + std::to_string(f.SamplesPerSec) +
         " Hz";
}

// The LIST/INFO chunk every file ends with: the date it was made and the writer's name.
std::vector<uint8_t> InfoList(std::string_view date) {
  std::vector<uint8_t> tail;
  PutId(tail, "LIST");
  Put32(tail, 0);  // the list's size, once known
  PutId(tail, "INFO");
  std::string created(date);
  created.push_back('\0');
  PutChunk(tail, "ICRD", created);
  PutChunk(tail, "ISFT", kWaveSoftwareText);
  const uint32_t listSize = static_cast<uint32_t>(tail.size() - 8);
  for (int i = 0; i < 4; ++i) tail[4 + i] = static_cast<uint8_t>(listSize >> (8 * i));
  return tail;
}

}  // namespace

std::optional<TWaveFileFrame> WaveFileFrame(const TWaveFormat& format, uint64_t dataBytes,
                                            std::string_view date) {
  TWaveFileFrame frame;
  auto& tail = frame.Tail = InfoList(date);

  // RIFF's size counts "WAVE", both chunks before the samples, the samples, their pad, the list.
  const uint64_t riffSize = 4 + 24 + 8 + dataBytes + (dataBytes % 2) + tail.size();
  if (riffSize > UINT32_MAX) return std::nullopt;
  if (dataBytes % 2) tail.insert(tail.begin(), 0);

  auto& head = frame.Head;
  PutId(head, "RIFF");
  Put32(head, static_cast<uint32_t>(riffSize));
  PutId(head, "WAVE");
  PutId(head, "fmt ");
  Put32(head, 16);
  Put16(head, format.wFormatTag);
  Put16(head, format.nChannels);
  Put32(head, format.nSamplesPerSec);
  Put32(head, format.nAvgBytesPerSec);
  Put16(head, format.nBlockAlign);
  Put16(head, format.wBitsPerSample);
  PutId(head, "data");
  Put32(head, static_cast<uint32_t>(dataBytes));
  return frame;
}

std::vector<uint8_t> WaveFileBytes(const TWaveFormat& format, std::span<const uint8_t> samples,
                                   std::string_view date) {
  const auto frame = WaveFileFrame(format, samples.size(), date);
  if (!frame) return {};
  std::vector<uint8_t> bytes = frame->Head;
  bytes.insert(bytes.end(), samples.begin(), samples.end());
  bytes.insert(bytes.end(), frame->Tail.begin(), frame->Tail.end());
  return bytes;
}

std::vector<uint8_t> FloatWaveFileBytes(std::span<const float> interleaved, int channels,
                                        uint32_t sampleRate, std::string_view date) {
  if (channels < 1 || channels > UINT16_MAX) return {};
  const uint64_t frames = interleaved.size() / static_cast<uint64_t>(channels);
  const uint64_t blockAlign = 4 * static_cast<uint64_t>(channels);
  const uint64_t dataBytes = frames * blockAlign;
  const std::vector<uint8_t> tail = InfoList(date);
  // "WAVE", "fmt " (18 bytes), "fact" (4), the "data" header, the samples (never odd), the list.
  const uint64_t riffSize = 4 + 26 + 12 + 8 + dataBytes + tail.size();
  if (riffSize > UINT32_MAX || sampleRate * blockAlign > UINT32_MAX || blockAlign > UINT16_MAX)
    return {};

  std::vector<uint8_t> bytes;
  bytes.reserve(8 + riffSize);
  PutId(bytes, "RIFF");
  Put32(bytes, static_cast<uint32_t>(riffSize));
  PutId(bytes, "WAVE");
  // Formats other than PCM carry cbSize, and a "fact" chunk with the frames per channel.
  PutId(bytes, "fmt ");
  Put32(bytes, 18);
  Put16(bytes, kFormatIeeeFloat);
  Put16(bytes, static_cast<uint32_t>(channels));
  Put32(bytes, sampleRate);
  Put32(bytes, static_cast<uint32_t>(sampleRate * blockAlign));
  Put16(bytes, static_cast<uint32_t>(blockAlign));
  Put16(bytes, 32);
  Put16(bytes, 0);
  PutId(bytes, "fact");
  Put32(bytes, 4);
  Put32(bytes, static_cast<uint32_t>(frames));
  PutId(bytes, "data");
  Put32(bytes, static_cast<uint32_t>(dataBytes));
  for (const float v : interleaved.first(frames * channels)) Put32(bytes, std::bit_cast<uint32_t>(v));
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

TWaveParse ParseWave(std::span<const uint8_t> bytes, bool anySampleRate) {
  TWaveParse r;
  const uint8_t* p = bytes.data();
  const uint64_t size = bytes.size();
  if (size < 12 || !IsId(p, "RIFF") || !IsId(p + 8, "WAVE")) {
    r.Fault = TWaveFault::NotRiffWave;
    r.Reason = "it is not a WAV file (it does not begin with a RIFF/WAVE header)";
    return r;
  }

  // The RIFF size is not used as a bound: writers that stream leave it 0 or too large, and the
  // bytes are the only limit that can be trusted.
  bool haveFormat = false, haveData = false;
  uint64_t formatOffset = 0, formatSize = 0;
  for (uint64_t pos = 12; pos + 8 <= size && !(haveFormat && haveData);) {
    const uint8_t* chunk = p + pos;
    const uint64_t chunkSize = Get32(chunk + 4);
    if (!haveFormat && IsId(chunk, "fmt ")) {
      haveFormat = true;
      formatOffset = pos + 8;
      formatSize = chunkSize;
    } else if (!haveData && IsId(chunk, "data")) {
      haveData = true;
      r.DataOffset = pos + 8;
      r.DataSize = chunkSize;
    }
    pos += 8 + chunkSize + (chunkSize % 2);  // at most 2^32 + 8 per step: no overflow
  }

  if (!haveFormat) {
    r.Fault = TWaveFault::NoFormat;
    r.Reason = "it has no \"fmt \" chunk";
    return r;
  }
  TWaveFileFormat& f = r.Format;
  f.ChunkSize = static_cast<uint32_t>(formatSize);
  const uint64_t formatHere = std::min(formatSize, size - formatOffset);
  if (formatSize < 16) {
    r.Fault = TWaveFault::Refused;
    r.Reason = "its \"fmt \" chunk has " + std::to_string(formatSize) + " bytes, not 16";
    return r;
  }
  if (formatHere < formatSize) {
    // Nothing past it can be found either.
    r.Fault = TWaveFault::CutShort;
    r.Reason = "the file ends inside its \"fmt \" chunk";
    return r;
  }
  const uint8_t* fmt = p + formatOffset;
  f.FormatTag = Get16(fmt);
  f.Channels = Get16(fmt + 2);
  f.SamplesPerSec = Get32(fmt + 4);
  f.BitsPerSample = Get16(fmt + 14);
  uint16_t tag = f.FormatTag;
  if (tag == kFormatExtensible) {
    // The sub-format sits at 24 ... 39 of a 40-byte chunk.
    if (formatSize >= 40 && std::equal(kSubFormatTail.begin(), kSubFormatTail.end(), fmt + 26))
      f.SubFormat = Get16(fmt + 24);
    tag = f.SubFormat;
  }
  if (tag != kFormatPcm || f.BitsPerSample != 16 || f.Channels == 0 ||
      (!anySampleRate && f.SamplesPerSec != static_cast<uint32_t>(kSampleRate))) {
    r.Fault = TWaveFault::Refused;
    r.Reason = Refusal(f);
    return r;
  }

  if (!haveData) {
    r.Fault = TWaveFault::NoData;
    r.Reason = "it has no \"data\" chunk";
    return r;
  }
  const uint64_t dataHere = size - std::min(size, r.DataOffset);
  if (r.DataSize > dataHere) {
    r.Fault = TWaveFault::CutShort;
    r.Reason = "its \"data\" chunk claims " + std::to_string(r.DataSize) +
               " bytes but the file holds " + std::to_string(dataHere);
    return r;
  }
  return r;
}

std::vector<int16_t> StereoFrames(std::span<const uint8_t> data, int channels) {
  if (channels < 1) return {};
  const std::size_t frameBytes = 2 * static_cast<std::size_t>(channels);
  const std::size_t frames = data.size() / frameBytes;
  std::vector<int16_t> out(2 * frames);
  const uint8_t* p = data.data();
  if (channels == 2 && std::endian::native == std::endian::little) {
    if (frames) std::memcpy(out.data(), p, 4 * frames);
    return out;
  }
  const std::size_t right = channels == 1 ? 0 : 2;
  for (std::size_t i = 0; i < frames; ++i, p += frameBytes) {
    out[2 * i] = static_cast<int16_t>(Get16(p));
    out[2 * i + 1] = static_cast<int16_t>(Get16(p + right));
  }
  return out;
}
