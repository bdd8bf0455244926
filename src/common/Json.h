#pragma once

#include "common/JsonText.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Documents nested deeper than this are refused, on the way in and on the way out: nlohmann's
// writer recurses once per level on threads with bounded stacks, and no honest request or
// Bridge body comes near it. One limit, so any input the server accepts can also be sent on.
inline constexpr std::size_t kMaxJsonNesting = 512;

// One JSON document in `text`, or nothing when it is not valid JSON: a syntax error, a NUL byte
// anywhere (nlohmann would take one outside a string for the end of input and ignore the rest),
// nesting deeper than kMaxJsonNesting, or no memory to hold it. The top level may be any value;
// callers check its type. Never throws; any thread.
std::optional<nlohmann::json> parseJson(std::string_view text) noexcept;

// True when `text` is one valid JSON document whose top level is an object with a member named
// `key` (compared as decoded, so "k\u0065y" names key). Valid means what parseJson's parser
// accepts, at any depth, except that a NUL byte anywhere is refused. Reads the escaped text in
// place, keeping a bit per open container and nothing of its strings, so a reply of megabytes
// costs no memory beyond its text. Never throws; any thread.
bool hasTopLevelMember(const JsonText& text, std::string_view key) noexcept;

// Compact JSON text with the writer's default layout, or nothing when `value` cannot be written
// as valid JSON: a string that is not UTF-8, a number that is not finite, nesting deeper than
// kMaxJsonNesting, or no memory. Never throws; any thread.
std::optional<std::string> dumpJson(const nlohmann::json& value) noexcept;

// The value of a JSON number that is integral and fits in a signed 64-bit integer, whichever way
// the parser stored it: 20, 20.0 and 2e1 all give 20. Nothing for any other value.
std::optional<std::int64_t> integralInt64(const nlohmann::json& value);

} // namespace vantrel
