// What the registry adds to the plans, in-process: lookup by exact name, performing the plan on
// the Bridge, transcript tracking, and one usage report per call, delivered after the call.
// Labels: concurrency
#include "tools/ToolRegistry.h"

#include "support/InProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

namespace vantrel::tools {
namespace {

using bridge::HttpReply;
using bridge::HttpRequest;
using bridge::TransportFailure;
using nlohmann::json;
using testing::ScriptedOutcome;
using testing::ScriptedReply;
using vantrel::testing::ScriptedTransport;

bool isReport(const HttpRequest& request) {
  return request.target == "/telemetry";
}

// What a call gave the agent and the usage report it caused (null when none was delivered).
struct Called {
  ToolResult result;
  json report;
};

class ToolRegistryTest : public ::testing::Test {
protected:
  // Runs one call to its end, checks that it left exactly one report task behind without
  // waiting for it, then runs that task.
  Called call(const std::string& name, json arguments = json::object()) {
    const auto before = transport_->requests().size();
    ToolResult result;
    bool answered = false;
    loop_.run(registry_.call(name, std::move(arguments), [&](ToolResult& sent) {
      EXPECT_TRUE(reports_.empty()) << name << ": the report started before the answer";
      EXPECT_FALSE(std::exchange(answered, true)) << name << ": answered twice";
      result = sent;
    }));
    EXPECT_TRUE(answered) << name;
    EXPECT_EQ(reports_.size(), 1u) << name << ": one report task per call";
    for (const auto& request : since(before))
      EXPECT_FALSE(isReport(request)) << name << ": the call waited for its report";

    const auto beforeReport = transport_->requests().size();
    for (auto& task : reports_)
      loop_.run(std::move(task));
    reports_.clear();
    json report;
    for (const auto& request : since(beforeReport)) {
      EXPECT_TRUE(isReport(request) && request.method == "POST" && request.body) << request.target;
      EXPECT_TRUE(report.is_null()) << name << ": a second report";
      report = json::parse(request.body.value_or("null"));
    }
    return {std::move(result), std::move(report)};
  }

  // The requests made for tools, usage reports left out.
  std::vector<HttpRequest> toolRequests() const {
    std::vector<HttpRequest> requests;
    for (auto& request : transport_->requests())
      if (!isReport(request))
        requests.push_back(std::move(request));
    return requests;
  }

  std::vector<HttpRequest> since(std::size_t count) const {
    auto all = transport_->requests();
    return {all.begin() + static_cast<std::ptrdiff_t>(count), all.end()};
  }

