#include "bridge/Url.h"

#include <gtest/gtest.h>

namespace vantrel::bridge {
namespace {

TEST(UrlTest, PathEncodesWhatCannotStandInAPath) {
  EXPECT_EQ(encodePath("/a b?c#d%e"), "/a%20b%3Fc%23d%25e");
  EXPECT_EQ(encodePath("/素材"), "/%E7%B4%A0%E6%9D%90");
  EXPECT_EQ(encodePath("/a\"<>\\^`{|}\x7f\n"), "/a%22%3C%3E%5C%5E%60%7B%7C%7D%7F%0A");
  // Sub-delimiters, ":" and "@" may stand in a path and stay; so do dot segments.
  EXPECT_EQ(encodePath("/-._~!$&'()*+,;=:@/../x"), "/-._~!$&'()*+,;=:@/../x");
  // A path holding "?" never grows a query; the real query still follows.
  EXPECT_EQ(buildTarget("/a b?x=1", {{"k", "v"}}), "/a%20b%3Fx=1?k=v");
}

TEST(UrlTest, PathWithoutLeadingSlashCannotRunIntoThePort) {
  EXPECT_EQ(buildTarget("0/x", {}), "/0/x");
  EXPECT_EQ(buildTarget("", {}), "/");
}

TEST(UrlTest, QueryItemsInAscendingKeyOrder) {
  std::map<std::string, std::string> query;
  query["sortKey"] = "title";
  query["limit"] = "20";
  query["ascending"] = "true";
  query["Zed"] = "1"; // byte order: upper case sorts before lower case
  EXPECT_EQ(buildTarget("/assets", query), "/assets?Zed=1&ascending=true&limit=20&sortKey=title");
}

TEST(UrlTest, QueryValuesArriveWhole) {
  EXPECT_EQ(encodeQuery({{"q", "a&b=c+d e"}}), "q=a%26b%3Dc%2Bd%20e");
  EXPECT_EQ(encodeQuery({{"q", "#%"}}), "q=%23%25");
  EXPECT_EQ(encodeQuery({{"q", "视频"}}), "q=%E8%A7%86%E9%A2%91");
  EXPECT_EQ(encodeQuery({{"times", "1.5,2.0"}, {"path", "/a/b?c:@!$'()*;-._~"}}),
            "path=/a/b?c:@!$'()*;-._~&times=1.5,2.0");
  EXPECT_EQ(encodeQuery({{"a&b", "x"}}), "a%26b=x");
}

TEST(UrlTest, EmptyValueAndEmptyQuery) {
  EXPECT_EQ(encodeQuery({{"tag", ""}, {"query", "x"}}), "query=x&tag=");
  EXPECT_EQ(encodeQuery({}), "");
  EXPECT_EQ(buildTarget("/assets/abc/notes", {}), "/assets/abc/notes");
}

} // namespace
} // namespace vantrel::bridge
