// Labels: concurrency
#include "server/LineWriter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
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

// A short line sent while a tool's long line is being written is left to that writer, whether
// it is the reading thread's own answer or a short tool answer (a lone call answers on the
// reading thread's context): the sender goes on at once, and the line still leaves after the
// long one, whole.
TEST(LineWriterTest, AShortLineIsLeftToTheWriterHoldingTheOutput) {
  const std::string toolPiece = "{\"id\":1,";
  for (bool fromTool : {false, true}) {
    SCOPED_TRACE(fromTool ? "a short tool answer" : "the reader's own answer");
    SlowHost host;
    LineWriter writer(host.sink(), [](std::string_view) { return true; });
    const std::string longLine(200 * 1024, 'l');
    std::thread tool([&] { writer.send(std::vector<std::string_view>{longLine, "\n"}); });
    {
      std::unique_lock guard(host.lock);
      ASSERT_TRUE(host.changed.wait_for(guard, 15s, [&] { return host.writing; }));
    }
    auto sent = std::async(std::launch::async, [&] {
      if (fromTool)
        writer.send(std::vector<std::string_view>{toolPiece, "\"x\":2}", "\n"});
      else
        writer.send(std::optional<std::string>("{\"id\":0}"));
    });
    EXPECT_EQ(sent.wait_for(5s), std::future_status::ready) << "it waited for the long line";
    {
      std::lock_guard guard(host.lock);
      host.letGo = true;
    }
    host.changed.notify_all();
    sent.wait();
    tool.join();
    std::lock_guard guard(host.lock);
    ASSERT_EQ(host.writes.size(), 3u);
    EXPECT_EQ(host.writes[0], longLine);
    EXPECT_EQ(host.writes[1], "\n");
    EXPECT_EQ(host.writes[2], fromTool ? "{\"id\":1,\"x\":2}\n" : "{\"id\":0}\n");
  }
}

} // namespace
} // namespace vantrel::server