  // Declared first: the transport and the report tasks belong to this loop.
  vantrel::testing::TestLoop loop_;
  // What the Bridge answers, by request target; 200 "{}" for anything else.
  std::map<std::string, ScriptedOutcome> replies_;
  std::chrono::milliseconds delay_{0}; // how long each tool exchange takes
  bool running_ = true;                // whether the host app has left its bridge.token
  std::shared_ptr<ScriptedTransport> transport_ =
      std::make_shared<ScriptedTransport>([this](const HttpRequest& request) {
        if (!isReport(request))
          std::this_thread::sleep_for(delay_);
        auto found = replies_.find(request.target);
        return found != replies_.end() ? found->second : ScriptedOutcome(ScriptedReply{200, "{}"});
      });
  std::vector<boost::asio::awaitable<void>> reports_;
  ToolRegistry registry_{
      bridge::BridgeClient(transport_,
                           [this] {
                             return running_ ? vantrel::testing::fixedCredentials()
                                             : bridge::CredentialsLookup{};
                           }),
      [this](boost::asio::awaitable<void> task) { reports_.push_back(std::move(task)); }};
};

// The report without its duration, which must be a non-negative whole number of milliseconds.
json withoutDuration(json report) {
  EXPECT_TRUE(report.contains("durMs") && report["durMs"].is_number_integer() &&
              report["durMs"].get<std::int64_t>() >= 0)
      << report;
  report.erase("durMs");
  return report;
}

json expectedReport(const std::string& tool, const ToolResult& result, const char* err) {
  return {{"tool", tool}, {"ok", !result.isError}, {"status", result.status}, {"err", err}};
}

TEST_F(ToolRegistryTest, BridgeOutcomeComesBackAsTheClientGaveIt) {
  const struct {
    ScriptedOutcome outcome;
    const char* err;
  } cases[] = {
      {ScriptedReply{200, R"({ "events" : [], "标题":"猫 的视频" })"}, "none"},
      {ScriptedReply{404, R"({"error":"找不到"})"}, "not_found"},
      {ScriptedReply{413, "too big"}, "payload"},
      {ScriptedReply{502, ""}, "http502"},
      {TransportFailure{"connect 127.0.0.1:4567: Connection refused"}, "client_arg"},
  };
  std::size_t attempts = 0;
  for (const auto& c : cases) {
    replies_["/events?since=3"] = c.outcome;
    // The same request through a bare client with the same answers: what the agent must see.
    auto bare = std::make_shared<ScriptedTransport>([&](const HttpRequest&) { return c.outcome; });
    ToolResult expected =
        loop_.run(bridge::BridgeClient(bare, [] {
                    return vantrel::testing::fixedCredentials();
                  }).request(bridge::BridgeCall::get("/events", {{"since", "3"}})));
    attempts += bare->requests().size();

    auto x = call("get_events", {{"since", "3"}});
    EXPECT_EQ(x.result, expected) << expected.text;
    EXPECT_EQ(withoutDuration(x.report), expectedReport("get_events", expected, c.err));
  }
  // Every attempt the bare client made, the registry's made too: retries are the client's.
  EXPECT_EQ(toolRequests().size(), attempts);
}

TEST_F(ToolRegistryTest, PostsCarryThePlannedBodyAndTheCurrentClientName) {
  const json note = {{"shortID", "v1"}, {"content", "c"}, {"client", "agent-own"}};
  call("add_note", note);
  registry_.setClientName("claude-code");
  call("add_note", note);
  registry_.setClientName(std::nullopt);
  call("add_note", note);

  auto requests = toolRequests();
  ASSERT_EQ(requests.size(), 3u);
  json named = note;
  named["client"] = "claude-code";
  const json bodies[] = {note, named, note};
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, "POST");
    EXPECT_EQ(requests[i].target, "/assets/v1/notes");
    EXPECT_EQ(json::parse(requests[i].body.value_or("null")), bodies[i]) << i;
  }
}

TEST_F(ToolRegistryTest, LocalAnswersNeverReachTheBridgeAndAreReportedUnderTheNameSent) {
  const struct {
    const char* name;
    json arguments;
    const char* text;
  } cases[] = {
      {"no_such_tool", {{"shortID", "v1"}}, "未知工具：no_such_tool"},
      {"Get_Guide", json::object(), "未知工具：Get_Guide"},
      {" get_guide", json::object(), "未知工具： get_guide"},
      {"get_guide ", json::object(), "未知工具：get_guide "},
      {"", json::object(), "未知工具："},
      {"工具", json::object(), "未知工具：工具"},
      {"get_asset", json::object(), "缺少参数 shortID"},
      {"save_transcript", {{"shortID", "v1"}, {"text", " "}}, "缺少参数 text（转写文本不能为空）"},
  };
  for (const auto& c : cases) {
    auto x = call(c.name, c.arguments);
    EXPECT_EQ(x.result, ToolResult::fail(c.text)) << "[" << c.name << "]";
    EXPECT_EQ(withoutDuration(x.report), expectedReport(c.name, x.result, "client_arg"));
  }
  EXPECT_TRUE(toolRequests().empty());
}

