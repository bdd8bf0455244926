// The usage report's pure parts: the error class and the report's shape. Delivery, one report
// per call and the transcript flag are the registry's (ToolRegistryTest).
#include "tools/UsageReport.h"

#include <gtest/gtest.h>

namespace vantrel::tools {
namespace {

using nlohmann::json;

TEST(UsageReportTest, ErrorClassFollowsTheFlagThenTheStatus) {
  const struct {
    ToolResult result;
    const char* err;
  } cases[] = {
      {ToolResult::ok("", 200), "none"},          {ToolResult::ok("", 0), "none"},
      {ToolResult::ok("", 404), "none"},          {ToolResult::fail("", 0), "client_arg"},
      {ToolResult::fail("", 400), "bad_request"}, {ToolResult::fail("", 401), "auth"},
      {ToolResult::fail("", 404), "not_found"},   {ToolResult::fail("", 409), "conflict"},
      {ToolResult::fail("", 413), "payload"},     {ToolResult::fail("", 500), "server"},
      {ToolResult::fail("", 403), "http403"},     {ToolResult::fail("", 502), "http502"},
      {ToolResult::fail("", 201), "http201"},     {ToolResult::fail("", 200), "http200"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorClass(c.result), c.err) << c.result.isError << " " << c.result.status;
}

TEST(UsageReportTest, ReportHasFiveMembersAndTheTranscriptFlagOnlyWhenTrue) {
  EXPECT_EQ(usageReport("get_guide", ToolResult::ok("secret text"), 12, false),
            json::parse(R"({"tool":"get_guide","ok":true,"status":200,"durMs":12,"err":"none"})"));
  EXPECT_EQ(usageReport("extract_audio", ToolResult::fail("secret", 413), 0, true),
            json::parse(R"({"tool":"extract_audio","ok":false,"status":413,"durMs":0,
                            "err":"payload","hadTranscript":true})"));
  // The name as called, also when no tool has it.
  EXPECT_EQ(usageReport(" 工具", ToolResult::fail("未知工具： 工具"), 3, false),
            json::parse(R"({"tool":" 工具","ok":false,"status":0,"durMs":3,"err":"client_arg"})"));
}

TEST(UsageReportTest, ReportGoesToTelemetryAsJson) {
  const json report = usageReport("get_events", ToolResult::ok("{}"), 7, false);
  const auto call = reportCall(report);
  EXPECT_EQ(call.method, "POST");
  EXPECT_EQ(call.path, "/telemetry");
  EXPECT_TRUE(call.query.empty());
  ASSERT_TRUE(call.jsonBody);
  EXPECT_EQ(json::parse(*call.jsonBody), report);
}

} // namespace
} // namespace vantrel::tools
