// libFuzzer target of the response-file reader behind "Load left ...": see ResponseFileChecks.h.
#include <cstdio>
#include <cstdlib>

#include "ResponseFileChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault =
      response_checks::Check(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  if (!fault.empty()) {
    std::fprintf(stderr, "response file: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
