#pragma once

#include "Library.h"
#include "Reply.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vantrel::hostsim {

// The stand-in decodes no video: frames are drawn instead, a colour field that belongs to the
// card and shifts with time, and a progress bar that shows where in the video the frame lies.
// A JPEG of width x height pixels, or nothing when it cannot be encoded. Any thread.
std::optional<std::string> drawFrame(const std::string& seed, int width, int height, double seconds,
                                     double durationSeconds);
// A still picture in the card's colours, for thumbnails and sample images.
std::optional<std::string> drawStill(const std::string& seed, int width, int height);

// GET /assets/{id}/audio and GET /assets/{id}/frames. Files go into `cacheDir` under names
// fixed by the request, so asking again answers the same path without extracting again.
// The library lock is held only to copy the card; files are written without it.
Reply extractAudio(const Library& library, const std::filesystem::path& cacheDir,
                   const std::string& shortID, const QueryParams& params);
Reply extractFrames(const Library& library, const std::filesystem::path& cacheDir,
                    const std::string& shortID, const QueryParams& params);

} // namespace vantrel::hostsim
