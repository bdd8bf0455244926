#include "bridge/Utf8.h"

#include "bridge/JsonText.h"

#include <gtest/gtest.h>

namespace vantrel::bridge {
namespace {

using namespace std::string_view_literals;

TEST(Utf8Test, AcceptsWellFormedText) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain ascii"));
  EXPECT_TRUE(isValidUtf8("a\0b"sv));
  EXPECT_TRUE(isValidUtf8("砚舟 é 😀"));
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF")); // U+10FFFF
  EXPECT_TRUE(isValidUtf8("\xEF\xBB\xBF{}"));   // a byte order mark is still UTF-8
}

TEST(Utf8Test, RejectsMalformedText) {
  for (std::string_view bad :
       {"\xFF"sv, "\xC0\xAF"sv, "\xE0\x80\xAF"sv, "\xED\xA0\x80"sv, "\xF4\x90\x80\x80"sv,
        "\xF5\x80\x80\x80"sv, "\x80"sv, "\xE7\xB4"sv, "ok\xE7"sv, "\xC3\x28"sv}) {
    EXPECT_FALSE(isValidUtf8(bad)) << ::testing::PrintToString(std::string(bad));
  }
}

TEST(JsonTextTest, CompactDefaultOutput) {
  auto body = nlohmann::json::parse(R"({"b":[1,2.5,"文"],"a":{}})");
  EXPECT_EQ(dumpCompact(body), body.dump());
  EXPECT_EQ(dumpCompact(nlohmann::json::object()), "{}");
}

TEST(JsonTextTest, UnwritableDocumentsGiveNothingInsteadOfThrowing) {
  EXPECT_FALSE(dumpCompact(nlohmann::json{{"text", "bad \xFF byte"}}));

  nlohmann::json deep = nlohmann::json::array();
  for (std::size_t i = 1; i < kMaxDumpDepth; ++i)
    deep = nlohmann::json::array({std::move(deep)});
  EXPECT_TRUE(dumpCompact(deep)); // exactly at the limit
  deep = nlohmann::json::array({std::move(deep)});
  EXPECT_FALSE(dumpCompact(deep));
}

} // namespace
} // namespace vantrel::bridge
