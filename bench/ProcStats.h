#pragma once

#include <optional>
#include <sys/types.h>

namespace vantrel::bench {

// Memory and threads of a running process as the kernel reports them. Only Linux exposes these
// cheaply (/proc); elsewhere every reading is empty and the report says "n/a".
struct ProcStatus {
  long rssKiB = 0;  // VmRSS
  long peakKiB = 0; // VmHWM: the kernel's own high-water mark, which no sampling interval misses
  long threads = 0;
  long anonKiB = 0; // RssAnon: our own heap and stacks
  long fileKiB = 0; // RssFile: mapped code of the binary and its shared libraries
};

std::optional<ProcStatus> readProcStatus(pid_t pid);

// Open descriptors of the process; empty where /proc is missing.
std::optional<long> countOpenFds(pid_t pid);

} // namespace vantrel::bench
