#pragma once

#include <string_view>

namespace vantrel::bridge {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut-off sequence. NUL bytes are valid. Pure; any thread.
bool isValidUtf8(std::string_view bytes);

} // namespace vantrel::bridge