TEST_F(ToolRegistryTest, GetGuideReadsTheFileAfreshEvenWhileTheHostAppIsNotRunning) {
  vantrel::testing::SupportDir dir;
  dir.applyToThisProcess();
  const std::string guide = "# 砚舟 agent 规范\r\n\n  写入通道：add_note  \n\t末尾没有换行";
  dir.writeFile("agent-guide.md", guide);
  auto first = call("get_guide", {{"shortID", "x"}});
  EXPECT_EQ(first.result, ToolResult::ok(guide));
  EXPECT_EQ(withoutDuration(first.report), expectedReport("get_guide", first.result, "none"));

  dir.writeFile("agent-guide.md", "v2");
  running_ = false;
  auto second = call("get_guide");
  EXPECT_EQ(second.result, ToolResult::ok("v2"));
  EXPECT_TRUE(second.report.is_null()) << "no Bridge to report to";
  EXPECT_TRUE(toolRequests().empty());
}

TEST_F(ToolRegistryTest, WithoutTheHostAppOnlyTheToolsOwnFailureIsSeen) {
  running_ = false;
  auto x = call("get_asset", {{"shortID", "v1"}});
  EXPECT_EQ(x.result, ToolResult::fail(
                          "砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。"));
  EXPECT_TRUE(x.report.is_null()) << "the report is lost without a word";
  EXPECT_TRUE(transport_->requests().empty());
}

TEST_F(ToolRegistryTest, DurationCountsTheBridgeExchange) {
  delay_ = std::chrono::milliseconds(120);
  auto x = call("get_events");
  withoutDuration(x.report); // checks its form
  EXPECT_GE(x.report.value("durMs", std::int64_t{-1}), 120) << x.report;
}

TEST_F(ToolRegistryTest, HadTranscriptMarksAudioOnlyForCardsShownWithATranscript) {
  replies_["/assets/t1"] = ScriptedReply{200, R"({"shortID":"t1","transcriptText":null})"};
  replies_["/assets/t2"] = ScriptedReply{200, R"({"shortID":"t2","transcriptText":"你好"})"};
  replies_["/assets/n1"] = ScriptedReply{200, R"({"shortID":"n1","title":"transcriptText"})"};
  replies_["/assets/f1"] = ScriptedReply{404, R"({"transcriptText":"x"})"};
  // A NUL must not end the reply early: read that far, it would say there is a transcript.
  replies_["/assets/z1"] =
      ScriptedReply{200, std::string(R"({"transcriptText":"x"})") + '\0' + "x"};
  replies_["/assets/t2/audio"] = ScriptedReply{400, "{}"};

  auto audioReport = [&](const char* shortID) {
    return call("extract_audio", {{"shortID", shortID}}).report;
  };
  auto flagged = [](json report) {
    return report.contains("hadTranscript") ? report["hadTranscript"] : json();
  };

  for (const char* card : {"t1", "t2", "n1", "f1", "z1"})
    EXPECT_FALSE(call("get_asset", {{"shortID", card}}).report.contains("hadTranscript")) << card;

  EXPECT_EQ(withoutDuration(audioReport("t1")),
            json::parse(R"({"tool":"extract_audio","ok":true,"status":200,"err":"none",
                            "hadTranscript":true})"));
  // The flag follows the card, not the outcome of the audio request.
  EXPECT_EQ(withoutDuration(audioReport("t2")),
            json::parse(R"({"tool":"extract_audio","ok":false,"status":400,"err":"bad_request",
                            "hadTranscript":true})"));
  for (const char* card : {"n1", "f1", "z1", "T1", "t1 ", "other"})
    EXPECT_EQ(flagged(audioReport(card)), json()) << card;

  // Other tools on a recorded card never carry the member.
  EXPECT_EQ(flagged(call("extract_frames", {{"shortID", "t1"}, {"t", 1}}).report), json());
  EXPECT_EQ(flagged(call("ai_export", {{"shortID", "t1"}}).report), json());

  // A later reply without the member does not forget the card.
  replies_["/assets/t1"] = ScriptedReply{200, R"({"shortID":"t1"})"};
  call("get_asset", {{"shortID", "t1"}});
  EXPECT_EQ(flagged(audioReport("t1")), true);

  // Saving a transcript does not record the card.
  EXPECT_FALSE(call("save_transcript", {{"shortID", "s1"}, {"text", "转写"}}).result.isError);
  EXPECT_EQ(flagged(audioReport("s1")), json());
}

} // namespace
} // namespace vantrel::tools
