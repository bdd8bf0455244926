#pragma once

#include "common/Utf8.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::hostsim {

// Limits are counted in characters (code points), as the user sees them, not in bytes.
std::size_t characterCount(std::string_view utf8);
std::string firstCharacters(std::string_view utf8, std::size_t count);
using vantrel::isValidUtf8; // one checker for the whole project

// Substring test that ignores ASCII case; Chinese text has no case to fold.
bool containsFolded(std::string_view haystack, std::string_view needle);

// Strict C-locale number readers for query values: the whole text must be the number.
std::optional<double> parseNumber(std::string_view text);
std::optional<long long> parseInteger(std::string_view text);

std::vector<std::string> split(std::string_view text, char separator);

} // namespace vantrel::hostsim
