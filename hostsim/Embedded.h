#pragma once

#include <string_view>

namespace vantrel::hostsim {

// Files compiled into the program, so it runs the same from the build tree and installed.
std::string_view sampleLibraryText(); // sample-library.json
std::string_view agentGuideText();    // agent-guide.md

} // namespace vantrel::hostsim
