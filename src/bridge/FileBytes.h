#pragma once

#include <optional>
#include <string>

namespace vantrel::bridge {

// The whole content of the regular file at `path`, or nothing when it is absent, is not a
// regular file (a directory, a FIFO, a device) or cannot be read. Any thread.
std::optional<std::string> readWholeFile(const std::string& path);

} // namespace vantrel::bridge
