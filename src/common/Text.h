#pragma once

#include <string_view>

namespace vantrel {

// `text` without the Unicode White_Space characters at either end (ASCII blanks and line breaks,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and the ideographic
// space U+3000). This is what "trimming whitespace and line breaks" means for a text in any
// script. Pure; the result views into `text`.
std::string_view trimBlank(std::string_view text);

// True when `text` is empty or made only of such characters.
inline bool isBlank(std::string_view text) {
  return trimBlank(text).empty();
}

} // namespace vantrel
