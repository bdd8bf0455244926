#include "hostsim/HostSimHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vantrel::hostsim {
namespace {

namespace fs = std::filesystem;

// The program itself, started with its stderr on a pipe, as the demo driver runs it.
class HostSimProcess {
public:
  explicit HostSimProcess(std::vector<std::string> args) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    args.insert(args.begin(), VANTREL_HOSTSIM_PATH);
    std::vector<char*> argv;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    err_ = pipeFds[0];
  }
  ~HostSimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0)
      ::close(err_);
  }

  // The first stderr line, or what arrived before the time-out.
  std::string firstLine() {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd fd{err_, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0)
        continue;
      char buffer[512];
      ssize_t n = ::read(err_, buffer, sizeof buffer);
      if (n <= 0)
        break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
  }

  // Sends `signal` and waits for the exit: the exit code, or -1 when it did not exit normally.
  int stopWith(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  int err_ = -1;
};

TEST(HostSimProcessTest, AnnouncesItselfAndCleansUpOnEachStopSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    fs::path support = HostSimHarness::makeTemporaryFolder();
    HostSimProcess process({"--support-dir", support.string()});
    std::string line = process.firstLine();
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

    EXPECT_EQ(process.stopWith(signal), 0);
    EXPECT_FALSE(fs::exists(token));
    fs::remove_all(support);
  }
}

TEST(HostSimProcessTest, BadArgumentsAreRefused) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--port", "70000"}, std::vector<std::string>{"--bogus"},
        std::vector<std::string>{"--data"}}) {
    HostSimProcess process(args);
    EXPECT_NE(process.firstLine().find("vantrel-hostsim:"), std::string::npos);
    EXPECT_EQ(process.stopWith(0), 2);
  }
}

} // namespace
} // namespace vantrel::hostsim
