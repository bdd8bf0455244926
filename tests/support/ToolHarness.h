#pragma once

#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::testing {

// One tool call seen from both ends: what the agent got back, what reached the Bridge for it
// (usage reports left out), and the usage report it caused.
struct Exchange {
  std::string text;
  bool isError = false;
  std::vector<RecordedRequest> requests;
  nlohmann::json report; // the body posted to "/telemetry"; null when none arrived in time
};

// The real vantrel-mcp child, a fake Bridge and a temporary home that points the child at it.
// With `withToken` the home holds bridge.token for the fake; without it the host app counts as
// not running. Everything is torn down in reverse order.
class ToolHarness {
public:
  static constexpr const char* kToken = "e2e-token-7Qk9";

  explicit ToolHarness(bool withToken = true);

  FakeBridge& bridge() { return *bridge_; }
  const SupportDir& dir() const { return *dir_; }
  McpProcess& process() { return *process_; }

  // Sends initialize; `clientInfo` is put into params as given when it is not null.
  nlohmann::json initialize(const nlohmann::json& clientInfo);

  // One tools/call. Waits for its usage report (up to `reportWait`) so that everything the call
  // caused has reached the fake before the next call starts.
  Exchange call(const std::string& name, const nlohmann::json& arguments,
                std::chrono::milliseconds reportWait = std::chrono::seconds(5));

  // Every request other than usage reports, in arrival order.
  std::vector<RecordedRequest> toolRequests() const;
  // The usage report bodies, in arrival order.
  std::vector<nlohmann::json> reports() const;

private:
  std::unique_ptr<SupportDir> dir_;
  std::unique_ptr<FakeBridge> bridge_;
  std::unique_ptr<McpProcess> process_;
  int nextId_ = 1;
  std::size_t reportsSeen_ = 0;
};

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// %XX decoded; "+" stays "+", since the client must encode a space as %20.
std::string percentDecode(std::string_view text);
// The raw query split at "&" and "=", each part decoded, in the order sent.
QueryItems queryItems(const RecordedRequest& request);

// A GET to `rawPath` carrying exactly `items` in this order (an empty list means no "?" at all),
// with the bearer token, no Content-Type and no body.
::testing::AssertionResult isGet(const RecordedRequest& request, std::string_view rawPath,
                                 const QueryItems& items);
// A POST to `rawPath` with no query, the bearer token, "Content-Type: application/json" and a
// JSON body equal to `body`.
::testing::AssertionResult isPost(const RecordedRequest& request, std::string_view rawPath,
                                  const nlohmann::json& body);
// A usage report with exactly the members tool/ok/status/durMs/err (+ hadTranscript when
// `hadTranscript`), durMs a non-negative integer.
::testing::AssertionResult isReport(const nlohmann::json& report, std::string_view tool, bool ok,
                                    int status, std::string_view err, bool hadTranscript = false);

} // namespace vantrel::testing
