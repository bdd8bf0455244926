#pragma once

#include "bridge/BridgeClient.h"
#include "common/ToolResult.h"
#include "tools/TranscriptTracker.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vantrel::tools {

// The one object that knows the thirteen tools: serves the catalogue, runs a call by name, and
// holds what the tools share for the life of the process (the Bridge client, the agent host's
// name, the cards seen with a transcript). One per server; calls run on many threads at once.
class ToolRegistry {
public:
  // Starts a task on the loop without waiting for it; used for the usage reports.
  using Spawn = std::function<void(boost::asio::awaitable<void>)>;

  // At most `maxReportsInFlight` usage reports are in flight at once; one beyond is dropped, as a
  // report still in flight at exit is.
  ToolRegistry(bridge::BridgeClient client, Spawn spawn, std::size_t maxReportsInFlight = 256);

  // The catalogue, in its fixed order, built afresh on every read.
  nlohmann::json definitions() const;

  // Runs the tool and starts its usage report without waiting for it. Always completes with
  // exactly one result, whatever the name or arguments, and never throws. Any loop thread; the
  // arguments are taken by value because the caller may be gone when the coroutine resumes, and
  // the registry must outlive the call (callers hold it shared).
  boost::asio::awaitable<ToolResult> call(std::string name, nlohmann::json arguments);

  // The agent host's name from the last initialize that carried clientInfo. A call sees either
  // the name before or after a concurrent change.
  std::optional<std::string> clientName() const;
  void setClientName(std::optional<std::string> name);

private:
  // A call up to the point where it waits: its result when it needs no Bridge, else the request
  // to await and the card whose reply feeds transcript tracking. Not a coroutine, so the plan
  // is not kept in the frame while the request is in flight.
  struct Started {
    std::optional<ToolResult> ready;
    boost::asio::awaitable<ToolResult> bridge;
    std::optional<std::string> transcriptOf;
  };
  Started begin(const std::string& name, const nlohmann::json& arguments);
  void emitTelemetry(const std::string& tool, const ToolResult& result, std::int64_t durMs,
                     const nlohmann::json& arguments);

  bridge::BridgeClient client_;
  Spawn spawn_;
  std::size_t maxReportsInFlight_;
  // Shared with the report tasks, which may outlive the registry.
  std::shared_ptr<std::atomic<std::size_t>> reportsInFlight_ =
      std::make_shared<std::atomic<std::size_t>>(0);

  mutable std::mutex clientNameLock_; // guards clientName_ only
  std::optional<std::string> clientName_;

  TranscriptTracker transcripts_;
};

} // namespace vantrel::tools
