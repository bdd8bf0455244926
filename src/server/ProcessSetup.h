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

// How many threads run the loop, given the hardware's: enough that one call's heavy work cannot
// stall the others, at most 3 so the process has 4 threads at any load.
std::size_t loopThreadCount(unsigned hardwareThreads);

// Both for this process.
std::size_t loopStackSize();
std::size_t loopThreadCount();

} // namespace vantrel::server
