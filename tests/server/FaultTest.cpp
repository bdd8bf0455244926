// A hostile or careless agent host, seen end to end: the real binary over pipes. Whatever comes
// in, the server neither crashes nor hangs, answers each request once, and reads on.
// Labels: e2e concurrency
#include "driver/Descriptors.h"
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Adjustment = ChildProcess::Adjustment;
namespace fs = std::filesystem;

// `count` get_asset calls with ids from 0, shortIDs "a0", "a1", ..., as one block of lines.
std::string assetCalls(int count) {
  std::string lines;
  for (int id = 0; id < count; ++id)
    lines +=
        toolCallRequest(id, "get_asset", {{"shortID", "a" + std::to_string(id)}}).dump() + "\n";
  return lines;
}

// What the asset at `path` answers with: its own path, and `padding` bytes to make it large.
std::string assetBody(const std::string& path, std::size_t padding = 0) {
  return R"({"path":")" + path + R"(","pad":")" + std::string(padding, 'p') + "\"}";
}

// Every asset answers with its assetBody, after `delay`.
void answerAssets(FakeBridge& bridge, std::size_t padding = 0,
                  std::chrono::milliseconds delay = {}) {
  bridge.onPrefix("GET", "/assets/", [padding, delay](const RecordedRequest& request) {
    return Reply{.body = assetBody(request.decodedPath, padding), .delay = delay};
  });
}

TEST(FaultTest, AgentHostClosingStandardOutputNeitherKillsNorHangsTheServer) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  bridge.on("GET", "/assets/slow", Reply{.body = std::string(1 << 20, 'x'), .delay = 300ms});
  McpProcess mcp(dir.env());
  mcp.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
  ASSERT_TRUE(mcp.readLine(10s));

  // A call in flight when the reader goes, then answers written into the closed pipe: each
  // write fails with EPIPE, and not one of them may end the process by SIGPIPE.
  mcp.send(toolCallRequest(2, "get_asset", {{"shortID", "slow"}}));
  mcp.closeOutput();
  for (int id = 3; id < 50; ++id)
    mcp.sendLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/list"})");
  mcp.send(toolCallRequest(50, "get_asset", {{"shortID", "after-close"}}));

  mcp.finish(20s);
  EXPECT_EQ(mcp.exitStatus(), 0) << "negative: ended by that signal; nothing: had to be killed";
  EXPECT_EQ(mcp.stderrText(), "");
  // The started calls still ran to the end: their usage reports went out.
  EXPECT_TRUE(bridge.waitForRequests("/telemetry", 2, 10s));
}

