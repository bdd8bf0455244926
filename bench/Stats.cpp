#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vantrel::bench {

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty())
    return 0;
  // Nearest rank: the smallest sample with at least p% of the samples at or below it.
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  Summary summary;
  summary.count = samples.size();
  summary.p50 = percentile(samples, 50);
  summary.p99 = percentile(samples, 99);
  summary.max = samples.empty() ? 0 : samples.back();
  return summary;
}

std::optional<double> median(std::vector<double> samples) {
  if (samples.empty())
    return std::nullopt;
  return summarize(std::move(samples)).p50;
}

} // namespace vantrel::bench
