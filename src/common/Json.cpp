#include "common/Json.h"

#include "common/Utf8.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
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

// The smallest magnitude a JSON number cannot have: 2^1024 - 2^970, halfway between the largest
// double and 2^1024, from where strtod rounds to infinity (a tie goes to the even 2^1024).
// nlohmann's parser refuses a number that reads as infinity; these are its 309 digits.
constexpr std::string_view kOverflowDigits =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775"
    "8720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484581"
    "7711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699"
    "508093042880177904174497792";
constexpr std::int64_t kOverflowExponent = 309; // kOverflowDigits is 0.1797... * 10^309

// Whether a number's digits, fed in order, read as a finite double: compares them with
// kOverflowDigits as they come, so a number of any length costs no memory.
class Magnitude {
public:
  void integerDigit(char d) { significantDigit(d, true); }
  void fractionDigit(char d) {
    if (significant_ || d != '0')
      significantDigit(d, false);
    else
      ++leadingZeros_;
  }
  void exponentSign(bool negative) { negativeExponent_ = negative; }
  void exponentDigit(char d) {
    // Saturates far past any decimal exponent a text in memory can offset.
    exponent_ = std::min<std::int64_t>(exponent_ * 10 + (d - '0'), std::int64_t(1) << 50);
  }

  bool finite() const {
    if (!significant_)
      return true; // zero
    // The value is 0.d1d2d3... * 10^decimalExponent, with d1 the first digit that is not 0.
    const std::int64_t decimalExponent = (integerDigits_ > 0 ? integerDigits_ : -leadingZeros_) +
                                         (negativeExponent_ ? -exponent_ : exponent_);
    if (decimalExponent != kOverflowExponent)
      return decimalExponent < kOverflowExponent;
    // Equal so far and shorter: kOverflowDigits ends in a digit that is not 0, so it is less.
    return order_ < 0 || (order_ == 0 && compared_ < kOverflowDigits.size());
  }

private:
  void significantDigit(char d, bool integer) {
    if (d == '0' && !significant_)
      return; // the integer part 0
    significant_ = true;
    integerDigits_ += integer;
    if (order_ != 0)
      return;
    if (compared_ < kOverflowDigits.size()) {
      const char bound = kOverflowDigits[compared_++];
      order_ = d < bound ? -1 : d > bound ? 1 : 0;
    } else if (d != '0') {
      order_ = 1;
    }
  }

  bool significant_ = false;
  std::int64_t integerDigits_ = 0; // digits before the point, from the first that is not 0
  std::int64_t leadingZeros_ = 0;  // zeros after the point before the first other digit
  std::int64_t exponent_ = 0;
  bool negativeExponent_ = false;
  std::size_t compared_ = 0; // significant digits compared with kOverflowDigits
  int order_ = 0;            // the digits so far against kOverflowDigits: -1, 0 or 1
};

bool isDigit(int c) {
  return c >= '0' && c <= '9';
}

// Reads one JSON document from the unescaped bytes of a text, accepting exactly what nlohmann's
// parser accepts, and notes whether its top level is an object with a member named `key`. It
// keeps a bit per open container and nothing of the text: each top-level name is compared with
// `key` as it is decoded, so a string of any size costs no memory. Needs UTF-8 text: strings are
// taken as they are, where nlohmann would check them. A NUL byte is refused wherever it stands,
// where nlohmann would end its input at one outside a string.
class MemberScanner {
public:
  MemberScanner(const JsonText& text, std::string_view key) : in_(text.reader()), key_(key) {}

  // True when the whole text is one valid document with the member. Throws only bad_alloc.
  bool found() {
    if (peek() == 0xEF && !(get() == 0xEF && get() == 0xBB && get() == 0xBF))
      return false; // nlohmann skips a byte order mark, and refuses the start of any other
    int c = token();
    for (;;) {
      // `c` starts a value.
      switch (c) {
      case '{':
        c = token();
        if (c == '}')
          break;
        if (!member(c, open_.empty()))
          return false;
        open_.push_back(true);
        c = token();
        continue;
      case '[':
        c = token();
        if (c == ']')
          break;
        open_.push_back(false);
        continue;
      case '"':
        if (!string(false))
          return false;
        break;
      case 't':
        if (!literal("rue"))
          return false;
        break;
      case 'f':
        if (!literal("alse"))
          return false;
        break;
      case 'n':
        if (!literal("ull"))
          return false;
        break;
      default:
        if (!number(c))
          return false;
      }
      // A value is complete: what follows either starts the next one or closes its container.
      for (;;) {
        if (open_.empty())
          return token() == kEnd && found_;
        c = token();
        const bool inObject = open_.back();
        if (c == ',') {
          c = token();
          if (inObject) {
            if (!member(c, open_.size() == 1))
              return false;
            c = token();
          }
          break;
        }
        if (c != (inObject ? '}' : ']'))
          return false;
        open_.pop_back();
      }
    }
  }

private:
  static constexpr int kEnd = JsonText::Reader::kEnd;

