// get_guide, search_assets, get_asset and get_events through the real binary and a fake Bridge.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;

constexpr const char* kMissingShortID = "缺少参数 shortID";

struct QueryCase {
  const char* arguments;
  QueryItems items; // decoded, in the order they must stand in the raw query
};

TEST(QueryToolsTest, SearchAssetsSendsOnlyUsableKeysOnceInKeyOrder) {
  ToolHarness h;
  // Odd spacing and Chinese: the agent must get the reply byte for byte.
  const std::string reply =
      R"({ "items" : [ {"shortID":"v1","displayTitle":"猫 的视频"} ],"n":1 })";
  h.bridge().on("GET", "/assets", Reply{.body = reply});

  const QueryCase cases[] = {
      {R"({})", {}},
      {R"({"query":"猫","hasNotes":true,"limit":"50","offset":0})",
       {{"hasNotes", "true"}, {"limit", "50"}, {"offset", "0"}, {"query", "猫"}}},
      // All eight at once, plus a key nobody reads; values that would split an item if sent raw.
      {R"({"tag":"旅行 日记","sortKey":"title","query":"a b&c=d+e#f","offset":-1,"mediaKind":"video",
          "limit":1000,"hasNotes":"TRUE","ascending":true,"shortID":"x"})",
       {{"ascending", "true"},
        {"hasNotes", "true"},
        {"limit", "1000"},
        {"mediaKind", "video"},
        {"offset", "-1"},
        {"query", "a b&c=d+e#f"},
        {"sortKey", "title"},
        {"tag", "旅行 日记"}}},
      // false in any form, fractional limits, a numeric tag: left out; the empty query stays.
      {R"({"hasNotes":false,"ascending":"false","limit":20.5,"offset":"20.5","tag":5,"query":""})",
       {{"query", ""}}},
      // Values outside the enums go as they are; integral numbers and strict digit strings count.
      {R"({"mediaKind":"audio","sortKey":"bogus","limit":20.0,"offset":"007"})",
       {{"limit", "20"}, {"mediaKind", "audio"}, {"offset", "7"}, {"sortKey", "bogus"}}},
      {R"({"hasNotes":"1","ascending":" true","limit":"2e1","offset":" 3","query":null,
          "mediaKind":["video"],"sortKey":{"k":1}})",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    auto x = h.call("search_assets", json::parse(c.arguments));
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], "/assets", c.items));
    EXPECT_TRUE(isReport(x.report, "search_assets", true, 200, "none"));
  }
}

TEST(QueryToolsTest, GetEventsSendsSinceOnlyWhenItIsAnInteger) {
  ToolHarness h;
  const std::string reply = R"({"cursor":42,"events":[],"truncated":false})";
  h.bridge().on("GET", "/events", Reply{.body = reply});

  const QueryCase cases[] = {
      {R"({"since":"17"})", {{"since", "17"}}},
      {R"({"since":17})", {{"since", "17"}}},
      {R"({"since":-3})", {{"since", "-3"}}},
      {R"({})", {}},
      {R"({"since":"abc"})", {}},
      {R"({"since":1.5})", {}},
      {R"({"since":null})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    auto x = h.call("get_events", json::parse(c.arguments));
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], "/events", c.items));
  }
}

