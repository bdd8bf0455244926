#include "bridge/AgentGuideReader.h"

#include "bridge/FileBytes.h"
#include "bridge/StorePaths.h"
#include "common/Utf8.h"

namespace vantrel::bridge {

std::string AgentGuideReader::load() {
  // A guide that cannot be read as UTF-8 text counts as absent, so the next place may serve.
  for (const auto& candidate : StorePaths::resolveCandidates("agent-guide.md")) {
    auto bytes = readWholeFile(candidate);
    if (bytes && isValidUtf8(*bytes))
      return std::move(*bytes);
  }
  return "未找到指导文档。砚舟 app 首次启动会生成 agent-guide.md；请先启动砚舟。";
}

} // namespace vantrel::bridge
