#include "Text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace vantrel::hostsim {

std::size_t characterCount(std::string_view utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80)
      ++count;
  return count;
}

std::string firstCharacters(std::string_view utf8, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && seen++ == count)
      return std::string(utf8.substr(0, i));
  }
  return std::string(utf8);
}

bool containsFolded(std::string_view haystack, std::string_view needle) {
  auto fold = [](std::string_view s) {
    std::string out(s);
    for (char& c : out)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  return fold(haystack).find(fold(needle)) != std::string::npos;
}

std::optional<double> parseNumber(std::string_view text) {
  std::string copy(text);
  if (copy.empty() || std::isspace(static_cast<unsigned char>(copy.front())))
    return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<long long> parseInteger(std::string_view text) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find(separator, start);
    parts.emplace_back(text.substr(start, at - start));
    if (at == std::string_view::npos)
      return parts;
    start = at + 1;
  }
}

} // namespace vantrel::hostsim
