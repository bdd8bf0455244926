// The three imports, add_note and save_transcript through the real binary and a fake Bridge.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;

constexpr const char* kMissingShortID = "缺少参数 shortID";
constexpr const char* kMissingText = "缺少参数 text（转写文本不能为空）";

json manyPaths(int count) {
  json paths = json::array();
  for (int i = 0; i < count; ++i)
    paths.push_back("/Users/me/图片/" + std::to_string(i) + ".jpg");
  return paths;
}

TEST(WriteToolsTest, ImportsForwardTheArgumentsUntouched) {
  ToolHarness h;
  const std::string reply = R"({"shortID":"new1","alreadyImported":false})";
  for (const char* path : {"/assets/import-link", "/assets/import-file", "/assets/create-gallery"})
    h.bridge().on("POST", path, Reply{.body = reply});

  const struct {
    const char* tool;
    const char* path;
    json arguments;
  } cases[] = {
      {"import_from_link",
       "/assets/import-link",
       {{"url", "https://v.douyin.com/abc/"}, {"title", "标题"}}},
      // Members the schema does not list, and ones the Bridge will refuse, still travel.
      {"import_from_link",
       "/assets/import-link",
       {{"url", "https://b23.tv/x?a=1&b=2"}, {"tags", {"旅行"}}, {"nested", {{"k", nullptr}}}}},
      {"import_from_link", "/assets/import-link", json::object()},
      {"import_file", "/assets/import-file", {{"path", 123}}},
      {"import_file", "/assets/import-file", {{"path", "/Users/me/视频 1.mp4"}, {"title", "t"}}},
      {"create_gallery",
       "/assets/create-gallery",
       {{"paths", manyPaths(150)}, {"description", "不会写进正文"}, {"title", "图集"}}},
      {"create_gallery", "/assets/create-gallery", {{"title", "no paths"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.arguments.dump().substr(0, 120));
    auto x = h.call(c.tool, c.arguments);
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isPost(x.requests[0], c.path, c.arguments));
    EXPECT_TRUE(isReport(x.report, c.tool, true, 200, "none"));
  }
  // No arguments at all is an empty object on the wire, not null or nothing.
  auto empty = h.call("import_from_link", json::object());
  ASSERT_EQ(empty.requests.size(), 1u);
  EXPECT_EQ(empty.requests[0].body, "{}");
}

TEST(WriteToolsTest, AddNoteNamesTheCardInThePathAndForwardsTheArguments) {
  ToolHarness h;
  const std::string reply = R"({"noteID":"n-7"})";
  h.bridge().on("POST", "/assets/v1/notes", Reply{.body = reply});

  const json observation = {{"shortID", "v1"},        {"content", "画面里有猫"},
                            {"kind", "observation"},  {"timestamp", 12.5},
                            {"time_source", "frame"}, {"tags", {"x"}},
                            {"client", "agent-own"}};
  const struct {
    json arguments;
    const char* rawPath;
  } cases[] = {
      // Without an initialize the agent's own "client" travels as it is.
      {observation, "/assets/v1/notes"},
      // Nothing to name the card: the path keeps an empty segment and the Bridge answers.
      {json::object(), "/assets//notes"},
      {{{"shortID", 42}, {"content", "c"}}, "/assets//notes"},
      {{{"shortID", "卡 1"}, {"kind", "ai_board"}, {"title", "总结"}},
       "/assets/%E5%8D%A1%201/notes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump());
    auto x = h.call("add_note", c.arguments);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isPost(x.requests[0], c.rawPath, c.arguments));
    EXPECT_FALSE(x.isError);
    EXPECT_TRUE(isReport(x.report, "add_note", true, 200, "none"));
  }
  auto first = h.call("add_note", observation);
  EXPECT_EQ(first.text, reply);
  EXPECT_FALSE(first.isError);
}

TEST(WriteToolsTest, AddNoteCarriesTheClientNameFromTheLastInitialize) {
  ToolHarness h;
  const json own = {{"shortID", "v1"}, {"content", "c"}, {"client", "agent-own"}};
  auto sentBody = [&](const json& arguments) {
    auto x = h.call("add_note", arguments);
    return x.requests.size() == 1 ? x.requests[0].json() : json();
  };
  auto with = [](json body, const char* client) {
    body["client"] = client;
    return body;
  };

  h.initialize({{"name", "claude-code"}, {"version", "1.2"}});
  EXPECT_EQ(sentBody(own), with(own, "claude-code")) << "the recorded name replaces the agent's";
  EXPECT_EQ(sentBody(json::object()), json({{"client", "claude-code"}}));

  // Without clientInfo (or with one that is not an object) the name stays.
  h.initialize(nullptr);
  h.initialize("not-an-object");
  EXPECT_EQ(sentBody(own), with(own, "claude-code"));

  // An empty name adds nothing; neither does a name that is not a string (it clears the old one).
  h.initialize({{"name", ""}});
  EXPECT_EQ(sentBody(own), own);
  h.initialize({{"name", "cursor"}});
  EXPECT_EQ(sentBody(json::object()), json({{"client", "cursor"}}));
  h.initialize({{"name", 5}});
  EXPECT_EQ(sentBody(json::object()), json::object());
}

TEST(WriteToolsTest, SaveTranscriptChecksCardThenTextLocally) {
  ToolHarness h;
  h.initialize({{"name", "claude-code"}});
  const struct {
    json arguments;
    const char* text;
  } cases[] = {
      {json::object(), kMissingShortID},
      {{{"text", "有内容"}}, kMissingShortID},
      {{{"shortID", ""}, {"text", "有内容"}}, kMissingShortID},
      {{{"shortID", 7}, {"text", "有内容"}}, kMissingShortID},
      {{{"shortID", "v1"}}, kMissingText},
      {{{"shortID", "v1"}, {"text", ""}}, kMissingText},
      {{{"shortID", "v1"}, {"text", " \t\n\r\v\f "}}, kMissingText},
      {{{"shortID", "v1"}, {"text", "\u3000\u3000"}}, kMissingText},
      {{{"shortID", "v1"}, {"text", "\n\u3000 \t"}}, kMissingText},
      {{{"shortID", "v1"}, {"text", 5}}, kMissingText},
      {{{"shortID", "v1"}, {"text", nullptr}}, kMissingText},
      {{{"shortID", "v1"}, {"text", {"字"}}}, kMissingText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump());
    auto x = h.call("save_transcript", c.arguments);
    EXPECT_EQ(x.text, c.text);
    EXPECT_TRUE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, "save_transcript", false, 0, "client_arg"));
  }
}

