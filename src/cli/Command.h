#pragma once

#include "cli/Options.h"

namespace vantrel::cli {

// Carries out a command meant for a person (--check, --version, --help, a misuse) on standard
// output and standard error, and returns the exit status: 0 done, 1 --check found no way to the
// Bridge, 2 misuse. Command::serve is main's to run; here it does nothing and returns 0.
int runCommand(const Invocation& invocation);

} // namespace vantrel::cli
