#pragma once

#include <string>
#include <string_view>

namespace vantrel::cli {

// `text` made safe to show inside one line on a terminal: ill-formed UTF-8 becomes U+FFFD, and
// control characters (C0, DEL, C1) become \xNN or \u00NN, so a path or an argument holding a line
// break or an escape sequence can neither split the line nor move the cursor. Pure.
std::string printable(std::string_view text);

} // namespace vantrel::cli
