#include "bridge/AgentGuideReader.h"

#include "bridge/FileBytes.h"
#include "bridge/StorePaths.h"
#include "common/Utf8.h"

#include <optional>
#include <system_error>

namespace vantrel::bridge {

GuideRead readGuideFile(const std::string& path) {
  FileRead read = readFileBytes(path, kMaxGuideBytes);
  using Status = GuideRead::Status;
  switch (read.status) {
  case FileRead::Status::ok:
    if (!isValidUtf8(read.bytes))
      return {Status::notUtf8, {}, 0};
    return {Status::readable, std::move(read.bytes), 0};
  case FileRead::Status::missing:
    return {Status::missing, {}, read.error};
  case FileRead::Status::notRegular:
  case FileRead::Status::unreadable:
    return {Status::unreadable, {}, read.error};
  case FileRead::Status::tooLarge:
    return {Status::tooLarge, {}, 0};
  case FileRead::Status::noResources:
    return {Status::noResources, {}, read.error};
  }
  return {Status::unreadable, {}, read.error};
}

ToolResult AgentGuideReader::load() {
  std::optional<GuideRead> shortage;
  bool tooLarge = false;
  // A guide that cannot be read as UTF-8 text counts as absent, so the next place may serve.
  for (const auto& candidate : StorePaths::resolveCandidates("agent-guide.md")) {
    GuideRead guide = readGuideFile(candidate);
    if (guide.status == GuideRead::Status::readable)
      return ToolResult::ok(std::move(guide.text));
    if (guide.status == GuideRead::Status::noResources && !shortage)
      shortage = std::move(guide);
    tooLarge = tooLarge || guide.status == GuideRead::Status::tooLarge;
  }
  // "Not found" would send the agent to start an app that may be running; say what happened.
  if (shortage) {
    return ToolResult::fail("读取指导文档失败：无法打开 agent-guide.md：" +
                            std::generic_category().message(shortage->error) +
                            "（本进程的文件描述符或内存不足）。请稍后重试。");
  }
  if (tooLarge)
    return ToolResult::fail(
        "读取指导文档失败：agent-guide.md 超过 16 MiB，不是砚舟生成的指导文档。");
  return ToolResult::ok("未找到指导文档。砚舟 app 首次启动会生成 agent-guide.md；请先启动砚舟。");
}

} // namespace vantrel::bridge
