#include "bridge/BridgeClient.h"

#include "bridge/Credentials.h"
#include "bridge/CurlTransport.h"
#include "bridge/HttpTransport.h"
#include "bridge/JsonText.h"
#include "bridge/Url.h"
#include "common/Utf8.h"

#include <utility>

namespace vantrel::bridge {
namespace {

ToolResult notRunning() {
  return ToolResult::fail("砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。",
                          0);
}

ToolResult connectionFailed(const std::string& description) {
  return ToolResult::fail("连接 Bridge 失败：" + description +
                              "。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。",
                          0);
}

ToolResult fromReply(HttpReply reply) {
  std::string text = isValidUtf8(reply.body) ? std::move(reply.body) : std::string("{}");
  if (reply.status == 200)
    return ToolResult::ok(std::move(text), 200);
  return ToolResult::fail("Bridge 返回 " + std::to_string(reply.status) + "：" + text,
                          reply.status);
}

} // namespace

// What one HTTP exchange came to. `result` counts only when no connectionError is present.
struct BridgeClient::Attempt {
  ToolResult result;
  std::optional<std::string> connectionError;
  bool unauthorized = false;
};

BridgeClient::BridgeClient() : transport_(CurlTransport::shared()) {
}

BridgeClient::BridgeClient(std::shared_ptr<const HttpTransport> transport)
    : transport_(transport ? std::move(transport) : BridgeClient().transport_) {
}

ToolResult BridgeClient::get(const std::string& path, const Query& query) const {
  return request("GET", path, query, nullptr);
}

ToolResult BridgeClient::post(const std::string& path, const nlohmann::json& body) const {
  return request("POST", path, Query{}, &body);
}

ToolResult BridgeClient::request(std::string_view method, const std::string& path,
                                 const Query& query, const nlohmann::json* body) const {
  auto credentials = readCredentials();
  if (!credentials)
    return notRunning();
  Attempt first = perform(*credentials, method, path, query, body);
  if (!first.connectionError && !first.unauthorized)
    return std::move(first.result);

  // A 401 or a dead port usually means the host app restarted: read the file again, retry once.
  credentials = readCredentials();
  if (!credentials)
    return notRunning();
  Attempt second = perform(*credentials, method, path, query, body);
  if (second.connectionError)
    return connectionFailed(*second.connectionError);
  return std::move(second.result);
}

BridgeClient::Attempt BridgeClient::perform(const Credentials& credentials, std::string_view method,
                                            const std::string& path, const Query& query,
                                            const nlohmann::json* body) const {
  HttpRequest request;
  request.method = std::string(method);
  request.url = buildUrl(credentials.baseURL, path, query);
  request.headers.push_back("Authorization: Bearer " + credentials.token);
  if (body != nullptr) {
    request.headers.push_back("Content-Type: application/json");
    // A body that cannot be written goes out empty; the header still says what was meant.
    request.body = dumpCompact(*body);
  }

  HttpOutcome outcome = transport_->perform(request);
  if (auto* failure = std::get_if<TransportFailure>(&outcome))
    return Attempt{ToolResult{}, std::move(failure->description), false};
  auto& reply = std::get<HttpReply>(outcome);
  const bool unauthorized = reply.status == 401;
  return Attempt{fromReply(std::move(reply)), std::nullopt, unauthorized};
}

} // namespace vantrel::bridge
