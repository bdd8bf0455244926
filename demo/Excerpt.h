#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::demo {

// At most `maxChars` code points of `text`, never cutting one in half, with "…" appended when
// anything was left out. Counts code points, not bytes, so Chinese text is clipped as fairly
// as ASCII.
std::string clip(std::string_view text, std::size_t maxChars);

// Compact JSON, non-ASCII kept as it is; invalid UTF-8 becomes U+FFFD instead of throwing.
std::string compact(const nlohmann::json& value);

// What a person watching sees of a tool reply: JSON compacted onto one line, other text as its
// first few non-blank lines; both clipped to `maxChars` code points.
std::string excerpt(std::string_view reply, std::size_t maxChars = 300);

} // namespace vantrel::demo