TEST(QueryToolsTest, GetAssetPutsTheCardInThePathPercentEncoded) {
  ToolHarness h;
  const std::string reply = R"({"shortID":"abc","title":"标题","notes":[]})";
  h.bridge().on("GET", "/assets/abc", Reply{.body = reply});

  auto plain = h.call("get_asset", {{"shortID", "abc"}, {"ignored", true}});
  EXPECT_EQ(plain.text, reply);
  EXPECT_FALSE(plain.isError);
  ASSERT_EQ(plain.requests.size(), 1u);
  EXPECT_TRUE(isGet(plain.requests[0], "/assets/abc", {}));
  EXPECT_TRUE(isReport(plain.report, "get_asset", true, 200, "none"));

  // A space, "?" and Chinese are encoded inside the path and never start a query; blanks count as
  // a card name (no trimming).
  const struct {
    const char* shortID;
    const char* rawPath;
  } encoded[] = {
      {"a b?c", "/assets/a%20b%3Fc"},
      {"猫", "/assets/%E7%8C%AB"},
      {"  ", "/assets/%20%20"},
  };
  for (const auto& c : encoded) {
    SCOPED_TRACE(c.shortID);
    auto x = h.call("get_asset", {{"shortID", c.shortID}});
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], c.rawPath, {}));
    EXPECT_EQ(x.requests[0].decodedPath, std::string("/assets/") + c.shortID);
  }
}

TEST(QueryToolsTest, GetAssetWithoutAUsableCardAnswersLocally) {
  ToolHarness h;
  for (const char* arguments :
       {R"({})", R"({"shortID":42})", R"({"shortID":""})", R"({"shortID":null})",
        R"({"shortID":["abc"]})", R"({"shortid":"abc"})"}) {
    SCOPED_TRACE(arguments);
    auto x = h.call("get_asset", json::parse(arguments));
    EXPECT_EQ(x.text, kMissingShortID);
    EXPECT_TRUE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, "get_asset", false, 0, "client_arg"));
  }
}

TEST(QueryToolsTest, GetAssetRefusalComesBackAsTheBridgeSaidIt) {
  ToolHarness h;
  h.bridge().on("GET", "/assets/gone", Reply{.status = 404, .body = R"({"error":"找不到卡片"})"});

  auto x = h.call("get_asset", {{"shortID", "gone"}});
  EXPECT_EQ(x.text, R"(Bridge 返回 404：{"error":"找不到卡片"})");
  EXPECT_TRUE(x.isError);
  ASSERT_EQ(x.requests.size(), 1u) << "a 404 is not retried";
  EXPECT_TRUE(isReport(x.report, "get_asset", false, 404, "not_found"));
}

TEST(QueryToolsTest, GetGuideReturnsTheFileExactlyAndNeverAsksTheBridge) {
  ToolHarness h;
  const std::string guide = "# 砚舟 agent 规范\r\n\n  写入通道：add_note  \n\t末尾没有换行";
  h.dir().writeFile("agent-guide.md", guide);

  for (const char* arguments : {R"({})", R"({"shortID":"x","anything":[1,2]})"}) {
    SCOPED_TRACE(arguments);
    auto x = h.call("get_guide", json::parse(arguments));
    EXPECT_EQ(x.text, guide);
    EXPECT_FALSE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, "get_guide", true, 200, "none"));
  }

  // Read afresh on every call: a rewritten guide shows at once, a removed one gives the message.
  h.dir().writeFile("agent-guide.md", "v2");
  EXPECT_EQ(h.call("get_guide", json::object()).text, "v2");
  h.dir().removeFile("agent-guide.md");
  auto missing = h.call("get_guide", json::object());
  EXPECT_EQ(missing.text, "未找到指导文档。砚舟 app 首次启动会生成 agent-guide.md；请先启动砚舟。");
  EXPECT_FALSE(missing.isError);
  EXPECT_TRUE(missing.requests.empty());
  EXPECT_TRUE(isReport(missing.report, "get_guide", true, 200, "none"));
}

TEST(QueryToolsTest, GetGuideWorksWhileTheHostAppIsNotRunning) {
  ToolHarness h(/*withToken=*/false);
  h.dir().writeFile("agent-guide.md", "guide", /*inBundle=*/false);
  auto x = h.call("get_guide", json::object(), std::chrono::milliseconds(300));
  EXPECT_EQ(x.text, "guide");
  EXPECT_FALSE(x.isError);
  EXPECT_TRUE(h.bridge().requests().empty());
}

} // namespace
} // namespace vantrel::testing
