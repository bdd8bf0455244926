#include "TokenFiles.h"

#include "bridge/Credentials.h"

#include <httplib.h>

namespace vantrel::hostsim {
namespace {

// Read as the server reads it, so "usable" means the same on both sides.
std::optional<bridge::Credentials> credentialsIn(const std::filesystem::path& path) {
  return bridge::examineTokenFile(path.string()).credentials;
}

bool answers(int port, std::chrono::milliseconds patience) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(patience);
  client.set_read_timeout(patience);
  client.set_write_timeout(patience);
  // Read-only, and without the file's token: whatever listens there may not be its owner.
  return static_cast<bool>(client.Get("/events"));
}

} // namespace

std::optional<LiveBridge> findLiveBridge(const std::vector<std::filesystem::path>& tokenFiles,
                                         std::chrono::milliseconds patience) {
  for (const auto& path : tokenFiles) {
    auto credentials = credentialsIn(path);
    if (credentials && answers(credentials->port, patience))
      return LiveBridge{path, credentials->port};
  }
  return std::nullopt;
}

bool holdsToken(const std::filesystem::path& path, std::string_view token) {
  auto credentials = credentialsIn(path);
  return credentials && credentials->token == token;
}

} // namespace vantrel::hostsim
