#include "Excerpt.h"

namespace vantrel::demo {
namespace {

constexpr std::size_t kTextLines = 5;

bool isContinuationByte(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

} // namespace

std::string clip(std::string_view text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isContinuationByte(static_cast<unsigned char>(text[i])))
      continue;
    if (chars == maxChars)
      return std::string(text.substr(0, i)) + "…";
    ++chars;
  }
  return std::string(text);
}

std::string compact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string excerpt(std::string_view reply, std::size_t maxChars) {
  auto parsed = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_discarded() && (parsed.is_object() || parsed.is_array()))
    return clip(compact(parsed), maxChars);

  std::string lines;
  std::size_t kept = 0;
  while (!reply.empty() && kept < kTextLines) {
    auto end = reply.find('\n');
    std::string_view line = reply.substr(0, end);
    reply = end == std::string_view::npos ? std::string_view() : reply.substr(end + 1);
    if (line.find_first_not_of(" \t\r") == std::string_view::npos)
      continue;
    if (kept++ > 0)
      lines += '\n';
    lines += line;
  }
  if (!reply.empty() && reply.find_first_not_of(" \t\r\n") != std::string_view::npos)
    lines += "\n…";
  return clip(lines, maxChars);
}

} // namespace vantrel::demo
