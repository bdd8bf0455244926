#include "Stats.h"

#include <gtest/gtest.h>

namespace vantrel::bench {
namespace {

TEST(StatsTest, NearestRankPercentiles) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) // unsorted on purpose: summarize sorts
    samples.push_back(i);
  Summary s = summarize(samples);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(s.p50, 50);
  EXPECT_EQ(s.p99, 99);
  EXPECT_EQ(s.max, 100);
}

TEST(StatsTest, SmallAndEmptySets) {
  EXPECT_EQ(summarize({}).p50, 0);
  EXPECT_EQ(summarize({7}).p99, 7);
  // With twenty samples the 99th percentile is the largest, not an interpolation past it.
  std::vector<double> twenty(19, 1.0);
  twenty.push_back(9.0);
  EXPECT_EQ(summarize(twenty).p99, 9.0);
  EXPECT_EQ(summarize(twenty).p50, 1.0);
}

TEST(StatsTest, MedianOfRoundsIsASampleAndNothingForNone) {
  EXPECT_FALSE(median({}));
  EXPECT_EQ(median({5}), 5);
  EXPECT_EQ(median({9, 1, 5}), 5);
  EXPECT_EQ(median({9, 1, 5, 7}), 5); // the lower middle, never a value no round measured
}

} // namespace
} // namespace vantrel::bench
