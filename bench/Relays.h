#pragma once

#include "BenchBridge.h"
#include "support/SupportDir.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::bench {

// The peer the per-call targets are set against, and the other one.
inline const std::string kRust = "Rust";
inline const std::string kGo = "Go";

// A comparison relay: its name (the table's column), its program, and why it will not run
// (empty when it will).
struct Peer {
  std::string name;
  std::string path;
  std::string notRun;
};

// The comparison relays as built in `dir` (rust/peer-rust, go/peer-go), each found or with the
// reason it will not run; all of them not run when `dir` is empty (no --peers).
std::vector<Peer> findPeers(const std::string& dir);

// One relay as the phases run it: the program, the fake Bridge that it alone talks to, and the
// whole environment that points it there.
struct Subject {
  std::string name; // kServer or a peer's name
  std::string path;
  BenchBridge* bridge = nullptr;
  std::map<std::string, std::string> env;
};

// vantrel-mcp and the peers that run, each with a Bridge and a support directory of its own, so
// that every count a Bridge keeps is one relay's alone. All the Bridges are alike and take
// `token`. Throws std::runtime_error when a Bridge cannot listen or a directory be made.
class Lineup {
public:
  Lineup(const std::string& mcpPath, const std::vector<Peer>& peers, const std::string& token);
  Lineup(const Lineup&) = delete;
  Lineup& operator=(const Lineup&) = delete;

  // vantrel-mcp first.
  const std::vector<Subject>& subjects() const { return subjects_; }

private:
  std::vector<std::unique_ptr<BenchBridge>> bridges_;
  std::vector<std::unique_ptr<testing::SupportDir>> homes_;
  std::vector<Subject> subjects_;
};

} // namespace vantrel::bench
