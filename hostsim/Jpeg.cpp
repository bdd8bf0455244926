#include "Jpeg.h"

#include <memory>
#include <turbojpeg.h>

namespace vantrel::hostsim {
namespace {

constexpr int kQuality = 90;
constexpr int kMaxSide = 65535; // what a JPEG frame header can hold

} // namespace

std::optional<std::string> encodeJpeg(int width, int height, std::span<const std::uint8_t> rgb) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
      rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
    return std::nullopt;
  std::unique_ptr<void, int (*)(tjhandle)> compressor(tjInitCompress(), tjDestroy);
  if (!compressor)
    return std::nullopt;
  unsigned char* jpeg = nullptr; // allocated by the library, which may leave it set on failure
  unsigned long size = 0;
  int status = tjCompress2(compressor.get(), rgb.data(), width, /*pitch=*/0, height, TJPF_RGB,
                           &jpeg, &size, TJSAMP_444, kQuality, /*flags=*/0);
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(jpeg, tjFree);
  if (status != 0)
    return std::nullopt;
  return std::string(reinterpret_cast<const char*>(owned.get()), size);
}

} // namespace vantrel::hostsim
