#pragma once

#include "common/WaitReady.h"

#include <optional>
#include <string_view>

namespace vantrel {

// Writes all of `bytes` to `fd`. A signal (macOS delivers EINTR, for one when a debugger
// attaches), a full non-blocking pipe or a short write never stops it mid-way: only a reader
// that has gone (EPIPE and the like) or a failing file does, and then it returns false with
// errno from that write. Blocks while the reader does not read. Any thread.
// A full descriptor is waited on with `method`, by default the one waitMethodFor() gives.
bool writeAll(int fd, std::string_view bytes, std::optional<WaitMethod> method = std::nullopt);

} // namespace vantrel
