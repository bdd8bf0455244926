#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::bench {

// The relay the targets are for; every other relay measured is a peer, compared beside it.
inline const std::string kServer = "vantrel-mcp";

// Each relay's figure for one measure, by name; nothing where it could not be measured.
using Figures = std::map<std::string, std::optional<double>>;

// One measured figure, with what it is held against.
struct Row {
  std::string key;             // JSON member name, e.g. "ping_p50_us"
  std::string label;           // what the table says
  std::optional<double> value; // vantrel-mcp's; empty: could not be measured here ("n/a")
  std::string unit;
  std::optional<double> floor; // the figure it is compared with, from the same run
  std::string target;          // the target as text; empty for figures without one
  std::optional<bool> met;     // empty when there is no target or no value
  std::string note;
  // A figure measured on every relay: each peer's, by name (a peer that ran has an entry, empty
  // when it failed). Otherwise the figure is vantrel-mcp's alone and the peers' cells are blank.
  bool perRelay = false;
  std::map<std::string, std::optional<double>> peers;
  // Why the target could not be measured in this run (e.g. the peer it is set against did not
  // run); such a row is neither met nor missed.
  std::string unmeasured;
};

Row row(std::string key, std::string label, std::optional<double> value, std::string unit,
        std::optional<double> floor = std::nullopt, std::string note = {});
// A row measured on every relay: vantrel-mcp's figure is the value, the rest are the peers'.
Row row(std::string key, std::string label, const Figures& figures, std::string unit,
        std::optional<double> floor = std::nullopt, std::string note = {});

// Give the row its target "value ≤ limit" / "value ≥ limit" (described by `target`) and set
// `met`, which stays empty when there is no value.
Row atMost(Row row, double limit, std::string target);
Row atLeast(Row row, double limit, std::string target);

// vantrel-mcp's figure in `measured` over `peer`'s, held to `limit` (at most, at least, or
// strictly below: "ahead of the peer" is Below 1): a row of its own, not measured (with the
// reason) when `peer` did not run or has no figure. `what` names the figure in the label, e.g.
// "get_asset p50".
enum class Bound { AtMost, AtLeast, Below };
Row againstPeer(const Row& measured, const std::string& peer, std::string key,
                const std::string& what, Bound bound, double limit);

// A peer's column: its name, and why it did not run (empty when it did).
struct PeerColumn {
  std::string name;
  std::string notRun;
};

// Reply lines checked for one relay, and those that were not one JSON-RPC reply carrying an id
// that was sent and not yet answered; the first such line is kept.
struct Tally {
  std::uint64_t checked = 0, misframed = 0;
  std::string example;
  void count(std::uint64_t lines, std::uint64_t wrong, std::string line = {});
};

class Report {
public:
  explicit Report(std::vector<PeerColumn> peers = {}) : peers_(std::move(peers)) {}

  void add(Row row) { rows_.push_back(std::move(row)); }
  // A phase that could not run to its end for `relay`. Only vantrel-mcp's count as missed: a
  // peer's show beside the table and leave its figures empty.
  void fail(std::string phase, std::string why, std::string relay = kServer) {
    failures_.push_back({std::move(relay), std::move(phase), std::move(why)});
  }
  const std::vector<Row>& rows() const { return rows_; }
  const std::vector<PeerColumn>& peers() const { return peers_; }

  Tally& tally(const std::string& relay) { return tallies_[relay]; }
  const std::map<std::string, Tally>& tallies() const { return tallies_; }

  std::string table() const;
  nlohmann::json toJson(const nlohmann::json& setup) const;
  std::size_t missed() const;     // targets missed, vantrel-mcp's failed phases included
  std::size_t unmeasured() const; // targets that could not be measured in this run

private:
  struct Failure {
    std::string relay, phase, why;
  };
  std::vector<PeerColumn> peers_;
  std::vector<Row> rows_;
  std::vector<Failure> failures_;
  std::map<std::string, Tally> tallies_;
};

// Fixed-point text that keeps three significant figures for small values.
std::string formatNumber(double value);

} // namespace vantrel::bench
