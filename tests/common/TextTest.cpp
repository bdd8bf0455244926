#include "common/Text.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(TextTest, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trimBlank(" \t\r\n\v\f x y \u3000"), "x y");
  EXPECT_EQ(trimBlank("\u00A0\u2028\u2029\u202F\u205F\u1680\u0085\u2000\u200A文本\u2003"), "文本");
  EXPECT_EQ(trimBlank("\u200B字\u200B"), "\u200B字\u200B") << "zero width space is not White_Space";
  EXPECT_TRUE(isBlank(""));
  EXPECT_TRUE(isBlank(" \u3000\u00A0\n"));
  EXPECT_FALSE(isBlank(" . "));
}

} // namespace
} // namespace vantrel
