// Real sound devices through PortAudio.
#pragma once

#include <memory>
#include <string>

#include "AudioDevice.h"

// The PortAudio backend on the default output and input, or nullptr with the reason
// in *why when PortAudio cannot start or has no default output or input device.
std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why);
