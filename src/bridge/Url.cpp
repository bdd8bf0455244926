#include "bridge/Url.h"

namespace vantrel::bridge {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool keptInPath(unsigned char c) {
  return isUnreserved(c) ||
         std::string_view("!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

// "&" and "=" would split an item; "+" reads as a space to many query parsers.
bool keptInQueryItem(unsigned char c) {
  return isUnreserved(c) ||
         std::string_view("!$'()*,;:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

template <typename Keep> void appendEncoded(std::string& out, std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
}

} // namespace

std::string encodePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  appendEncoded(out, path, keptInPath);
  return out;
}

std::string encodeQuery(const std::map<std::string, std::string>& query) {
  std::string out;
  for (const auto& [name, value] : query) {
    if (!out.empty())
      out += '&';
    appendEncoded(out, name, keptInQueryItem);
    out += '=';
    appendEncoded(out, value, keptInQueryItem);
  }
  return out;
}

std::string buildTarget(std::string_view path, const std::map<std::string, std::string>& query) {
  std::string target;
  if (path.empty() || path.front() != '/')
    target += '/';
  target += encodePath(path);
  if (!query.empty()) {
    target += '?';
    target += encodeQuery(query);
  }
  return target;
}

} // namespace vantrel::bridge
