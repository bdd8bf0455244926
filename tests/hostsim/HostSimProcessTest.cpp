// Labels: e2e concurrency
#include "driver/ChildProcess.h"
#include "driver/Descriptors.h"
#include "driver/TempDir.h"
#include "hostsim/HostSimHarness.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/sysctl.h>
#endif

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

// The most connections the system lets a listener hold before it accepts them.
std::size_t systemBacklogLimit() {
  std::size_t limit = 0;
#ifdef __APPLE__
  int value = 0;
  std::size_t size = sizeof value;
  if (::sysctlbyname("kern.ipc.somaxconn", &value, &size, nullptr, 0) == 0 && value > 0)
    limit = static_cast<std::size_t>(value);
#else
  std::ifstream("/proc/sys/net/core/somaxconn") >> limit;
#endif
  return limit > 0 ? limit : 128;
}

// A connection begun without waiting: -1 when no socket could be made.
int beginConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    return -1;
  driver::setCloexec(fd);
  driver::setNoSigPipe(fd);
  driver::setNonBlocking(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address); // EINPROGRESS
  return fd;
}

// How many of `fds` become ready for `events` before `deadline` and then pass `ready`; each is
// watched until it becomes ready once.
std::size_t countReady(const std::vector<int>& fds, short events,
                       std::chrono::steady_clock::time_point deadline,
                       const std::function<bool(int)>& ready) {
  std::vector<pollfd> waiting;
  for (int fd : fds)
    waiting.push_back({fd, events, 0});
  std::size_t count = 0;
  while (!waiting.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    int polled = ::poll(waiting.data(), waiting.size(), int(left.count()));
    if (polled < 0 && errno == EINTR)
      continue;
    if (polled <= 0)
      break;
    std::erase_if(waiting, [&](const pollfd& entry) {
      if (entry.revents == 0)
        return false;
      count += ready(entry.fd) ? 1 : 0;
      return true;
    });
  }
  return count;
}

// A thousand connections arrive while the stand-in takes none (stopped): the system holds them
// all for it, each then gets its answer. With a backlog of 5 the rest had their SYNs dropped and
// waited a second or more for each retry.
TEST(HostSimProcessTest, AThousandConnectionsWaitingToBeAcceptedAreHeldAndServed) {
  const std::size_t pending = std::min<std::size_t>(1000, systemBacklogLimit());
  if (auto shortfall = driver::descriptorShortfall(pending + 100))
    GTEST_SKIP() << *shortfall;
  driver::TempDir support("hostsim-test");
  auto sim = startHostSim({"--support-dir", support.path().string()});
  ASSERT_NE(firstLine(sim).find("listening on"), std::string::npos);
  int port = portIn(support / "com.quillmoor.vantrel" / "bridge.token");

  sim.sendSignal(SIGSTOP);
  std::vector<int> connections;
  for (std::size_t i = 0; i < pending; ++i)
    connections.push_back(beginConnect(port));
  auto connected = [](int fd) {
    int error = -1;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  };
  std::size_t held =
      countReady(connections, POLLOUT, std::chrono::steady_clock::now() + 10s, connected);
  sim.sendSignal(SIGCONT);
  EXPECT_EQ(held, pending);

  for (int fd : connections)
    driver::sendAll(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  auto answered = [](int fd) {
    char head[9] = {};
    return ::recv(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
           std::string_view(head, sizeof head) == "HTTP/1.1 ";
  };
  EXPECT_EQ(countReady(connections, POLLIN, std::chrono::steady_clock::now() + 30s, answered),
            pending);
  for (int& fd : connections)
    driver::closeQuietly(fd);
  EXPECT_EQ(stopWith(sim, SIGTERM), 0);
}

// An agent's burst of calls through the real server: each is answered at once, one after another
// and all at the same time. The stand-in once sent each reply's body behind its head without
// TCP_NODELAY, so every usage report held its connection for a delayed ACK (40 ms), a burst opened
// a connection per call, and the 17th call waited 5 s for one of the stand-in's 16 serving
// threads; calls sent together opened a connection each and waited on those threads again, and on
// a listen backlog of 5.
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

  // Just past the stand-in's first serving threads, past them thrice, and a thousand (a socket
  // each in the server, and one per usage report).
  const auto shortfall = driver::descriptorShortfall(2 * 1000 + 256);
  int nextId = 100;
  for (int together : {17, 50, 1000}) {
    SCOPED_TRACE(std::to_string(together) + " calls at once");
    std::string lines;
    for (int i = 0; i < together; ++i)
      lines +=
          driver::toolCallRequest(++nextId, "get_asset", {{"shortID", "k7f2qd"}}).dump() + "\n";
    const auto sent = std::chrono::steady_clock::now();
    mcp.writeRaw(lines);
    auto replies = mcp.toolReplies(together);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s)
        << "a stall of 2 s or more is a kept-alive wait. " << shortfall.value_or("");
    EXPECT_EQ(replies.size(), static_cast<std::size_t>(together));
    for (const auto& [id, reply] : replies)
      EXPECT_FALSE(reply.isError) << id << ": " << reply.text;
  }
  testing::expectCleanExit(mcp);
}

} // namespace
} // namespace vantrel::hostsim
