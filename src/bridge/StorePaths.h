#pragma once

#include "common/Platform.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::bridge {

// The host app's folder inside the Application Support directory.
inline constexpr std::string_view kBundleDirectory = "com.quillmoor.vantrel/";

// What the support directory is worked out from. `home` is the raw $HOME, `xdgDataHome` the raw
// $XDG_DATA_HOME, `userDatabaseHome` the home directory in the user database.
struct SupportEnvironment {
  std::optional<std::string> home;
  std::optional<std::string> xdgDataHome;
  std::optional<std::string> userDatabaseHome;
};

// `path` when it is absolute, else nothing: a relative path would make the files depend on the
// working directory, so it counts as unset. Pure.
std::optional<std::string> absolute(const std::optional<std::string>& path);

// The per-user Application Support directory on `platform`, without a trailing "/":
// macOS: <home>/Library/Application Support; other Unix: $XDG_DATA_HOME when absolute, else
// <home>/.local/share. The home is $HOME when absolute, else the user database's. Nothing when
// no home can be found. Pure.
std::optional<std::string> supportDirectoryFor(Platform platform, const SupportEnvironment& env);

// What this process's support directory is worked out from: $HOME and $XDG_DATA_HOME, and the
// user database only when $HOME is unusable. Read afresh on every call. Any thread.
SupportEnvironment supportEnvironment();

// The support directory for this process, from supportEnvironment(). Any thread.
std::optional<std::string> applicationSupportDirectory();

struct StorePaths {
  // The two places where the host app may have left `relative`, in the order they are tried:
  // the bundle-identifier folder first, then the support directory itself. Does not touch the
  // file system; empty when there is no support directory.
  static std::vector<std::string> resolveCandidates(std::string_view relative);
};

} // namespace vantrel::bridge
