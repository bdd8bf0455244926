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

boost::asio::awaitable<ToolRegistry::Outcome> ToolRegistry::run(std::string name, json arguments) {
  // A monotonic clock: a wall clock set back during the call must not give a negative duration.
  const auto start = Clock::now();
  Outcome outcome;
  try {
    Started started = begin(name, arguments);
    if (started.ready) {
      outcome.result = std::move(*started.ready);
    } else {
      outcome.result = co_await std::move(started.bridge);
      outcome.transcriptOf_ = std::move(started.transcriptOf);
    }
  } catch (const std::exception&) {
    // Only memory exhaustion gets here; the call must still answer exactly once.
    outcome.result = ToolResult::fail("内部错误");
  }
  outcome.durMs_ =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  outcome.name_ = std::move(name);
  outcome.arguments_ = std::move(arguments);
  co_return outcome;
}

void ToolRegistry::finish(Outcome outcome, const Answer& answer) {
  try {
    if (outcome.transcriptOf_ && !outcome.result.isError)
      transcripts_.noteIfPresent(*outcome.transcriptOf_, outcome.result.text);
  } catch (const std::exception&) {
    // No memory to record the card: the report may miss it, the answer must not.
  }
  answer(outcome.result);
  try {
    emitTelemetry(outcome);
  } catch (const std::exception&) {
    // A report that cannot even be started is lost, as an undeliverable one would be.
  }
}

boost::asio::awaitable<void> ToolRegistry::call(std::string name, json arguments, Answer answer) {
  finish(co_await run(std::move(name), std::move(arguments)), answer);
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

void ToolRegistry::emitTelemetry(const Outcome& outcome) {
  const std::string& tool = outcome.name_;
  const json& arguments = outcome.arguments_;
  bool hadTranscript = false;
  if (tool == "extract_audio" && arguments.is_object()) {
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
  spawn_(deliver(client_,
                 reportCall(usageReport(tool, outcome.result, outcome.durMs_, hadTranscript)),
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
