#pragma once

#include "common/Platform.h"

#include <sys/types.h>

namespace vantrel {

// How to wait for a descriptor that said EAGAIN. poll() everywhere, except that macOS poll()
// does not support devices: on a terminal it returns at once with POLLNVAL, and a loop around it
// would spin at full CPU; select() waits there.
enum class WaitMethod { poll, select };

// The method for a descriptor of type `mode` (st_mode) on `platform`; select() only where it
// can take the descriptor (below FD_SETSIZE).
WaitMethod waitMethodFor(Platform platform, mode_t mode, int fd);
// The same for `fd` on this platform.
WaitMethod waitMethodFor(int fd);

// Waits until `fd` can be read (or written) without EAGAIN, or has failed or ended (a read or
// write then says which), for at most `timeoutMs` (-1: as long as it takes; 0: only looks).
// Whether it is ready; a signal may end the wait early, and the caller tries again.
enum class Readiness { readable, writable };
bool waitReady(int fd, Readiness readiness, WaitMethod method, int timeoutMs = -1);

} // namespace vantrel
