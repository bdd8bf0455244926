/* The stdio floor: answers every input line with one fixed line, in one write, the way the server
 * answers a ping but with no parsing or serialising. Its round trip is the cost of two pipe hops
 * and two wake-ups, which no server reading lines from a pipe can beat. */
#include <errno.h>
#include <string.h>
#include <unistd.h>

static int writeAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

int main(void) {
  static const char reply[] = "{\"jsonrpc\":\"2.0\",\"id\":0,\"result\":{}}\n";
  char buffer[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return 0;
    /* One write per reply, as the server must: a burst is not answered in one go. */
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n' && writeAll(reply, sizeof reply - 1) != 0)
        return 0;
    }
  }
}