// Labels: slow
TEST(FaultTest, TwentyMegabyteRequestLineIsAnswered) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  McpProcess mcp(dir.env());
  const std::string content(20u << 20, 'c');

  mcp.send(toolCallRequest(1, "add_note", {{"shortID", "big"}, {"content", content}}));
  auto reply = mcp.readJson(60s);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["id"], 1);
  auto result = toolText((*reply)["result"]);
  EXPECT_FALSE(result.isError) << result.text.substr(0, 200);
  EXPECT_EQ(result.text, "{}");
  auto posted = bridge.requestsTo("/assets/big/notes");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(posted[0].json()["content"] == content);

  mcp.sendLine(R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{"pad":")" + content + "\"}}");
  auto pong = mcp.readJson(60s);
  ASSERT_TRUE(pong);
  EXPECT_EQ(*pong, json::parse(R"({"jsonrpc":"2.0","id":2,"result":{}})"));
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, TwoThousandConcurrentToolCallsAreEachAnsweredOnce) {
  constexpr int kCalls = 2000;
  // One socket per call in flight, on both sides of the loopback.
  const auto shortfall = descriptorShortfall(3 * kCalls + 512);
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  answerAssets(bridge, 0, 20ms);
  McpProcess mcp(dir.env());

  mcp.writeRaw(assetCalls(kCalls));
  auto replies = mcp.toolReplies(kCalls, 60s);
  ASSERT_EQ(replies.size(), static_cast<std::size_t>(kCalls)) << shortfall.value_or("");
  for (const auto& [id, result] : replies)
    EXPECT_EQ(result.text, assetBody("/assets/a" + std::to_string(id))) << "call " << id;
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, ClosedStandardOutputOrErrorIsNeverTakenByASocket) {
  // Reply lines far beyond a socket's buffers: written into a Bridge connection they would
  // corrupt the requests on it and, once its buffer filled, block the server for good.
  constexpr int kCalls = 40;
  constexpr std::size_t kPadding = 256 << 10;
  for (int closed : {STDOUT_FILENO, STDERR_FILENO}) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed at start");
    FakeBridge bridge;
    SupportDir dir;
    dir.writeToken(bridge.port(), "t");
    answerAssets(bridge, kPadding);
    McpProcess mcp({.env = dir.env(), .adjustments = {Adjustment::close(closed)}});
    mcp.writeRaw(assetCalls(kCalls));
    if (closed == STDERR_FILENO) {
      for (const auto& [id, result] : mcp.toolReplies(kCalls))
        EXPECT_TRUE(result.text == assetBody("/assets/a" + std::to_string(id), kPadding)) << id;
    }
    // Every call ran to its end, and the Bridge saw nothing but the calls and their reports.
    ASSERT_TRUE(bridge.waitForRequests("/telemetry", kCalls, 60s));
    mcp.finish();
    EXPECT_EQ(mcp.exitStatus(), 0) << "nothing: it hung at end of input";
    auto requests = bridge.requests();
    EXPECT_EQ(requests.size(), 2u * kCalls);
    for (const auto& request : requests) {
      EXPECT_TRUE(request.target.starts_with("/assets/a") || request.target == "/telemetry")
          << request.method << " " << request.target.substr(0, 100);
    }
  }
}

