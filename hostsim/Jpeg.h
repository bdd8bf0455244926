#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vantrel::hostsim {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// A baseline JFIF JPEG of width x height pixels (1..65535 each) in which every 8x8 block is
// one solid colour, `colourAt(blockX, blockY)`. Only DC coefficients are coded, which is all a
// stand-in frame needs and keeps the encoder small; any decoder reads the result.
std::string encodeBlockJpeg(int width, int height,
                            const std::function<Rgb(int blockX, int blockY)>& colourAt);

} // namespace vantrel::hostsim
