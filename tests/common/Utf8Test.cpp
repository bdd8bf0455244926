#include "common/Utf8.h"

#include <gtest/gtest.h>

namespace vantrel {
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

TEST(Utf8Test, ReplacesEachIllFormedSubpartWithOneReplacementCharacter) {
  struct Case {
    std::string_view in;
    std::string out;
  } cases[] = {{"ok", "ok"},
               {"\xFF", "\uFFFD"},
               {"a\xFF\xFE"
                "b",
                "a\uFFFD\uFFFD"
                "b"},
               {"\xE7\xB4x", "\uFFFDx"},               // a cut-off sequence is one subpart
               {"\xC0\xAF", "\uFFFD\uFFFD"},           // overlong lead bytes are never valid
               {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"}, // surrogates
               {"end\xF0\x9F\x98", "end\uFFFD"},
               {"砚\x80舟", "砚\uFFFD舟"}};
  for (const auto& c : cases) {
    std::string text(c.in);
    replaceInvalidUtf8(text);
    EXPECT_EQ(text, c.out) << ::testing::PrintToString(std::string(c.in));
    EXPECT_TRUE(isValidUtf8(text));
  }
}

} // namespace
} // namespace vantrel
