#include "bridge/JsonText.h"

#include <gtest/gtest.h>

namespace vantrel::bridge {
namespace {

TEST(JsonTextTest, CompactDefaultOutput) {
  auto body = nlohmann::json::parse(R"({"b":[1,2.5,"文"],"a":{}})");
  EXPECT_EQ(dumpCompact(body), body.dump());
  EXPECT_EQ(dumpCompact(nlohmann::json::object()), "{}");
}

TEST(JsonTextTest, UnwritableDocumentsGiveNothingInsteadOfThrowing) {
  EXPECT_FALSE(dumpCompact(nlohmann::json{{"text", "bad \xFF byte"}}));

  nlohmann::json deep = nlohmann::json::array();
  for (std::size_t i = 1; i < kMaxDumpDepth; ++i)
    deep = nlohmann::json::array({std::move(deep)});
  EXPECT_TRUE(dumpCompact(deep)); // exactly at the limit
  deep = nlohmann::json::array({std::move(deep)});
  EXPECT_FALSE(dumpCompact(deep));
}

} // namespace
} // namespace vantrel::bridge