TEST(WriteToolsTest, SaveTranscriptSendsTheTextAsGivenAndOverwriteOnlyWhenAsked) {
  ToolHarness h;
  h.initialize({{"name", "claude-code"}}); // the client name belongs to notes, not transcripts
  const std::string reply = R"({"saved":true,"chars":9})";
  h.bridge().on("POST", "/assets/v1/transcript", Reply{.body = reply});

  const std::string text = "  第一句\n第二句\u3000\t";
  const struct {
    json arguments;
    json body;
  } cases[] = {
      {{{"shortID", "v1"}, {"text", text}, {"tags", {"x"}}, {"client", "c"}}, {{"text", text}}},
      {{{"shortID", "v1"}, {"text", "x"}, {"overwrite", true}},
       {{"text", "x"}, {"overwrite", true}}},
      {{{"shortID", "v1"}, {"text", "x"}, {"overwrite", "TRUE"}},
       {{"text", "x"}, {"overwrite", true}}},
      {{{"shortID", "v1"}, {"text", "x"}, {"overwrite", false}}, {{"text", "x"}}},
      {{{"shortID", "v1"}, {"text", "x"}, {"overwrite", "yes"}}, {{"text", "x"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.dump());
    auto x = h.call("save_transcript", c.arguments);
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isPost(x.requests[0], "/assets/v1/transcript", c.body));
    EXPECT_TRUE(isReport(x.report, "save_transcript", true, 200, "none"));
  }
}

TEST(WriteToolsTest, SaveTranscriptConflictCanBeOverriddenByTheAgent) {
  ToolHarness h;
  const std::string conflict = R"({"error":"已有腾讯云转写","hint":"overwrite=true"})";
  h.bridge().on(
      "POST", "/assets/v9/transcript",
      std::vector<Reply>{{.status = 409, .body = conflict}, {.body = R"({"saved":true})"}});

  auto refused = h.call("save_transcript", {{"shortID", "v9"}, {"text", "新转写"}});
  EXPECT_EQ(refused.text, "Bridge 返回 409：" + conflict);
  EXPECT_TRUE(refused.isError);
  EXPECT_TRUE(isReport(refused.report, "save_transcript", false, 409, "conflict"));

  auto confirmed =
      h.call("save_transcript", {{"shortID", "v9"}, {"text", "新转写"}, {"overwrite", true}});
  EXPECT_EQ(confirmed.text, R"({"saved":true})");
  EXPECT_FALSE(confirmed.isError);
  ASSERT_EQ(confirmed.requests.size(), 1u);
  EXPECT_TRUE(isPost(confirmed.requests[0], "/assets/v9/transcript",
                     {{"text", "新转写"}, {"overwrite", true}}));
}

} // namespace
} // namespace vantrel::testing
