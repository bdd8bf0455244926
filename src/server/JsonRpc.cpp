#include "server/JsonRpc.h"

#include "common/Json.h"
#include "common/ReplyLimit.h"
#include "common/Utf8.h"

#include <cctype>

namespace vantrel::server {

using nlohmann::json;

namespace {

std::size_t skipSpace(std::string_view text, std::size_t i) {
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
    ++i;
  return i;
}

// End of the string whose opening quote is at `i`.
std::size_t skipString(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    if (text[i] == '\\')
      ++i;
    else if (text[i] == '"')
      return i + 1;
  }
  return text.size();
}

// End of the value starting at `i`, in text already known to be valid JSON.
std::size_t skipValue(std::string_view text, std::size_t i) {
  if (text[i] == '"')
    return skipString(text, i);
  if (text[i] != '{' && text[i] != '[') {
    while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != ']' &&
           !std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    return i;
  }
  std::size_t depth = 0;
  for (; i < text.size(); ++i) {
    if (text[i] == '"') {
      i = skipString(text, i) - 1;
    } else if (text[i] == '{' || text[i] == '[') {
      ++depth;
    } else if ((text[i] == '}' || text[i] == ']') && --depth == 0) {
      return i + 1;
    }
  }
  return text.size();
}

// The text of the top-level member "id" of a valid JSON object, as written; the last one wins,
// as in the parsed tree. Nothing when the key is spelled with escapes.
std::optional<std::string_view> rawIdText(std::string_view object) {
  std::optional<std::string_view> found;
  std::size_t i = skipSpace(object, 0) + 1; // past "{"
  for (;;) {
    i = skipSpace(object, i);
    if (i >= object.size() || object[i] != '"')
      return found;
    std::size_t keyEnd = skipString(object, i);
    bool isId = object.substr(i, keyEnd - i) == "\"id\"";
    i = skipSpace(object, skipSpace(object, keyEnd) + 1); // past ":"
    std::size_t valueEnd = skipValue(object, i);
    if (isId)
      found = object.substr(i, valueEnd - i);
    i = skipSpace(object, valueEnd);
    if (i >= object.size() || object[i] != ',')
      return found;
    ++i;
  }
}

bool isIntegerLiteral(std::string_view text) {
  if (!text.empty() && text.front() == '-')
    text.remove_prefix(1);
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The parser keeps integers past 64 bits only as doubles, which would come back as different
// numbers (1.2345678901234568e+29); such an id is echoed with the digits it came with.
std::optional<std::string> idTextOf(const json& id, std::string_view line) {
  if (id.is_number_float()) {
    if (auto raw = rawIdText(line); raw && isIntegerLiteral(*raw))
      return std::string(*raw);
  }
  return dumpJson(id);
}

// Decodes the common request line, a flat object such as {"jsonrpc":"2.0","id":7,"method":"ping"},
// without building a tree. It takes only members whose values are strings without escapes,
// integers of up to 18 digits, true, false, null, {} or []; on anything else, malformed input
// included, it gives up and the full parser decides. So it can only ever agree with the parser,
// and the parser stays the one judge of what is valid JSON.
class FlatRequest {
public:
  explicit FlatRequest(std::string_view text) : text_(text) {}

  std::optional<Request> decode() {
    Request request;
    request.params = json::object();
    skipSpace();
    if (!take('{'))
      return std::nullopt;
    skipSpace();
    if (!take('}')) {
      do {
        skipSpace();
        auto key = plainString();
        skipSpace();
        if (!key || !take(':'))
          return std::nullopt;
        skipSpace();
        bool isString = i_ < text_.size() && text_[i_] == '"';
        auto value = scalarOrEmpty();
        if (!value)
          return std::nullopt;
        if (*key == "id")
          request.idText = std::string(*value);
        else if (*key == "method")
          request.method = isString ? std::string(value->substr(1, value->size() - 2)) : "";
        skipSpace();
      } while (take(','));
      if (!take('}'))
        return std::nullopt;
    }
    skipSpace();
    if (i_ != text_.size())
      return std::nullopt;
    return request;
  }

private:
  bool take(char c) {
    if (i_ < text_.size() && text_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void skipSpace() { i_ = server::skipSpace(text_, i_); }

  // The characters between the quotes of a string without escapes or control characters.
  std::optional<std::string_view> plainString() {
    if (!take('"'))
      return std::nullopt;
    std::size_t start = i_;
    for (; i_ < text_.size(); ++i_) {
      auto c = static_cast<unsigned char>(text_[i_]);
      if (c == '"')
        return text_.substr(start, i_++ - start);
      if (c == '\\' || c < 0x20)
        return std::nullopt;
    }
    return std::nullopt;
  }

  // The raw text of one value of the kinds above.
  std::optional<std::string_view> scalarOrEmpty() {
    std::size_t start = i_;
    if (i_ >= text_.size())
      return std::nullopt;
    char c = text_[i_];
    if (c == '"') {
      if (!plainString())
        return std::nullopt;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      take('-');
      std::size_t digits = i_;
      while (i_ < text_.size() && text_[i_] >= '0' && text_[i_] <= '9')
        ++i_;
      std::size_t count = i_ - digits;
      // No leading zeros, and short enough to stay an integer for the parser too.
      if (count == 0 || count > 18 || (count > 1 && text_[digits] == '0'))
        return std::nullopt;
      if (i_ < text_.size() && (text_[i_] == '.' || text_[i_] == 'e' || text_[i_] == 'E'))
        return std::nullopt;
    } else if (c == '{' || c == '[') {
      ++i_;
      skipSpace();
      if (!take(c == '{' ? '}' : ']'))
        return std::nullopt;
    } else {
      for (std::string_view word : {"true", "false", "null"}) {
        if (text_.substr(i_, word.size()) == word) {
          i_ += word.size();
          return text_.substr(start, i_ - start);
        }
      }
      return std::nullopt;
    }
    return text_.substr(start, i_ - start);
  }

  std::string_view text_;
  std::size_t i_ = 0;
};

// The parser's decoding of a line already made valid UTF-8.
std::optional<Request> parseRequest(const std::string& line) {
  auto doc = parseJson(line);
  if (!doc || !doc->is_object())
    return std::nullopt;
  Request request;
  if (auto id = doc->find("id"); id != doc->end()) {
    request.idText = idTextOf(*id, line);
    if (!request.idText)
      return std::nullopt; // only memory exhaustion gets here
  }
  if (auto method = doc->find("method"); method != doc->end() && method->is_string())
    request.method = std::move(method->get_ref<std::string&>());
  if (auto params = doc->find("params"); params != doc->end() && params->is_object())
    request.params = std::move(*params);
  else
    request.params = json::object();
  return request;
}

std::string envelopeStart(std::string_view idText) {
  std::string line = R"({"jsonrpc":"2.0","id":)";
  line.append(idText);
  return line;
}

} // namespace

std::optional<Request> decodeRequest(std::string& line) {
  replaceInvalidUtf8(line);
  if (auto request = FlatRequest(line).decode())
    return request;
  return parseRequest(line);
}

std::optional<Request> decodeRequestWithParser(std::string& line) {
  replaceInvalidUtf8(line);
  return parseRequest(line);
}

std::string resultLine(std::string_view idText, std::string_view resultText) {
  std::string line = envelopeStart(idText);
  line.append(R"(,"result":)").append(resultText).append("}");
  return line;
}

std::optional<std::string> resultLine(std::string_view idText, const json& result) {
  auto text = dumpJson(result);
  if (!text)
    return std::nullopt;
  return resultLine(idText, std::string_view(*text));
}

std::optional<std::string> errorLine(std::string_view idText, const MCPError& error) {
  const JsonText message(error.message);
  if (!message.isUtf8())
    return std::nullopt;
  std::string line = envelopeStart(idText);
  line.append(R"(,"error":{"code":)").append(std::to_string(error.code)).append(R"(,"message":")");
  for (const auto& piece : message.pieces())
    line.append(piece);
  line.append("\"}}");
  return line;
}

std::vector<std::string_view> ToolCallLine::pieces() const {
  std::vector<std::string_view> pieces;
  pieces.reserve(text_->pieces().size() + 2);
  pieces.emplace_back(head_);
  for (const auto& piece : text_->pieces())
    pieces.emplace_back(piece);
  pieces.emplace_back(tail_);
  return pieces;
}

std::string ToolCallLine::joined() const {
  std::string line;
  for (auto piece : pieces())
    line.append(piece);
  line.pop_back(); // the line feed
  return line;
}

std::optional<ToolCallLine> toolCallLine(std::string_view idText, const ToolResult& result) {
  if (!result.text.isUtf8())
    return std::nullopt;
  std::string head = envelopeStart(idText);
  head.append(R"(,"result":{"content":[{"type":"text","text":")");
  std::string tail = R"("}],"isError":)";
  tail.append(result.isError ? "true" : "false").append("}}\n");
  return ToolCallLine(std::move(head), result.text, std::move(tail));
}

} // namespace vantrel::server

namespace vantrel::server {

std::size_t maxToolTextSize() {
  const ToolResult empty = ToolResult::fail(JsonText());
  return kMaxResponseLine - toolCallLine("0", empty)->size();
}

} // namespace vantrel::server
