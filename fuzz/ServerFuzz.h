#pragma once

// The whole request path in-process, for the fuzz_server target and its regression test: input
// bytes become lines for an MCPServer whose Bridge is a deterministic stand-in, and the output
// is checked against what any input must yield.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantrel::fuzz {

// The token the stand-in expects; whoever prepares the support directory writes it.
inline constexpr std::string_view kFuzzToken = "fuzz-token-0f1e2d";

// What the input asks for, worked out line by line the way the read loop splits and decodes it:
// the id every answered line must carry (JSON text; "null" for an unparseable line) and how many
// tool calls start.
struct Expected {
  std::multiset<std::string> ids;
  std::size_t toolCalls = 0;
  std::optional<std::string> problem; // the flat decoder disagreed with the parser
};

Expected expectedFor(std::string input);

// One reply line against the envelope rules; a description of what is wrong, or nothing.
std::optional<std::string> checkReply(std::string_view line, std::string& idText);

// Runs `input` through a fresh server to end of input and checks every invariant. Nothing when
// all hold, else what broke. The caller has pointed HOME (and XDG_DATA_HOME) at a support
// directory holding the guide; the credentials come without a file.
std::optional<std::string> checkServerInput(std::string_view input);

} // namespace vantrel::fuzz
