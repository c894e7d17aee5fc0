#include "PortAudioBackend.h"

std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why) {
  if (why) *why = "PortAudio backend not built in yet";
  return nullptr;
}
