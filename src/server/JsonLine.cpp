#include "server/JsonLine.h"

#include "common/Utf8.h"

#include <cmath>
#include <vector>

namespace vantrel::server {
namespace {

// Checked before parsing so a hostile line costs one linear pass, never deep recursion later.
bool nestingWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit)
        return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// Non-finite numbers would silently turn into null in the output; walk without recursion.
bool allNumbersFinite(const nlohmann::json& value) {
  std::vector<const nlohmann::json*> todo{&value};
  while (!todo.empty()) {
    const nlohmann::json* v = todo.back();
    todo.pop_back();
    if (v->is_number_float() && !std::isfinite(v->get<double>()))
      return false;
    if (v->is_structured()) {
      for (const auto& child : *v)
        todo.push_back(&child);
    }
  }
  return true;
}

} // namespace

std::optional<nlohmann::json> parseRequestLine(std::string& line) {
  replaceInvalidUtf8(line);
  if (!nestingWithin(line, kMaxNesting))
    return std::nullopt;
  auto doc = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object())
    return std::nullopt;
  return doc;
}

std::optional<std::string> serializeLine(const nlohmann::json& message) {
  try {
    if (!allNumbersFinite(message))
      return std::nullopt;
    // strict: text that is not UTF-8 is a failure to report, not something to pass on mangled.
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

} // namespace vantrel::server
