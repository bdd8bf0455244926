// Labels: concurrency
#include "server/LineWriter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantrel::server {
namespace {

using namespace std::chrono_literals;

// A host that takes the first write only when let, and records every write.
struct SlowHost {
  std::mutex lock; // guards all below
  std::condition_variable changed;
  bool writing = false, letGo = false;
  std::vector<std::string> writes;

  LineWriter::Sink sink() {
    return [this](std::string_view bytes) {
      std::unique_lock guard(lock);
      if (writes.empty()) {
        writing = true;
        changed.notify_all();
        changed.wait(guard, [this] { return letGo; });
      }
      writes.emplace_back(bytes);
      return true;
    };
  }
};

// The reading thread's answer while a tool's long line is being written is left to that writer:
// the reader goes on at once, and the line still leaves after the long one, whole.
TEST(LineWriterTest, TheReadersLineIsLeftToTheWriterHoldingTheOutput) {
  SlowHost host;
  LineWriter writer(host.sink(), [](std::string_view) { return true; });
  const std::string longLine(200 * 1024, 'l');
  std::thread tool([&] { writer.send(std::vector<std::string_view>{longLine, "\n"}); });
  {
    std::unique_lock guard(host.lock);
    ASSERT_TRUE(host.changed.wait_for(guard, 15s, [&] { return host.writing; }));
  }
  writer.send(std::optional<std::string>("{\"id\":0}")); // returns though the output is held
  {
    std::lock_guard guard(host.lock);
    host.letGo = true;
  }
  host.changed.notify_all();
  tool.join();
  std::lock_guard guard(host.lock);
  ASSERT_EQ(host.writes.size(), 3u);
  EXPECT_EQ(host.writes[0], longLine);
  EXPECT_EQ(host.writes[1], "\n");
  EXPECT_EQ(host.writes[2], "{\"id\":0}\n");
}

} // namespace
} // namespace vantrel::server
