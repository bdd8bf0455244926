#pragma once

#include "common/ToolResult.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vantrel {

// The longest response line, line feed included, that every agent host we know takes: hosts on
// the official TypeScript SDK close the whole session when what they hold passes 10 MiB, counting
// one read of up to 64 KiB that may already carry the next line's first bytes; Codex drops a line
// over 16 MiB.
inline constexpr std::size_t kMaxResponseLine = 10 * 1024 * 1024 - 64 * 1024;

// The refusal of a reply whose line would pass kMaxResponseLine: `status` is the Bridge's (or the
// result's, for the rare text the server made itself that long), `size` the reply's length where
// it is known.
ToolResult replyTooLarge(int status, std::optional<std::uint64_t> size);

} // namespace vantrel
