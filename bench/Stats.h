#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace vantrel::bench {

struct Summary {
  std::size_t count = 0;
  double p50 = 0;
  double p99 = 0;
  double max = 0;
};

// Nearest-rank percentile of samples sorted ascending; `p` in [0, 100]. 0 for no samples.
double percentile(const std::vector<double>& sorted, double p);

// Sorts a copy; medians and tails are what a noisy shared machine lets us quote.
Summary summarize(std::vector<double> samples);

// The nearest-rank median (the lower middle sample of an even count); nothing for no samples.
std::optional<double> median(std::vector<double> samples);

} // namespace vantrel::bench
