// libFuzzer target of the calibration-file reader: see CalibrationChecks.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "CalibrationChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault =
      calibration_checks::Check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "calibration: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
