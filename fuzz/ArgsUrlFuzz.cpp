#include "ArgsUrlFuzz.h"

#include "bridge/Url.h"
#include "tools/Args.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vantrel::fuzz {

std::optional<std::string> percentDecoded(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size())
      return std::nullopt;
    int high = hex(text[i + 1]), low = hex(text[i + 2]);
    if (high < 0 || low < 0)
      return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

namespace {

std::vector<std::string> splitOn(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    auto end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos)
      return parts;
    start = end + 1;
  }
}

std::optional<std::string> checkPath(std::string_view path) {
  const std::string encoded = bridge::encodePath(path);
  for (unsigned char c : encoded) {
    if (c <= 0x20 || c >= 0x7F || c == '?' || c == '#')
      return "encodePath left a byte that cannot stand in a path: " + encoded;
  }
  if (percentDecoded(encoded) != std::string(path))
    return "encodePath does not decode back to its input: " + encoded;
  return std::nullopt;
}

} // namespace

std::optional<std::string> checkQuery(const std::map<std::string, std::string>& query) {
  const std::string encoded = bridge::encodeQuery(query);
  if (query.empty())
    return encoded.empty() ? std::nullopt
                           : std::optional<std::string>("an empty query encodes to text");
  for (unsigned char c : encoded) {
    if (c <= 0x20 || c >= 0x7F || c == '#' || c == '+')
      return "encodeQuery left a byte that cannot stand in a query: " + encoded;
  }
  auto items = splitOn(encoded, '&');
  if (items.size() != query.size())
    return "the query splits into the wrong number of items: " + encoded;
  auto expected = query.begin();
  for (const auto& item : items) {
    auto parts = splitOn(item, '=');
    if (parts.size() != 2)
      return "a query item does not split into name and value: " + item;
    auto name = percentDecoded(parts[0]);
    auto value = percentDecoded(parts[1]);
    if (name != expected->first || value != expected->second)
      return "a query item does not decode back, or is out of key order: " + item;
    ++expected;
  }
  return std::nullopt;
}

namespace {

std::optional<std::string> checkUrl(std::string_view path,
                                    const std::map<std::string, std::string>& query) {
  const std::string url = bridge::buildTarget(path, query);
  std::string expected;
  if (path.empty() || path.front() != '/')
    expected += '/';
  expected += bridge::encodePath(path);
  if (!query.empty())
    expected += "?" + bridge::encodeQuery(query);
  if (url != expected)
    return "buildTarget is not path and query: " + url;
  if (url.find('#') != std::string::npos)
    return "a URL with a fragment: " + url;
  return std::nullopt;
}

// strtod in full, as the readers promise to read strings.
std::optional<double> strtodWhole(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size())
    return std::nullopt;
  return value;
}

bool sameDouble(double a, double b) {
  if (std::isnan(a) || std::isnan(b))
    return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

std::optional<std::string> checkDecimal(double value) {
  const std::string text = tools::decimalText(value);
  auto back = strtodWhole(text);
  if (!back || !sameDouble(*back, value))
    return "decimalText does not read back as the same double: " + text;
  if (std::isfinite(value) && text.find('e') == std::string::npos &&
      text.find('.') == std::string::npos)
    return "decimalText of a finite value without a fraction or exponent: " + text;
  return std::nullopt;
}

// The readers against one value under key "k". Structured values are left out: the readers
// refuse them by type, and copying a deep one would only test the stack.
std::optional<std::string> checkReaders(const nlohmann::json& value) {
  if (value.is_structured())
    return std::nullopt;
  const nlohmann::json arguments = {{"k", value}};
  if (auto flag = tools::boolArg("k", arguments)) {
    if (value.is_string()) {
      std::string lowered = value.get<std::string>();
      for (char& c : lowered)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      if (lowered != (*flag ? "true" : "false"))
        return "boolArg read a string that is not true or false: " + lowered;
    } else if (!value.is_boolean() || value.get<bool>() != *flag) {
      return "boolArg read something that is not a boolean";
    }
  }
  if (auto integer = tools::intArg("k", arguments)) {
    if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      if (text.find_first_not_of("+-0123456789") != std::string::npos)
        return "intArg read a string that is not decimal digits: " + text;
      errno = 0;
      char* end = nullptr;
      long long parsed = std::strtoll(text.c_str(), &end, 10);
      if (errno != 0 || end != text.c_str() + text.size() || parsed != *integer)
        return "intArg disagrees with strtoll on: " + text;
    } else if (value.is_number_float()) {
      if (static_cast<double>(*integer) != value.get<double>())
        return "intArg changed the value of an integral number";
    } else if (!value.is_number_integer() || value.dump() != std::to_string(*integer)) {
      return "intArg changed the value of an integer";
    }
  } else if (value.is_number_integer() &&
             (!value.is_number_unsigned() ||
              value.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX))) {
    return "intArg refused a signed 64-bit integer: " + value.dump();
  }
  if (auto number = tools::numberArg("k", arguments)) {
    if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      auto parsed = strtodWhole(text);
      if (!parsed || !sameDouble(*parsed, *number) ||
          std::isspace(static_cast<unsigned char>(text[0])))
        return "numberArg disagrees with strtod on: " + text;
    } else if (!value.is_number()) {
      return "numberArg read something that is not a number";
    }
    if (auto problem = checkDecimal(*number))
      return problem;
  } else if (value.is_number()) {
    return "numberArg refused a JSON number: " + value.dump();
  }
  auto same = tools::numberValue(value);
  auto keyed = tools::numberArg("k", arguments);
  if (same.has_value() != keyed.has_value() || (same && !sameDouble(*same, *keyed)))
    return "numberValue and numberArg disagree";
  return std::nullopt;
}

} // namespace

std::optional<std::string> checkArgsUrlInput(std::string_view input) {
  if (auto problem = checkPath(input))
    return problem;

  std::map<std::string, std::string> query;
  auto lines = splitOn(input, '\n');
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2)
    query[lines[i]] = lines[i + 1];
  if (lines.size() % 2 == 1 && !lines.back().empty())
    query[lines.back()] = "";
  if (auto problem = checkQuery(query))
    return problem;
  if (auto problem = checkUrl(input, query))
    return problem;

  for (std::size_t i = 0; i + sizeof(double) <= input.size(); i += sizeof(double)) {
    double value;
    std::memcpy(&value, input.data() + i, sizeof value);
    if (auto problem = checkDecimal(value))
      return problem;
  }

  if (auto problem = checkReaders(nlohmann::json(std::string(input))))
    return problem;
  auto doc = nlohmann::json::parse(input, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_discarded()) {
    if (auto problem = checkReaders(doc))
      return problem;
    if (doc.is_object() || doc.is_array()) {
      for (const auto& member : doc) {
        if (auto problem = checkReaders(member))
          return problem;
      }
    }
  }
  return std::nullopt;
}

} // namespace vantrel::fuzz
