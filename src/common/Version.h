#pragma once

namespace vantrel {

// The version CMakeLists.txt declares: what --version prints and initialize's serverInfo says.
inline constexpr const char* kVersion = VANTREL_VERSION;

} // namespace vantrel
