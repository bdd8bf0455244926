#include "server/Responder.h"

#include "common/ReplyLimit.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <vector>

namespace vantrel::server {
namespace {

// A Responder for call id 7 over sinks that keep what was written, with `pending` entered.
struct Harness {
  std::vector<std::string> out, err;
  std::shared_ptr<LineWriter> writer = std::make_shared<LineWriter>(
      [this](std::string_view bytes) {
        out.emplace_back(bytes);
        return true;
      },
      [this](std::string_view bytes) {
        err.emplace_back(bytes);
        return true;
      });
  std::shared_ptr<TaskGroup> pending = std::make_shared<TaskGroup>();

  Responder make() {
    pending->enter();
    return Responder("7", writer, pending);
  }
  // The text and error flag of the one response line, which must be for id 7.
  std::pair<std::string, bool> answered() const {
    EXPECT_EQ(out.size(), 1u);
    if (out.empty())
      return {};
    EXPECT_EQ(out[0].back(), '\n');
    auto line = nlohmann::json::parse(out[0]);
    EXPECT_EQ(line["id"], 7);
    return {line["result"]["content"][0]["text"], line["result"]["isError"]};
  }
};

TEST(ResponderTest, AnswersOnceAndThenLeavesPending) {
  Harness h;
  {
    Responder responder = h.make();
    Responder moved = std::move(responder); // into the task: only the task's copy answers
    moved.answer(ToolResult::ok("done"));
    EXPECT_FALSE(h.pending->empty())
        << "left when the Responder goes, after what follows the answer";
  }
  EXPECT_TRUE(h.pending->empty());
  EXPECT_EQ(h.answered(), std::make_pair(std::string("done"), false));
  EXPECT_TRUE(h.err.empty());
}

TEST(ResponderTest, DroppedUnansweredStillAnswers) {
  Harness h;
  { Responder responder = h.make(); } // the task died before answering
  EXPECT_EQ(h.answered(), std::make_pair(std::string("内部错误"), true));
  EXPECT_TRUE(h.pending->empty()) << "the drain at end of input would wait forever";
}

TEST(ResponderTest, UnserialisableResultIsAnsweredWithTheFallback) {
  Harness h;
  Responder responder = h.make();
  responder.answer(ToolResult::ok("\xff\xfe not UTF-8"));
  EXPECT_EQ(h.answered(), std::make_pair(std::string("内部错误"), true));
  EXPECT_EQ(h.err, std::vector<std::string>{"vantrel-mcp: 内部错误：响应序列化失败\n"});
}

// However the text came to be that long (a reply with a long id, a guide), a line the host would
// end the session on is never written: the refusal goes instead, and the caller learns what was
// sent for its usage report.
TEST(ResponderTest, ALineLongerThanTheHostTakesIsAnsweredWithTheRefusal) {
  Harness h;
  Responder responder = h.make();
  ToolResult result = ToolResult::ok(std::string(kMaxResponseLine, 'g'));
  responder.answer(result);
  auto [text, isError] = h.answered();
  EXPECT_TRUE(isError);
  EXPECT_TRUE(
      text.starts_with("Bridge 的回复过大：共 " + std::to_string(kMaxResponseLine) + " 字节，"))
      << text;
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.text.plain(), text);
  EXPECT_LE(h.out[0].size(), kMaxResponseLine);
}

TEST(ResponderTest, SecondAnswerIsABug) {
  Harness h;
  Responder responder = h.make();
  responder.answer(ToolResult::ok("first"));
  EXPECT_DEBUG_DEATH(responder.answer(ToolResult::ok("second")), "answered twice");
  EXPECT_EQ(h.answered(), std::make_pair(std::string("first"), false));
}

} // namespace
} // namespace vantrel::server
