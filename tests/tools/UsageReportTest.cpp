// The usage report posted to "/telemetry" after every tool call, seen by a fake Bridge.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel::testing {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

TEST(UsageReportTest, OneReportPerCallCarryingNoArgumentValues) {
  ToolHarness h;
  h.initialize({{"name", "SECRET-CLIENT"}});
  h.dir().writeFile("agent-guide.md", "guide");
  const struct {
    const char* tool;
    json arguments;
  } calls[] = {
      {"get_guide", json::object()},
      {"get_asset", {{"shortID", "SECRET-ID"}}},
      {"add_note", {{"shortID", "SECRET-ID"}, {"content", "SECRET-TEXT"}}},
      {"save_transcript", {{"shortID", "SECRET-ID"}, {"text", "SECRET-TEXT"}}},
      {"save_transcript", {{"shortID", "SECRET-ID"}, {"text", " "}}},
      {"search_assets", {{"query", "SECRET-TEXT"}, {"tag", "SECRET-TEXT"}}},
      {"extract_audio", {{"shortID", "SECRET-ID"}, {"format", "SECRET-TEXT"}}},
      {"import_from_link", {{"url", "https://SECRET-TEXT"}}},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.tool);
    auto x = h.call(c.tool, c.arguments);
    EXPECT_TRUE(isReport(x.report, c.tool, !x.isError, x.isError ? 0 : 200,
                         x.isError ? "client_arg" : "none"));
  }
  // Give a stray second report time to show up.
  std::this_thread::sleep_for(milliseconds(400));
  auto sent = h.bridge().requestsTo("/telemetry");
  ASSERT_EQ(sent.size(), std::size(calls));
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(sent[i].body);
    EXPECT_TRUE(isPost(sent[i], "/telemetry", sent[i].json()));
    EXPECT_EQ(sent[i].body.find("SECRET"), std::string::npos);
  }
}

TEST(UsageReportTest, UnknownNamesAreAnsweredAndReportedExactlyAsSent) {
  ToolHarness h;
  for (const char* name : {"no_such_tool", "Get_Guide", " get_guide", "get_guide ", "", "工具"}) {
    SCOPED_TRACE(std::string("[") + name + "]");
    auto x = h.call(name, {{"shortID", "v1"}});
    EXPECT_EQ(x.text, std::string("未知工具：") + name);
    EXPECT_TRUE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, name, false, 0, "client_arg"));
  }
}

