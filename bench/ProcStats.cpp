#include "ProcStats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>

namespace vantrel::bench {

#ifdef __linux__

std::optional<ProcStatus> readProcStatus(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr)
    return std::nullopt;
  ProcStatus status;
  int found = 0;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    auto field = [&](const char* name, long& into) {
      std::size_t length = std::strlen(name);
      if (std::strncmp(line, name, length) != 0)
        return;
      into = std::strtol(line + length, nullptr, 10);
      ++found;
    };
    field("VmRSS:", status.rssKiB);
    field("VmHWM:", status.peakKiB);
    field("Threads:", status.threads);
    field("RssAnon:", status.anonKiB);
    field("RssFile:", status.fileKiB);
  }
  std::fclose(file);
  // A zombie has no memory lines left; a partial reading is no reading.
  if (found < 5)
    return std::nullopt;
  return status;
}

std::optional<long> countOpenFds(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr)
    return std::nullopt;
  long count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  ::closedir(dir);
  return count;
}

#else

std::optional<ProcStatus> readProcStatus(pid_t) {
  return std::nullopt;
}

std::optional<long> countOpenFds(pid_t) {
  return std::nullopt;
}

#endif

} // namespace vantrel::bench
