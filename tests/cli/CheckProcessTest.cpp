// --check, --version, --help and misuse through the real binary: what only the process shows
// (the exit status, which stream gets what, the one request that reaches the Bridge).
#include "common/Platform.h"
#include "driver/Descriptors.h"
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs vantrel-mcp with `args`, `env` merged over this process's environment and stdin on
// /dev/null, until it exits; a minute is far more than any run needs.
Ran runMcp(const std::vector<std::string>& args, const Env& env) {
  std::vector<std::string> argv{VANTREL_MCP_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return runToExit(std::move(argv), {.env = env, .in = ChildProcess::Stdio::Null}, 60s);
}

std::vector<std::string> linesOf(const std::string& text) {
  LineSplitter splitter;
  splitter.append(text);
  std::vector<std::string> lines;
  while (auto line = splitter.next())
    lines.push_back(std::move(*line));
  EXPECT_TRUE(splitter.empty()) << "output does not end with a line feed";
  return lines;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Distinctive, so a leak in any line cannot be a coincidence.
const std::string kToken = "chk-7Rw2/+=&Secr3tBridgeKey";
const std::string kStaleToken = "chk-old-Secr3tBridgeKey-9";

class CheckProcessTest : public ::testing::Test {
protected:
  // Runs --check; the token, old or current, is nowhere in what it prints.
  Ran check() {
    Ran ran = runMcp({"--check"}, dir_.env());
    for (const auto& secret : {kToken, kStaleToken, std::string("Secr3t")}) {
      EXPECT_FALSE(contains(ran.out, secret)) << ran.out;
      EXPECT_FALSE(contains(ran.err, secret)) << ran.err;
    }
    EXPECT_EQ(ran.err, "");
    out_ = ran.out;
    lines_ = linesOf(out_);
    // First, what the support directory came from: the HOME (and XDG_DATA_HOME) it was given.
    if (!lines_.empty()) {
      EXPECT_TRUE(contains(lines_[0], "HOME=" + dir_.home())) << lines_[0];
      if (vantrel::kThisPlatform != vantrel::Platform::macOS) {
        EXPECT_TRUE(contains(lines_[0], "XDG_DATA_HOME=")) << lines_[0];
      }
      lines_.erase(lines_.begin());
    }
    return ran;
  }
  // After the environment: two token lines, the probe, the guide, the verdict.
  void expectFiveLines() {
    ASSERT_EQ(lines_.size(), 5u) << out_;
    EXPECT_EQ(lines_[4].rfind("结论：", 0), 0u) << lines_[4];
  }

  SupportDir dir_;
  std::string out_; // what --check printed
  std::vector<std::string> lines_;
};

TEST_F(CheckProcessTest, NoFileMeansTheAppIsNotRunning) {
  Ran ran = check();
  EXPECT_EQ(ran.status, 1);
  expectFiveLines();
  EXPECT_TRUE(contains(lines_[0], dir_.pathOf("bridge.token") + "：没有这个文件")) << out_;
  EXPECT_TRUE(contains(lines_[1], dir_.pathOf("bridge.token", false) + "：没有这个文件"));
  EXPECT_TRUE(contains(lines_[2], "未发请求"));
  EXPECT_TRUE(contains(lines_[3], "没有这个文件"));
  EXPECT_TRUE(contains(lines_[4], "请启动砚舟"));
}

TEST_F(CheckProcessTest, AllGoodIsOneReadOnlyRequestAndNothingWritten) {
  FakeBridge bridge;
  dir_.writeToken(bridge.port(), kToken);
  dir_.writeFile("agent-guide.md", "# 规范\n", /*inBundle=*/false);
  auto snapshot = [this] {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.home()))
      files[entry.path().string()] = {entry.is_regular_file() ? entry.file_size() : 0,
                                      entry.last_write_time()};
    return files;
  };
  auto before = snapshot();

  Ran ran = check();
  EXPECT_EQ(ran.status, 0) << out_;
  expectFiveLines();
  EXPECT_TRUE(contains(lines_[0], "可用，端口 " + std::to_string(bridge.port())));
  EXPECT_TRUE(contains(lines_[0], "服务器将用这个文件"));
  EXPECT_TRUE(contains(lines_[1], "没有这个文件"));
  EXPECT_TRUE(contains(lines_[2], "GET /events 返回 200"));
  EXPECT_TRUE(contains(lines_[3], "第 2 处 " + dir_.pathOf("agent-guide.md", false) + "，" +
                                      std::to_string(std::string("# 规范\n").size()) + " 字节"))
      << lines_[3];
  EXPECT_TRUE(contains(lines_[4], "正常"));

  // One attempt, carrying the token, and no usage report after it.
  auto requests = bridge.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/events");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer " + kToken);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(CheckProcessTest, StaleFileInTheFirstPlaceShadowsAGoodOne) {
  const int deadPort = unusedPort(); // the app that wrote the first file has quit
  FakeBridge bridge;
  dir_.writeToken(deadPort, kStaleToken);
  dir_.writeToken(bridge.port(), kToken, /*inBundle=*/false);

  Ran ran = check();
  EXPECT_EQ(ran.status, 1) << out_;
  expectFiveLines();
  EXPECT_TRUE(contains(lines_[0], "端口 " + std::to_string(deadPort) + "；服务器将用这个文件"));
  EXPECT_TRUE(contains(lines_[1], "端口 " + std::to_string(bridge.port()) + "；不会用到"));
  EXPECT_TRUE(contains(lines_[2], "没有应答：connect 127.0.0.1:" + std::to_string(deadPort)))
      << lines_[2];
  EXPECT_TRUE(contains(lines_[4], "被第 1 处的挡住")) << lines_[4];
  EXPECT_TRUE(bridge.requests().empty()) << "the shadowed file is not used";
}