TEST(UsageReportTest, BridgeRefusalsReachTheAgentAndClassifyTheReport) {
  ToolHarness h;
  const struct {
    const char* tool;
    json arguments;
    const char* method;
    const char* path;
    int status;
    const char* err;
    std::size_t attempts; // a 401 is tried once more with the token read again
  } cases[] = {
      {"extract_audio", {{"shortID", "img1"}}, "GET", "/assets/img1/audio", 400, "bad_request", 1},
      {"get_asset", {{"shortID", "v1"}}, "GET", "/assets/v1", 401, "auth", 2},
      {"ai_export", {{"shortID", "v1"}}, "GET", "/ai/export", 403, "http403", 1},
      {"get_events", json::object(), "GET", "/events", 404, "not_found", 1},
      {"add_note", {{"shortID", "v1"}}, "POST", "/assets/v1/notes", 409, "conflict", 1},
      {"import_file", {{"path", "/big.mov"}}, "POST", "/assets/import-file", 413, "payload", 1},
      {"ai_settle", json::object(), "POST", "/ai/settle", 500, "server", 1},
      {"search_assets", json::object(), "GET", "/assets", 502, "http502", 1},
      {"create_gallery", json::object(), "POST", "/assets/create-gallery", 201, "http201", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    const std::string body = std::string(R"({"error":"拒绝 )") + c.err + "\"}";
    h.bridge().on(c.method, c.path, Reply{.status = c.status, .body = body});
    auto x = h.call(c.tool, c.arguments);
    EXPECT_EQ(x.text, "Bridge 返回 " + std::to_string(c.status) + "：" + body);
    EXPECT_TRUE(x.isError);
    EXPECT_EQ(x.requests.size(), c.attempts);
    EXPECT_TRUE(isReport(x.report, c.tool, false, c.status, c.err));
  }
}

TEST(UsageReportTest, ConnectionFailureIsAClientSideError) {
  ToolHarness h;
  h.bridge().on("GET", "/events", Reply{.drop = true});
  auto x = h.call("get_events", json::object());
  EXPECT_TRUE(x.text.starts_with("连接 Bridge 失败：")) << x.text;
  EXPECT_TRUE(x.text.ends_with("。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。"))
      << x.text;
  EXPECT_TRUE(x.isError);
  EXPECT_EQ(x.requests.size(), 2u);
  EXPECT_TRUE(isReport(x.report, "get_events", false, 0, "client_arg"));
}

TEST(UsageReportTest, NothingReachesAnyoneWhileTheHostAppIsNotRunning) {
  ToolHarness h(/*withToken=*/false);
  for (const char* tool : {"get_asset", "add_note", "ai_settle"}) {
    SCOPED_TRACE(tool);
    auto x = h.call(tool, {{"shortID", "v1"}}, milliseconds(200));
    EXPECT_EQ(x.text, "砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。");
    EXPECT_TRUE(x.isError);
  }
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(h.bridge().requests().empty());
}

TEST(UsageReportTest, DurationCountsTheBridgeExchange) {
  ToolHarness h;
  h.bridge().on("GET", "/events", Reply{.delay = milliseconds(120)});
  auto slow = h.call("get_events", json::object());
  ASSERT_TRUE(isReport(slow.report, "get_events", true, 200, "none"));
  EXPECT_GE(slow.report["durMs"].get<long long>(), 120);
  EXPECT_LT(slow.report["durMs"].get<long long>(), 10000);

  auto local = h.call("get_asset", json::object());
  ASSERT_TRUE(isReport(local.report, "get_asset", false, 0, "client_arg"));
  EXPECT_LT(local.report["durMs"].get<long long>(), 120);
}

TEST(UsageReportTest, SlowReportDelaysNeitherResultsNorExit) {
  ToolHarness h;
  h.bridge().on("POST", "/telemetry", Reply{.delay = std::chrono::seconds(3)});
  const std::string reply = R"({"cursor":1})";
  h.bridge().on("GET", "/events", Reply{.body = reply});

  constexpr int kCalls = 6;
  for (int i = 0; i < kCalls; ++i) {
    auto start = Clock::now();
    auto result = h.process().callTool("get_events", json::object(), 100 + i);
    EXPECT_LT(msSince(start), 1500) << "call " << i;
    EXPECT_EQ(toolText(result).text, reply);
  }
  // The reports did go out (they are recorded on arrival, before the fake's delay).
  EXPECT_TRUE(h.bridge().waitForRequests("/telemetry", kCalls, std::chrono::seconds(5)));

  // Reports still in flight do not hold the process at end of input.
  auto start = Clock::now();
  auto rest = h.process().finish();
  EXPECT_LT(msSince(start), 2500);
  EXPECT_TRUE(rest.empty());
  EXPECT_EQ(h.process().exitStatus(), 0);
}

TEST(UsageReportTest, HadTranscriptMarksAudioOnlyForCardsShownWithATranscript) {
  ToolHarness h;
  auto asset = [&](const std::string& shortID, Reply reply) {
    h.bridge().on("GET", "/assets/" + shortID, std::move(reply));
  };
  // t1 first comes with a null transcript, later without the member: it stays recorded.
  h.bridge().on("GET", "/assets/t1",
                std::vector<Reply>{{.body = R"({"shortID":"t1","transcriptText":null})"},
                                   {.body = R"({"shortID":"t1"})"}});
  asset("t2", {.body = R"({"shortID":"t2","transcriptText":"你好"})"});
  asset("n1", {.body = R"({"shortID":"n1","title":"transcriptText"})"});
  asset("f1", {.status = 404, .body = R"({"transcriptText":"x"})"});
  asset("nest", {.body = R"({"data":{"transcriptText":"x"}})"});
  asset("arr", {.body = R"([{"transcriptText":"x"}])"});
  asset("bad", {.body = R"(transcriptText: x)"});
  h.bridge().on("GET", "/assets/t2/audio", Reply{.status = 400, .body = "{}"});

  auto audioReport = [&](const char* shortID) {
    return h.call("extract_audio", {{"shortID", shortID}}).report;
  };
  for (const char* card : {"t1", "t2", "n1", "f1", "nest", "arr", "bad"})
    EXPECT_FALSE(h.call("get_asset", {{"shortID", card}}).report.contains("hadTranscript")) << card;

  EXPECT_TRUE(isReport(audioReport("t1"), "extract_audio", true, 200, "none", true));
  // The flag follows the card, not the outcome of the audio request.
  EXPECT_TRUE(isReport(audioReport("t2"), "extract_audio", false, 400, "bad_request", true));
  for (const char* card : {"n1", "f1", "nest", "arr", "bad", "T1", "t1 ", "other"}) {
    SCOPED_TRACE(card);
    EXPECT_TRUE(isReport(audioReport(card), "extract_audio", true, 200, "none"));
  }
  // Other tools on a recorded card never carry the member.
  auto frames = h.call("extract_frames", {{"shortID", "t1"}, {"t", 1}});
  EXPECT_TRUE(isReport(frames.report, "extract_frames", true, 200, "none"));
  auto again = h.call("get_asset", {{"shortID", "t1"}}); // now without transcriptText
  EXPECT_TRUE(isReport(again.report, "get_asset", true, 200, "none"));
  EXPECT_TRUE(isReport(audioReport("t1"), "extract_audio", true, 200, "none", true));

  // Saving a transcript does not record the card.
  auto saved = h.call("save_transcript", {{"shortID", "s1"}, {"text", "转写"}});
  EXPECT_FALSE(saved.isError);
  EXPECT_TRUE(isReport(audioReport("s1"), "extract_audio", true, 200, "none"));
}

} // namespace
} // namespace vantrel::testing
