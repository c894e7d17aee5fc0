// Devices that talk to a PulseAudio server directly, for the ALSA devices that lead there.
//
// Through ALSA's pulse plug-in every stream has its own client thread of the server's library
// and a worker of ours in blocking calls: four threads, each waking for every period. Here one
// thread of the server's library serves both directions: the server asks for a block, or hands
// one over, and the thread copies it between the server and the queued blocks at once; a block
// queued while the server has room goes there from the GUI thread without waking anyone.
//
// The devices keep the ALSA device's name, so the device list, the settings and the messages
// stay what they were. QUORVANE_PULSE=alsa keeps such devices on ALSA's plug-in.
//
// Threads: device calls on the GUI thread; notifications from the library's thread.
#pragma once

#include <memory>
#include <string>

#include "AudioDevice.h"
#include "SoundDevices.h"

// True when ALSA's PCM of that name is the PulseAudio plug-in ("pulse", or "default" where the
// configuration routes it there) and QUORVANE_PULSE does not say "alsa". Any thread.
bool AlsaPcmLeadsToPulse(const std::string& pcm);

// A device on the server's default sink or source, named `name` to the user.
std::unique_ptr<TOutputDevice> CreatePulseOutput(const std::string& name, TLatency latency);
std::unique_ptr<TInputDevice> CreatePulseInput(const std::string& name, TLatency latency);
