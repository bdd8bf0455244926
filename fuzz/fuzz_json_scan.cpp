// libFuzzer entry for the streaming member scan against nlohmann's parser: see JsonScanFuzz.h.
#include "JsonScanFuzz.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto problem = vantrel::fuzz::checkJsonScanInput(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (problem) {
    std::fprintf(stderr, "fuzz_json_scan: %s\n", problem->c_str());
    std::abort();
  }
  return 0;
}
