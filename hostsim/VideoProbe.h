#pragma once

#include <filesystem>
#include <optional>

namespace vantrel::hostsim {

struct VideoInfo {
  double durationSeconds = 0;
  int width = 0; // 0 when no track gives a picture size
  int height = 0;
};

// Duration and picture size from an MP4/MOV file's movie header, as an import needs them.
// Reads box headers and the movie box only; nothing when the file is no such container.
std::optional<VideoInfo> probeMp4(const std::filesystem::path& path);

} // namespace vantrel::hostsim