TEST(FaultTest, NonBlockingStandardInputIsWaitedOnNotTakenForItsEnd) {
  SupportDir dir;
  McpProcess mcp({.env = dir.env(), .adjustments = {Adjustment::nonBlocking(STDIN_FILENO)}});
  // Silence first: no data yet is not end of input.
  EXPECT_FALSE(mcp.child().waitExit(500ms)) << "it left before any input came";
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

// Input that can no longer be read is not the end of input: the host is told why on standard
// error, and the exit status is not the clean one. With two descriptors to spare (one for the
// loader), the loop's reactor cannot be made.
TEST(FaultTest, InputThatCannotBeReadIsSaidAndNotTakenForItsEnd) {
#ifdef VANTREL_SANITIZED
  GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own";
#endif
  SupportDir dir;
  McpProcess mcp({.env = dir.env(), .adjustments = {Adjustment::limit(RLIMIT_NOFILE, 5, 5)}});
  (void)mcp.child().write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"); // it may be gone
  mcp.finish();
  if (mcp.stderrText().find("error while loading shared libraries") != std::string::npos)
    GTEST_SKIP() << "a descriptor this process leaked left the loader none: " << mcp.stderrText();
  EXPECT_EQ(mcp.exitStatus(), 1);
  EXPECT_TRUE(mcp.stderrText().starts_with("vantrel-mcp: ")) << mcp.stderrText();
  EXPECT_NE(mcp.stderrText().find("Too many open files"), std::string::npos) << mcp.stderrText();
}

// A line too long for the memory the server may take is answered as a line that cannot be read,
// skipped to its end, and the lines after it are served.
// Labels: slow
TEST(FaultTest, ALineTooLongToHoldIsAnsweredAndSkipped) {
#ifdef VANTREL_SANITIZED
  GTEST_SKIP() << "the sanitizer runtimes reserve more address space than the limit";
#endif
  SupportDir dir;
  constexpr rlim_t kAddressSpace = rlim_t(512) << 20;
  McpProcess mcp({.env = dir.env(),
                  .adjustments = {Adjustment::limit(RLIMIT_AS, kAddressSpace, kAddressSpace)}});
  std::string start = R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")";
  mcp.writeRaw(start);
  const std::string chunk(1 << 20, 'p');
  for (int i = 0; i < 768; ++i) // past the address space: no buffer can hold the line
    mcp.writeRaw(chunk);
  mcp.sendLine(R"("}})");
  auto refused = mcp.readJson(60s);
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["error"]["code"], -32700) << *refused;
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, RunningOutOfDescriptorsIsNamedNeverTakenForAMissingApp) {
#ifdef VANTREL_SANITIZED
  // The sanitizer runtimes open descriptors of their own (UBSan's pointer checks use a pipe); at
  // this limit they report their own failure and end the server, which is not what is tested.
  GTEST_SKIP() << "needs a server without sanitizer runtimes";
#endif
  constexpr int kCalls = 500;
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  const std::string guide = "# 规范\n";
  dir.writeFile("agent-guide.md", guide);
  // Held a while, so that calls pile up, each holding its connection.
  answerAssets(bridge, 0, 500ms);
  McpProcess mcp({.env = dir.env(), .adjustments = {Adjustment::limit(RLIMIT_NOFILE, 64, 64)}});

  std::string lines;
  for (int id = 0; id < kCalls; ++id) {
    lines +=
        (id % 5 == 0 ? toolCallRequest(id, "get_guide", json::object())
                     : toolCallRequest(id, "get_asset", {{"shortID", "a" + std::to_string(id)}}))
            .dump() +
        "\n";
  }
  mcp.writeRaw(lines);
  auto replies = mcp.toolReplies(kCalls, 60s);
  ASSERT_EQ(replies.size(), static_cast<std::size_t>(kCalls));
  int failed = 0;
  std::vector<std::string> wrong; // misleading texts, or failures that do not name the cause
  for (const auto& [id, result] : replies) {
    failed += result.isError;
    const bool right =
        result.isError
            ? result.text.find("Too many open files") != std::string::npos
            : result.text == (id % 5 == 0 ? guide : assetBody("/assets/a" + std::to_string(id)));
    if (!right || result.text.find("未找到") != std::string::npos ||
        result.text.find("请先启动") != std::string::npos)
      wrong.push_back(result.text);
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front();
  EXPECT_GT(failed, 0) << "the limit never bit: this run proves nothing";
  EXPECT_LT(failed, kCalls);
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

// Whether `path` can be read by a user who is neither its owner nor in its group.
bool othersCanRead(const fs::path& path) {
  for (fs::path at = path;; at = at.parent_path()) {
    struct stat info {};
    if (::stat(at.c_str(), &info) != 0 || (info.st_mode & (at == path ? S_IROTH : S_IXOTH)) == 0)
      return false;
    if (at == at.parent_path())
      return true;
  }
}

// A process limit may refuse the loop every thread at start, or all but `spare`: the reading
// thread then runs the loop itself, and every call is still answered. Linux counts threads
// against RLIMIT_NPROC (macOS counts processes), though not root's: as root the server runs as
// an unprivileged user, one per case, so that cases run side by side do not count against each
// other's limit.
void expectAnsweredUnderThreadLimit(rlim_t spare) {
#ifndef __linux__
  GTEST_SKIP() << "only Linux counts threads against RLIMIT_NPROC";
#endif
  const bool root = ::geteuid() == 0;
  if (!root && spare > 0)
    GTEST_SKIP() << "needs root: every task this user already runs counts against the limit";
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  answerAssets(bridge);
  std::vector<Adjustment> adjustments;
  if (root) {
    fs::permissions(fs::path(dir.home()).parent_path(),
                    fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    if (!othersCanRead(dir.pathOf("bridge.token")) || !othersCanRead(VANTREL_MCP_PATH))
      GTEST_SKIP() << "others cannot reach " << VANTREL_MCP_PATH << " or " << dir.home();
    const uid_t user = 65534 - static_cast<uid_t>(spare); // nobody, and the uid below it
    adjustments.push_back(Adjustment::user(user, user));
  }
  // The server's own task, and `spare` more.
  adjustments.push_back(Adjustment::limit(RLIMIT_NPROC, 1 + spare, 1 + spare));
  McpProcess mcp({.env = dir.env(), .adjustments = adjustments});

  constexpr int kCalls = 20;
  mcp.writeRaw(assetCalls(kCalls));
  auto replies = mcp.toolReplies(kCalls);
  EXPECT_EQ(replies.size(), static_cast<std::size_t>(kCalls));
  for (const auto& [id, result] : replies)
    EXPECT_EQ(result.text, assetBody("/assets/a" + std::to_string(id)));
  // The limit must have bitten, or this run proves nothing: the loop's threads are made at start.
  std::error_code error;
  fs::directory_iterator tasks("/proc/" + std::to_string(mcp.child().pid()) + "/task", error);
  const auto threads = error ? 0 : std::distance(tasks, fs::directory_iterator());
  if (threads != static_cast<long>(1 + spare))
    GTEST_SKIP() << threads << " threads, not " << 1 + spare
                 << ": other tasks of the user, or the limit did not bind";
  mcp.finish();
  EXPECT_EQ(mcp.exitStatus(), 0);
}

TEST(FaultTest, ProcessLimitAllowingNoNewThreadStillAnswersEveryCall) {
  expectAnsweredUnderThreadLimit(0);
}

TEST(FaultTest, ProcessLimitAllowingOneThreadStillAnswersEveryCall) {
  expectAnsweredUnderThreadLimit(1);
}

// A person at a terminal on a machine with one CPU: a typed call is answered while the terminal
// waits for the next keystroke. The machine is made to show one CPU in a private mount namespace
// (root only), and script(1) gives the server a terminal as standard input and output.
TEST(FaultTest, ACallTypedAtATerminalOnOneCpuIsAnsweredWithoutMoreInput) {
#ifndef __linux__
  GTEST_SKIP() << "shows one CPU through Linux's /sys and a mount namespace";
#endif
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root for a mount namespace";
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  answerAssets(bridge);
  const fs::path online = fs::path(dir.home()).parent_path() / "online";
  std::ofstream(online) << "0\n";
  const std::string command =
      "mount --bind '" + online.string() + "' /sys/devices/system/cpu/online || exit 97; " +
      "exec script -qfec \"stty -echo -onlcr; exec '" + VANTREL_MCP_PATH + "'\" /dev/null";
  ChildProcess terminal({"unshare", "-m", "--propagation", "private", "sh", "-c", command},
                        {.env = dir.env()});
  ASSERT_TRUE(
      terminal.write(toolCallRequest(1, "get_asset", {{"shortID", "typed"}}).dump() + "\n"));
  std::optional<json> answer;
  const auto deadline = ChildProcess::Clock::now() + 3s;
  while (!answer) {
    auto line = terminal.readLine(ChildProcess::Stream::Stdout, deadline);
    if (!line.text)
      break;
    auto message = json::parse(*line.text, nullptr, /*allow_exceptions=*/false);
    if (message.is_object() && message.contains("result")) // not the terminal's echo of the call
      answer = message;
  }
  terminal.closeInput();
  auto exit = terminal.waitExit(10s);
  if (exit && exit->code == 97)
    GTEST_SKIP() << "cannot bind-mount over /sys here";
  ASSERT_TRUE(answer) << "no answer while the terminal waited; stderr: "
                      << terminal.readAvailable(ChildProcess::Stream::Stderr);
  EXPECT_EQ(toolText((*answer)["result"]).text, assetBody("/assets/typed"));
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->code, 0);
}

} // namespace
} // namespace vantrel::testing
