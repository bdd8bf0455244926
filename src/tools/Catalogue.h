#pragma once

#include "tools/Plan.h"

#include <nlohmann/json.hpp>

#include <span>
#include <string_view>

namespace vantrel::tools {

// The thirteen tools in catalogue order. Fixed data; any thread.
std::span<const Tool> allTools();

// The tool named exactly `name`, or nullptr.
const Tool* findTool(std::string_view name);

// The definitions that tools/list serves, in catalogue order: each an object with exactly
// `name`, `description` and `inputSchema`. Built afresh on every call from the fixed table.
nlohmann::json toolDefinitions();

} // namespace vantrel::tools
