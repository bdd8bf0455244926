#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::bench {

// One measured figure, with what it is held against.
struct Row {
  std::string key;             // JSON member name, e.g. "ping_p50_us"
  std::string label;           // what the table says
  std::optional<double> value; // empty: could not be measured here ("n/a")
  std::string unit;
  std::optional<double> floor; // the figure it is compared with, from the same run
  std::string target;          // the target as text; empty for figures without one
  std::optional<bool> met;     // empty when there is no target or no value
  std::string note;
};

Row row(std::string key, std::string label, std::optional<double> value, std::string unit,
        std::optional<double> floor = std::nullopt, std::string note = {});

// Give the row its target "value ≤ limit" / "value ≥ limit" (described by `target`) and set
// `met`, which stays empty when there is no value.
Row atMost(Row row, double limit, std::string target);
Row atLeast(Row row, double limit, std::string target);

class Report {
public:
  void add(Row row) { rows_.push_back(std::move(row)); }
  void fail(std::string phase, std::string why) { failures_.push_back({phase, why}); }
  const std::vector<Row>& rows() const { return rows_; }

  // Server reply lines the phases checked, and those that were not one JSON-RPC reply carrying
  // an id that was sent and not yet answered; the first such line is kept for the report.
  void countReplies(std::uint64_t checked, std::uint64_t misframed, std::string example = {});
  std::uint64_t repliesChecked() const { return repliesChecked_; }
  std::uint64_t misframed() const { return misframed_; }
  const std::string& misframedExample() const { return misframedExample_; }

  std::string table() const;
  nlohmann::json toJson(const nlohmann::json& setup) const;
  std::size_t missed() const; // targets missed, failed phases included

private:
  std::vector<Row> rows_;
  std::vector<std::pair<std::string, std::string>> failures_; // phase, reason
  std::uint64_t repliesChecked_ = 0, misframed_ = 0;
  std::string misframedExample_;
};

// Fixed-point text that keeps three significant figures for small values.
std::string formatNumber(double value);

} // namespace vantrel::bench
