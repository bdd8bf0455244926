#include "StopSignal.h"

#include <algorithm>
#include <csignal>

namespace vantrel::demo {
namespace {

volatile std::sig_atomic_t gStop = 0;

extern "C" void onStopSignal(int) {
  gStop = 1;
}

// The kit's waits sleep through signals, so a Ctrl-C is looked for between short slices.
constexpr auto kSlice = std::chrono::milliseconds(50);

Clock::time_point nextSlice(Clock::time_point deadline) {
  return std::min(deadline, Clock::now() + kSlice);
}

bool stopRequested() {
  return gStop != 0;
}

} // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

Line readLine(ChildProcess& child, ChildProcess::Stream stream, Clock::time_point deadline) {
  for (;;) {
    if (stopRequested())
      return {std::nullopt, "interrupted"};
    auto line = child.readLine(stream, nextSlice(deadline));
    if (line.text)
      return {std::move(line.text), ""};
    if (line.ended)
      return {std::nullopt, "end of output"};
    if (Clock::now() >= deadline)
      return {std::nullopt, "timed out"};
  }
}

std::optional<int> waitExit(ChildProcess& child, Clock::time_point deadline) {
  while (!stopRequested()) {
    if (auto exit = child.waitExit(nextSlice(deadline)))
      return exit->status();
    if (Clock::now() >= deadline)
      break;
  }
  return std::nullopt;
}

} // namespace vantrel::demo
