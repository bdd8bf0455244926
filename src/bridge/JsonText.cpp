#include "bridge/JsonText.h"

#include <utility>
#include <vector>

namespace vantrel::bridge {
namespace {

// Iterative, so measuring a hostile document cannot itself exhaust the stack.
bool nestedWithin(const nlohmann::json& root, std::size_t limit) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&root, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured())
      continue;
    if (depth > limit)
      return false;
    for (const auto& child : *node)
      pending.emplace_back(&child, depth + 1);
  }
  return true;
}

} // namespace

std::optional<std::string> dumpCompact(const nlohmann::json& value) noexcept {
  try {
    if (!nestedWithin(value, kMaxDumpDepth))
      return std::nullopt;
    return value.dump();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

} // namespace vantrel::bridge