  int peek() { return in_.peek(); }
  int get() { return in_.get(); }
  // The first byte of the next token, taken.
  int token() {
    int c = get();
    while (c == ' ' || c == '\t' || c == '\n' || c == '\r')
      c = get();
    return c;
  }

  // A member's name, starting at `c`, and the colon after it.
  bool member(int c, bool topLevel) { return c == '"' && string(topLevel) && token() == ':'; }

  // The rest of a string whose opening quote is taken; a top-level name is compared with key_.
  bool string(bool topLevel) {
    bool same = topLevel; // the bytes so far are the start of key_
    std::size_t matched = 0;
    auto compare = [&](int byte) {
      same = same && matched < key_.size() && key_[matched++] == static_cast<char>(byte);
    };
    for (;;) {
      if (std::string_view run = in_.plainRun(); same && !run.empty()) {
        same = key_.substr(matched).starts_with(run);
        matched += run.size();
      }
      int c = get(); // an escape, or the first byte of the next piece
      if (c == '"') {
        found_ = found_ || (same && matched == key_.size());
        return true;
      }
      if (c == kEnd || c < 0x20)
        return false; // control characters stand only as escapes
      if (c != '\\') {
        compare(c);
        continue;
      }
      switch (c = get()) {
      case '"':
      case '\\':
      case '/':
        break;
      case 'b':
        c = '\b';
        break;
      case 'f':
        c = '\f';
        break;
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      case 'u': {
        std::uint32_t point = 0;
        if (!codePoint(point))
          return false;
        if (same) {
          char bytes[4];
          for (std::size_t i = 0, n = encodeUtf8(point, bytes); i < n; ++i)
            compare(static_cast<unsigned char>(bytes[i]));
        }
        continue;
      }
      default:
        return false;
      }
      compare(c);
    }
  }

  // The code point of a \u escape whose "\u" is taken, joining a surrogate pair as nlohmann does:
  // a high surrogate must be followed at once by an escaped low one, and a low one never stands
  // alone.
  bool codePoint(std::uint32_t& point) {
    if (!hex4(point))
      return false;
    if (point >= 0xDC00 && point <= 0xDFFF)
      return false;
    if (point < 0xD800 || point > 0xDBFF)
      return true;
    std::uint32_t low = 0;
    if (get() != '\\' || get() != 'u' || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
      return false;
    point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
    return true;
  }

  bool hex4(std::uint32_t& value) {
    for (int i = 0; i < 4; ++i) {
      const int c = get();
      int digit;
      if (isDigit(c))
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        return false;
      value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  static std::size_t encodeUtf8(std::uint32_t point, char* out) {
    auto byte = [](std::uint32_t b) { return static_cast<char>(b); };
    if (point < 0x80) {
      out[0] = byte(point);
      return 1;
    }
    if (point < 0x800) {
      out[0] = byte(0xC0 | point >> 6);
      out[1] = byte(0x80 | (point & 0x3F));
      return 2;
    }
    if (point < 0x10000) {
      out[0] = byte(0xE0 | point >> 12);
      out[1] = byte(0x80 | ((point >> 6) & 0x3F));
      out[2] = byte(0x80 | (point & 0x3F));
      return 3;
    }
    out[0] = byte(0xF0 | point >> 18);
    out[1] = byte(0x80 | ((point >> 12) & 0x3F));
    out[2] = byte(0x80 | ((point >> 6) & 0x3F));
    out[3] = byte(0x80 | (point & 0x3F));
    return 4;
  }

  // A number starting at `c`: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, whose value is
  // finite as a double.
  bool number(int c) {
    Magnitude magnitude;
    if (c == '-')
      c = get();
    if (!isDigit(c))
      return false;
    magnitude.integerDigit(static_cast<char>(c));
    if (c != '0') {
      while (isDigit(peek()))
        magnitude.integerDigit(static_cast<char>(get()));
    }
    if (peek() == '.') {
      get();
      if (!isDigit(peek()))
        return false;
      while (isDigit(peek()))
        magnitude.fractionDigit(static_cast<char>(get()));
    }
    if (peek() == 'e' || peek() == 'E') {
      get();
      if (peek() == '+' || peek() == '-')
        magnitude.exponentSign(get() == '-');
      if (!isDigit(peek()))
        return false;
      while (isDigit(peek()))
        magnitude.exponentDigit(static_cast<char>(get()));
    }
    return magnitude.finite();
  }

  bool literal(std::string_view rest) {
    for (char expected : rest) {
      if (get() != expected)
        return false;
    }
    return true;
  }

  JsonText::Reader in_;
  std::string_view key_;
  // One bit per open container, set for an object: a document nested millions deep costs an
  // eighth of its depth in bytes.
  std::vector<bool> open_;
  bool found_ = false;
};

// Whether the escaped text may hold `key` as a member name at all. Letters and most other
// characters can be spelled in a JSON string only as themselves or as a \u escape: a text that
// holds neither the key nor any \u escape cannot name it, and need not be scanned: on a reply
// without the name this pass takes less time than the scan. Conservative: true whenever unsure.
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
    if (!text.isUtf8() || !mayName(text, key))
      return false;
    return MemberScanner(text, key).found();
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
