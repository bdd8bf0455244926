#include "server/JsonRpc.h"

#include <gtest/gtest.h>

namespace vantrel::server {
namespace {

using nlohmann::json;

// The flat decoder takes the common lines without the parser; whatever it decodes must read
// exactly as the parser reads it, and whatever it cannot, it must leave to the parser.
TEST(JsonRpcTest, FlatLinesDecodeAsTheParserDecodesThem) {
  for (std::string line : {
           R"({"jsonrpc":"2.0","id":7,"method":"ping"})",
           R"( { "id" : -12 , "method" : "tools/list" , "params" : { } } )",
           R"({"id":"a","method":"x","id":null,"method":5})", // the last of a key wins
           R"({"id":[],"method":"ping","params":[]})",
           R"({"id":"中文","method":"ping","extra":true,"more":false})",
           R"({"id":123456789012345678901234567890,"method":"ping"})",
           R"({"id":1.5,"method":"ping"})",
           R"({"id":"a\"b","method":"p\u0069ng"})",
           R"({"id":1,"method":"ping","params":{"a":[1,{"b":2}]}})",
           R"({"id":01,"method":"ping"})",
           R"({"id":1,"method":"ping",})",
           R"({"id":1,"method":"ping"} x)",
           "{\"id\":1,\"method\":\"pi\tng\"}",
           "\xEF\xBB\xBF{\"id\":1,\"method\":\"ping\"}",
           R"({"id":tru,"method":"ping"})",
           R"({})",
           R"([])",
           "",
       }) {
    std::string fast = line, parsed = line;
    auto a = decodeRequest(fast);
    auto b = decodeRequestWithParser(parsed);
    ASSERT_EQ(a.has_value(), b.has_value()) << line;
    if (!a)
      continue;
    EXPECT_EQ(a->method, b->method) << line;
    EXPECT_EQ(a->params, b->params) << line;
    ASSERT_EQ(a->idText.has_value(), b->idText.has_value()) << line;
    if (a->idText) {
      EXPECT_EQ(json::parse(*a->idText), json::parse(*b->idText)) << line;
    }
  }
}

TEST(JsonRpcTest, EnvelopesAreOneCompactLine) {
  EXPECT_EQ(resultLine("7", std::string_view("{}")), R"({"jsonrpc":"2.0","id":7,"result":{}})");
  EXPECT_EQ(errorLine(kNullId, MCPError::parseError("无法解析 JSON")),
            R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"无法解析 JSON"}})");
  const ToolResult twoLines = ToolResult::fail("a\nb");
  EXPECT_EQ(toolCallLine(R"("x")", twoLines)->joined(),
            R"({"jsonrpc":"2.0","id":"x","result":{"content":[{"type":"text","text":"a\nb"}],)"
            R"("isError":true}})");
  EXPECT_FALSE(toolCallLine("1", ToolResult::ok("\xFF")));
}

} // namespace
} // namespace vantrel::server
