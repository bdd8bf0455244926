#include "common/Json.h"

#include "common/Utf8.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace vantrel {
namespace {

// One linear pass before the parser sees the text, so a hostile line never costs more than
// that, and a NUL cannot end the document early.
bool plainAndShallow(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    return false;
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i; // an escaped character never ends the string
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonNesting)
        return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// Walks without recursion: the value may be as deep as the memory allows.
bool writable(const nlohmann::json& root) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> todo{{&root, 1}};
  while (!todo.empty()) {
    auto [value, depth] = todo.back();
    todo.pop_back();
    if (value->is_number_float() && !std::isfinite(value->get<double>()))
      return false;
    if (!value->is_structured())
      continue;
    if (depth > kMaxJsonNesting)
      return false;
    for (const auto& child : *value)
      todo.emplace_back(&child, depth + 1);
  }
  return true;
}

// Finds one member name at the top level of an object; every other event only keeps count.
class TopLevelKeyFinder : public nlohmann::json::json_sax_t {
public:
  explicit TopLevelKeyFinder(std::string_view key) : key_(key) {}
  bool found() const { return found_ && topIsObject_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    if (depth_++ == 0)
      topIsObject_ = true;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ == 1 && name == key_)
      found_ = true;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

private:
  std::string_view key_;
  std::size_t depth_ = 0;
  bool topIsObject_ = false;
  bool found_ = false;
};

// Whether the escaped text may hold `key` as a member name at all. Letters and most other
// characters can be spelled in a JSON string only as themselves or as a \u escape: a text that
// holds neither the key nor any \u escape cannot name it, and need not be parsed. Conservative:
// true whenever unsure.
bool mayName(const JsonText& text, std::string_view key) {
  if (key.find_first_of("\"\\/") != std::string_view::npos ||
      std::any_of(key.begin(), key.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
    return true;
  // A \u in the text reads "\\u" escaped; a piece boundary may fall inside either pattern.
  constexpr std::string_view kEscapedU = "\\\\u";
  const auto& pieces = text.pieces();
  const std::size_t overlap = std::max(key.size(), kEscapedU.size()) - 1;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    std::string_view piece = pieces[i];
    if (piece.find(key) != std::string_view::npos ||
        piece.find(kEscapedU) != std::string_view::npos)
      return true;
    if (i + 1 < pieces.size()) {
      std::string seam(piece.substr(piece.size() - std::min(overlap, piece.size())));
      seam.append(std::string_view(pieces[i + 1]).substr(0, overlap));
      if (seam.find(key) != std::string::npos || seam.find(kEscapedU) != std::string::npos)
        return true;
    }
  }
  return false;
}

} // namespace

std::optional<nlohmann::json> parseJson(std::string_view text) noexcept {
  try {
    if (!plainAndShallow(text))
      return std::nullopt;
    auto doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
      return std::nullopt;
    return doc;
  } catch (const std::exception&) {
    return std::nullopt; // only memory exhaustion gets here
  }
}

bool hasTopLevelMember(const JsonText& text, std::string_view key) noexcept {
  try {
    // nlohmann takes a NUL for the end of input and would ignore what follows.
    if (!text.isUtf8() || text.hasNul() || !mayName(text, key))
      return false;
    TopLevelKeyFinder finder(key);
    return nlohmann::json::sax_parse(text.begin(), text.end(), &finder) && finder.found();
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<std::string> dumpJson(const nlohmann::json& value) noexcept {
  try {
    if (!writable(value))
      return std::nullopt;
    // strict: text that is not UTF-8 is a failure to report, not something to pass on mangled.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::int64_t> integralInt64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    auto n = value.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(n);
  }
  if (value.is_number_integer())
    return value.get<std::int64_t>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    // 2^63 is exactly representable; anything at or past it does not fit. Checked before the
    // cast, which would be undefined outside the range.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 ||
        d >= 9223372036854775808.0)
      return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

} // namespace vantrel
