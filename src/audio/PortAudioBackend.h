// Real sound devices through PortAudio (blocking streams, one worker thread per device).
//
// Threads: device calls on the GUI thread; each open device has a worker that alone talks
// to its PortAudio stream after opening and posts the device's notifications.
// Blocks come back with deviceClock on std::chrono::steady_clock in frames at 44100 Hz, read
// from the streams' buffer counts and latencies; -1 until a stream has given a reading.
// Device indices are PortAudio's, valid for the PortAudio start they were read from.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AudioDevice.h"
#include "SoundDevices.h"

// One PortAudio start, shared by every backend, every device they made and the device list;
// PortAudio ends when the last holder lets go.
class TPaLibrary;

// The running PortAudio, or PortAudio started afresh (it then reads its devices anew); nullptr
// and the reason in *why when it cannot start. Any thread.
std::shared_ptr<TPaLibrary> SharedPortAudio(std::string* why);

// True once a PortAudio start had to be kept for the rest of the program because the JACK server
// it was connected to ended (ending PortAudio then would abort the program): a new start reads no
// devices anew. Any thread.
bool PortAudioKeptAfterJack();

// What PortAudio found at its start, host APIs in its order (see ListSoundDevices). Any thread.
std::vector<TSoundDevice> PortAudioDevices(const TPaLibrary& lib);
// The index of the device with that key (DeviceKey) and channels in that direction, or -1.
int FindPortAudioDevice(const TPaLibrary& lib, const std::string& key, bool output);
// PortAudio's default output or input device, or -1 when there is none.
int DefaultPortAudioDevice(const TPaLibrary& lib, bool output);
// "HOSTAPI: NAME" of a device index.
std::string PortAudioDeviceKey(const TPaLibrary& lib, int index);
// The PortAudio start a backend uses; nullptr for another backend.
std::shared_ptr<TPaLibrary> PortAudioOf(const TAudioBackend* backend);

// A backend on given device indices (-1 = the default device) with the buffers of a latency; a
// direction with a JACK client's name is on that JACK device instead (JackDevice.h).
std::shared_ptr<TAudioBackend> CreatePortAudioBackendWith(std::shared_ptr<TPaLibrary> lib, int outputDevice,
                                                          int inputDevice, TLatency latency,
                                                          const std::string& jackOutput = {},
                                                          const std::string& jackInput = {});

// What a user can do about a device that did not open with that PortAudio code (the JACK devices
// report in PortAudio's codes too).
std::string PortAudioOpenAdvice(int code, const std::string& name);

// The PortAudio backend on the default output and input, or nullptr with the reason
// in *why when PortAudio cannot start or has no default output or input device.
std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why, TLatency latency = TLatency::Normal);

// The PortAudio backend on given device indices (-1 = the default device); tests use an
// index that does not exist to see an open fail. Never null.
std::shared_ptr<TAudioBackend> CreatePortAudioBackendOn(int outputDevice, int inputDevice,
                                                        TLatency latency = TLatency::Normal);

// Keeps ALSA's own error output off stderr (every ALSA user here installs it).
void SilenceAlsaErrors();
