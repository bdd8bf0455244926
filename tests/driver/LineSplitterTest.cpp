#include "driver/LineSplitter.h"

#include <gtest/gtest.h>

namespace vantrel::testing {

using namespace vantrel::driver;
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

} // namespace
} // namespace vantrel::testing
