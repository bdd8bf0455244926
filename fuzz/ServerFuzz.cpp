#include "ServerFuzz.h"

#include "bridge/HttpTransport.h"
#include "server/JsonRpc.h"
#include "server/LineSplitter.h"
#include "server/MCPServer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

namespace vantrel::fuzz {
namespace {

// A Bridge without sockets. Tool requests get an answer picked by a hash of the request, so the
// same input always takes the same roads: success with JSON (transcript tracking), with text,
// with bytes that are not UTF-8, refusals, 401s and transport failures. Usage reports always get
// 200, so each one is exactly one exchange and can be counted.
class StubBridge final : public bridge::HttpTransport {
public:
  boost::asio::awaitable<bridge::HttpOutcome> exchange(bridge::HttpRequest request) override {
    co_return respond(request);
  }

  // Waits until `count` usage reports have arrived; false if that takes longer than `limit`.
  bool waitForReports(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, limit, [&] { return reports_ >= count; });
  }
  std::size_t reports() const {
    std::lock_guard lock(lock_);
    return reports_;
  }
  std::vector<std::string> problems() const {
    std::lock_guard lock(lock_);
    return problems_;
  }

private:
  bridge::HttpOutcome respond(const bridge::HttpRequest& request) const noexcept {
    try {
      if (std::find(request.headers.begin(), request.headers.end(),
                    "Authorization: Bearer " + std::string(kFuzzToken)) == request.headers.end())
        noteProblem("a Bridge request without the bearer token: " + request.target);
      return deliver(isReport(request) ? report(request) : answer(request), *request.replyBody);
    } catch (const std::exception&) {
      return bridge::TransportFailure{"stub: out of memory"};
    }
  }

  static bool isReport(const bridge::HttpRequest& request) {
    return request.method == "POST" && request.target == "/telemetry";
  }

  static std::uint64_t hashOf(const bridge::HttpRequest& request) {
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    auto mix = [&h](std::string_view part) {
      for (unsigned char c : part)
        h = (h ^ c) * 1099511628211ull;
    };
    mix(request.method);
    mix(request.target);
    if (request.body)
      mix(*request.body);
    return h;
  }

  // A reply as the stub decides it; respond() hands its body to the request's sink.
  struct Scripted {
    int status;
    std::string body;
  };
  using Outcome = std::variant<Scripted, bridge::TransportFailure>;

  static bridge::HttpOutcome deliver(Outcome outcome, bridge::BodySink& sink) {
    if (auto* failure = std::get_if<bridge::TransportFailure>(&outcome))
      return *failure;
    auto& reply = std::get<Scripted>(outcome);
    if (!sink.mayFit(reply.body.size()) || !sink.append(reply.body))
      return bridge::ReplyTooLarge{reply.status, reply.body.size()};
    return bridge::HttpReply{reply.status};
  }

  Outcome answer(const bridge::HttpRequest& request) const {
    const std::string body = request.body.value_or("");
    switch (hashOf(request) % 8) {
    case 0:
      return bridge::TransportFailure{"stub: connection refused"};
    case 1:
      return Scripted{401, R"({"error":"unauthorized"})"};
    case 2:
      return Scripted{404, request.target};
    case 3:
      return Scripted{204, ""};
    case 4:
      return Scripted{200, nlohmann::json{{"transcriptText", "t"}, {"url", request.target}}.dump()};
    case 5: // cut in half, possibly inside a multi-byte character
      return Scripted{200, body.substr(0, body.size() / 2)};
    case 6:
      return Scripted{200, "\xff\xfe" + request.target};
    default:
      return Scripted{200, request.target + "\n" + body};
    }
  }

  Outcome report(const bridge::HttpRequest& request) const {
    auto doc = nlohmann::json::parse(request.body.value_or(""), nullptr, false);
    static const std::set<std::string> kMembers = {"tool",  "ok",  "status",
                                                   "durMs", "err", "hadTranscript"};
    bool shaped = doc.is_object() && doc.contains("tool") && doc.contains("ok") &&
                  doc.contains("status") && doc.contains("durMs") && doc.contains("err");
    if (shaped) {
      for (const auto& [key, value] : doc.items())
        shaped = shaped && kMembers.count(key) > 0;
      if (doc.contains("hadTranscript"))
        shaped = shaped && doc["hadTranscript"] == true;
    }
    if (!shaped)
      noteProblem("a usage report of the wrong shape: " + request.body.value_or("<none>"));
    {
      std::lock_guard lock(lock_);
      ++reports_;
    }
    changed_.notify_all();
    return Scripted{200, "{}"};
  }

  void noteProblem(std::string problem) const {
    std::lock_guard lock(lock_);
    problems_.push_back(std::move(problem));
  }

