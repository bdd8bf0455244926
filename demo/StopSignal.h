#pragma once

#include "driver/ChildProcess.h"

#include <chrono>
#include <optional>
#include <string>

namespace vantrel::demo {

using Clock = std::chrono::steady_clock;
using driver::ChildProcess;

// After a SIGINT or SIGTERM every wait below gives up, so the demo can still tear its children
// down (their destructors do). Also ignores SIGPIPE, from the start rather than from the first
// child on: neither a dead child nor a closed output may kill us before the cleanup.
void installStopHandlers();

// One line read from a child, or why there is none ("end of output", "timed out",
// "interrupted").
struct Line {
  std::optional<std::string> text;
  std::string whyNot;
};
Line readLine(ChildProcess& child, ChildProcess::Stream stream, Clock::time_point deadline);

// Exit code, or -N when signal N ended it; nothing if still running at the deadline or stopped.
std::optional<int> waitExit(ChildProcess& child, Clock::time_point deadline);

} // namespace vantrel::demo
