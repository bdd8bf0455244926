#include "tools/Args.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vantrel::tools {
namespace {

using nlohmann::json;

json args(const char* text) {
  return json::parse(text);
}

TEST(ArgsTest, BoolArgIgnoresLetterCaseAndNothingElse) {
  EXPECT_EQ(boolArg("k", args(R"({"k":true})")), true);
  EXPECT_EQ(boolArg("k", args(R"({"k":false})")), false);
  for (const char* s : {"true", "TRUE", "tRuE"}) {
    EXPECT_EQ(boolArg("k", json{{"k", s}}), true) << s;
  }
  EXPECT_EQ(boolArg("k", args(R"({"k":"False"})")), false);
  for (const char* text :
       {R"({"k":" true"})", R"({"k":"true "})", R"({"k":"1"})", R"({"k":""})", R"({"k":1})",
        R"({"k":null})", R"({"k":[true]})", R"({})", R"({"K":true})"}) {
    EXPECT_EQ(boolArg("k", args(text)), std::nullopt) << text;
  }
}

TEST(ArgsTest, IntArgTakesIntegralNumbersAndStrictDecimalStrings) {
  for (const char* text : {R"({"k":20})", R"({"k":20.0})", R"({"k":2e1})", R"({"k":"20"})",
                           R"({"k":"+20"})", R"({"k":"0020"})"}) {
    EXPECT_EQ(intArg("k", args(text)), 20) << text;
  }
  EXPECT_EQ(intArg("k", args(R"({"k":"-3"})")), -3);
  EXPECT_EQ(intArg("k", args(R"({"k":"-9223372036854775808"})")), INT64_MIN);
  EXPECT_EQ(intArg("k", args(R"({"k":"9223372036854775807"})")), INT64_MAX);
  EXPECT_EQ(intArg("k", args(R"({"k":-9223372036854775808})")), INT64_MIN);
  for (const char* text :
       {R"({"k":20.5})", R"({"k":"20.0"})", R"({"k":"2e1"})", R"({"k":"0x10"})", R"({"k":" 20"})",
        R"({"k":"20 "})", R"({"k":"+"})", R"({"k":"-"})", R"({"k":""})", R"({"k":"+-1"})",
        R"({"k":"9223372036854775808"})", R"({"k":"-9223372036854775809"})",
        R"({"k":"99999999999999999999"})", R"({"k":9223372036854775808})", R"({"k":1e300})",
        R"({"k":true})", R"({"k":null})", R"({"k":[1]})", R"({"k":"١٢"})"}) {
    EXPECT_EQ(intArg("k", args(text)), std::nullopt) << text;
  }
}

TEST(ArgsTest, NumberArgReadsWholeStringsLikeStrtod) {
  EXPECT_EQ(numberArg("k", args(R"({"k":12})")), 12.0);
  EXPECT_EQ(numberArg("k", args(R"({"k":12.5})")), 12.5);
  EXPECT_EQ(numberArg("k", args(R"({"k":"12.5"})")), 12.5);
  EXPECT_EQ(numberArg("k", args(R"({"k":"1e1"})")), 10.0);
  EXPECT_EQ(numberArg("k", args(R"({"k":"-0.5"})")), -0.5);
  EXPECT_EQ(numberArg("k", args(R"({"k":"+.5"})")), 0.5);
  EXPECT_EQ(numberArg("k", args(R"({"k":"0x10"})")), 16.0);
  EXPECT_TRUE(std::isinf(*numberArg("k", args(R"({"k":"-inf"})"))));
  EXPECT_TRUE(std::isnan(*numberArg("k", args(R"({"k":"nan"})"))));
  for (const char* text :
       {R"({"k":" 1"})", R"({"k":"\t1"})", R"({"k":"\n1"})", R"({"k":"1 "})", R"({"k":"1a"})",
        R"({"k":""})", R"({"k":"1,5"})", R"({"k":true})", R"({"k":null})", R"({"k":{}})"}) {
    EXPECT_EQ(numberArg("k", args(text)), std::nullopt) << text;
  }
  EXPECT_EQ(numberArg("k", json{{"k", std::string("1\0", 2)}}), std::nullopt);
}

TEST(ArgsTest, ShortIdMustBeANonEmptyString) {
  EXPECT_EQ(shortIdArg(args(R"({"shortID":"  "})")), "  ");
  for (const char* text :
       {R"({})", R"({"shortID":""})", R"({"shortID":42})", R"({"shortID":null})"}) {
    EXPECT_EQ(shortIdArg(args(text)), std::nullopt) << text;
  }
}

TEST(ArgsTest, DecimalTextIsShortestRoundTripWithAFractionOnWholeNumbers) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {{5, "5.0"},
               {12.5, "12.5"},
               {0.00001, "1e-05"},
               {0.0001, "0.0001"},
               {-7.25, "-7.25"},
               {0.1, "0.1"},
               {1.0 / 3, "0.3333333333333333"},
               {123456789.0, "123456789.0"},
               {1e15, "1000000000000000.0"},
               {1e16, "1e+16"},
               {2.5e-7, "2.5e-07"},
               {1.7976931348623157e308, "1.7976931348623157e+308"},
               {0.0, "0.0"},
               {-0.0, "-0.0"},
               {100, "100.0"},
               {1e-300, "1e-300"}};
  for (const auto& c : cases)
    EXPECT_EQ(decimalText(c.value), c.text) << c.value;
  for (const auto& c : cases)
    EXPECT_EQ(std::strtod(decimalText(c.value).c_str(), nullptr), c.value);
}

} // namespace
} // namespace vantrel::tools
