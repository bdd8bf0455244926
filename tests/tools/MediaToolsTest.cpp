// extract_audio and extract_frames through the real binary and a fake Bridge.
#include "support/ToolHarness.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;

constexpr const char* kMissingShortID = "缺少参数 shortID";
constexpr const char* kBadTimes = "times 解析失败：需要数字数组";
constexpr const char* kNoTimePoint = "缺少时间点参数：单帧用 t=12.5，多帧用 times=[1,5,9]";

struct MediaCase {
  const char* arguments;
  QueryItems items;
};

struct LocalFailure {
  const char* arguments;
  const char* text;
};

void expectLocalFailures(ToolHarness& h, const char* tool,
                         std::initializer_list<LocalFailure> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    auto x = h.call(tool, json::parse(c.arguments));
    EXPECT_EQ(x.text, c.text);
    EXPECT_TRUE(x.isError);
    EXPECT_TRUE(x.requests.empty());
    EXPECT_TRUE(isReport(x.report, tool, false, 0, "client_arg"));
  }
}

TEST(MediaToolsTest, ExtractAudioPassesFormatAndNumericRange) {
  ToolHarness h;
  const std::string reply = R"({"path":"/Users/me/Library/Caches/v1.m4a","bytes":12345})";
  h.bridge().on("GET", "/assets/v1/audio", Reply{.body = reply});

  const MediaCase cases[] = {
      {R"({"shortID":"v1"})", {}},
      {R"({"shortID":"v1","format":"mp3"})", {{"format", "mp3"}}},
      {R"({"shortID":"v1","format":""})", {{"format", ""}}},
      {R"({"shortID":"v1","format":5})", {}},
      {R"({"shortID":"v1","start":5})", {{"start", "5.0"}}},
      {R"({"shortID":"v1","start":"7.5","end":"abc"})", {{"start", "7.5"}}},
      {R"({"shortID":"v1","start":"abc"})", {}},
      {R"({"shortID":"v1","end":1e20,"start":0.00001,"format":"wav"})",
       {{"end", "1e+20"}, {"format", "wav"}, {"start", "1e-05"}}},
      {R"({"shortID":"v1","start":" 5","end":"5 "})", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    auto x = h.call("extract_audio", json::parse(c.arguments));
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], "/assets/v1/audio", c.items));
    EXPECT_TRUE(isReport(x.report, "extract_audio", true, 200, "none"));
  }

  expectLocalFailures(h, "extract_audio",
                      {{R"({})", kMissingShortID},
                       {R"({"shortID":""})", kMissingShortID},
                       {R"({"shortID":7,"format":"wav"})", kMissingShortID}});
}

TEST(MediaToolsTest, ExtractFramesChoosesOneFormOfTimePoints) {
  ToolHarness h;
  const std::string reply = R"({"frames":[{"path":"/tmp/f.jpg","actualSeconds":3.0}]})";
  h.bridge().on("GET", "/assets/v1/frames", Reply{.body = reply});

  json many = json::array();
  std::string manyText;
  for (int i = 1; i <= 25; ++i) {
    many.push_back(i);
    manyText += (i > 1 ? "," : "") + std::to_string(i) + ".0";
  }
  const std::string manyArguments = json({{"shortID", "v1"}, {"times", many}}).dump();

  const MediaCase cases[] = {
      {R"({"shortID":"v1","t":3,"times":[1,2]})", {{"t", "3.0"}}},
      {R"({"shortID":"v1","t":"12.5"})", {{"t", "12.5"}}},
      {R"({"shortID":"v1","times":[1,"5","x",9.5]})", {{"times", "1.0,5.0,9.5"}}},
      // Duplicates stay; anything that is not a number or a numeric string is dropped.
      {R"({"shortID":"v1","times":[2,2,null,{"a":1},[3]," 4","6"]})", {{"times", "2.0,2.0,6.0"}}},
      {R"({"shortID":"v1","times":"1,5,9"})", {{"times", "1,5,9"}}},
      {R"({"shortID":"v1","times":""})", {{"times", ""}}},
      // An unusable t falls through to times.
      {R"({"shortID":"v1","t":"abc","times":[2]})", {{"times", "2.0"}}},
      {manyArguments.c_str(), {{"times", manyText}}},
      {R"({"shortID":"v1","t":0.00001,"maxWidth":4000})", {{"maxWidth", "4000"}, {"t", "1e-05"}}},
      {R"({"shortID":"v1","t":1,"maxWidth":"1920"})", {{"maxWidth", "1920"}, {"t", "1.0"}}},
      {R"({"shortID":"v1","t":1,"maxWidth":12.5})", {{"t", "1.0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    auto x = h.call("extract_frames", json::parse(c.arguments));
    EXPECT_EQ(x.text, reply);
    EXPECT_FALSE(x.isError);
    ASSERT_EQ(x.requests.size(), 1u);
    EXPECT_TRUE(isGet(x.requests[0], "/assets/v1/frames", c.items));
    EXPECT_TRUE(isReport(x.report, "extract_frames", true, 200, "none"));
  }

  expectLocalFailures(h, "extract_frames",
                      {{R"({"shortID":"v1","times":[]})", kBadTimes},
                       {R"({"shortID":"v1","times":["a","b",null]})", kBadTimes},
                       {R"({"shortID":"v1","times":5})", kNoTimePoint},
                       {R"({"shortID":"v1","t":"abc"})", kNoTimePoint},
                       {R"({"shortID":"v1","t":null,"times":{"a":1}})", kNoTimePoint},
                       {R"({"shortID":"v1"})", kNoTimePoint},
                       // The card is checked before the time points.
                       {R"({})", kMissingShortID},
                       {R"({"times":[]})", kMissingShortID},
                       {R"({"shortID":"","t":1})", kMissingShortID}});
}

TEST(MediaToolsTest, CardNameIsEncodedInThePathOfBothTools) {
  ToolHarness h;
  auto audio = h.call("extract_audio", {{"shortID", "视频 1?"}});
  ASSERT_EQ(audio.requests.size(), 1u);
  EXPECT_TRUE(isGet(audio.requests[0], "/assets/%E8%A7%86%E9%A2%91%201%3F/audio", {}));

  auto frames = h.call("extract_frames", {{"shortID", "视频 1?"}, {"t", 2}});
  ASSERT_EQ(frames.requests.size(), 1u);
  EXPECT_TRUE(
      isGet(frames.requests[0], "/assets/%E8%A7%86%E9%A2%91%201%3F/frames", {{"t", "2.0"}}));
}

} // namespace
} // namespace vantrel::testing
