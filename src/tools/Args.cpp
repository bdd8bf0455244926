#include "tools/Args.h"

#include "common/Json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vantrel::tools {

using nlohmann::json;

namespace {

const json* member(std::string_view key, const json& arguments) {
  if (!arguments.is_object())
    return nullptr;
  auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : &*it;
}

std::optional<std::int64_t> parseDecimalInteger(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  std::string_view digits = text;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty())
    return std::nullopt;
  // Accumulate toward the negative side so INT64_MIN parses without overflow.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10)
      return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin)
      return std::nullopt;
    value = -value;
  }
  return value;
}

} // namespace

std::optional<bool> boolArg(std::string_view key, const json& arguments) {
  const json* value = member(key, arguments);
  if (!value)
    return std::nullopt;
  if (value->is_boolean())
    return value->get<bool>();
  if (!value->is_string())
    return std::nullopt;
  std::string lowered = value->get<std::string>();
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "true")
    return true;
  if (lowered == "false")
    return false;
  return std::nullopt;
}

std::optional<std::int64_t> intArg(std::string_view key, const json& arguments) {
  const json* value = member(key, arguments);
  if (!value)
    return std::nullopt;
  if (value->is_number())
    return integralInt64(*value);
  if (value->is_string())
    return parseDecimalInteger(value->get_ref<const std::string&>());
  return std::nullopt;
}

std::optional<double> numberValue(const json& value) {
  if (value.is_number())
    return value.get<double>();
  if (!value.is_string())
    return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.empty())
    return std::nullopt;
  switch (text.front()) {
  case ' ':
  case '\t':
  case '\n':
  case '\v':
  case '\f':
  case '\r':
    return std::nullopt;
  default:
    break;
  }
  // The process never changes its locale, so strtod reads the C locale's point.
  char* end = nullptr;
  double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size())
    return std::nullopt; // also refuses embedded NULs
  return parsed;
}

std::optional<double> numberArg(std::string_view key, const json& arguments) {
  const json* value = member(key, arguments);
  if (!value)
    return std::nullopt;
  return numberValue(*value);
}

std::optional<std::string> stringArg(std::string_view key, const json& arguments) {
  const json* value = member(key, arguments);
  if (!value || !value->is_string())
    return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::string> shortIdArg(const json& arguments) {
  auto id = stringArg("shortID", arguments);
  if (!id || id->empty())
    return std::nullopt;
  return id;
}

std::string decimalText(double value) {
  if (std::isnan(value))
    return "nan";
  if (std::isinf(value))
    return value < 0 ? "-inf" : "inf";
  if (value == 0)
    return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form, e.g. "1.25e+01", then laid out by exponent.
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, end);
  bool negative = sci.front() == '-';
  if (negative)
    sci.erase(0, 1);
  auto e = sci.find('e');
  int exponent = std::stoi(sci.substr(e + 1));
  std::string digits = sci.substr(0, e);
  if (auto point = digits.find('.'); point != std::string::npos)
    digits.erase(point, 1);

  // Built by appending only: GCC 12 warns falsely (-Wrestrict) on "literal" + string at -O3.
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    if (std::abs(exponent) < 10)
      out += '0';
    out += std::to_string(std::abs(exponent));
    return out;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  auto intDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= intDigits) {
    out += digits;
    out.append(intDigits - digits.size(), '0');
    out += ".0";
    return out;
  }
  out.append(digits, 0, intDigits);
  out += '.';
  out.append(digits, intDigits);
  return out;
}

} // namespace vantrel::tools
