#pragma once

#include "support/ChildProcess.h"

#include <chrono>
#include <optional>
#include <string>

namespace vantrel::demo {

using Clock = std::chrono::steady_clock;
using testing::ChildProcess;

// Set from a SIGINT/SIGTERM handler; every wait below gives up when it is set, so the demo can
// still tear its children down (their destructors do).
bool stopRequested();
void installStopHandlers(); // also ignores SIGPIPE: a dead child must not kill us mid-write

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
