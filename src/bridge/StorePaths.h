#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::bridge {

// The host app's folder inside the Application Support directory.
inline constexpr std::string_view kBundleDirectory = "com.quillmoor.vantrel/";

// The platform's per-user Application Support directory, without a trailing "/":
// macOS: $HOME/Library/Application Support; other Unix: $XDG_DATA_HOME when absolute, else
// $HOME/.local/share. An unset, empty or relative HOME falls back to the user database.
// Nothing when no home directory can be found at all. Worked out afresh on every call; any thread.
std::optional<std::string> applicationSupportDirectory();

struct StorePaths {
  // The two places where the host app may have left `relative`, in the order they are tried:
  // the bundle-identifier folder first, then the support directory itself. Does not touch the
  // file system; empty when there is no support directory.
  static std::vector<std::string> resolveCandidates(std::string_view relative);
};

} // namespace vantrel::bridge
