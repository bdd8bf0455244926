#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Replaces every ill-formed sequence in `text` by U+FFFD, leaving valid text untouched (and
// uncopied). Each maximal ill-formed subpart becomes one replacement character.
void replaceInvalidUtf8(std::string& text);

} // namespace vantrel
