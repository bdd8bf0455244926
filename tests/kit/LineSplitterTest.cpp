#include "support/LineSplitter.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

TEST(LineSplitterTest, LinesComeOutWholeHoweverTheBytesArrive) {
  LineSplitter lines;
  lines.append("ab");
  EXPECT_FALSE(lines.next());
  lines.append("c\n\nde");
  EXPECT_EQ(lines.next(), "abc");
  EXPECT_EQ(lines.next(), "");
  EXPECT_FALSE(lines.next());
  lines.append("f\ng\n");
  EXPECT_EQ(lines.next(), "def");
  EXPECT_FALSE(lines.empty());
  EXPECT_EQ(lines.takeAll(), "g\n");
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(lines.next());
}

TEST(LineSplitterTest, LongLineArrivingInManyPiecesIsOneLine) {
  LineSplitter lines;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    std::string piece(997, static_cast<char>('a' + i % 26));
    expected += piece;
    lines.append(piece);
    ASSERT_FALSE(lines.next());
  }
  lines.append("\nrest");
  EXPECT_EQ(lines.next(), expected);
  EXPECT_EQ(lines.takeAll(), "rest");
}

} // namespace
} // namespace vantrel::testing
