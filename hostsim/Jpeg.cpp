#include "Jpeg.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vantrel::hostsim {
namespace {

// Quantiser of the DC coefficient: the coefficient of a flat block is 8 * (level - 128), so
// dividing by 8 leaves the level itself, category 8 at most.
constexpr std::uint8_t kQuant = 8;

// DC difference categories 0..11, the usual luminance table.
constexpr std::array<std::uint8_t, 16> kDcCounts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kDcSymbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// AC coefficients are always zero, so the only AC symbol is end-of-block, a 1-bit code.
constexpr std::array<std::uint8_t, 16> kAcCounts = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Code {
  std::uint16_t bits = 0;
  int length = 0;
};

std::array<Code, 12> dcCodes() {
  std::array<Code, 12> codes{};
  std::uint16_t code = 0;
  std::size_t symbol = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < kDcCounts[static_cast<std::size_t>(length - 1)]; ++i)
      codes[kDcSymbols[symbol++]] = {code++, length};
    code = static_cast<std::uint16_t>(code << 1);
  }
  return codes;
}

class BitWriter {
public:
  explicit BitWriter(std::string& out) : out_(out) {}
  void put(std::uint32_t bits, int length) {
    for (int i = length - 1; i >= 0; --i) {
      byte_ = static_cast<std::uint8_t>((byte_ << 1) | ((bits >> i) & 1));
      if (++filled_ == 8)
        flushByte();
    }
  }
  // Pads the last byte with one bits, as the format asks.
  void finish() {
    while (filled_ != 0)
      put(1, 1);
  }

private:
  void flushByte() {
    out_.push_back(static_cast<char>(byte_));
    if (byte_ == 0xFF)
      out_.push_back('\0'); // a data 0xFF must not read as a marker
    byte_ = 0;
    filled_ = 0;
  }
  std::string& out_;
  std::uint8_t byte_ = 0;
  int filled_ = 0;
};

void putWord(std::string& out, unsigned value) {
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

void putBytes(std::string& out, std::initializer_list<unsigned> bytes) {
  for (unsigned b : bytes)
    out.push_back(static_cast<char>(b));
}

int level(double value) {
  return std::clamp(static_cast<int>(std::lround(value)), 0, 255);
}

} // namespace

std::string encodeBlockJpeg(int width, int height,
                            const std::function<Rgb(int blockX, int blockY)>& colourAt) {
  std::string out;
  putBytes(out, {0xFF, 0xD8});
  putBytes(out, {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});

  putBytes(out, {0xFF, 0xDB, 0, 67, 0});
  out.append(64, static_cast<char>(kQuant));

  putBytes(out, {0xFF, 0xC0, 0, 17, 8});
  putWord(out, static_cast<unsigned>(height));
  putWord(out, static_cast<unsigned>(width));
  putBytes(out, {3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});

  putBytes(out, {0xFF, 0xC4});
  putWord(out, static_cast<unsigned>(2 + 1 + 16 + kDcSymbols.size() + 1 + 16 + 1));
  out.push_back(0x00);
  for (auto count : kDcCounts)
    out.push_back(static_cast<char>(count));
  for (auto symbol : kDcSymbols)
    out.push_back(static_cast<char>(symbol));
  out.push_back(0x10);
  for (auto count : kAcCounts)
    out.push_back(static_cast<char>(count));
  out.push_back(0x00);

  putBytes(out, {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 63, 0});

  static const auto kDc = dcCodes();
  BitWriter bits(out);
  std::array<int, 3> previous{};
  int blocksAcross = (width + 7) / 8, blocksDown = (height + 7) / 8;
  for (int by = 0; by < blocksDown; ++by) {
    for (int bx = 0; bx < blocksAcross; ++bx) {
      Rgb c = colourAt(bx, by);
      double r = c.r, g = c.g, b = c.b;
      std::array<int, 3> levels = {
          level(0.299 * r + 0.587 * g + 0.114 * b),
          level(-0.168736 * r - 0.331264 * g + 0.5 * b + 128),
          level(0.5 * r - 0.418688 * g - 0.081312 * b + 128),
      };
      for (std::size_t k = 0; k < 3; ++k) {
        int dc = levels[k] - 128;
        int diff = dc - previous[k];
        previous[k] = dc;
        int magnitude = std::abs(diff), category = 0;
        while (magnitude >> category)
          ++category;
        bits.put(kDc[static_cast<std::size_t>(category)].bits,
                 kDc[static_cast<std::size_t>(category)].length);
        // Negative differences are sent as their ones' complement in `category` bits.
        if (category > 0)
          bits.put(static_cast<std::uint32_t>(diff > 0 ? diff : diff - 1) & ((1u << category) - 1),
                   category);
        bits.put(0, 1); // end of block
      }
    }
  }
  bits.finish();
  putBytes(out, {0xFF, 0xD9});
  return out;
}

} // namespace vantrel::hostsim
