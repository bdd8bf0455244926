#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vantrel::hostsim {

// A baseline JPEG of a width x height picture given as RGB bytes, rows top to bottom, or nothing
// when it cannot be made: a side outside 1..65535, `rgb` not 3 * width * height bytes, or no
// memory. Colour keeps full resolution (4:4:4), so a flat 8x8 block keeps its colour. Any thread.
std::optional<std::string> encodeJpeg(int width, int height, std::span<const std::uint8_t> rgb);

} // namespace vantrel::hostsim
