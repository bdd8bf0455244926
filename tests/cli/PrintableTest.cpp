#include "cli/Printable.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel::cli {
namespace {

TEST(PrintableTest, ControlsAreEscapedAndTextIsKept) {
  const struct {
    std::string_view in;
    std::string out;
  } cases[] = {
      {"/home/张三/.local/share", "/home/张三/.local/share"},
      {"a\nb\r\tc", "a\\x0ab\\x0d\\x09c"},
      {"\x7f", "\\x7f"},
      {"\xc2\x9b"
       "31m",
       "\\u009b31m"},           // C1 CSI
      {"\xc2\xa0", "\xc2\xa0"}, // U+00A0 is text, not a control
      {"a\xff"
       "b",
       "a\xef\xbf\xbd"
       "b"}, // ill-formed UTF-8 becomes U+FFFD
      {std::string_view("a\0b", 3), "a\\x00b"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(printable(c.in), c.out) << c.out;
}

} // namespace
} // namespace vantrel::cli
