// Labels: e2e concurrency
#include "driver/ChildProcess.h"

#include "driver/TempDir.h"
#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

ChildProcess shell(const std::string& script, ChildProcess::Options options = {}) {
  return ChildProcess({"sh", "-c", script}, std::move(options));
}

std::string probeLine(ChildProcess::Options options) {
  options.err = ChildProcess::Stdio::Pipe;
  ChildProcess probe({VANTREL_TESTKIT_PROBE_PATH}, std::move(options));
  auto line = probe.readLine(Stream::Stderr, 10s);
  EXPECT_TRUE(probe.waitExit(10s));
  return line.text.value_or("<no line>");
}

bool exists(pid_t pid) {
  return ::kill(pid, 0) == 0; // a zombie still exists: only a reaped child is gone
}

TEST(ChildProcessTest, ExitCodeSignalAndUsageAreReported) {
  auto exited = shell("exit 3").waitExit(10s);
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->code, 3);
  EXPECT_EQ(exited->signal, 0);
  EXPECT_GT(exited->usage.ru_maxrss, 0);

  auto killed = shell("kill -TERM $$").waitExit(10s);
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->signal, SIGTERM);
  EXPECT_EQ(killed->status(), -SIGTERM);
}

TEST(ChildProcessTest, LinesDeadlinesAndEndOfOutput) {
  ChildProcess cat({"cat"});
  auto start = ChildProcess::Clock::now();
  auto none = cat.readLine(Stream::Stdout, 200ms);
  EXPECT_FALSE(none.text);
  EXPECT_FALSE(none.ended) << "the deadline passed; the output did not end";
  EXPECT_GE(ChildProcess::Clock::now() - start, 200ms);

  ASSERT_TRUE(cat.write("first\n\nthird\nunfinished"));
  EXPECT_EQ(cat.readLine(Stream::Stdout, 10s).text, "first");
  EXPECT_EQ(cat.readLine(Stream::Stdout, 10s).text, "");
  EXPECT_EQ(cat.readLine(Stream::Stdout, 10s).text, "third");
  cat.closeInput();
  auto last = cat.readLine(Stream::Stdout, 10s);
  EXPECT_FALSE(last.text);
  EXPECT_TRUE(last.ended);
  EXPECT_EQ(cat.readAvailable(Stream::Stdout), "unfinished"); // the tail without a line feed
  auto exit = cat.waitExit(10s);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status(), 0);
  EXPECT_FALSE(cat.write("x")) << "stdin is closed";
}

TEST(ChildProcessTest, FailuresToStartAreErrorsThatSayWhy) {
  auto message = [](std::vector<std::string> argv, ChildProcess::Options options = {}) {
    try {
      ChildProcess child(std::move(argv), std::move(options));
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("<started>");
  };
  EXPECT_EQ(message({"/nonexistent/vantrel-mcp"}),
            "cannot start /nonexistent/vantrel-mcp: exec failed: No such file or directory");
  EXPECT_EQ(message({"no-such-program-vantrel"}),
            "cannot start no-such-program-vantrel: not found in PATH");
  TempDir dir;
  auto plain = dir.write("not-executable", "#!/bin/sh\n");
  EXPECT_NE(message({plain.string()}).find("exec failed: Permission denied"), std::string::npos);
  EXPECT_NE(message({"true"}, {.adjustments = {ChildProcess::Adjustment::close(999)}})
                .find("closing descriptor 999 failed: Bad file descriptor"),
            std::string::npos);
}

TEST(ChildProcessTest, AdjustmentsAreMadeInTheChildOnly) {
  // SIGPIPE is ignored here once a child was started, yet children get it at its default.
  EXPECT_EQ(probeLine({}), "stdin-nonblocking=0 stdout-open=1 nofile=" + std::to_string([] {
                             rlimit files{};
                             ::getrlimit(RLIMIT_NOFILE, &files);
                             return static_cast<unsigned long long>(files.rlim_cur);
                           }()) +
                               " sigpipe=default");
  struct sigaction ours {};
  ::sigaction(SIGPIPE, nullptr, &ours);
  EXPECT_EQ(ours.sa_handler, SIG_IGN);

  using Adjustment = ChildProcess::Adjustment;
  EXPECT_EQ(probeLine({.adjustments = {Adjustment::nonBlocking(0), Adjustment::close(1),
                                       Adjustment::limit(RLIMIT_NOFILE, 64, 64)}}),
            "stdin-nonblocking=1 stdout-open=0 nofile=64 sigpipe=default");
}

TEST(ChildProcessTest, EnvironmentIsMergedOverOursOrGivenWhole) {
  ScopedEnv ours({{"VANTREL_KIT_PARENT", "parent"}, {"VANTREL_KIT_NEW", "old"}});
  auto seen = [](ChildProcess::Options options) {
    auto child = shell(R"(echo "$VANTREL_KIT_PARENT|$VANTREL_KIT_NEW")", std::move(options));
    return child.readLine(Stream::Stdout, 10s).text.value_or("<none>");
  };
  EXPECT_EQ(seen({.env = {{"VANTREL_KIT_NEW", "new"}}}), "parent|new");
  EXPECT_EQ(
      seen({.env = {{"VANTREL_KIT_NEW", "only"}, {"PATH", "/usr/bin:/bin"}}, .inheritEnv = false}),
      "|only");
}

TEST(ChildProcessTest, WaitsAreBoundedAndNothingIsLeftBehind) {
  // Ignores SIGTERM (exec keeps that), never reads its stdin, never exits by itself.
  auto stubborn = std::make_unique<ChildProcess>(
      std::vector<std::string>{"sh", "-c", "trap '' TERM; echo up; exec sleep 60"});
  ASSERT_EQ(stubborn->readLine(Stream::Stdout, 10s).text, "up");
  EXPECT_FALSE(stubborn->waitExit(100ms));
  EXPECT_FALSE(stubborn->write(std::string(4 << 20, 'x'), 200ms)) << "a full pipe, not a hang";
  const pid_t pid = stubborn->pid();
  stubborn.reset(); // SIGTERM is ignored: the destructor must go on to SIGKILL
  EXPECT_FALSE(exists(pid));

  ChildProcess empty({"cat"}, {.in = ChildProcess::Stdio::Null});
  EXPECT_TRUE(empty.readLine(Stream::Stdout, 10s).ended);
  auto exit = empty.waitExit(10s);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->status(), 0);
}

TEST(TempDirTest, WritesWholeFilesAndTakesEverythingWithIt) {
  std::filesystem::path root;
  {
    TempDir dir("kit-test");
    root = dir.path();
    EXPECT_TRUE(std::filesystem::is_directory(root));
    EXPECT_EQ(root, std::filesystem::canonical(root));
    auto file = dir.write("a/b/c.txt", "one");
    dir.write("a/b/c.txt", "two");
    EXPECT_EQ(file, root / "a/b/c.txt");
    EXPECT_EQ(readFile(file), "two");
    EXPECT_FALSE(std::filesystem::exists(root / "a/b/c.txt.writing"));
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

} // namespace
} // namespace vantrel::testing
