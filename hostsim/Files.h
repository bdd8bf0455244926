#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vantrel::hostsim {

namespace fs = std::filesystem;

enum class Durability { synced, cache };

// Replaces `path` so that a reader sees the old content or the new one, never a part: a temp
// file in the same folder, then a rename. `synced` also flushes file and folder to the disk,
// so a crash at any moment keeps one of the two; `cache` files can be made again and skip
// that cost. Creates missing folders. Returns an error text, or nothing on success.
std::optional<std::string> writeFileAtomically(const fs::path& path, std::string_view bytes,
                                               mode_t mode = 0644,
                                               Durability durability = Durability::synced);

// Flushes a file written by other means to the disk; an error text when that fails.
std::optional<std::string> syncFile(const fs::path& path);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const fs::path& path);

// `bytes` random bytes from /dev/urandom as lower-case hex; empty if the device fails.
std::string randomHex(std::size_t bytes);

// The wall clock as "2024-05-01T08:30:00Z".
std::string isoNow();

} // namespace vantrel::hostsim
