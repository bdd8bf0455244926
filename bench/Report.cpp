#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vantrel::bench {

Row row(std::string key, std::string label, std::optional<double> value, std::string unit,
        std::optional<double> floor, std::string note) {
  Row r;
  r.key = std::move(key);
  r.label = std::move(label);
  r.value = value;
  r.unit = std::move(unit);
  r.floor = floor;
  r.note = std::move(note);
  return r;
}

Row row(std::string key, std::string label, const Figures& figures, std::string unit,
        std::optional<double> floor, std::string note) {
  auto ours = figures.find(kServer);
  Row r = row(std::move(key), std::move(label), ours == figures.end() ? std::nullopt : ours->second,
              std::move(unit), floor, std::move(note));
  r.perRelay = true;
  for (const auto& [name, value] : figures)
    if (name != kServer)
      r.peers[name] = value;
  return r;
}

Row atMost(Row r, double limit, std::string target) {
  r.target = std::move(target);
  if (r.value)
    r.met = *r.value <= limit;
  return r;
}

Row atLeast(Row r, double limit, std::string target) {
  r.target = std::move(target);
  if (r.value)
    r.met = *r.value >= limit;
  return r;
}

std::string formatNumber(double value) {
  char text[64];
  double magnitude = std::fabs(value);
  // Counts stay counts: "2", not "2.00".
  int decimals = magnitude >= 100 || value == std::floor(value) ? 0
                 : magnitude >= 10                              ? 1
                 : magnitude >= 1                               ? 2
                                                                : 3;
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

Row againstPeer(const Row& measured, const std::string& peer, std::string key,
                const std::string& what, Bound bound, double limit) {
  Row r = row(std::move(key), what + " / " + peer + "'s", std::nullopt, "×");
  char factor[32];
  std::snprintf(factor, sizeof factor, "%g", limit); // as the target is written: 0.85, 1.2
  const std::string target = (bound == Bound::AtMost    ? "≤ "
                              : bound == Bound::AtLeast ? "≥ "
                                                        : "< ") +
                             std::string(factor) + "×";
  auto theirs = measured.peers.find(peer);
  if (theirs == measured.peers.end())
    r.unmeasured = "the " + peer + " relay did not run";
  else if (!theirs->second || *theirs->second <= 0)
    r.unmeasured = "no figure from the " + peer + " relay";
  if (!r.unmeasured.empty()) {
    r.target = target;
    return r;
  }
  const double base = *theirs->second;
  auto text = [&](double v) {
    return formatNumber(v) + (measured.unit.empty() ? "" : " " + measured.unit);
  };
  if (measured.value) {
    r.value = *measured.value / base;
    r.note = text(*measured.value) + " against " + text(base);
  }
  if (bound == Bound::Below) {
    r.target = target;
    if (r.value)
      r.met = *r.value < limit;
    return r;
  }
  return bound == Bound::AtMost ? atMost(std::move(r), limit, target)
                                : atLeast(std::move(r), limit, target);
}

void Tally::count(std::uint64_t lines, std::uint64_t wrong, std::string line) {
  checked += lines;
  misframed += wrong;
  if (example.empty() && wrong > 0)
    example = std::move(line);
}

std::string Report::table() const {
  auto cell = [](const std::optional<double>& v, const std::string& unit) {
    return v ? formatNumber(*v) + (unit.empty() ? "" : " " + unit) : std::string("n/a");
  };
  std::vector<std::string> header = {"measure", kServer, "floor"};
  for (const auto& peer : peers_)
    header.push_back(peer.name);
  header.insert(header.end(), {"target", "result"});
  std::vector<std::vector<std::string>> lines = {header};
  for (const auto& row : rows_) {
    std::vector<std::string> line = {row.label, cell(row.value, row.unit),
                                     row.floor ? cell(row.floor, row.unit) : ""};
    for (const auto& peer : peers_) {
      auto theirs = row.peers.find(peer.name);
      line.push_back(!row.perRelay               ? ""
                     : !peer.notRun.empty()      ? "not run"
                     : theirs == row.peers.end() ? "n/a"
                                                 : cell(theirs->second, row.unit));
    }
    std::string result = !row.unmeasured.empty() ? "not measured"
                         : !row.met              ? (row.target.empty() ? "" : "n/a")
                         : *row.met              ? "met"
                                                 : "MISSED";
    line.insert(line.end(), {row.target, result});
    lines.push_back(std::move(line));
  }
  // Widths in characters, not bytes: UTF-8 continuation bytes take no column.
  auto width = [](const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s)
      n += (c & 0xC0) != 0x80;
    return n;
  };
  std::vector<std::size_t> widths(header.size(), 0);
  for (const auto& line : lines)
    for (std::size_t i = 0; i < line.size(); ++i)
      widths[i] = std::max(widths[i], width(line[i]));
  std::size_t total = 0;
  for (std::size_t w : widths)
    total += w + 2;
  std::string out;
  for (std::size_t l = 0; l < lines.size(); ++l) {
    for (std::size_t i = 0; i < lines[l].size(); ++i) {
      out += lines[l][i];
      if (i + 1 < lines[l].size())
        out += std::string(widths[i] - width(lines[l][i]) + 2, ' ');
    }
    out += "\n";
    if (l == 0)
      out += std::string(total - 2, '-') + "\n";
  }
  for (const auto& row : rows_) {
    if (!row.note.empty())
      out += "  " + row.label + ": " + row.note + "\n";
    if (!row.unmeasured.empty())
      out += "  " + row.label + ": not measured: " + row.unmeasured + "\n";
  }
  for (const auto& peer : peers_)
    if (!peer.notRun.empty())
      out += peer.name + " not run: " + peer.notRun + "\n";
  for (const auto& failure : failures_)
    out += "FAILED " + failure.phase +
           (failure.relay == kServer ? "" : " (" + failure.relay + ")") + ": " + failure.why + "\n";
  return out;
}

