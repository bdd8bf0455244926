#include "tools/ToolRegistry.h"

#include "bridge/AgentGuideReader.h"
#include "tools/Catalogue.h"
#include "tools/UsageReport.h"

#include <chrono>
#include <exception>

namespace vantrel::tools {

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// Counts a report in flight for as long as its task lives, however it ends.
class InFlight {
public:
  explicit InFlight(std::shared_ptr<std::atomic<std::size_t>> count) : count_(std::move(count)) {}
  InFlight(InFlight&& other) noexcept = default;
  InFlight& operator=(InFlight&&) = delete;
  ~InFlight() {
    if (count_)
      count_->fetch_sub(1, std::memory_order_relaxed);
  }

private:
  std::shared_ptr<std::atomic<std::size_t>> count_;
};

// A report's outcome is not ours to act on: it is delivered or lost, never retried or logged.
boost::asio::awaitable<void> deliver(bridge::BridgeClient client, bridge::BridgeCall call,
                                     InFlight) {
  try {
    (void)co_await client.request(std::move(call));
  } catch (const std::exception&) {
    // Out of memory while reporting: the report is lost, as an undeliverable one would be.
  }
}

} // namespace

ToolRegistry::ToolRegistry(bridge::BridgeClient client, Spawn spawn, std::size_t maxReportsInFlight)
    : client_(std::move(client)), spawn_(std::move(spawn)),
      maxReportsInFlight_(maxReportsInFlight) {
}

json ToolRegistry::definitions() const {
  return toolDefinitions();
}

boost::asio::awaitable<ToolResult> ToolRegistry::call(std::string name, json arguments) {
  // A monotonic clock: a wall clock set back during the call must not give a negative duration.
  const auto start = Clock::now();
  ToolResult result;
  try {
    Started started = begin(name, arguments);
    if (started.ready) {
      result = std::move(*started.ready);
    } else {
      result = co_await std::move(started.bridge);
      if (started.transcriptOf && !result.isError)
        transcripts_.noteIfPresent(*started.transcriptOf, result.text);
    }
  } catch (const std::exception&) {
    // Only memory exhaustion gets here; the call must still answer exactly once.
    result = ToolResult::fail("内部错误");
  }
  try {
    auto durMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    emitTelemetry(name, result, durMs.count(), arguments);
  } catch (const std::exception&) {
    // A report that cannot even be started is lost, as an undeliverable one would be.
  }
  co_return result;
}

ToolRegistry::Started ToolRegistry::begin(const std::string& name, const json& arguments) {
  const Tool* tool = findTool(name);
  if (tool == nullptr)
    return {ToolResult::fail("未知工具：" + name), {}, std::nullopt};
  Plan plan = tool->plan(arguments, CallContext{clientName()});
  if (auto* local = std::get_if<ToolResult>(&plan.action))
    return {std::move(*local), {}, std::nullopt};
  if (std::holds_alternative<ReadGuide>(plan.action))
    return {bridge::AgentGuideReader::load(), {}, std::nullopt};
  return {std::nullopt, client_.request(std::get<bridge::BridgeCall>(std::move(plan.action))),
          std::move(plan.transcriptOf)};
}

void ToolRegistry::emitTelemetry(const std::string& tool, const ToolResult& result,
                                 std::int64_t durMs, const json& arguments) {
  bool hadTranscript = false;
  if (tool == "extract_audio") {
    auto shortID = arguments.find("shortID");
    if (shortID != arguments.end() && shortID->is_string())
      hadTranscript = transcripts_.knows(shortID->get_ref<const std::string&>());
  }
  // Reports the Bridge does not answer hold a connection each for minutes; past the limit they
  // would take the descriptors the calls need.
  if (reportsInFlight_->fetch_add(1, std::memory_order_relaxed) >= maxReportsInFlight_) {
    reportsInFlight_->fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  InFlight counted(reportsInFlight_);
  spawn_(deliver(client_, reportCall(usageReport(tool, result, durMs, hadTranscript)),
                 std::move(counted)));
}

std::optional<std::string> ToolRegistry::clientName() const {
  std::lock_guard lock(clientNameLock_);
  return clientName_;
}

void ToolRegistry::setClientName(std::optional<std::string> name) {
  std::lock_guard lock(clientNameLock_);
  clientName_ = std::move(name);
}

} // namespace vantrel::tools
