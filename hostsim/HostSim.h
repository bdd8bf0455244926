#pragma once

#include "Library.h"
#include "Routes.h"
#include "TelemetryLog.h"
#include "Worksheets.h"

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <variant>

namespace vantrel::hostsim {

struct HostSimOptions {
  std::filesystem::path supportDir;             // the Application Support directory
  std::optional<std::filesystem::path> dataDir; // persistent library; none: in memory
  int port = 0;                                 // 0: any free port
};

// cpp-httplib listens with a backlog of 5, fixed when the library is built: past it, a burst's new
// connections have their SYNs dropped and each waits a second or more for the retry.
class BridgeServer : public httplib::Server {
public:
  // Listens again on the bound socket with room for `backlog` pending connections (the system
  // may cap it). False, with errno set, when that fails. Between bind and listen_after_bind.
  bool widenBacklog(int backlog) { return ::listen(svr_sock_, backlog) == 0; }
};

// The stand-in host app: a library, its Bridge on 127.0.0.1, and the two files it leaves in
// its support folder. Usable in-process; the program's main only adds signals.
class HostSim {
public:
  // Listens, then writes bridge.token and, when missing, agent-guide.md. Refuses, before
  // touching anything, when a bridge.token in either place the server reads names a Bridge that
  // answers: writing ours would hide that app from every agent. An error text when any step
  // fails; nothing is left behind then.
  static std::variant<std::unique_ptr<HostSim>, std::string> start(const HostSimOptions& options);
  ~HostSim();
  HostSim(const HostSim&) = delete;
  HostSim& operator=(const HostSim&) = delete;

  // Removes bridge.token when it still holds our token (another app may have written its own
  // since), and stops serving. Idempotent; any thread.
  void stop();

  int port() const { return port_; }
  const std::string& token() const { return token_; }
  std::filesystem::path tokenPath() const { return bundleDir_ / "bridge.token"; }
  const std::filesystem::path& bundleDir() const { return bundleDir_; }
  const std::string& libraryDescription() const { return description_; }

private:
  HostSim() = default;

  std::filesystem::path bundleDir_;
  std::filesystem::path temporaryLibrary_; // removed at stop; empty with --data
  std::string description_;
  std::string token_;
  int port_ = 0;
  std::unique_ptr<Library> library_;
  std::unique_ptr<Worksheets> worksheets_;
  TelemetryLog telemetry_;
  std::unique_ptr<BridgeServices> services_;
  BridgeServer server_;
  std::thread serving_;
  std::once_flag stopped_;
};

} // namespace vantrel::hostsim
