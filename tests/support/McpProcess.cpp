#include "support/McpProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vantrel::testing {
namespace {

void check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

long long msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

} // namespace

McpProcess::McpProcess(const Env& env, const std::string& binary) {
  std::signal(SIGPIPE, SIG_IGN); // writing to a child that has exited must fail, not kill us
  int inPipe[2], outPipe[2], errPipe[2];
  check(pipe(inPipe) == 0 && pipe(outPipe) == 0 && pipe(errPipe) == 0, "pipe");

  // Build the environment before fork: the child only execs.
  std::vector<std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string var = *e;
    bool replaced = false;
    for (const auto& [key, value] : env)
      replaced |= var.rfind(key + "=", 0) == 0;
    if (!replaced)
      vars.push_back(var);
  }
  for (const auto& [key, value] : env)
    vars.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& v : vars)
    envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), nullptr};

  pid_ = fork();
  check(pid_ >= 0, "fork");
  if (pid_ == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
      close(fd);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  err_ = errPipe[0];
  fcntl(err_, F_SETFL, O_NONBLOCK);
  for (int fd : {in_, out_, err_})
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

McpProcess::~McpProcess() {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0)
      close(fd);
  }
}

void McpProcess::writeRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    check(n >= 0, "write to child");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void McpProcess::closeInput() {
  if (in_ >= 0)
    close(in_);
  in_ = -1;
}

void McpProcess::closeOutput() {
  if (out_ >= 0)
    close(out_);
  out_ = -1;
  outEnded_ = true;
}

std::optional<std::string> McpProcess::readLine(std::chrono::milliseconds timeout) {
  auto start = std::chrono::steady_clock::now();
  // Only bytes not yet searched are searched again: a 64 MB line costs one pass, not many.
  std::size_t scanned = 0;
  for (;;) {
    if (auto nl = outBuffer_.find('\n', scanned); nl != std::string::npos) {
      std::string line = outBuffer_.substr(0, nl);
      outBuffer_.erase(0, nl + 1);
      return line;
    }
    scanned = outBuffer_.size();
    if (outEnded_)
      return std::nullopt;
    long long left = timeout.count() - msSince(start);
    if (left <= 0)
      return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return std::nullopt;
    char buffer[65536];
    ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      outEnded_ = true;
      continue;
    }
    outBuffer_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<nlohmann::json> McpProcess::readJson(std::chrono::milliseconds timeout) {
  auto line = readLine(timeout);
  if (!line)
    return std::nullopt;
  return nlohmann::json::parse(*line);
}

nlohmann::json McpProcess::request(const nlohmann::json& message) {
  send(message);
  auto reply = readJson();
  if (!reply)
    throw std::runtime_error("no reply to " + message.dump());
  return *reply;
}

nlohmann::json McpProcess::callTool(const std::string& name, const nlohmann::json& arguments,
                                    int id) {
  auto reply = request({{"jsonrpc", "2.0"},
                        {"id", id},
                        {"method", "tools/call"},
                        {"params", {{"name", name}, {"arguments", arguments}}}});
  return reply.at("result");
}

std::vector<std::string> McpProcess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> lines;
  while (auto line = readLine(
             std::chrono::milliseconds(std::max<long long>(1, timeout.count() - msSince(start))))) {
    lines.push_back(*line);
  }
  int status = 0;
  while (msSince(start) < timeout.count()) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      return lines;
    }
    usleep(2000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return lines;
}

std::string McpProcess::stderrText() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(err_, buffer, sizeof buffer);
    if (n <= 0)
      break;
    errBuffer_.append(buffer, static_cast<std::size_t>(n));
  }
  return errBuffer_;
}

nlohmann::json toolCall(int id, const std::string& name, const nlohmann::json& arguments) {
  return {{"jsonrpc", "2.0"},
          {"id", id},
          {"method", "tools/call"},
          {"params", {{"name", name}, {"arguments", arguments}}}};
}

void expectPingAnswered(McpProcess& mcp) {
  mcp.sendLine(R"({"jsonrpc":"2.0","id":"after","method":"ping"})");
  auto reply = mcp.readJson(std::chrono::seconds(10));
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, nlohmann::json::parse(R"({"jsonrpc":"2.0","id":"after","result":{}})"));
}

void expectCleanExit(McpProcess& mcp) {
  EXPECT_TRUE(mcp.finish().empty());
  EXPECT_EQ(mcp.exitStatus(), 0);
  EXPECT_EQ(mcp.stderrText(), "");
}

ToolText toolText(const nlohmann::json& result) {
  return {result.at("content").at(0).at("text").get<std::string>(),
          result.at("isError").get<bool>()};
}

} // namespace vantrel::testing
