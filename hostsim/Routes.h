#pragma once

#include "Library.h"
#include "TelemetryLog.h"
#include "Worksheets.h"

#include <httplib.h>

#include <filesystem>
#include <string>

namespace vantrel::hostsim {

struct BridgeServices {
  Library& library;
  Worksheets& worksheets;
  TelemetryLog& telemetry;
  std::filesystem::path cacheDir;
  std::string token;
};

// The Bridge's endpoints on `server`. Every request must carry "Authorization: Bearer
// <token>"; all replies, errors included, are JSON. `services` must outlive the server.
void installRoutes(httplib::Server& server, BridgeServices& services);

} // namespace vantrel::hostsim
