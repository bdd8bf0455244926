#pragma once

// The argument readers and the URL building, for the fuzz_args_url target and its regression
// test. Every check is a round trip, so a failure names a real loss or corruption of data.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::fuzz {

// Strict %XX decoding: nothing when a "%" is not followed by two uppercase hex digits.
std::optional<std::string> percentDecoded(std::string_view text);

// encodeQuery against its promise: each key and value decodes back, and nothing is left raw.
std::optional<std::string> checkQuery(const std::map<std::string, std::string>& query);

// Runs every check over `input`: the whole input as a path and as a string argument; its lines,
// paired, as a query; its 8-byte chunks as doubles; and, when it is a JSON object, each member
// through the readers.
std::optional<std::string> checkArgsUrlInput(std::string_view input);

} // namespace vantrel::fuzz
