#include "support/ToolHarness.h"

#include <set>
#include <stdexcept>

namespace vantrel::testing {

using nlohmann::json;

namespace {

constexpr std::string_view kTelemetry = "/telemetry";

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

::testing::AssertionResult hasBearer(const RecordedRequest& request) {
  if (request.headerCount("Authorization") != 1)
    return ::testing::AssertionFailure()
           << request.headerCount("Authorization") << " Authorization headers";
  const std::string expected = std::string("Bearer ") + ToolHarness::kToken;
  if (request.header("Authorization") != expected)
    return ::testing::AssertionFailure()
           << "Authorization is \"" << request.header("Authorization").value_or("") << "\"";
  return ::testing::AssertionSuccess();
}

std::string describe(const QueryItems& items) {
  std::string out;
  for (const auto& [name, value] : items)
    out += "[" + name + "=" + value + "]";
  return out.empty() ? "(none)" : out;
}

} // namespace

ToolHarness::ToolHarness(bool withToken)
    : dir_(std::make_unique<SupportDir>()), bridge_(std::make_unique<FakeBridge>()) {
  if (withToken)
    dir_->writeToken(bridge_->port(), kToken);
  process_ = std::make_unique<McpProcess>(dir_->env());
}

json ToolHarness::initialize(const json& clientInfo) {
  json params = {{"protocolVersion", "2024-11-05"}, {"capabilities", json::object()}};
  if (!clientInfo.is_null())
    params["clientInfo"] = clientInfo;
  return process_->request(
      {{"jsonrpc", "2.0"}, {"id", nextId_++}, {"method", "initialize"}, {"params", params}});
}

Exchange ToolHarness::call(const std::string& name, const json& arguments,
                           std::chrono::milliseconds reportWait) {
  const std::size_t before = toolRequests().size();
  json result = process_->callTool(name, arguments, nextId_++);

  Exchange exchange;
  // The result frame is fixed: one text item and a boolean flag.
  const auto& content = result.at("content");
  if (!content.is_array() || content.size() != 1 || content.at(0).at("type") != "text" ||
      !result.at("isError").is_boolean())
    throw std::runtime_error("malformed tool result: " + result.dump());
  exchange.text = content.at(0).at("text").get<std::string>();
  exchange.isError = result.at("isError").get<bool>();

  if (bridge_->waitForRequests(kTelemetry, reportsSeen_ + 1, reportWait)) {
    exchange.report = bridge_->requestsTo(kTelemetry).at(reportsSeen_).json();
    ++reportsSeen_;
  }
  auto all = toolRequests();
  exchange.requests.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  return exchange;
}

std::vector<RecordedRequest> ToolHarness::toolRequests() const {
  std::vector<RecordedRequest> matching;
  for (auto& request : bridge_->requests())
    if (request.path != kTelemetry)
      matching.push_back(std::move(request));
  return matching;
}

std::vector<json> ToolHarness::reports() const {
  std::vector<json> bodies;
  for (const auto& request : bridge_->requestsTo(kTelemetry))
    bodies.push_back(request.json());
  return bodies;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

QueryItems queryItems(const RecordedRequest& request) {
  QueryItems items;
  if (!request.hasQuery)
    return items;
  std::string_view rest = request.query;
  for (;;) {
    const auto amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    const auto eq = item.find('=');
    items.emplace_back(percentDecode(item.substr(0, eq)), eq == std::string_view::npos
                                                              ? std::string("<no =>")
                                                              : percentDecode(item.substr(eq + 1)));
    if (amp == std::string_view::npos)
      break;
    rest.remove_prefix(amp + 1);
  }
  return items;
}

::testing::AssertionResult isGet(const RecordedRequest& request, std::string_view rawPath,
                                 const QueryItems& items) {
  if (request.method != "GET")
    return ::testing::AssertionFailure() << "method " << request.method;
  if (request.path != rawPath)
    return ::testing::AssertionFailure() << "raw path " << request.path << ", wanted " << rawPath;
  if (items.empty() && request.hasQuery)
    return ::testing::AssertionFailure()
           << "a query \"" << request.query << "\" where none belongs";
  if (queryItems(request) != items)
    return ::testing::AssertionFailure() << "query " << describe(queryItems(request)) << " (raw \""
                                         << request.query << "\"), wanted " << describe(items);
  if (auto bearer = hasBearer(request); !bearer)
    return bearer;
  if (request.headerCount("Content-Type") != 0)
    return ::testing::AssertionFailure() << "a GET with Content-Type";
  if (!request.body.empty())
    return ::testing::AssertionFailure() << "a GET with a body: " << request.body;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult isPost(const RecordedRequest& request, std::string_view rawPath,
                                  const json& body) {
  if (request.method != "POST")
    return ::testing::AssertionFailure() << "method " << request.method;
  if (request.path != rawPath)
    return ::testing::AssertionFailure() << "raw path " << request.path << ", wanted " << rawPath;
  if (request.hasQuery)
    return ::testing::AssertionFailure() << "a POST with query \"" << request.query << "\"";
  if (auto bearer = hasBearer(request); !bearer)
    return bearer;
  if (request.headerCount("Content-Type") != 1 ||
      request.header("Content-Type") != "application/json")
    return ::testing::AssertionFailure()
           << "Content-Type \"" << request.header("Content-Type").value_or("<none>") << "\"";
  json sent = request.json();
  if (sent != body)
    return ::testing::AssertionFailure() << "body " << request.body << ", wanted " << body.dump();
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult isReport(const json& report, std::string_view tool, bool ok, int status,
                                    std::string_view err, bool hadTranscript) {
  if (!report.is_object())
    return ::testing::AssertionFailure() << "no usage report: " << report.dump();
  std::set<std::string> keys;
  for (const auto& [key, value] : report.items())
    keys.insert(key);
  std::set<std::string> wanted{"tool", "ok", "status", "durMs", "err"};
  if (hadTranscript)
    wanted.insert("hadTranscript");
  if (keys != wanted)
    return ::testing::AssertionFailure() << "members of " << report.dump();
  json expected = {
      {"tool", std::string(tool)}, {"ok", ok}, {"status", status}, {"err", std::string(err)}};
  for (const auto& [key, value] : expected.items())
    if (report.at(key) != value)
      return ::testing::AssertionFailure() << key << " in " << report.dump();
  if (hadTranscript && report.at("hadTranscript") != true)
    return ::testing::AssertionFailure() << "hadTranscript in " << report.dump();
  if (!report.at("durMs").is_number_integer() || report.at("durMs").get<long long>() < 0)
    return ::testing::AssertionFailure() << "durMs in " << report.dump();
  return ::testing::AssertionSuccess();
}

} // namespace vantrel::testing
