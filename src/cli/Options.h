#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::cli {

// What the command line asks for. An agent host passes no arguments and gets the server; the
// rest is for a person at a terminal.
enum class Command {
  serve,   // no arguments: the MCP server on stdin and stdout
  check,   // --check: say what the next tool call would meet
  version, // --version
  help,    // --help, -h
  misuse,  // anything else: `complaint` says what
};

struct Invocation {
  Command command = Command::serve;
  std::string complaint; // for misuse: one line for standard error, without the "\n"

  friend bool operator==(const Invocation&, const Invocation&) = default;
};

// The command for `args`, the arguments after the program name. One option at most: a first
// argument that is no option is named as unknown, else a second one as one too many. Pure.
Invocation parseArguments(const std::vector<std::string_view>& args);
Invocation parseArguments(int argc, const char* const* argv);

// "vantrel-mcp 1.0.0\n".
std::string versionText();
// What the program is, who starts it, and its options; ends with "\n".
std::string helpText();

} // namespace vantrel::cli
