#include "common/Utf8.h"

#include <cstddef>
#include <cstdint>

namespace vantrel {
namespace {

// Length of the well-formed sequence starting at `i`, or 0 when it is ill-formed. `bad` gets the
// length of the maximal ill-formed subpart to skip (at least 1).
std::size_t sequenceLength(std::string_view s, std::size_t i, std::size_t& bad) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  std::uint8_t b0 = byte(i);
  bad = 1;
  if (b0 < 0x80)
    return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0)
      lo = 0xA0; // overlong
    if (b0 == 0xED)
      hi = 0x9F; // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0)
      lo = 0x90; // overlong
    if (b0 == 0xF4)
      hi = 0x8F; // past U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size())
      return 0;
    std::uint8_t b = byte(i + k);
    if (b < lo || b > hi)
      return 0;
    lo = 0x80;
    hi = 0xBF;
    bad = k + 1;
  }
  return need + 1;
}

} // namespace

bool isValidUtf8(std::string_view bytes) {
  std::size_t bad;
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t n = sequenceLength(bytes, i, bad);
    if (n == 0)
      return false;
    i += n;
  }
  return true;
}

void replaceInvalidUtf8(std::string& text) {
  if (isValidUtf8(text))
    return;
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t bad;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = sequenceLength(text, i, bad);
    if (n > 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  text.swap(out);
}

} // namespace vantrel
