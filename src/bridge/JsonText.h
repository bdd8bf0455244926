#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace vantrel::bridge {

// Deeper documents are refused: nlohmann's dump recurses once per level, and a worker thread's
// stack is bounded. The server refuses deeper input with the same limit, so any tool arguments
// it accepts can also be sent on.
inline constexpr std::size_t kMaxDumpDepth = 512;

// Compact JSON text of `value` with the writer's default options, or nothing when it cannot be
// written: a string that is not valid UTF-8, nesting deeper than kMaxDumpDepth, or no memory.
// Never throws; any thread.
std::optional<std::string> dumpCompact(const nlohmann::json& value) noexcept;

} // namespace vantrel::bridge
