#pragma once

#include "Relays.h"
#include "Report.h"
#include "driver/ChildProcess.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What every phase does with the processes it starts: spawn, read a reply, stop, and the units
// the rows are written in.
namespace vantrel::bench {

using Clock = std::chrono::steady_clock;
using driver::ChildProcess;

inline constexpr auto kReplyTimeout = std::chrono::seconds(10);
inline constexpr auto kExitTimeout = std::chrono::seconds(10);

double micros(Clock::duration d);
double millis(Clock::duration d);
double cpuMillis(const rusage& usage);      // user + system
long maxRssKiB(const rusage& usage);        // the peak resident set, in KiB on every system
std::string shorten(std::string_view line); // for failure texts: the first 200 bytes

// `path` with `env` as its whole environment, stdin and stdout on pipes and stderr shared with
// us; nullptr and `error` when it cannot be started.
std::unique_ptr<ChildProcess>
spawn(const std::string& path, const std::map<std::string, std::string>& env, std::string& error);

// The next stdout line, waiting kReplyTimeout; false (and `line` empty) when none came.
bool readLine(ChildProcess& child, std::string& line);

// The relay, started and answering `initialize`; nullptr and `error` when it is not. The
// initialize reply is counted in `tally`.
std::unique_ptr<ChildProcess> startRelay(const Subject& relay, Tally& tally, std::string& error);

// Closes the child's input and waits for it to exit; nothing (and `error`) unless it exited
// with 0 in time. One that does not exit is killed.
std::optional<ChildProcess::Exit> finish(ChildProcess& child, std::string& error);

// `of(k)` for each relay k of `relays`: a row's figures.
template <class Of> Figures figuresOf(const std::vector<Subject>& relays, Of&& of) {
  Figures figures;
  for (std::size_t k = 0; k < relays.size(); ++k)
    figures[relays[k].name] = std::optional<double>(of(k));
  return figures;
}

// Each relay's text on one line, for a note: "vantrel-mcp 3, Rust 2".
template <class Of> std::string perRelayText(const std::vector<Subject>& relays, Of&& of) {
  std::string text;
  for (std::size_t k = 0; k < relays.size(); ++k)
    text += (k == 0 ? "" : ", ") + relays[k].name + " " + of(k);
  return text;
}

// Which of a phase's relays are still in it: one the phase cannot finish with is recorded as
// failed in the report and left out of the rest of the phase.
class Standing {
public:
  Standing(const std::vector<Subject>& relays, Report& report, std::string phase)
      : relays_(relays), report_(report), phase_(std::move(phase)), in_(relays.size(), true) {}

  bool in(std::size_t k) const { return in_[k]; }
  void drop(std::size_t k, std::string why);
  // `of(k)` for each relay k still in, nothing for the others: a row's figures.
  template <class Of> Figures figures(Of&& of) const {
    return figuresOf(relays_, [&](std::size_t k) {
      return in_[k] ? std::optional<double>(of(k)) : std::nullopt;
    });
  }

private:
  const std::vector<Subject>& relays_;
  Report& report_;
  std::string phase_;
  std::vector<bool> in_;
};

// Counts one reply line that failed its check: misframed unless it is a JSON-RPC reply to `id`.
void tallyWrongReply(Tally& tally, std::string_view line, std::int64_t id);

// The lines of output read in bulk into one buffer, each with when its line feed was read.
class TimedLines {
public:
  // Notes the line feeds in out[from, end), all read at `at`.
  void scan(std::string_view out, std::size_t from, Clock::time_point at);
  std::size_t count() const { return ends_.size(); }
  // Line i of `out` without its line feed, and when it was complete.
  std::pair<std::string_view, Clock::time_point> line(std::string_view out, std::size_t i) const;

private:
  std::vector<std::pair<std::size_t, Clock::time_point>> ends_; // each "\n"'s offset
};

// A call whose answer is checked: its id and the text its tool result must carry.
struct Expected {
  std::int64_t id;
  std::string_view text;
};
// Which of `expected` `line` answers right, counted in `tally`; nothing, with `error`, when it
// answers none right (a misframed line unless it replies to one of their ids).
std::optional<std::size_t> matchAnswer(std::string_view line, const std::vector<Expected>& expected,
                                       Tally& tally, std::string& error);

} // namespace vantrel::bench
