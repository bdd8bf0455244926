#include "Excerpt.h"

#include <gtest/gtest.h>

namespace vantrel::demo {
namespace {

TEST(ExcerptTest, ClipCountsCodePointsAndNeverSplitsOne) {
  EXPECT_EQ(clip("砚舟素材库", 2), "砚舟…");
  EXPECT_EQ(clip("砚舟", 2), "砚舟");
  EXPECT_EQ(clip("a砚b", 2), "a砚…");
  EXPECT_EQ(clip("", 0), "");
  EXPECT_EQ(clip("x", 0), "…");
}

TEST(ExcerptTest, JsonRepliesAreCompactedWithChineseIntact) {
  EXPECT_EQ(excerpt("{ \"title\" : \"钵钵鸡\",\n  \"n\": [1, 2] }"),
            R"({"n":[1,2],"title":"钵钵鸡"})");
  EXPECT_EQ(excerpt(R"({"text":"一二三四五"})", 11), R"({"text":"一二…)");
}

TEST(ExcerptTest, TextRepliesShowTheirFirstNonBlankLines) {
  EXPECT_EQ(excerpt("# 规范\n\n一\n\n二\n三\n四\n五\n六"), "# 规范\n一\n二\n三\n四\n…");
  EXPECT_EQ(excerpt("# 规范\n\n一\n"), "# 规范\n一");
  EXPECT_EQ(excerpt("42"), "42"); // a bare JSON scalar is shown as the text it is
}

TEST(ExcerptTest, InvalidUtf8IsReplacedNotThrown) {
  std::string shown;
  EXPECT_NO_THROW(shown = compact(nlohmann::json("ok\xff")));
  EXPECT_EQ(shown, "\"ok\xEF\xBF\xBD\"");
}

} // namespace
} // namespace vantrel::demo
