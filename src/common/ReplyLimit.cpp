#include "common/ReplyLimit.h"

#include <string>

namespace vantrel {

ToolResult replyTooLarge(int status, std::optional<std::uint64_t> size) {
  std::string text = "Bridge 的回复过大：";
  if (size)
    text += "共 " + std::to_string(*size) + " 字节，";
  text += "超过 agent 宿主单条消息 " + std::to_string(kMaxResponseLine) +
          " 字节（约 9.9 MiB）的上限，未转给 agent。请缩小请求范围后重试（如减小 limit）。";
  return ToolResult::fail(std::move(text), status);
}

} // namespace vantrel
