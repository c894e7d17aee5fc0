// Devices on a JACK server through JACK's own library.
//
// Through PortAudio a JACK stream costs a client of PortAudio's (whose thread runs every period
// from PortAudio's start on, with or without a stream) and a worker of ours per stream in
// blocking calls. Here one client of ours, made for the first open device and closed with the
// last, serves both directions in its process callback: each period it copies the period's frames
// between its ports and the queued blocks, and posts a block's notification only when the block
// is done. PortAudio is then kept off the server altogether (WithoutJackServer) and the JACK
// devices are listed here, under PortAudio's host API name, so kept choices still find them.
//
// A device is a JACK client that has audio ports ("system": the sound card's). The output's two
// ports play into its first two input ports, the input's record its first two output ports.
//
// QUORVANE_JACK=portaudio keeps JACK on PortAudio's own host API (`direct`, the default, does not).
//
// Threads: device calls and the list on the GUI thread (or a device choice's thread); the process
// callback on JACK's thread; notifications from there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AudioDevice.h"
#include "SoundDevices.h"

inline constexpr const char* kJackHostApi = "JACK Audio Connection Kit";

// True unless QUORVANE_JACK says "portaudio". Any thread.
bool JackDirect();

// Runs `start` (PortAudio's start) while JACK's library can find no server, so that PortAudio
// makes no client there. Any thread.
void WithoutJackServer(const std::function<void()>& start);

// The JACK server's devices as read by the last ReadJackDevices (read once on first use); empty
// when no server answered. Any thread.
std::vector<TSoundDevice> JackDevices();
// Asks the server again (a client of ours opens and closes, or the open devices' one is asked).
void ReadJackDevices();

// A device on the client of that name (JACK decides the period: no latency setting applies).
std::unique_ptr<TOutputDevice> CreateJackOutput(const std::string& client);
std::unique_ptr<TInputDevice> CreateJackInput(const std::string& client);

// JACK's floats (full scale 1.0) to interleaved 16-bit frames, rounded to nearest (ties to even)
// and clipped; and back. Any thread.
void JackToSamples(const float* left, const float* right, int16_t* to, uint32_t frames);
void JackToFloats(const int16_t* from, float* left, float* right, uint32_t frames);