nlohmann::json Report::toJson(const nlohmann::json& setup) const {
  nlohmann::json results = nlohmann::json::object();
  for (const auto& row : rows_) {
    nlohmann::json entry = {{"label", row.label}, {"unit", row.unit}};
    entry["value"] = row.value ? nlohmann::json(*row.value) : nlohmann::json(nullptr);
    if (row.floor)
      entry["floor"] = *row.floor;
    if (row.perRelay) {
      // As the table's cells: a figure, null where a peer ran without one, or "not run".
      nlohmann::json peers = nlohmann::json::object();
      for (const auto& peer : peers_) {
        auto theirs = row.peers.find(peer.name);
        peers[peer.name] = !peer.notRun.empty() ? nlohmann::json("not run")
                           : theirs != row.peers.end() && theirs->second
                               ? nlohmann::json(*theirs->second)
                               : nlohmann::json(nullptr);
      }
      entry["peers"] = std::move(peers);
    }
    if (!row.target.empty()) {
      entry["target"] = row.target;
      entry["met"] = row.met ? nlohmann::json(*row.met) : nlohmann::json(nullptr);
    }
    if (!row.unmeasured.empty())
      entry["unmeasured"] = row.unmeasured;
    if (!row.note.empty())
      entry["note"] = row.note;
    results[row.key] = std::move(entry);
  }
  nlohmann::json peers = nlohmann::json::array();
  for (const auto& peer : peers_) {
    nlohmann::json entry = {{"name", peer.name}, {"ran", peer.notRun.empty()}};
    if (!peer.notRun.empty())
      entry["notRun"] = peer.notRun;
    peers.push_back(std::move(entry));
  }
  nlohmann::json failures = nlohmann::json::array();
  for (const auto& failure : failures_)
    failures.push_back(
        {{"relay", failure.relay}, {"phase", failure.phase}, {"reason", failure.why}});
  return {{"setup", setup},       {"peers", peers},     {"results", results},
          {"failures", failures}, {"missed", missed()}, {"unmeasured", unmeasured()}};
}

std::size_t Report::missed() const {
  auto rows = std::count_if(rows_.begin(), rows_.end(),
                            [](const Row& row) { return row.met && !*row.met; });
  auto failed = std::count_if(failures_.begin(), failures_.end(),
                              [](const Failure& failure) { return failure.relay == kServer; });
  return static_cast<std::size_t>(rows + failed);
}

std::size_t Report::unmeasured() const {
  return static_cast<std::size_t>(std::count_if(
      rows_.begin(), rows_.end(), [](const Row& row) { return !row.unmeasured.empty(); }));
}

} // namespace vantrel::bench
