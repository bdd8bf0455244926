#include "server/JsonRpc.h"

#include "common/Json.h"
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

std::string envelopeStart(std::string_view idText) {
  std::string line = R"({"jsonrpc":"2.0","id":)";
  line.append(idText);
  return line;
}

} // namespace

std::optional<Request> decodeRequest(std::string& line) {
  replaceInvalidUtf8(line);
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

std::optional<std::string> resultLine(std::string_view idText, const json& result) {
  auto text = dumpJson(result);
  if (!text)
    return std::nullopt;
  std::string line = envelopeStart(idText);
  line.append(R"(,"result":)").append(*text).append("}");
  return line;
}

std::optional<std::string> errorLine(std::string_view idText, const MCPError& error) {
  std::string line = envelopeStart(idText);
  line.append(R"(,"error":{"code":)").append(std::to_string(error.code)).append(R"(,"message":)");
  if (!appendJsonString(line, error.message))
    return std::nullopt;
  line.append("}}");
  return line;
}

std::optional<std::string> toolCallLine(std::string_view idText, const ToolResult& result) {
  std::string line = envelopeStart(idText);
  line.append(R"(,"result":{"content":[{"type":"text","text":)");
  if (!appendJsonString(line, result.text))
    return std::nullopt;
  line.append(R"(}],"isError":)").append(result.isError ? "true" : "false").append("}}");
  return line;
}

} // namespace vantrel::server
