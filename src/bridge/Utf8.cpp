#include "bridge/Utf8.h"

namespace vantrel::bridge {

bool isValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    // The bounds of the first continuation byte exclude overlongs, surrogates and > U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0)
        low = 0xA0;
      if (lead == 0xED)
        high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0)
        low = 0x90;
      if (lead == 0xF4)
        high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length)
      return false;
    const auto first = static_cast<unsigned char>(bytes[i + 1]);
    if (first < low || first > high)
      return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < 0x80 || next > 0xBF)
        return false;
    }
    i += length;
  }
  return true;
}

} // namespace vantrel::bridge