  mutable std::mutex lock_; // guards reports_ and problems_
  mutable std::condition_variable changed_;
  mutable std::size_t reports_ = 0;
  mutable std::vector<std::string> problems_;
};

// An id's text as the value it stands for: an id past 64 bits is echoed with its digits, and
// both sides parse them to the same double.
std::string canonicalId(const std::string& idText) {
  return nlohmann::json::parse(idText).dump();
}

// The flat decoder must give exactly what the parser gives, or leave the line to it. `fast` gets
// what the server itself decodes, so the line is decoded that way only once.
std::optional<std::string> compareDecoders(const std::string& line,
                                           std::optional<server::Request>& fast) {
  std::string forFast = line, forParser = line;
  fast = server::decodeRequest(forFast);
  auto parsed = server::decodeRequestWithParser(forParser);
  if (fast.has_value() != parsed.has_value())
    return "the decoders disagree on whether a line is a request: " + line.substr(0, 200);
  if (!fast)
    return std::nullopt;
  if (fast->method != parsed->method || fast->params != parsed->params ||
      fast->idText.has_value() != parsed->idText.has_value() ||
      (fast->idText && canonicalId(*fast->idText) != canonicalId(*parsed->idText)))
    return "the decoders read a line differently: " + line.substr(0, 200);
  return std::nullopt;
}

} // namespace

Expected expectedFor(std::string input) {
  Expected expected;
  server::LineSplitter lines;
  lines.append(input);
  lines.end();
  std::string line;
  while (lines.next(line) == server::LineSplitter::Next::line) {
    std::optional<server::Request> request;
    if (auto problem = compareDecoders(line, request); problem && !expected.problem)
      expected.problem = std::move(problem);
    if (!request) {
      expected.ids.insert("null");
      continue;
    }
    if (!request->idText)
      continue;
    expected.ids.insert(canonicalId(*request->idText));
    if (request->method == "tools/call")
      ++expected.toolCalls;
  }
  return expected;
}

std::optional<std::string> checkReply(std::string_view line, std::string& idText) {
  if (line.empty() || line.back() != '\n')
    return "a write that is not one line ending in a line feed";
  if (line.find('\n') != line.size() - 1 || line.find('\r') != std::string_view::npos)
    return "a raw line break inside a reply line";
  auto reply = nlohmann::json::parse(line.substr(0, line.size() - 1), nullptr, false);
  if (reply.is_discarded() || !reply.is_object())
    return "a reply line that is not a JSON object";
  if (reply["jsonrpc"] != "2.0" || !reply.contains("id"))
    return "a reply without jsonrpc 2.0 or id";
  idText = reply["id"].dump();
  const bool hasResult = reply.contains("result");
  if (hasResult == reply.contains("error") || reply.size() != 3)
    return "a reply that is not exactly a result or an error";
  if (!hasResult) {
    auto& error = reply["error"];
    if (!error.is_object() || !error.contains("code") || !error["message"].is_string())
      return "an error without code and message";
    if (error["code"] != -32700 && error["code"] != -32601)
      return "an error code the server never writes";
    if (error["code"] == -32700 && !reply["id"].is_null())
      return "a parse error that carries an id";
    return std::nullopt;
  }
  auto& result = reply["result"];
  if (!result.is_object())
    return "a result that is not an object";
  if (result.contains("content")) {
    auto& content = result["content"];
    if (!content.is_array() || content.size() != 1 || !content[0].is_object() ||
        content[0]["type"] != "text" || !content[0]["text"].is_string() ||
        !result["isError"].is_boolean())
      return "a tool result of the wrong shape";
  }
  return std::nullopt;
}

std::optional<std::string> checkServerInput(std::string_view input) {
  Expected expected = expectedFor(std::string(input));
  if (expected.problem)
    return expected.problem;

  auto stub = std::make_shared<StubBridge>();
  server::ServerOptions options;
  options.transport = stub;
  options.credentials = [] {
    return bridge::CredentialsLookup{bridge::Credentials{std::string(kFuzzToken), 4567},
                                     std::nullopt};
  };
  std::mutex outLock;
  std::vector<std::string> writes;
  std::mutex errLock;
  std::string errors;
  bool reportsArrived = false;
  {
    server::MCPServer server(
        server::Input::bytes(std::string(input)),
        [&](std::string_view bytes) {
          std::lock_guard lock(outLock);
          writes.emplace_back(bytes);
          return true;
        },
        [&](std::string_view bytes) {
          std::lock_guard lock(errLock);
          errors.append(bytes);
          return true;
        },
        std::move(options));
    server.serve();
    // Every tool call posts one report from a task of its own, on the loop the server owns:
    // wait for them before it goes.
    reportsArrived = stub->waitForReports(expected.toolCalls, std::chrono::milliseconds(20000));
  }

  if (!errors.empty())
    return "a response could not be written: " + errors;
  std::multiset<std::string> answered;
  for (const auto& write : writes) {
    std::string idText;
    if (auto problem = checkReply(write, idText))
      return *problem + ": " + write.substr(0, 200);
    answered.insert(idText);
  }
  if (answered != expected.ids) {
    return "answered " + std::to_string(answered.size()) + " requests, expected " +
           std::to_string(expected.ids.size()) + " (each id exactly once)";
  }
  if (!reportsArrived || stub->reports() != expected.toolCalls) {
    return std::to_string(stub->reports()) + " usage reports for " +
           std::to_string(expected.toolCalls) + " tool calls";
  }
  if (auto problems = stub->problems(); !problems.empty())
    return problems.front();
  return std::nullopt;
}

} // namespace vantrel::fuzz
