#include "bridge/StorePaths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace vantrel::bridge {
namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
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
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr)
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

std::optional<std::string> absolute(const std::optional<std::string>& path) {
  if (!path || path->empty() || path->front() != '/')
    return std::nullopt;
  return path;
}

std::optional<std::string> supportDirectoryFor(Platform platform, const SupportEnvironment& env) {
  auto home = absolute(env.home);
  if (!home)
    home = absolute(env.userDatabaseHome);
  if (platform == Platform::macOS) {
    if (!home)
      return std::nullopt;
    return withoutTrailingSlashes(*home) + "/Library/Application Support";
  }
  // The base directory rules say a relative XDG_DATA_HOME is invalid and must be ignored.
  if (auto xdg = absolute(env.xdgDataHome))
    return withoutTrailingSlashes(*xdg);
  if (!home)
    return std::nullopt;
  return withoutTrailingSlashes(*home) + "/.local/share";
}

SupportEnvironment supportEnvironment() {
  SupportEnvironment env{environment("HOME"), environment("XDG_DATA_HOME"), std::nullopt};
  if (!absolute(env.home))
    env.userDatabaseHome = homeFromUserDatabase();
  return env;
}

std::optional<std::string> applicationSupportDirectory() {
  return supportDirectoryFor(kThisPlatform, supportEnvironment());
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
