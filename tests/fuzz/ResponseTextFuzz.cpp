// libFuzzer target of the response-text reader and writer (impulse response files): see
// ResponseTextChecks.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ResponseTextChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault =
      response_text_checks::Check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "response text: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
