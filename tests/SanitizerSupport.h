// Under the sanitizers: ALSA unloads the plugins it probed (and the libraries they pulled in)
// before the leak check runs, and a leak inside an unloaded library cannot be told apart from
// one of ours. Keeping them loaded lets the suppression file name them.
#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

inline void KeepSoundPluginsLoaded() {
#if defined(__SANITIZE_ADDRESS__)
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/x86_64-linux-gnu/alsa-lib", error))
    dlopen(entry.path().c_str(), RTLD_LAZY | RTLD_NODELETE);
#endif
}
