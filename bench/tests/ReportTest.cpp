#include "Report.h"

#include "Workload.h"

#include <gtest/gtest.h>

namespace vantrel::bench {
namespace {

TEST(ReportTest, TargetsAreMetAtTheLimitAndMissingValuesAreNeither) {
  EXPECT_TRUE(*atMost(row("a", "a", 5.0, "ms"), 5, "≤ 5 ms").met);
  EXPECT_FALSE(*atMost(row("a", "a", 5.01, "ms"), 5, "≤ 5 ms").met);
  EXPECT_TRUE(*atLeast(row("b", "b", 330000.0, "/s"), 330000, "≥").met);
  EXPECT_FALSE(*atLeast(row("b", "b", 1.0, "/s"), 330000, "≥").met);
  EXPECT_FALSE(atMost(row("c", "c", std::nullopt, "MiB"), 6, "≤ 6 MiB").met.has_value());
}

TEST(ReportTest, NumbersKeepThreeFiguresAndCountsHaveNoDecimals) {
  EXPECT_EQ(formatNumber(0.0768), "0.077");
  EXPECT_EQ(formatNumber(2.5), "2.50");
  EXPECT_EQ(formatNumber(16.04), "16.0");
  EXPECT_EQ(formatNumber(330000.4), "330000");
  EXPECT_EQ(formatNumber(2000), "2000");
  EXPECT_EQ(formatNumber(0), "0");
}

TEST(ReportTest, MissedCountsFailedPhasesAndJsonSaysNullForUnmeasured) {
  Report report;
  report.add(atMost(row("fast", "fast", 1.0, "ms"), 5, "≤ 5 ms"));
  report.add(atMost(row("slow", "slow", 9.0, "ms", 2.0), 5, "≤ 5 ms"));
  report.add(atMost(row("rss", "rss", std::nullopt, "MiB"), 6, "≤ 6 MiB"));
  report.fail("held calls", "no answer");
  EXPECT_EQ(report.missed(), 2u);

  auto json = report.toJson({{"quick", true}});
  EXPECT_EQ(json["results"]["slow"]["met"], false);
  EXPECT_EQ(json["results"]["slow"]["floor"], 2.0);
  EXPECT_TRUE(json["results"]["rss"]["value"].is_null());
  EXPECT_TRUE(json["results"]["rss"]["met"].is_null());
  EXPECT_EQ(json["failures"][0]["phase"], "held calls");
  EXPECT_EQ(json["missed"], 2);

  report.countReplies(10, 0);
  report.countReplies(5, 2, "{\"id\":9");
  report.countReplies(1, 1, "later");
  EXPECT_EQ(report.repliesChecked(), 16u);
  EXPECT_EQ(report.misframed(), 3u);
  EXPECT_EQ(report.misframedExample(), "{\"id\":9"); // the first one is kept

  std::string table = report.table();
  EXPECT_NE(table.find("MISSED"), std::string::npos);
  EXPECT_NE(table.find("n/a"), std::string::npos);
  EXPECT_NE(table.find("FAILED held calls: no answer"), std::string::npos);
}

TEST(WorkloadTest, RepliesAreCheckedByIdAndShape) {
  EXPECT_TRUE(isPingReply(R"({"id":7,"result":{},"jsonrpc":"2.0"})", 7));
  EXPECT_FALSE(isPingReply(R"({"jsonrpc":"2.0","id":8,"result":{}})", 7));
  EXPECT_FALSE(isPingReply(R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601}})", 7));
  EXPECT_FALSE(isPingReply("not json", 7));

  auto ok = parseToolReply(
      R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"{}"}],"isError":false}})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->id, 3);
  EXPECT_EQ(ok->text, "{}");
  EXPECT_EQ(replyId(R"({"jsonrpc":"2.0","id":4,"error":{"code":-32601,"message":"x"}})"), 4);
  EXPECT_FALSE(replyId(R"({"jsonrpc":"2.0","id":"4","result":{}})")); // not an id we send
  EXPECT_FALSE(replyId(R"({"jsonrpc":"2.0","id":4,"result":{},"error":{}})"));
  EXPECT_FALSE(
      replyId(R"({"jsonrpc":"2.0","id":4,"result":{}}{"jsonrpc":"2.0","id":5,"result":{}})"));

  // A failed tool call is not a right answer, however well formed.
  EXPECT_FALSE(parseToolReply(
      R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"x"}],"isError":true}})"));
}

} // namespace
} // namespace vantrel::bench
