#pragma once

#include "Phases.h"
#include "Report.h"
#include "support/ChildProcess.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What every phase does with the processes it starts: spawn, read a reply, stop, and the units
// the rows are written in.
namespace vantrel::bench {

using Clock = std::chrono::steady_clock;
using testing::ChildProcess;

inline constexpr auto kReplyTimeout = std::chrono::seconds(10);
inline constexpr auto kExitTimeout = std::chrono::seconds(10);

double micros(Clock::duration d);
double millis(Clock::duration d);
double cpuMillis(const rusage& usage);      // user + system
std::string shorten(std::string_view line); // for failure texts: the first 200 bytes

// `path` with the configured environment, stdin and stdout on pipes and stderr shared with us;
// nullptr and `error` when it cannot be started.
std::unique_ptr<ChildProcess> spawn(const std::string& path, const BenchConfig& config,
                                    std::string& error);

// The next stdout line, waiting kReplyTimeout; false (and `line` empty) when none came.
bool readLine(ChildProcess& child, std::string& line);

// The server, started and answering `initialize`; nullptr and `error` when it is not. The
// initialize reply is counted in the report's framing tally.
std::unique_ptr<ChildProcess> startServer(const BenchConfig& config, Report& report,
                                          std::string& error);

// Closes the child's input and waits for it to exit; nothing (and `error`) unless it exited
// with 0 in time. One that does not exit is killed.
std::optional<ChildProcess::Exit> finish(ChildProcess& child, std::string& error);

// Counts one reply line that failed its check: misframed unless it is a JSON-RPC reply to `id`.
void tallyWrongReply(Report& report, std::string_view line, std::int64_t id);

} // namespace vantrel::bench
