#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ChildProcess> startFloor() {
  std::string error;
  auto child = ChildProcess::spawn(VANTREL_BENCH_FLOOR_PATH, {}, error);
  EXPECT_TRUE(child) << error;
  return child;
}

TEST(ChildProcessTest, LinesGoBothWaysAndEndOfInputEndsTheChild) {
  auto child = startFloor();
  ASSERT_TRUE(child->write("a\nb\n"));
  std::string line;
  ASSERT_TRUE(child->readLine(line, 2s));
  EXPECT_EQ(line, R"({"jsonrpc":"2.0","id":0,"result":{}})");
  ASSERT_TRUE(child->readLine(line, 2s));
  child->closeInput();
  auto exit = child->wait(2s);
  EXPECT_FALSE(exit.killed);
  EXPECT_TRUE(WIFEXITED(exit.status));
  EXPECT_EQ(WEXITSTATUS(exit.status), 0);
}

TEST(ChildProcessTest, WaitsAreBounded) {
  auto child = startFloor();
  std::string line;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(child->readLine(line, 100ms)); // nothing asked, nothing answered
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  // Input still open: the child keeps waiting for it, so it is killed at the deadline.
  auto exit = child->wait(100ms);
  EXPECT_TRUE(exit.killed);
  EXPECT_TRUE(WIFSIGNALED(exit.status));
}

TEST(ChildProcessTest, DestructionLeavesNoProcessBehind) {
  pid_t pid = 0;
  {
    auto child = startFloor();
    pid = child->pid();
    EXPECT_EQ(::kill(pid, 0), 0);
  }
  EXPECT_NE(::kill(pid, 0), 0); // killed and reaped: not even a zombie remains
}

TEST(ChildProcessTest, MissingProgramIsAnError) {
  std::string error;
  EXPECT_FALSE(ChildProcess::spawn("/nonexistent/vantrel-mcp", {}, error));
  EXPECT_NE(error.find("/nonexistent/vantrel-mcp"), std::string::npos);
}

} // namespace
} // namespace vantrel::bench
