// libFuzzer target: arbitrary bytes as the mount record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "record_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string problem = record_check::check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!problem.empty()) {
    std::fprintf(stderr, "record_check: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
