#pragma once

#include "common/Platform.h"

#include <cstddef>
#include <cstdint>

namespace vantrel::server {

// What a host may have left us at start, and the limits the server sets for itself. The
// choices are plain functions of their inputs so the tests can run every platform's; the
// functions without inputs apply them to this process.

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. Must run before anything
// else opens a descriptor: otherwise the first socket takes number 1, response lines go into it,
// and once its buffer fills the server hangs.
void openMissingStandardStreams();

// The open-file soft limit the server wants, given the current soft and hard limits: the whole
// hard limit (each call in flight holds a descriptor or two), except that macOS refuses a soft
// limit above OPEN_MAX (`openMax`) whatever the hard limit says. Never lowers the soft limit.
std::uint64_t wantedOpenFileLimit(Platform platform, std::uint64_t soft, std::uint64_t hard,
                                  std::uint64_t openMax);
void raiseOpenFileLimit();

// The stack of a loop thread: the platform's default for new threads, but never less than what
// writing the deepest JSON the server accepts needs (macOS gives new threads only 512 KiB).
std::size_t loopStackSize(std::size_t platformDefault);

// How many threads run the loop beside the reading thread (which runs it too), given the
// hardware's: one per core beyond the first, so that one call's heavy work cannot stall the
// others, but at least one, so that a long answer's write never stops the reading even on one
// core, and at most 2, so the process has 3 threads at any load (4 with a blocking input's reader).
std::size_t loopThreadCount(unsigned hardwareThreads);

// How many usage reports may be in flight at once, given the open-file limit: each holds a
// connection for as long as the Bridge takes, up to two idle time-outs, and reports must leave
// descriptors for the calls. A quarter of the limit, at most 256; a report beyond it is dropped.
std::size_t reportsInFlightLimit(std::uint64_t openFileLimit);

// All three for this process.
std::size_t loopStackSize();
std::size_t loopThreadCount();
std::size_t reportsInFlightLimit();

} // namespace vantrel::server
