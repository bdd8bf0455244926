#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace vantrel::driver {

// Small descriptor helpers shared by the kit, the benchmark and raw-socket tests. Every
// descriptor they make is close-on-exec, so a child started meanwhile inherits only its pipes.

void setCloexec(int fd);
// Only fcntl: ChildProcess calls it between fork and exec.
bool setNonBlocking(int fd);
// A close-on-exec pipe (atomically so on Linux, where other threads may fork meanwhile).
bool makePipe(int ends[2]);
void closeQuietly(int& fd); // closes fd if open and sets it to -1

// A peer that has gone must not kill us with SIGPIPE: Linux says so per send, macOS per socket.
#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
#else
inline constexpr int kSendFlags = 0;
#endif
void setNoSigPipe(int fd);

// A blocking TCP connection to 127.0.0.1:port with Nagle off, or -1 with errno set.
int connectLoopback(int port);
// Sends all of `bytes` on a blocking socket; false when the connection failed.
bool sendAll(int fd, std::string_view bytes);
// A loopback port with nothing listening on it: bound, then released.
int unusedPort();

// A terminal: the master end (what a person types into, what the screen shows) and the slave end
// a program is given, both close-on-exec, in the terminal's default canonical mode; false with
// errno set when none can be had. POSIX only, so that it builds wherever the tests do.
bool openTerminal(int& master, int& slave);

// Raises this process's open-file soft limit to the hard limit, as the server does for itself
// (which so starts with at least our soft limit and the same hard limit); the reason when that
// leaves fewer than `needed`.
std::optional<std::string> descriptorShortfall(std::uint64_t needed);

} // namespace vantrel::driver
