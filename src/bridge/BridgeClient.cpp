#include "bridge/BridgeClient.h"

#include "bridge/Url.h"
#include "common/ReplyLimit.h"

#include <system_error>
#include <utility>

namespace vantrel::bridge {
namespace {

ToolResult notRunning() {
  return ToolResult::fail("砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。");
}

ToolResult connectionFailed(const std::string& description) {
  return ToolResult::fail("连接 Bridge 失败：" + description +
                          "。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。");
}

// The host app may well be running; it is this process that cannot open the file.
ToolResult noResourcesFor(const TokenFile& file) {
  return ToolResult::fail("连接 Bridge 失败：无法打开 bridge.token：" +
                          std::generic_category().message(file.error) +
                          "（本进程的文件描述符或内存不足，并非砚舟未运行）。请稍后重试。");
}

ToolResult withoutCredentials(const CredentialsLookup& lookup) {
  return lookup.shortage ? noResourcesFor(*lookup.shortage) : notRunning();
}

std::size_t headSize(const HttpRequest& request) {
  std::size_t size = request.method.size() + request.target.size();
  for (const auto& line : request.headers)
    size += line.size();
  return size;
}

ToolResult tooLong(std::size_t size) {
  return ToolResult::fail("请求过长：请求行与请求头共 " + std::to_string(size) +
                          " 字节，超过 1 MiB 上限，未发送给 Bridge。请缩短参数（如 shortID）。");
}

} // namespace

BridgeClient::BridgeClient(std::shared_ptr<HttpTransport> transport, CredentialsSource credentials,
                           ReplyText replyText)
    : transport_(std::move(transport)), credentials_(std::move(credentials)),
      replyText_(std::move(replyText)) {
}

HttpRequest httpRequestFor(const Credentials& credentials, const BridgeCall& call) {
  HttpRequest request;
  request.method = call.method;
  request.port = credentials.port;
  request.target = buildTarget(call.path, call.query);
  request.headers.push_back("Authorization: Bearer " + credentials.token);
  request.connectionGroup = credentials.token;
  if (call.jsonBody) {
    request.headers.push_back("Content-Type: application/json");
    request.body = call.jsonBody;
  }
  return request;
}

ToolResult resultOf(const HttpReply& reply, JsonText body) {
  JsonText text = body.isUtf8() ? std::move(body) : JsonText("{}");
  if (reply.status == 200)
    return ToolResult::ok(std::move(text), 200);
  const std::uint64_t size = text.bytesAppended();
  text.prepend("Bridge 返回 " + std::to_string(reply.status) + "：");
  if (text.overLimit()) // the body fitted, with the words in front of it not
    return replyTooLarge(reply.status, size);
  return ToolResult::fail(std::move(text), reply.status);
}

namespace {

// The request for one attempt with freshly read credentials, or the result that settles the
// call without one. Outside the coroutine, so none of it stays in the frame while the exchange
// is in flight.
std::variant<HttpRequest, ToolResult>
prepareAttempt(const BridgeClient::CredentialsSource& credentials, const BridgeCall& call,
               std::shared_ptr<TextSink> body, bool retry) {
  auto lookup = credentials();
  if (!lookup.credentials)
    return withoutCredentials(lookup);
  HttpRequest request = httpRequestFor(*lookup.credentials, call);
  request.replyBody = std::move(body);
  // The first attempt may have failed on a connection the Bridge was closing; the pool may hold
  // more like it.
  request.reuseConnection = !retry;
  if (std::size_t size = headSize(request); size > kMaxRequestHead)
    return tooLong(size);
  return request;
}

} // namespace

boost::asio::awaitable<ToolResult> BridgeClient::request(BridgeCall call) const {
  // Copies: the client may be gone once this coroutine first suspends.
  auto transport = transport_;
  auto credentials = credentials_;
  auto replyText = replyText_;

  for (int attempt = 1;; ++attempt) {
    boost::asio::awaitable<HttpOutcome> exchange;
    // Each attempt's reply has a text of its own: a first attempt's 401 is dropped with it.
    auto body = std::make_shared<TextSink>(replyText());
    {
      auto prepared = prepareAttempt(credentials, call, body, attempt > 1);
      if (auto* settled = std::get_if<ToolResult>(&prepared))
        co_return std::move(*settled);
      exchange = transport->exchange(std::get<HttpRequest>(std::move(prepared)));
    }
    HttpOutcome outcome = co_await std::move(exchange);
    if (auto* large = std::get_if<ReplyTooLarge>(&outcome))
      co_return replyTooLarge(large->status, large->declared); // asking again brings the same
    auto* reply = std::get_if<HttpReply>(&outcome);
    // A 401 or a dead port usually means the host app restarted: read the file again, retry
    // once.
    if (attempt == 1 && (!reply || reply->status == 401))
      continue;
    if (!reply)
      co_return connectionFailed(std::get<TransportFailure>(outcome).description);
    co_return resultOf(*reply, std::move(body->text()));
  }
}

} // namespace vantrel::bridge
