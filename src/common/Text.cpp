#include "common/Text.h"

namespace vantrel {
namespace {

constexpr std::string_view kWideBlanks[] = {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2001",
                                            "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
                                            "\u2007", "\u2008", "\u2009", "\u200A", "\u2028",
                                            "\u2029", "\u202F", "\u205F", "\u3000"};

bool isAsciiBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the blank character that `text` starts (or ends, with `atEnd`) with; 0 when none.
std::size_t blankAt(std::string_view text, bool atEnd) {
  if (text.empty())
    return 0;
  if (isAsciiBlank(atEnd ? text.back() : text.front()))
    return 1;
  for (std::string_view blank : kWideBlanks) {
    if (atEnd ? text.ends_with(blank) : text.starts_with(blank))
      return blank.size();
  }
  return 0;
}

} // namespace

std::string_view trimBlank(std::string_view text) {
  while (std::size_t n = blankAt(text, false))
    text.remove_prefix(n);
  while (std::size_t n = blankAt(text, true))
    text.remove_suffix(n);
  return text;
}

} // namespace vantrel
