#include "bridge/StorePaths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace vantrel::bridge {
namespace {

std::optional<std::string> absoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/')
    return std::nullopt;
  return std::string(value);
}

std::optional<std::string> homeFromUserDatabase() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096, '\0');
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
      return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::string withoutTrailingSlashes(std::string path) {
  while (!path.empty() && path.back() == '/')
    path.pop_back();
  return path;
}

} // namespace

std::optional<std::string> applicationSupportDirectory() {
  // A relative HOME would make the files depend on the working directory; treat it as unset.
  auto home = absoluteEnv("HOME");
  if (!home)
    home = homeFromUserDatabase();
#ifdef __APPLE__
  if (!home)
    return std::nullopt;
  return withoutTrailingSlashes(*home) + "/Library/Application Support";
#else
  // The base directory rules say a relative XDG_DATA_HOME is invalid and must be ignored.
  if (auto xdg = absoluteEnv("XDG_DATA_HOME"))
    return withoutTrailingSlashes(*xdg);
  if (!home)
    return std::nullopt;
  return withoutTrailingSlashes(*home) + "/.local/share";
#endif
}

std::vector<std::string> StorePaths::resolveCandidates(std::string_view relative) {
  auto support = applicationSupportDirectory();
  if (!support)
    return {};
  std::string bundled = *support + "/";
  bundled += kBundleDirectory;
  bundled += relative;
  std::string direct = *support + "/";
  direct += relative;
  return {std::move(bundled), std::move(direct)};
}

} // namespace vantrel::bridge
