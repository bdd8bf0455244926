// One agent session from handshake to frame extraction, as an agent host would drive it.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;

TEST(AgentSessionTest, ReadsTheGuideFindsACardNotesItAndLooksAtFrames) {
  ToolHarness h;
  const std::string guide = "# 砚舟 agent 规范\n先读转写，再抽帧。\n";
  h.dir().writeFile("agent-guide.md", guide);
  const std::string found = R"({"items":[{"shortID":"v1","displayTitle":"猫咪视频"}],"total":1})";
  const std::string card =
      R"({"shortID":"v1","durationSeconds":61.5,"transcriptText":"猫跳上桌子","_guide":{}})";
  const std::string noted = R"({"noteID":"n1","count":3})";
  const std::string frames = R"({"frames":[{"path":"/f/12.4.jpg","actualSeconds":12.4}]})";
  h.bridge().on("GET", "/assets", Reply{.body = found});
  h.bridge().on("GET", "/assets/v1", Reply{.body = card});
  h.bridge().on("POST", "/assets/v1/notes", Reply{.body = noted});
  h.bridge().on("GET", "/assets/v1/frames", Reply{.body = frames});

  auto hello = h.initialize({{"name", "claude-code"}, {"version", "2.0"}});
  EXPECT_EQ(hello["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(hello["result"]["serverInfo"], json({{"name", "vantrel-mcp"}, {"version", "1.0.0"}}));
  h.process().send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});

  auto list = h.process().request({{"jsonrpc", "2.0"}, {"id", "list"}, {"method", "tools/list"}});
  EXPECT_EQ(list["id"], "list");
  std::vector<std::string> names;
  for (const auto& tool : list["result"]["tools"])
    names.push_back(tool["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "get_guide", "search_assets", "get_asset", "get_events", "import_from_link",
                       "import_file", "create_gallery", "add_note", "extract_audio",
                       "save_transcript", "extract_frames", "ai_export", "ai_settle"}));

  auto guideCall = h.call("get_guide", json::object());
  EXPECT_EQ(guideCall.text, guide);
  EXPECT_TRUE(guideCall.requests.empty());

  auto search = h.call("search_assets", {{"query", "猫"}, {"limit", 5}});
  EXPECT_EQ(search.text, found);
  ASSERT_EQ(search.requests.size(), 1u);
  EXPECT_TRUE(isGet(search.requests[0], "/assets", {{"limit", "5"}, {"query", "猫"}}));

  auto detail = h.call("get_asset", {{"shortID", "v1"}});
  EXPECT_EQ(detail.text, card);
  ASSERT_EQ(detail.requests.size(), 1u);
  EXPECT_TRUE(isGet(detail.requests[0], "/assets/v1", {}));

  const json note = {{"shortID", "v1"},
                     {"kind", "observation"},
                     {"timestamp", 12.4},
                     {"time_source", "frame"},
                     {"content", "猫在 12.4 秒跳上桌子"}};
  auto added = h.call("add_note", note);
  EXPECT_EQ(added.text, noted);
  ASSERT_EQ(added.requests.size(), 1u);
  json withClient = note;
  withClient["client"] = "claude-code";
  EXPECT_TRUE(isPost(added.requests[0], "/assets/v1/notes", withClient));

  auto looked = h.call("extract_frames", {{"shortID", "v1"}, {"times", {12.4, "13"}}});
  EXPECT_EQ(looked.text, frames);
  ASSERT_EQ(looked.requests.size(), 1u);
  EXPECT_TRUE(isGet(looked.requests[0], "/assets/v1/frames", {{"times", "12.4,13.0"}}));

  for (const auto* x : {&guideCall, &search, &detail, &added, &looked})
    EXPECT_FALSE(x->isError) << x->text;

  // The Bridge saw the four tool requests and one report per call, nothing else.
  EXPECT_EQ(h.toolRequests().size(), 4u);
  auto reports = h.reports();
  ASSERT_EQ(reports.size(), 5u);
  const char* tools[] = {"get_guide", "search_assets", "get_asset", "add_note", "extract_frames"};
  for (std::size_t i = 0; i < reports.size(); ++i)
    EXPECT_TRUE(isReport(reports[i], tools[i], true, 200, "none")) << tools[i];

  EXPECT_TRUE(h.process().finish().empty());
  EXPECT_EQ(h.process().exitStatus(), 0);
  EXPECT_EQ(h.process().stderrText(), "");
}

} // namespace
} // namespace vantrel::testing
