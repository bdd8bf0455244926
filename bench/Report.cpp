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

void Report::countReplies(std::uint64_t checked, std::uint64_t misframed, std::string example) {
  repliesChecked_ += checked;
  misframed_ += misframed;
  if (misframedExample_.empty() && misframed > 0)
    misframedExample_ = std::move(example);
}

std::string Report::table() const {
  auto cell = [](const std::optional<double>& v, const std::string& unit) {
    return v ? formatNumber(*v) + (unit.empty() ? "" : " " + unit) : std::string("n/a");
  };
  std::vector<std::vector<std::string>> lines;
  lines.push_back({"measure", "value", "floor", "target", "result"});
  for (const auto& row : rows_) {
    std::string result = !row.met ? (row.target.empty() ? "" : "n/a") : *row.met ? "met" : "MISSED";
    lines.push_back({row.label, cell(row.value, row.unit),
                     row.floor ? cell(row.floor, row.unit) : "", row.target, result});
  }
  // Widths in characters, not bytes: every text here is ASCII apart from "≤"/"≥"/"×".
  auto width = [](const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s)
      n += (c & 0xC0) != 0x80;
    return n;
  };
  std::vector<std::size_t> widths(5, 0);
  for (const auto& line : lines)
    for (std::size_t i = 0; i < line.size(); ++i)
      widths[i] = std::max(widths[i], width(line[i]));
  std::string out;
  for (std::size_t l = 0; l < lines.size(); ++l) {
    for (std::size_t i = 0; i < lines[l].size(); ++i) {
      out += lines[l][i];
      if (i + 1 < lines[l].size())
        out += std::string(widths[i] - width(lines[l][i]) + 2, ' ');
    }
    out += "\n";
    if (l == 0)
      out += std::string(widths[0] + widths[1] + widths[2] + widths[3] + widths[4] + 8, '-') + "\n";
  }
  for (const auto& row : rows_)
    if (!row.note.empty())
      out += "  " + row.label + ": " + row.note + "\n";
  for (const auto& [phase, why] : failures_)
    out += "FAILED " + phase + ": " + why + "\n";
  return out;
}

nlohmann::json Report::toJson(const nlohmann::json& setup) const {
  nlohmann::json results = nlohmann::json::object();
  for (const auto& row : rows_) {
    nlohmann::json entry = {{"label", row.label}, {"unit", row.unit}};
    entry["value"] = row.value ? nlohmann::json(*row.value) : nlohmann::json(nullptr);
    if (row.floor)
      entry["floor"] = *row.floor;
    if (!row.target.empty()) {
      entry["target"] = row.target;
      entry["met"] = row.met ? nlohmann::json(*row.met) : nlohmann::json(nullptr);
    }
    if (!row.note.empty())
      entry["note"] = row.note;
    results[row.key] = std::move(entry);
  }
  nlohmann::json failures = nlohmann::json::array();
  for (const auto& [phase, why] : failures_)
    failures.push_back({{"phase", phase}, {"reason", why}});
  return {{"setup", setup}, {"results", results}, {"failures", failures}, {"missed", missed()}};
}

std::size_t Report::missed() const {
  auto count = std::count_if(rows_.begin(), rows_.end(),
                             [](const Row& row) { return row.met && !*row.met; });
  return static_cast<std::size_t>(count) + failures_.size();
}

} // namespace vantrel::bench
