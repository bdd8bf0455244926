#include "support/SupportDir.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace vantrel::testing {
namespace fs = std::filesystem;

namespace {

std::string makeTempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp");
  while (pattern.size() > 1 && pattern.back() == '/')
    pattern.pop_back();
  pattern += "/vantrel-support-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  // Canonical, so paths compare equal to what the code under test derives (/tmp on macOS is a
  // symlink to /private/tmp).
  return fs::canonical(buffer.data()).string();
}

} // namespace

SupportDir::SupportDir() : root_(makeTempRoot()) {
  home_ = root_ + "/home";
#ifdef __APPLE__
  supportDir_ = home_ + "/Library/Application Support";
#else
  supportDir_ = home_ + "/.local/share";
#endif
  bundleDir_ = supportDir_ + "/com.quillmoor.vantrel";
  fs::create_directories(bundleDir_);
}

SupportDir::~SupportDir() {
  for (const auto& [name, value] : savedEnv_) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string SupportDir::pathOf(std::string_view relative, bool inBundle) const {
  return (inBundle ? bundleDir_ : supportDir_) + "/" + std::string(relative);
}

void SupportDir::writeToken(int port, std::string_view token, bool inBundle) const {
  nlohmann::json doc = {{"port", port}, {"token", std::string(token)}};
  writeFile("bridge.token", doc.dump(), inBundle);
}

void SupportDir::writeFile(std::string_view relative, std::string_view bytes, bool inBundle) const {
  const std::string target = pathOf(relative, inBundle);
  fs::create_directories(fs::path(target).parent_path());
  const std::string staging = target + ".writing";
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
      throw std::runtime_error("cannot write " + staging);
  }
  fs::rename(staging, target);
}

void SupportDir::removeFile(std::string_view relative, bool inBundle) const {
  std::error_code ignored;
  fs::remove_all(pathOf(relative, inBundle), ignored);
}

std::map<std::string, std::string> SupportDir::env() const {
  std::map<std::string, std::string> vars{{"HOME", home_}};
#ifndef __APPLE__
  vars["XDG_DATA_HOME"] = supportDir_;
#endif
  return vars;
}

void SupportDir::applyToThisProcess() {
  for (const auto& [name, value] : env()) {
    if (!savedEnv_.count(name)) {
      const char* old = std::getenv(name.c_str());
      savedEnv_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

} // namespace vantrel::testing
