#pragma once

namespace vantrel {

// The platforms whose conventions the server follows. Choices that differ between them are
// plain functions taking a Platform, so the tests run the macOS choices on Linux too; only
// kThisPlatform looks at the build.
enum class Platform { macOS, otherUnix };

#ifdef __APPLE__
inline constexpr Platform kThisPlatform = Platform::macOS;
#else
inline constexpr Platform kThisPlatform = Platform::otherUnix;
#endif

} // namespace vantrel
