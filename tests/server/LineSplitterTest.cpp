// The lines of standard input, whatever pieces its bytes arrive in.
#include "server/LineSplitter.h"

#include <gtest/gtest.h>

#include <vector>

namespace vantrel::server {
namespace {

// The lines `input` comes to when it arrives in pieces cut every `step` bytes.
std::vector<std::string> linesOf(std::string_view input, std::size_t step) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  std::string line;
  auto take = [&] {
    while (splitter.next(line) == LineSplitter::Next::line)
      lines.push_back(line);
  };
  for (std::size_t at = 0; at < input.size(); at += step) {
    splitter.append(input.substr(at, step));
    take();
  }
  splitter.end();
  take();
  return lines;
}

TEST(ServerLineSplitterTest, TerminatorsGoAndALastLineWithoutOneStays) {
  const struct {
    std::string_view input;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}}, // CR LF, and a last line without a terminator
      {"\n\n", {"", ""}},     // blank lines are lines: each gets its parse error
      {"a\rb\n", {"a\rb"}},   // a lone CR is no terminator
      {"\r\n", {""}},
  };
  for (const auto& c : cases) {
    for (std::size_t step : {1u, 2u, 3u, 64u})
      EXPECT_EQ(linesOf(c.input, step), c.lines)
          << ::testing::PrintToString(c.input) << " by " << step;
  }
}

TEST(ServerLineSplitterTest, HasLineSaysWhetherNextWouldGiveOne) {
  LineSplitter splitter;
  std::string line;
  splitter.append("one\ntw");
  EXPECT_TRUE(splitter.hasLine());
  EXPECT_EQ(splitter.next(line), LineSplitter::Next::line);
  EXPECT_FALSE(splitter.hasLine()) << "half a line is not one yet";
  splitter.end();
  EXPECT_TRUE(splitter.hasLine()) << "at the end it is";
  EXPECT_EQ(splitter.next(line), LineSplitter::Next::line);
  EXPECT_EQ(line, "tw");
  EXPECT_EQ(splitter.next(line), LineSplitter::Next::none);
}

} // namespace
} // namespace vantrel::server
