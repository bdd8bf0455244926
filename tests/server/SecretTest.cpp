// The bearer token is the key to the user's library: it may travel in the Authorization header
// to 127.0.0.1 and nowhere else. Every tool, on every road, with the output scanned whole.
// Labels: e2e concurrency
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <strings.h>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Distinctive, and with characters that change under percent- and JSON-encoding.
const std::string kToken = "vtk-9Qz/+=&Secr3t\"4417";
// The token's forms in other encodings, and its most distinctive part: a leak in any shape.
const std::vector<std::string> kLeaks = {kToken, "vtk-9Qz%2F%2B%3D%26Secr3t%224417",
                                         R"(vtk-9Qz/+=&Secr3t\"4417)", "Secr3t"};

struct Tool {
  std::string name;
  json arguments;
  std::string method, path; // how the Bridge sees it; no path for get_guide
};

const std::vector<Tool> kTools = {
    {"get_guide", json::object(), "", ""},
    {"search_assets", {{"query", "猫"}, {"limit", 5}}, "GET", "/assets"},
    {"get_asset", {{"shortID", "s1"}}, "GET", "/assets/s1"},
    {"get_events", {{"since", 1}}, "GET", "/events"},
    {"import_from_link", {{"url", "https://example.com/v"}}, "POST", "/assets/import-link"},
    {"import_file", {{"path", "/tmp/f.mp4"}}, "POST", "/assets/import-file"},
    {"create_gallery", {{"paths", {"/a.png"}}}, "POST", "/assets/create-gallery"},
    {"add_note", {{"shortID", "s1"}, {"content", "c"}}, "POST", "/assets/s1/notes"},
    {"extract_audio", {{"shortID", "s1"}}, "GET", "/assets/s1/audio"},
    {"save_transcript", {{"shortID", "s1"}, {"text", "t"}}, "POST", "/assets/s1/transcript"},
    {"extract_frames", {{"shortID", "s1"}, {"t", 1}}, "GET", "/assets/s1/frames"},
    {"ai_export", {{"shortID", "s1"}}, "GET", "/ai/export"},
    {"ai_settle", json::object(), "POST", "/ai/settle"},
};

class SecretTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.writeToken(bridge_.port(), kToken);
    dir_.writeFile("agent-guide.md", "# 规范\n");
    mcp_ = std::make_unique<McpProcess>(dir_.env());
  }

  // Every tool once with `arguments` (or its own), each reply line kept raw for the scan.
  void callEveryTool(const std::optional<json>& arguments = std::nullopt) {
    for (const auto& tool : kTools) {
      mcp_->send(toolCallRequest(nextId_++, tool.name, arguments.value_or(tool.arguments)));
      auto line = mcp_->readLine(20s);
      ASSERT_TRUE(line) << tool.name;
      stdout_.push_back(*line);
    }
  }

  // Every tool's Bridge path answers with `reply`.
  void answerEveryPath(const Reply& reply) {
    for (const auto& tool : kTools) {
      if (!tool.path.empty())
        bridge_.on(tool.method, tool.path, reply);
    }
  }

  FakeBridge bridge_;
  SupportDir dir_;
  std::unique_ptr<McpProcess> mcp_;
  std::vector<std::string> stdout_;
  int nextId_ = 1;
};

TEST_F(SecretTest, TokenTravelsOnlyInTheAuthorizationHeaderToLoopback) {
  // Success, with a body of its own for each road.
  answerEveryPath(Reply{.body = R"({"shortID":"s1","transcriptText":"t"})"});
  callEveryTool();
  // Local argument failures: no Bridge request at all.
  callEveryTool(json::object());
  // Refusals whose bodies echo nothing, 401 on both attempts among them.
  answerEveryPath(Reply{.status = 404, .body = R"({"error":"not found"})"});
  callEveryTool();
  answerEveryPath(Reply{.status = 401, .body = "nope"});
  callEveryTool();
  answerEveryPath(Reply{.status = 500, .body = ""});
  callEveryTool();
  // Transport failures: the connection closes with no answer, on both attempts.
  answerEveryPath(Reply{.drop = true});
  callEveryTool();

  // The usage reports of every call that reached the Bridge have come in too.
  const std::size_t reported = stdout_.size();
  EXPECT_TRUE(bridge_.waitForRequests("/telemetry", reported, 20s));

  // Then the host app quits: connections refused, and at last the file is gone.
  bridge_.stop();
  callEveryTool();
  dir_.removeFile("bridge.token");
  callEveryTool();
  auto rest = mcp_->finish();
  stdout_.insert(stdout_.end(), rest.begin(), rest.end());
  EXPECT_EQ(mcp_->exitStatus(), 0);
  const std::string errors = mcp_->stderrText();

  // The roads were taken: failures of each kind came back.
  std::string all;
  for (const auto& line : stdout_)
    all += line + "\n";
  for (const char* text : {"Bridge 返回 401：nope", "Bridge 返回 404", "连接 Bridge 失败：",
                           "砚舟未运行", "缺少参数 shortID", "Bridge 返回 500："}) {
    EXPECT_NE(all.find(text), std::string::npos) << text;
  }

  for (const auto& leak : kLeaks) {
    EXPECT_EQ(all.find(leak), std::string::npos) << "stdout holds " << leak;
    EXPECT_EQ(errors.find(leak), std::string::npos) << "stderr holds " << leak;
  }

  auto requests = bridge_.requests();
  ASSERT_GT(requests.size(), kTools.size());
  for (const auto& request : requests) {
    SCOPED_TRACE(request.method + " " + request.target);
    EXPECT_EQ(request.headerCount("Authorization"), 1u);
    EXPECT_EQ(request.header("Authorization"), "Bearer " + kToken);
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(bridge_.port()));
    std::string seen = request.method + "\n" + request.target + "\n" + request.decodedPath + "\n" +
                       request.query + "\n" + request.body + "\n";
    for (const auto& [name, value] : request.headers) {
      if (::strcasecmp(name.c_str(), "Authorization") != 0)
        seen += name + ": " + value + "\n";
    }
    for (const auto& leak : kLeaks)
      EXPECT_EQ(seen.find(leak), std::string::npos) << "the request holds " << leak;
  }

  // Every tool's own path was reached, and reports were among what was scanned.
  for (const auto& tool : kTools) {
    if (!tool.path.empty()) {
      EXPECT_FALSE(bridge_.requestsTo(tool.path).empty()) << tool.path;
    }
  }
  EXPECT_GE(bridge_.requestsTo("/telemetry").size(), reported);
}

} // namespace
} // namespace vantrel::testing
