// Labels: e2e concurrency
#include "driver/ChildProcess.h"
#include "driver/TempDir.h"
#include "hostsim/HostSimHarness.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <regex>
#include <signal.h>

namespace vantrel::hostsim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using driver::ChildProcess;

// The program itself, started with its stderr on a pipe, as the demo driver runs it.
ChildProcess startHostSim(const std::vector<std::string>& options) {
  // Built by appending: GCC 12 warns falsely (-Warray-bounds) on inserting at the front.
  std::vector<std::string> args{VANTREL_HOSTSIM_PATH};
  args.insert(args.end(), options.begin(), options.end());
  return ChildProcess(std::move(args),
                      {.in = ChildProcess::Stdio::Null, .out = ChildProcess::Stdio::Inherit});
}

std::string firstLine(ChildProcess& process) {
  return process.readLine(ChildProcess::Stream::Stderr, 10s).text.value_or("<none>");
}

// Sends `signal` (0: none) and waits for the exit: the code, or -signal.
int stopWith(ChildProcess& process, int signal) {
  if (signal != 0)
    process.sendSignal(signal);
  auto exit = process.waitExit(10s);
  return exit ? exit->status() : -1000;
}

// The port in the bridge.token at `path`.
int portIn(const fs::path& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in, nullptr, false).value("port", 0);
}

TEST(HostSimProcessTest, AnnouncesItselfAndCleansUpOnEachStopSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    driver::TempDir support("hostsim-test");
    auto process = startHostSim({"--support-dir", support.path().string()});
    std::string line = firstLine(process);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(line, match,
                         std::regex(R"(vantrel-hostsim: listening on 127\.0\.0\.1:(\d+), )"
                                    R"(library: in-memory sample \(8 cards\), token: (.+))")))
        << line;
    fs::path token = match[2].str();
    EXPECT_EQ(token, support / "com.quillmoor.vantrel" / "bridge.token");
    std::ifstream in(token);
    auto credentials = nlohmann::json::parse(in);
    EXPECT_EQ(credentials["port"], std::stoi(match[1].str()));

    httplib::Client client("127.0.0.1", credentials["port"].get<int>());
    client.set_default_headers(
        {{"Authorization", "Bearer " + credentials["token"].get<std::string>()}});
    auto reply = client.Get("/assets/k7f2qd");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);

    EXPECT_EQ(stopWith(process, signal), 0);
    EXPECT_FALSE(fs::exists(token));
  }
}

TEST(HostSimProcessTest, BadArgumentsAreRefused) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--bogus"},
        std::vector<std::string>{"--data"}}) {
    auto process = startHostSim(args);
    EXPECT_NE(firstLine(process).find("vantrel-hostsim:"), std::string::npos);
    EXPECT_EQ(stopWith(process, 0), 2);
  }
}

// A second stand-in on the folder of a running one (or of the desktop app) must neither take the
// folder over nor, on its way out, remove the first one's token.
TEST(HostSimProcessTest, RefusesToStartBesideABridgeThatAnswersAndLeavesItsToken) {
  driver::TempDir support("hostsim-test");
  auto first = startHostSim({"--support-dir", support.path().string()});
  ASSERT_NE(firstLine(first).find("listening on"), std::string::npos);
  fs::path token = support / "com.quillmoor.vantrel" / "bridge.token";
  const std::string before = driver::readFile(token);

  auto second = startHostSim({"--support-dir", support.path().string()});
  std::string said = firstLine(second);
  EXPECT_TRUE(std::regex_match(
      said, std::regex("vantrel-hostsim: .*127\\.0\\.0\\.1:" + std::to_string(portIn(token)) +
                       ".*--support-dir.*")))
      << said;
  EXPECT_EQ(stopWith(second, 0), 1);
  auto more = second.readLine(ChildProcess::Stream::Stderr, 10s);
  EXPECT_FALSE(more.text) << "one line only, then: " << *more.text;
  EXPECT_EQ(driver::readFile(token), before);

  EXPECT_EQ(stopWith(first, SIGTERM), 0);
  EXPECT_FALSE(fs::exists(token));
}

// An agent's burst of calls through the real server: each is answered at once. The stand-in once
// sent each reply's body behind its head without TCP_NODELAY, so every usage report held its
// connection for a delayed ACK (40 ms), a burst opened a connection per call, and the 17th call
// waited 5 s for one of the stand-in's 16 serving threads.
TEST(HostSimProcessTest, ABurstOfCallsThroughTheServerIsAnsweredWithoutStalls) {
  testing::SupportDir dir;
  auto started = HostSim::start({fs::path(dir.bundleDir()).parent_path(), std::nullopt, 0});
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<HostSim>>(started));
  testing::McpProcess mcp(dir.env());
  mcp.request(driver::initializeRequest(0, "burst"));
  for (int id = 1; id <= 40; ++id) {
    const auto sent = std::chrono::steady_clock::now();
    auto result = mcp.callTool("get_asset", {{"shortID", "k7f2qd"}}, id);
    EXPECT_EQ(result.value("isError", true), false) << id;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s) << "call " << id;
  }
  testing::expectCleanExit(mcp);
}

} // namespace
} // namespace vantrel::hostsim
