// Real sound devices through PortAudio (blocking streams, one worker thread per device).
//
// Threads: device calls on the GUI thread; each open device has a worker that alone talks
// to its PortAudio stream after opening and posts the device's notifications.
// Blocks come back with deviceClock on std::chrono::steady_clock in frames at 44100 Hz, read
// from the streams' buffer counts and latencies; -1 until a stream has given a reading.
#pragma once

#include <memory>
#include <string>

#include "AudioDevice.h"

// The PortAudio backend on the default output and input, or nullptr with the reason
// in *why when PortAudio cannot start or has no default output or input device.
std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why);

// The PortAudio backend on given device indices (-1 = the default device); tests use an
// index that does not exist to see an open fail. Never null.
std::shared_ptr<TAudioBackend> CreatePortAudioBackendOn(int outputDevice, int inputDevice);

// Keeps ALSA's own error output off stderr (every ALSA user here installs it).
void SilenceAlsaErrors();
