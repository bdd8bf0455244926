// Labels: e2e concurrency slow
#include "driver/ChildProcess.h"
#include "driver/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

namespace vantrel::demo {
namespace {

namespace fs = std::filesystem;
using driver::ChildProcess;
using Clock = ChildProcess::Clock;

struct DemoRun {
  std::optional<int> exitCode;
  std::string out, err;
};

// Runs the real vantrel-demo with TMPDIR pointing at a directory of the test's own, so that
// whatever it leaves behind is there to see.
class DemoRunTest : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(dir_ / "tmp"); }

  DemoRun run(const std::string& mcp, const std::string& hostsim, const char* timeout = "10") {
    ChildProcess demo(
        {VANTREL_DEMO_PATH, "--mcp", mcp, "--hostsim", hostsim, "--timeout", timeout},
        {.env = {{"TMPDIR", (dir_ / "tmp").string()}}, .in = ChildProcess::Stdio::Null});
    DemoRun result;
    auto deadline = Clock::now() + std::chrono::seconds(40);
    for (auto stream : {ChildProcess::Stream::Stdout, ChildProcess::Stream::Stderr}) {
      std::string& text = stream == ChildProcess::Stream::Stdout ? result.out : result.err;
      while (auto line = demo.readLine(stream, deadline).text)
        text += *line + "\n";
    }
    if (auto exit = demo.waitExit(deadline))
      result.exitCode = exit->status();
    return result;
  }

  // A stand-in wrapper that records its pid before becoming `command`.
  std::string script(const std::string& name, const std::string& command) {
    fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\necho $$ > '" << (dir_ / (name + ".pid")).string()
                        << "'\nexec " << command << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }

  bool stillRunning(const std::string& name) {
    std::ifstream in(dir_ / (name + ".pid"));
    int pid = 0;
    if (!(in >> pid) || pid <= 0)
      return false;
    return ::kill(pid, 0) == 0;
  }

  bool tmpIsEmpty() { return fs::is_empty(dir_ / "tmp"); }

  driver::TempDir dir_{"vantrel-demo-test"};
};

TEST_F(DemoRunTest, WholeSessionRunsAndLeavesNothingBehind) {
  auto hostsim = script("hostsim", std::string("'") + VANTREL_HOSTSIM_PATH + "' \"$@\"");
  auto result = run(VANTREL_MCP_PATH, hostsim);
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  std::size_t at = 0;
  for (const char* step : {"initialize", "tools/list", "get_guide", "search_assets", "get_asset",
                           "extract_frames", "add_note", "save_transcript", "get_events",
                           "ai_export", "vantrel:deliver", "ai_settle", "exited 0"}) {
    auto found = result.out.find(step, at);
    ASSERT_NE(found, std::string::npos) << step << " missing or out of order in\n" << result.out;
    at = found;
  }
  EXPECT_NE(result.out.find("13 tools"), std::string::npos);
  EXPECT_NE(result.out.find("\"time_source\":\"frame\""), std::string::npos);
  EXPECT_FALSE(stillRunning("hostsim"));
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(DemoRunTest, SilentHostsimTimesOutAndIsKilled) {
  auto hostsim = script("hostsim", "sleep 30");
  auto began = Clock::now();
  auto result = run(VANTREL_MCP_PATH, hostsim, "1");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));
  EXPECT_NE(result.err.find("did not report that it is listening (timed out)"), std::string::npos)
      << result.err;
  EXPECT_FALSE(stillRunning("hostsim"));
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(DemoRunTest, HostsimThatDiesShowsWhatItSaid) {
  auto hostsim = script("hostsim", "sh -c 'echo cannot bind >&2; exit 1'");
  auto result = run(VANTREL_MCP_PATH, hostsim);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot bind"), std::string::npos) << result.err;
}

TEST_F(DemoRunTest, FailingServerStillStopsTheHostsim) {
  auto hostsim = script("hostsim", std::string("'") + VANTREL_HOSTSIM_PATH + "' \"$@\"");
  for (const std::string& mcp : {(dir_ / "no-such-binary").string(), script("mcp", "true")}) {
    auto result = run(mcp, hostsim);
    EXPECT_EQ(result.exitCode, 1) << mcp;
    EXPECT_NE(result.err.find("vantrel-demo: "), std::string::npos) << result.err;
    EXPECT_FALSE(stillRunning("hostsim")) << mcp;
    EXPECT_TRUE(tmpIsEmpty()) << mcp;
  }
}

} // namespace
} // namespace vantrel::demo
