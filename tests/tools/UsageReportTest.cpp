// The usage report's error class, for every status. The report's shape, its delivery, one
// report per call and the transcript flag are the registry's (ToolRegistryTest).
#include "tools/UsageReport.h"

#include <gtest/gtest.h>

namespace vantrel::tools {
namespace {

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

} // namespace
} // namespace vantrel::tools
