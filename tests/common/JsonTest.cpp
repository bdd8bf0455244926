#include "common/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vantrel {
namespace {

using nlohmann::json;
using namespace std::string_view_literals;

TEST(JsonTest, ParseRefusesWhatIsNotOneValidDocument) {
  EXPECT_EQ(parseJson(R"({"a":[1,"x"]})"), json::parse(R"({"a":[1,"x"]})"));
  EXPECT_EQ(parseJson("42"), json(42)) << "callers judge the top level";
  for (std::string_view text : {""sv, "{"sv, R"({"a":1} x)"sv, "{\"a\":1}\0{\"b\":2}"sv,
                                "{\"a\":1}\0garbage"sv, "\0"sv, "[1e400]"sv}) {
    EXPECT_FALSE(parseJson(text)) << text;
  }
}

TEST(JsonTest, NestingLimitCountsOnlyStructureOutsideStrings) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parseJson(nested(kMaxJsonNesting)));
  EXPECT_FALSE(parseJson(nested(kMaxJsonNesting + 1)));
  EXPECT_FALSE(parseJson(nested(200000))) << "refused before the parser sees it";
  EXPECT_TRUE(parseJson(R"([")" + std::string(5000, '[') + R"(\"{"])"));
}

TEST(JsonTest, DumpWritesOnlyValidJson) {
  EXPECT_EQ(dumpJson(json{{"text", "line\nbreak 中"}}), R"({"text":"line\nbreak 中"})");
  EXPECT_FALSE(dumpJson(json{{"text", "bad \xff byte"}}));
  EXPECT_FALSE(dumpJson(json{{"n", std::nan("")}}));
  EXPECT_FALSE(dumpJson(json{{"a", {1, std::numeric_limits<double>::infinity()}}}));
  json deep = json::array();
  for (std::size_t i = 0; i < kMaxJsonNesting; ++i)
    deep = json::array({deep});
  EXPECT_FALSE(dumpJson(deep)) << "one level past the limit";
}

TEST(JsonTest, IntegralInt64TakesEveryIntegralSpellingInRange) {
  EXPECT_EQ(integralInt64(json::parse("20")), 20);
  EXPECT_EQ(integralInt64(json::parse("20.0")), 20);
  EXPECT_EQ(integralInt64(json::parse("2e1")), 20);
  EXPECT_EQ(integralInt64(json::parse("-9223372036854775808")), INT64_MIN);
  EXPECT_EQ(integralInt64(json::parse("9223372036854775807")), INT64_MAX);
  for (const char* text : {"20.5", "9223372036854775808", "18446744073709551615", "1e300",
                           "-9.3e18", "\"20\"", "true", "null"}) {
    EXPECT_FALSE(integralInt64(json::parse(text))) << text;
  }
}

} // namespace
} // namespace vantrel
