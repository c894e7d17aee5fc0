// Block header, wave format and the small shared values of the sample streams.
// Plain data: usable from any thread.
#pragma once

#include <cstdint>

// One block of interleaved stereo frames travelling between a stream and a device.
// While queued on a device, the block and its header belong to the device.
struct wavehdr_tag {
  char* lpData = nullptr;           // the block's sample buffer
  uint32_t dwBufferLength = 0;      // capacity in bytes (4 x frames)
  uint32_t dwBytesRecorded = 0;     // capture: bytes actually filled
  uint32_t dwUser = 0;              // travels with the block (frequency bits, file marker)
  uint32_t dwFlags = 0;             // owned by the device while queued
  uint32_t dwLoops = 0;
  wavehdr_tag* lpNext = nullptr;
  uintptr_t reserved = 0;
  // Capture: the device's frame count at the block's first frame, so that gaps and repeats
  // can be told (-1: not known), and the device's overruns so far (frames lost before the
  // device could read them, how many unknown).
  int64_t deviceFrame = -1;
  uint32_t deviceOverruns = 0;
  // The frame, on a clock that the backend's outputs and inputs share, at which the block's
  // first frame passes the sound card's jacks: leaves the output, or arrives at the input
  // (-1: not known). A played frame's clock less a captured frame's tells where it comes back.
  int64_t deviceClock = -1;
  // Output: the frame on the same clock at which the device took the block's first frame from
  // the stream, so a captured frame's clock less it is the whole round trip through the sound
  // system (-1: not known; the backend keeps no such clock).
  int64_t deviceTake = -1;
};
using PWaveHdr = wavehdr_tag*;

// Header flag bits a device sets; informative only.
constexpr uint32_t WHDR_DONE = 0x1;
constexpr uint32_t WHDR_PREPARED = 0x2;
constexpr uint32_t WHDR_INQUEUE = 0x10;

struct TWaveFormat {
  uint16_t wFormatTag = 1;  // PCM
  uint16_t nChannels = 2;
  uint32_t nSamplesPerSec = 44100;
  uint32_t nAvgBytesPerSec = 176400;
  uint16_t nBlockAlign = 4;
  uint16_t wBitsPerSample = 16;
  uint16_t cbSize = 0;
};

// dwUser of blocks replayed from a file: such blocks are never handed back to a device.
constexpr uint32_t FileBlockMarker = 12345678;

enum TStreamState : int { Closed = 0, Opening = 1, Running = 2, Closing = 3 };

constexpr int kSampleRate = 44100;
constexpr int kBlockAlign = 4;

// Error codes a device may report, numbered as the classic multimedia results.
constexpr int MMSYSERR_NOERROR = 0;
constexpr int MMSYSERR_ERROR = 1;
constexpr int MMSYSERR_BADDEVICEID = 2;
constexpr int MMSYSERR_ALLOCATED = 4;
constexpr int MMSYSERR_INVALHANDLE = 5;
constexpr int MMSYSERR_NODRIVER = 6;
constexpr int MMSYSERR_NOMEM = 7;
