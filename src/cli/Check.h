#pragma once

#include "bridge/AgentGuideReader.h"
#include "bridge/Credentials.h"
#include "bridge/StorePaths.h"
#include "common/Platform.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

// What `vantrel-mcp --check` finds, one plain function per finding, so every case is shown
// without files or sockets. No line ever carries the bearer token, nor anything derived from it.

// The request --check sends: a read-only one, so checking changes nothing in the library.
inline constexpr const char* kProbeMethod = "GET";
inline constexpr const char* kProbePath = "/events";
// A Bridge that is up answers /events at once; a person should not wait the server's 180 s.
inline constexpr std::chrono::seconds kProbeTimeout{15};
// The probe reads the reply only to see that it is whole; past this it says the reply is too big.
inline constexpr std::size_t kProbeBodyLimit = std::size_t(16) << 20;

// Where a candidate bridge.token stands in the server's order.
enum class TokenRole {
  tried,      // the server reads it and, finding nothing usable, goes on
  used,       // the first usable one: the server takes its port and token
  notReached, // after the used one: the server never reads it
};

// The role of each candidate, examined in the server's order. Pure.
std::vector<TokenRole> rolesFor(const std::vector<bridge::TokenFile>& files);

// One line for the `ordinal`-th candidate (from 1). Pure.
std::string tokenLine(const bridge::TokenFile& file, std::size_t ordinal, TokenRole role);

// The one attempt made with the used file's credentials: the HTTP status when a reply arrived,
// else the transport's words for the failure ("connect 127.0.0.1:PORT: Connection refused").
struct Probe {
  int port = 0;
  std::optional<int> status;
  std::string failure;
};

// One line for the probe; nothing means no usable file, so no request was sent. Pure.
std::string probeLine(const std::optional<Probe>& probe);

// What one candidate agent-guide.md came to, read as get_guide reads it.
struct GuideFile {
  using Status = bridge::GuideRead::Status;
  std::string path;
  Status status = Status::missing;
  std::size_t size = 0; // bytes, when readable
  int error = 0;        // errno when unreadable or noResources; 0 for a directory or special file
};

// Reads and judges the agent-guide.md at `path`. Any thread.
GuideFile examineGuideFile(const std::string& path);

// One line for the guide: the candidate get_guide would serve and its size, or why none. Pure.
std::string guideLine(const std::vector<GuideFile>& candidates);

// One line for what the support directory was worked out from: $HOME (or the user database's
// home) and, off macOS, $XDG_DATA_HOME, so that a run under an agent host, which may pass fewer
// variables than a shell, can be told apart from a run at a terminal. Pure.
std::string environmentLine(Platform platform, const bridge::SupportEnvironment& env);

struct CheckFindings {
  Platform platform = kThisPlatform;
  bridge::SupportEnvironment environment;
  std::vector<bridge::TokenFile> tokens; // every candidate, in order; empty without a home
  std::optional<Probe> probe;            // for the used token file
  std::vector<GuideFile> guides;         // every candidate, in order
};

// The last line: can a tool call reach the Bridge, and if not, what to do. Pure.
std::string verdictLine(const CheckFindings& findings);
// 0 when the Bridge answered the probe with 200, else 1. Pure.
int exitStatusFor(const CheckFindings& findings);
// Every line, in order: the environment, the token candidates, the probe, the guide, the
// verdict. Pure.
std::vector<std::string> renderFindings(const CheckFindings& findings);

// Examines the files where the server would look and, with the first usable bridge.token, sends
// the Bridge one read-only request, through the server's own transport. Writes nothing and sends
// no usage report. Blocks for up to kProbeTimeout.
CheckFindings gatherFindings();

// --check: gathers, prints each line on standard output, returns the exit status.
int runCheck();

} // namespace vantrel::cli
