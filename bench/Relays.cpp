#include "Relays.h"

#include "Report.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::bench {

std::vector<Peer> findPeers(const std::string& dir) {
  // Built as their own build scripts leave them.
  std::vector<Peer> peers = {{kRust, "rust/peer-rust", ""}, {kGo, "go/peer-go", ""}};
  for (auto& peer : peers) {
    if (dir.empty()) {
      peer.notRun = "no --peers DIR given";
      continue;
    }
    peer.path = dir + "/" + peer.path;
    struct stat info {};
    if (::stat(peer.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(peer.path.c_str(), X_OK) != 0)
      peer.notRun = "no executable " + peer.path;
  }
  return peers;
}

Lineup::Lineup(const std::string& mcpPath, const std::vector<Peer>& peers,
               const std::string& token) {
  std::vector<std::pair<std::string, std::string>> relays = {{kServer, mcpPath}};
  for (const auto& peer : peers)
    if (peer.notRun.empty())
      relays.emplace_back(peer.name, peer.path);
  for (const auto& [name, path] : relays) {
    bridges_.push_back(std::make_unique<BenchBridge>(token));
    homes_.push_back(std::make_unique<testing::SupportDir>());
    homes_.back()->writeToken(bridges_.back()->port(), token);
    auto env = homes_.back()->env();
    env["PATH"] = "/usr/bin:/bin";
    subjects_.push_back({name, path, bridges_.back().get(), std::move(env)});
  }
}

} // namespace vantrel::bench
