#include "cli/Command.h"

#include "cli/Check.h"

#include <cstdio>
#include <string>

namespace vantrel::cli {
namespace {

int print(std::FILE* stream, const std::string& text, int status) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
  return status;
}

} // namespace

int runCommand(const Invocation& invocation) {
  switch (invocation.command) {
  case Command::check:
    return runCheck();
  case Command::version:
    return print(stdout, versionText(), 0);
  case Command::help:
    return print(stdout, helpText(), 0);
  case Command::misuse:
    return print(stderr, invocation.complaint + "\n", 2);
  case Command::serve:
    break;
  }
  return 0;
}

} // namespace vantrel::cli
