#include "support/SupportDir.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace fs = std::filesystem;

namespace {

#ifdef __APPLE__
constexpr const char* kSupportUnderHome = "Library/Application Support";
#else
constexpr const char* kSupportUnderHome = ".local/share";
#endif
constexpr const char* kBundle = "com.quillmoor.vantrel";

} // namespace

SupportDir::SupportDir() {
  home_ = (root_ / "home").string();
  supportDir_ = home_ + "/" + kSupportUnderHome;
  bundleDir_ = supportDir_ + "/" + kBundle;
  fs::create_directories(bundleDir_);
}

std::string SupportDir::pathOf(std::string_view relative, bool inBundle) const {
  return (inBundle ? bundleDir_ : supportDir_) + "/" + std::string(relative);
}

void SupportDir::writeToken(int port, std::string_view token, bool inBundle) const {
  nlohmann::json doc = {{"port", port}, {"token", std::string(token)}};
  writeFile("bridge.token", doc.dump(), inBundle);
}

void SupportDir::writeFile(std::string_view relative, std::string_view bytes, bool inBundle) const {
  root_.write(fs::path(pathOf(relative, inBundle)).lexically_relative(root_.path()), bytes);
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
  for (const auto& [name, value] : env())
    applied_.set({{name, value}});
}

} // namespace vantrel::testing
