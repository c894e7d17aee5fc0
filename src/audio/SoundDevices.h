// Which sound devices the streams open, and how much buffering they use.
//
// Threads: GUI thread only, except where a function says otherwise. Units: frames at 44100 Hz,
// seconds, milliseconds as named.
//
// Environment (overrides what the program saved, for scripts and tests):
//   QUORVANE_AUDIO=simulated   the simulated card, whatever the choice names;
//   QUORVANE_AUDIO=portaudio   PortAudio's default output and input, whatever the choice names;
//   QUORVANE_LATENCY=low|normal|safe   that latency, whatever the choice says.
//   QUORVANE_PULSE=alsa        PulseAudio's ALSA plug-in devices through ALSA, not through the
//                              server's own library (PulseDevice.h).
//   QUORVANE_JACK=portaudio    JACK through PortAudio's own host API, not through our own JACK
//                              client (JackDevice.h).
// A value these do not know is named in one line on stderr and ignored.
#pragma once

#include <string>
#include <vector>

// One PortAudio device as the device dialog lists it.
struct TSoundDevice {
  std::string hostApi;  // PortAudio's host API name: "ALSA", "JACK Audio Connection Kit", "OSS"...
  std::string name;     // PortAudio's device name
  int maxInputChannels = 0, maxOutputChannels = 0;
  bool defaultInput = false, defaultOutput = false;  // PortAudio's default input / output device
};
// Every device PortAudio finds, host APIs in PortAudio's order, then the JACK server's devices
// (JackDevice.h: under PortAudio's name for JACK, after PortAudio's own); empty when PortAudio cannot start
// (*why then says why). Safe on the GUI thread after PrepareAudioBackend's choice has finished
// (shares that PortAudio initialisation; never re-initialises PortAudio under open streams). Waits
// for a choice still under way, and starts PortAudio when nothing has yet (about 70 ms on
// PulseAudio).
std::vector<TSoundDevice> ListSoundDevices(std::string* why = nullptr);
// PortAudio reads its device list only when it starts, and the JACK server's devices are read once
// too. Starts PortAudio afresh and reads JACK's devices again, so devices connected since (or a
// JACK server started since) appear, and applies the choice in force again to the new list (call
// UseDeviceChoice for its fallback text). Only while no stream of PortAudio's is open: false and
// *why otherwise, or when PortAudio cannot start again.
bool RescanSoundDevices(std::string* why = nullptr);

// A device as a setting keeps it: "HOSTAPI: NAME"; and back. ParseDeviceKey splits at the first
// ": " (host API names hold none); false for a key without one.
std::string DeviceKey(const std::string& hostApi, const std::string& name);
bool ParseDeviceKey(const std::string& key, std::string* hostApi, std::string* name);

enum class TLatency { Low = 0, Normal = 1, Safe = 2 };
// "low", "normal", "safe"; and back (false for any other text).
const char* LatencyName(TLatency latency);
bool ParseLatency(const std::string& text, TLatency* latency);

// What the user chose. Empty key = PortAudio's default device; kSimulatedCardKey = the simulated
// card (then both directions are simulated).
inline constexpr const char* kSimulatedCardKey = "Simulated sound card";
struct TDeviceChoice {
  std::string output, input;
  TLatency latency = TLatency::Normal;
  bool operator==(const TDeviceChoice&) const = default;
};
// Makes that choice the backend every stream opens next (like SetAudioBackend); streams already
// open keep their devices. A kept device that is no longer there falls back to the default one:
// the return text then says so in one sentence naming the device (e.g. "The sound input \"ALSA:
// USB Audio CODEC\" is not connected; the default input is used."); otherwise empty.
// Default devices and the simulated card are set up on a thread of their own, like
// PrepareAudioBackend, and return at once. A named device needs PortAudio's device list: at once
// when PortAudio has started (PrepareAudioBackend's choice), else it waits for that start.
std::string UseDeviceChoice(const TDeviceChoice& choice);
// A choice with the environment's overrides applied (no device looked up, no wait): what the
// streams will use, as far as the environment decides it.
TDeviceChoice EffectiveDeviceChoice(const TDeviceChoice& choice);
// The choice in force: the environment's overrides applied, and a device that fell back as its
// empty (default) key. Waits for a choice under way.
TDeviceChoice CurrentDeviceChoice();
// The devices in use as keys for the status line ("ALSA: default"), kSimulatedCardKey for the
// simulated card. Wait for a choice under way.
std::string OutputDeviceName();
std::string InputDeviceName();

// The device buffers a latency gives (frames per blocking call and PortAudio suggested latency, s),
// and the generator block the app should use for it (frames).
struct TLatencyPlan {
  unsigned long chunkFrames;
  double outputLatency, inputLatency;
  int toneBlockFrames;
};
TLatencyPlan LatencyPlan(TLatency latency);
// Frames a device moves per wake for a stream of blockFrames-frame blocks: the block itself,
// or an even share of it, within the latency's range (low: its chunk alone; normal: 1024 to
// 4096; safe: 4096 alone), so that the device's thread and the sound server's client thread
// wake about once per block, not once per small period. Without a block, the plan's chunk.
unsigned long DeviceChunkFrames(TLatency latency, int blockFrames);

// The time from filling a generator block to its first frame arriving in a capture, on the
// current backend with the current latency plan's generator block: a few pulses are played,
// found in the capture, and the median taken (ms). Needs the output wired to the input (a
// loopback). NaN and *why when it cannot tell: a stream does not open, or the pulses do not come
// back within timeoutMs. Runs the event loop meanwhile; no stream of the program may be open.
double MeasureRoundTripMs(int timeoutMs, std::string* why = nullptr);