TEST_F(CheckProcessTest, UnauthorizedIsAStaleTokenAndIsNotRetried) {
  FakeBridge bridge;
  bridge.on("GET", "/events", Reply{.status = 401, .body = R"({"error":"unauthorized"})"});
  dir_.writeToken(bridge.port(), kStaleToken);
  Ran ran = check();
  EXPECT_EQ(ran.status, 1) << out_;
  expectFiveLines();
  EXPECT_TRUE(contains(lines_[2], "返回 401，token 已失效")) << lines_[2];
  EXPECT_TRUE(contains(lines_[4], "不接受")) << lines_[4];
  EXPECT_EQ(bridge.requests().size(), 1u);
}

TEST(CliProcessTest, VersionIsTheOneTheServerAnnounces) {
  McpProcess mcp;
  auto reply = mcp.request({{"jsonrpc", "2.0"},
                            {"id", 1},
                            {"method", "initialize"},
                            {"params", {{"protocolVersion", "2024-11-05"}}}});
  const std::string announced = reply["result"]["serverInfo"]["version"].get<std::string>();
  Ran ran = runMcp({"--version"}, {});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "vantrel-mcp " + announced + "\n");
  EXPECT_EQ(ran.err, "");
}

TEST(CliProcessTest, HelpGoesToStandardOutputMisuseToStandardErrorWithStatus2) {
  Ran help = runMcp({"--help"}, {});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "--check")) << help.out;
  EXPECT_EQ(help.err, "");

  // The first option is not acted on when a second one follows.
  Ran misuse = runMcp({"--check", "--version"}, {});
  EXPECT_EQ(misuse.status, 2);
  EXPECT_EQ(misuse.out, "");
  auto lines = linesOf(misuse.err);
  ASSERT_EQ(lines.size(), 1u) << misuse.err;
  EXPECT_TRUE(contains(lines[0], "--version")) << lines[0];
  EXPECT_TRUE(contains(lines[0], "--help")) << lines[0];
}

} // namespace
} // namespace vantrel::testing
