// ai_export and ai_settle through the real binary and a fake Bridge.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;

TEST(WorksheetToolsTest, ExportNamesTheCardInTheQueryNotThePath) {
  ToolHarness h;
  const std::string reply = R"({"path":"/Users/me/AI 工作区/a.md"})";
  h.bridge().on("GET", "/ai/export", Reply{.body = reply});

  for (const char* shortID : {"abc", "a&b c", "猫=1+2#x", "  "}) {
    SCOPED_TRACE(shortID);
    auto x = h.call("ai_export", {{"shortID", shortID}, {"format", "ignored"}});
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], "/ai/export", {{"shortID", shortID}}));
    EXPECT_TRUE(isReport(x.report, "ai_export", true, 200, "none"));
  }

  for (const char* arguments : {R"({})", R"({"shortID":42})", R"({"shortID":""})"}) {
    SCOPED_TRACE(arguments);
    auto x = h.call("ai_export", json::parse(arguments));
    EXPECT_EQ(x.text, "缺少参数 shortID");
    EXPECT_TRUE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, "ai_export", false, 0, "client_arg"));
  }
}

TEST(WorksheetToolsTest, SettleSendsAnEmptyObjectWhateverTheArguments) {
  ToolHarness h;
  const std::string reply = R"({"recovered":2,"skipped":1,"failures":[]})";
  h.bridge().on("POST", "/ai/settle", Reply{.body = reply});

  for (const char* arguments :
       {R"({})", R"({"shortID":"x","force":true,"anything":[1,{"k":"v"}]})"}) {
    SCOPED_TRACE(arguments);
    auto x = h.call("ai_settle", json::parse(arguments));
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isPost(x.requests[0], "/ai/settle", json::object()));
    EXPECT_EQ(x.requests[0].body, "{}");
    EXPECT_TRUE(isReport(x.report, "ai_settle", true, 200, "none"));
  }
}

} // namespace
} // namespace vantrel::testing
