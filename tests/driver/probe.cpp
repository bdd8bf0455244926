// vantrel_testkit_probe: reports on stderr how it was started, so the kit's tests can check that
// a child really got what ChildProcess promised. One line:
//   stdin-nonblocking=0|1 stdout-open=0|1 nofile=N sigpipe=default|ignored
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>

int main() {
  int stdinFlags = ::fcntl(0, F_GETFL);
  bool stdoutOpen = ::fcntl(1, F_GETFD) != -1;
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  struct sigaction pipe {};
  ::sigaction(SIGPIPE, nullptr, &pipe);
  std::fprintf(stderr, "stdin-nonblocking=%d stdout-open=%d nofile=%llu sigpipe=%s\n",
               stdinFlags >= 0 && (stdinFlags & O_NONBLOCK) != 0 ? 1 : 0, stdoutOpen ? 1 : 0,
               static_cast<unsigned long long>(files.rlim_cur),
               pipe.sa_handler == SIG_IGN ? "ignored" : "default");
  return 0;
}
