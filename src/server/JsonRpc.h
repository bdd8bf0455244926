#pragma once

#include "common/ToolResult.h"
#include "server/MCPError.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::server {

// The id written when a request has none to echo (the answer to an unparseable line).
inline constexpr std::string_view kNullId = "null";

// One decoded request line. Only `id`, `method` and `params` are read; everything else, the
// "jsonrpc" member included, is ignored.
struct Request {
  // The id as compact JSON text, echoed exactly as it came: an integer too long for 64 bits keeps
  // its digits, so an agent host can match the reply. Absent: a notification.
  std::optional<std::string> idText;
  std::string method;    // the empty string when missing or not a string
  nlohmann::json params; // the empty object when missing or not an object
};

// Decodes one input line; invalid UTF-8 becomes U+FFFD first (the line is changed in place).
// Nothing when the line is not one JSON object: a parse error, a NUL byte, nesting deeper than
// the JSON policy allows, or a top level that is not an object. A flat line (a ping) is decoded
// without building a tree; the result is the same as decodeRequestWithParser's.
std::optional<Request> decodeRequest(std::string& line);
// The same through the JSON parser alone; what decodeRequest falls back on, and is checked
// against.
std::optional<Request> decodeRequestWithParser(std::string& line);

// The response lines, without their line feed. Nothing when the message cannot be written as
// valid JSON (a string that is not UTF-8, a number that is not finite).
std::optional<std::string> resultLine(std::string_view idText, const nlohmann::json& result);
// With a result that is already JSON text.
std::string resultLine(std::string_view idText, std::string_view resultText);
std::optional<std::string> errorLine(std::string_view idText, const MCPError& error);
// The response line of a tools/call (one text content and the error flag), as pieces to write
// one after another: the envelope around the pieces the text is already kept in, so that a text
// of tens of megabytes is written without a copy. Refers to the result, which must outlive it.
class ToolCallLine {
public:
  ToolCallLine(std::string head, const JsonText& text, std::string tail)
      : head_(std::move(head)), text_(&text), tail_(std::move(tail)) {}
  // The whole line, line feed included, in order.
  std::vector<std::string_view> pieces() const;
  // Its length in bytes, line feed included.
  std::size_t size() const { return head_.size() + text_->escapedSize() + tail_.size(); }
  // The line joined, without its line feed.
  std::string joined() const;

private:
  std::string head_;
  const JsonText* text_;
  std::string tail_; // ends with the line feed
};

// Nothing when the text is not valid UTF-8.
std::optional<ToolCallLine> toolCallLine(std::string_view idText, const ToolResult& result);

// The longest tool text, escaped, that fits in a response line with the shortest id: what a
// reply's text may hold while it arrives. The line itself is measured when it is written.
std::size_t maxToolTextSize();

} // namespace vantrel::server
