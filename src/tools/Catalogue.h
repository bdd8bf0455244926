#pragma once

#include <nlohmann/json.hpp>

namespace vantrel::tools {

// The thirteen tool definitions that tools/list serves, in catalogue order: each an object with
// exactly `name`, `description` and `inputSchema`. Built afresh on every call from fixed data;
// keeps no state, so any thread may call it.
nlohmann::json toolDefinitions();

} // namespace vantrel::tools
