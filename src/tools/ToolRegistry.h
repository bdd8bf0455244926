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
  // Starts a task on the loop without waiting for it; used for the usage reports, which finish()
  // spawns only after the answer is written. A task spawned must not start before the spawning
  // handler ends (EventLoop::spawnHere posts it), so it never runs ahead of what follows.
  using Spawn = std::function<void(boost::asio::awaitable<void>)>;
  // Writes a call's answer. It may send another result instead (a line too long for the host
  // becomes a refusal): it leaves in `result` what it sent, which the usage report describes.
  using Answer = std::function<void(ToolResult& result)>;

  // A call whose result has come and is not yet answered: what finish() needs. Movable.
  class Outcome {
  public:
    ToolResult result;

  private:
    friend class ToolRegistry;
    std::string name_;
    nlohmann::json arguments_;
    std::int64_t durMs_ = 0;
    std::optional<std::string> transcriptOf_;
  };

  // At most `maxReportsInFlight` usage reports are in flight at once; one beyond is dropped, as a
  // report still in flight at exit is.
  ToolRegistry(bridge::BridgeClient client, Spawn spawn, std::size_t maxReportsInFlight = 256);

  // The catalogue, in its fixed order, built afresh on every read.
  nlohmann::json definitions() const;

  // Runs the tool up to its result: a plan, and the Bridge request it makes. Always completes
  // with exactly one outcome, whatever the name or arguments, and never throws. Any loop thread;
  // the arguments are taken by value because the caller may be gone when the coroutine resumes,
  // and the registry must outlive the call (callers hold it shared).
  boost::asio::awaitable<Outcome> run(std::string name, nlohmann::json arguments);
  // Ends the call: transcript tracking reads a successful get_asset reply, `answer` writes the
  // result, and only then does the usage report start, without waiting for it. Synchronous, so
  // nothing comes between the result and its answer, and the report always follows its answer.
  // The heavy part of a large reply (the scan, the write) runs where this is called. Any thread.
  void finish(Outcome outcome, const Answer& answer);
  // run() then finish(), on the caller's thread.
  boost::asio::awaitable<void> call(std::string name, nlohmann::json arguments, Answer answer);

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
  void emitTelemetry(const Outcome& outcome);

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
