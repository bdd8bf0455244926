#pragma once

#include "driver/TempDir.h"
#include "support/ScopedEnv.h"

#include <map>
#include <string>
#include <string_view>

namespace vantrel::testing {

// A throw-away home directory laid out as the server looks for the host app's files:
// home()/Library/Application Support on macOS, home()/.local/share elsewhere, with the
// bundle folder inside. Created by the constructor, removed with everything in it by the
// destructor. Files are replaced atomically, so a reader never sees half of one.
class SupportDir {
public:
  SupportDir();
  SupportDir(const SupportDir&) = delete;
  SupportDir& operator=(const SupportDir&) = delete;

  const std::string& home() const { return home_; }
  const std::string& bundleDir() const { return bundleDir_; }

  // Writes bridge.token as {"port":port,"token":token}.
  void writeToken(int port, std::string_view token, bool inBundle = true) const;
  // Writes `bytes` exactly to `relative` under the bundle folder or the support directory.
  void writeFile(std::string_view relative, std::string_view bytes, bool inBundle = true) const;
  void removeFile(std::string_view relative, bool inBundle = true) const;
  // Full path of `relative` in one of the two places.
  std::string pathOf(std::string_view relative, bool inBundle = true) const;

  // The environment a child process needs to find this directory (HOME; XDG_DATA_HOME too,
  // except on macOS). Merge it over the parent's environment.
  std::map<std::string, std::string> env() const;

  // Points this process at the directory (setenv), and puts the old values back in the
  // destructor. Call it before starting any thread that reads the environment.
  void applyToThisProcess();

private:
  driver::TempDir root_{"vantrel-support"};
  std::string home_;
  std::string supportDir_;
  std::string bundleDir_;
  ScopedEnv applied_;
};

} // namespace vantrel::testing
