// libFuzzer entry for the whole request path: see ServerFuzz.h for what is checked.
#include "ServerFuzz.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h> // mkdtemp, on macOS

namespace {

// A support directory of our own for the whole run, holding the token the stand-in expects and
// a guide for get_guide. Set before any thread exists, never changed after.
void prepareSupportDirectory() {
  char pattern[] = "/tmp/vantrel-fuzz-XXXXXX";
  const char* root = ::mkdtemp(pattern);
  if (root == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  const std::string home = std::string(root) + "/home";
#ifdef __APPLE__
  const std::string support = home + "/Library/Application Support";
#else
  const std::string support = home + "/.local/share";
  ::setenv("XDG_DATA_HOME", support.c_str(), 1);
#endif
  ::setenv("HOME", home.c_str(), 1);
  const std::string bundle = support + "/com.quillmoor.vantrel";
  std::filesystem::create_directories(bundle);
  std::ofstream(bundle + "/bridge.token")
      << R"({"port":4567,"token":")" << vantrel::fuzz::kFuzzToken << R"("})";
  std::ofstream(bundle + "/agent-guide.md") << "# 规范\n先读这里。\n";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareSupportDirectory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto problem =
      vantrel::fuzz::checkServerInput(std::string_view(reinterpret_cast<const char*>(data), size));
  if (problem) {
    std::fprintf(stderr, "fuzz_server: %s\n", problem->c_str());
    std::abort();
  }
  return 0;
}
