#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::tools {

// Readers of tool arguments. Each takes the value in its own JSON type first, then in a string
// form; anything unusable is absent. None of them throws.

// A JSON boolean, or a string equal to "true"/"false" ignoring letter case only.
std::optional<bool> boolArg(std::string_view key, const nlohmann::json& arguments);

// A JSON number with an integral value in the signed 64-bit range (20, 20.0, 2e1), or a string
// of an optional sign and decimal digits only that fits in 64 bits.
std::optional<std::int64_t> intArg(std::string_view key, const nlohmann::json& arguments);

// A JSON number, or a string that strtod reads in full in the C locale, not starting with
// whitespace.
std::optional<double> numberArg(std::string_view key, const nlohmann::json& arguments);

// The same rules as numberArg, for one value rather than a key.
std::optional<double> numberValue(const nlohmann::json& value);

// The value under `key` when it is a JSON string.
std::optional<std::string> stringArg(std::string_view key, const nlohmann::json& arguments);

// `shortID` when it is a non-empty string (not trimmed: spaces count).
std::optional<std::string> shortIdArg(const nlohmann::json& arguments);

// The shortest text that reads back as the same double, with ".0" on whole numbers and
// exponent form for very small and very large magnitudes: 5.0, 12.5, 1e-05, 1e+16.
std::string decimalText(double value);

} // namespace vantrel::tools
