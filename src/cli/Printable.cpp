#include "cli/Printable.h"

#include "common/Utf8.h"

#include <cstdio>

namespace vantrel::cli {

std::string printable(std::string_view text) {
  std::string valid(text);
  replaceInvalidUtf8(valid);
  std::string shown;
  shown.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size(); ++i) {
    auto byte = static_cast<unsigned char>(valid[i]);
    char escaped[8];
    if (byte < 0x20 || byte == 0x7f) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    } else if (byte == 0xc2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) < 0xa0) {
      // U+0080..U+009F, the C1 controls: in valid UTF-8 a 0xC2 lead is always followed by a
      // continuation byte, so this pair is one of them.
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(valid[++i]));
      shown += escaped;
    } else {
      shown += valid[i];
    }
  }
  return shown;
}

} // namespace vantrel::cli
