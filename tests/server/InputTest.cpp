// Standard input as hosts and people hand it over, served in-process through serve(): every kind
// is read to its end with its calls answered, a call typed at a terminal is answered at once, and
// the descriptor's flags, which its open file description shares with the host and siblings, are
// left as they were found.
// Labels: concurrency
#include "driver/Descriptors.h"
#include "driver/LineSplitter.h"
#include "driver/TempDir.h"
#include "server/MCPServer.h"
#include "support/InProcess.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vantrel::server {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kCall =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"get_events"}})";

// A server over `fd` whose Bridge answers {"ok":1}; its reply lines as they are written.
class Served {
public:
  Served(int fd, std::size_t loopThreads, bool inputThread) {
    ServerOptions options;
    options.transport =
        std::make_shared<vantrel::testing::ScriptedTransport>([](const bridge::HttpRequest&) {
          return vantrel::testing::ScriptedReply{200, "{\"ok\":1}"};
        });
    options.credentials = vantrel::testing::fixedCredentials;
    options.loopThreads = loopThreads;
    options.inputThread = inputThread;
    server_ = std::make_unique<MCPServer>(
        Input::descriptor(fd),
        [this](std::string_view bytes) {
          std::lock_guard lock(lock_);
          lines_.append(bytes);
          while (auto line = lines_.next())
            replies_.push_back(json::parse(*line));
          changed_.notify_all();
          return true;
        },
        [this](std::string_view bytes) {
          std::lock_guard lock(lock_);
          errors_.append(bytes);
          return true;
        },
        std::move(options));
  }

  int serve() { return server_->serve(); }
  // Waits until `count` replies have come.
  [[nodiscard]] bool waitFor(std::size_t count) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, 15s, [&] { return replies_.size() >= count; });
  }
  std::set<json> ids() {
    std::lock_guard lock(lock_);
    std::set<json> ids;
    for (const auto& reply : replies_)
      ids.insert(reply["id"]);
    return ids;
  }
  std::string errors() {
    std::lock_guard lock(lock_);
    return errors_;
  }

private:
  std::mutex lock_; // guards lines_, replies_ and errors_
  std::condition_variable changed_;
  driver::LineSplitter lines_;
  std::vector<json> replies_;
  std::string errors_;
  std::unique_ptr<MCPServer> server_;
};

// One kind of standard input: the descriptor the server reads, and how the test writes to it
// and ends it.
struct Source {
  int read = -1;
  std::function<void(const std::string&)> write;
  std::function<void()> end;
};

Source fromPipe(bool nonBlocking) {
  int ends[2];
  EXPECT_TRUE(driver::makePipe(ends));
  if (nonBlocking)
    driver::setNonBlocking(ends[0]);
  auto writer = std::make_shared<int>(ends[1]);
  return {ends[0], [writer](const std::string& s) { (void)!::write(*writer, s.data(), s.size()); },
          [writer] { driver::closeQuietly(*writer); }};
}

Source fromSocketPair() {
  int ends[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  auto writer = std::make_shared<int>(ends[1]);
  return {ends[0], [writer](const std::string& s) { (void)!::write(*writer, s.data(), s.size()); },
          [writer] { driver::closeQuietly(*writer); }};
}

Source fromFifo(const driver::TempDir& dir) {
  const std::string path = (dir / "fifo").string();
  EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
  int read = ::open(path.c_str(), O_RDONLY | O_NONBLOCK); // a writer is not there yet
  auto writer = std::make_shared<int>(::open(path.c_str(), O_WRONLY));
  ::fcntl(read, F_SETFL, ::fcntl(read, F_GETFL) & ~O_NONBLOCK); // as a host would hand it over
  return {read, [writer](const std::string& s) { (void)!::write(*writer, s.data(), s.size()); },
          [writer] { driver::closeQuietly(*writer); }};
}

// A terminal in its usual canonical mode: a line goes through when typed, ^D at a line's start
// ends the input.
Source fromTerminal() {
  int master = -1, slave = -1;
  EXPECT_TRUE(driver::openTerminal(master, slave));
  auto typist = std::make_shared<int>(master);
  return {slave, [typist](const std::string& s) { (void)!::write(*typist, s.data(), s.size()); },
          [typist] { (void)!::write(*typist, "\x04", 1); }};
}

Source fromFile(const driver::TempDir& dir, const std::string& content) {
  const std::string path = (dir / "input").string();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  (void)!::write(fd, content.data(), content.size());
  ::lseek(fd, 0, SEEK_SET);
  return {fd, [](const std::string&) {}, [] {}};
}

TEST(InputTest, EveryKindIsReadToItsEndWithItsFlagsAsFound) {
  driver::TempDir dir;
  const std::string input = std::string(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") + "\n" +
                            kCall + "\n" + R"({"jsonrpc":"2.0","id":3,"method":"ping"})";
  const struct {
    const char* name;
    std::function<Source()> open;
  } kinds[] = {
      {"pipe", [] { return fromPipe(false); }},
      {"non-blocking pipe", [] { return fromPipe(true); }},
      {"socket pair", fromSocketPair},
      {"FIFO", [&] { return fromFifo(dir); }},
      {"terminal", fromTerminal},
      {"file", [&] { return fromFile(dir, input); }},
  };
  for (const auto& kind : kinds) {
    for (std::size_t threads : {0u, 1u}) {
      SCOPED_TRACE(std::string(kind.name) + " with " + std::to_string(threads) + " loop threads");
      ::unlink(((dir / "fifo").string()).c_str());
      Source source = kind.open();
      const int flags = ::fcntl(source.read, F_GETFL);
      source.write(input + "\n"); // a terminal sends a line only when it ends
      source.end();
      Served served(source.read, threads, true);
      EXPECT_EQ(served.serve(), 0);
      EXPECT_EQ(served.ids(), (std::set<json>{1, 2, 3}));
      EXPECT_EQ(::fcntl(source.read, F_GETFL), flags) << "the flags were changed";
      EXPECT_EQ(served.errors(), "");
      ::close(source.read);
    }
  }
}

TEST(InputTest, NothingToReadEndsCleanlyAnUnreadableInputSaysSo) {
  int null = ::open("/dev/null", O_RDONLY);
  Served empty(null, 1, true);
  EXPECT_EQ(empty.serve(), 0);
  EXPECT_TRUE(empty.ids().empty());
  ::close(null);

  int closed = ::open("/dev/null", O_RDONLY);
  ::close(closed);
  Served unreadable(closed, 1, true);
  EXPECT_EQ(unreadable.serve(), 1) << "not the status of a clean end of input";
  EXPECT_TRUE(unreadable.errors().starts_with("vantrel-mcp: 读取标准输入失败"))
      << unreadable.errors();
}

// A person typing a call gets its answer before typing anything more: on one core (no loop thread
// of its own), and when no thread can be made to read the terminal either.
TEST(InputTest, ACallTypedAtATerminalIsAnsweredBeforeTheNextKeystroke) {
  for (bool inputThread : {true, false}) {
    SCOPED_TRACE(inputThread ? "a thread reads the terminal" : "no thread to spare");
    Source terminal = fromTerminal();
    Served served(terminal.read, 0, inputThread);
    int status = -1;
    std::thread serving([&] { status = served.serve(); });
    terminal.write(kCall + "\n");
    EXPECT_TRUE(served.waitFor(1)) << "answered only when more input came";
    terminal.end();
    serving.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(served.ids(), (std::set<json>{2}));
    ::close(terminal.read);
  }
}

} // namespace
} // namespace vantrel::server
