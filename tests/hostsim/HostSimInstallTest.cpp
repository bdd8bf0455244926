// Labels: e2e
#include "driver/ChildProcess.h"
#include "driver/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel::hostsim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The build tree these tests belong to: the nearest folder above the server binary that holds a
// CMakeCache.txt; empty when there is none.
fs::path buildTree() {
  for (fs::path dir = fs::path(VANTREL_MCP_PATH).parent_path(); dir != dir.root_path();
       dir = dir.parent_path())
    if (fs::exists(dir / "CMakeCache.txt"))
      return dir;
  return {};
}

// Every file under `prefix`, as a path relative to it, sorted.
std::vector<std::string> filesUnder(const fs::path& prefix) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(prefix))
    if (!entry.is_directory())
      files.push_back(entry.path().lexically_relative(prefix).string());
  std::sort(files.begin(), files.end());
  return files;
}

// An install is for using the server beside the real app, where the stand-in would stand in for
// it: a plain install puts the server and nothing of the stand-in; the stand-in comes only as a
// component of its own, alone.
TEST(HostSimInstallTest, InstallsTheStandInOnlyAsAComponentOfItsOwn) {
  fs::path build = buildTree();
  ASSERT_FALSE(build.empty()) << "no CMakeCache.txt above " << VANTREL_MCP_PATH;
  struct Case {
    std::vector<std::string> options;
    bool server;
  };
  for (const auto& [options, server] : {Case{{}, true}, Case{{"--component", "hostsim"}, false}}) {
    driver::TempDir prefix("hostsim-install");
    std::vector<std::string> argv{"cmake", "--install", build.string(), "--prefix",
                                  prefix.path().string()};
    argv.insert(argv.end(), options.begin(), options.end());
    auto ran = driver::runToExit(
        argv, {.env = {{"DESTDIR", ""}}, .in = driver::ChildProcess::Stdio::Null}, 120s);
    ASSERT_EQ(ran.status, 0) << ran.err;
    auto files = filesUnder(prefix.path());
    auto has = [&](const std::string& file) {
      return std::find(files.begin(), files.end(), file) != files.end();
    };
    if (server) {
      EXPECT_TRUE(has("bin/vantrel-mcp")) << ran.out;
      for (const auto& file : files)
        EXPECT_EQ(file.find("hostsim"), std::string::npos) << file;
    } else {
      EXPECT_EQ(files, std::vector<std::string>{"bin/vantrel-hostsim"}) << ran.out;
    }
  }
}

} // namespace
} // namespace vantrel::hostsim
