// libFuzzer entry for the argument readers and URL building: see ArgsUrlFuzz.h.
#include "ArgsUrlFuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto problem =
      vantrel::fuzz::checkArgsUrlInput(std::string_view(reinterpret_cast<const char*>(data), size));
  if (problem) {
    std::fprintf(stderr, "fuzz_args_url: %s\n", problem->c_str());
    std::abort();
  }
  return 0;
}
