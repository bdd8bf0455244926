#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace vantrel::hostsim {

// How long the Bridge a bridge.token names has to answer before the file counts as left over.
inline constexpr std::chrono::seconds kAnswerPatience{2};

// A bridge.token whose Bridge answers: another app (the desktop app itself, another stand-in)
// serves that folder.
struct LiveBridge {
  std::filesystem::path tokenFile;
  int port = 0;
};

// The first of `tokenFiles` whose port on 127.0.0.1 gives an HTTP answer, of any status, within
// `patience`. Nothing when each is missing or damaged, or names a port that refuses or stays
// silent: such a file was left by an app that has gone. The probe carries no token. Blocks up to
// about `patience` per file; any thread.
std::optional<LiveBridge> findLiveBridge(const std::vector<std::filesystem::path>& tokenFiles,
                                         std::chrono::milliseconds patience);

// Whether the bridge.token at `path` still holds `token`: false when it is gone, damaged, or
// another app's. Any thread.
bool holdsToken(const std::filesystem::path& path, std::string_view token);

} // namespace vantrel::hostsim
