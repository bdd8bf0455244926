#include "VideoProbe.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

namespace vantrel::hostsim {
namespace {

constexpr std::uint64_t kMovieBoxLimit = 64u << 20;

std::uint64_t be(std::string_view bytes, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i)
    v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return v;
}

// Calls visit(type, payload) for each box in `bytes`; stops at the first malformed header.
template <class Visit> void eachBox(std::string_view bytes, Visit visit) {
  std::size_t at = 0;
  while (bytes.size() - at >= 8) {
    std::uint64_t size = be(bytes, at, 4);
    std::size_t header = 8;
    if (size == 1 && bytes.size() - at >= 16) {
      size = be(bytes, at + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = bytes.size() - at;
    }
    if (size < header || size > bytes.size() - at)
      return;
    visit(bytes.substr(at + 4, 4), bytes.substr(at + header, size - header));
    at += size;
  }
}

std::optional<std::string> readMovieBox(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  char head[16];
  while (in.read(head, 8)) {
    std::string_view view(head, 16);
    std::uint64_t size = be(view, 0, 4);
    std::uint64_t header = 8;
    if (size == 1) {
      if (!in.read(head + 8, 8))
        return std::nullopt;
      size = be(view, 8, 8);
      header = 16;
    }
    if (size != 0 && size < header)
      return std::nullopt;
    if (std::string_view(head + 4, 4) == "moov") {
      if (size == 0 || size - header > kMovieBoxLimit)
        return std::nullopt;
      std::string payload(size - header, '\0');
      if (!in.read(payload.data(), static_cast<std::streamsize>(payload.size())))
        return std::nullopt;
      return payload;
    }
    if (size == 0)
      return std::nullopt;
    in.seekg(static_cast<std::streamoff>(size - header), std::ios::cur);
  }
  return std::nullopt;
}

} // namespace

std::optional<VideoInfo> probeMp4(const std::filesystem::path& path) {
  auto movie = readMovieBox(path);
  if (!movie)
    return std::nullopt;
  double duration = 0;
  int width = 0, height = 0;
  eachBox(*movie, [&](std::string_view type, std::string_view box) {
    if (type == "mvhd" && !box.empty()) {
      bool wide = box[0] == 1;
      std::size_t at = wide ? 20 : 12;
      if (box.size() < at + (wide ? 12u : 8u))
        return;
      std::uint64_t timescale = be(box, at, 4);
      if (timescale != 0)
        duration =
            static_cast<double>(be(box, at + 4, wide ? 8 : 4)) / static_cast<double>(timescale);
    } else if (type == "trak") {
      eachBox(box, [&](std::string_view inner, std::string_view tkhd) {
        // The first track with a picture size is the video; audio tracks have none.
        std::size_t at = !tkhd.empty() && tkhd[0] == 1 ? 88 : 76;
        if (inner != "tkhd" || tkhd.size() < at + 8 || width != 0)
          return;
        width = static_cast<int>(be(tkhd, at, 4) >> 16);
        height = static_cast<int>(be(tkhd, at + 4, 4) >> 16);
      });
    }
  });
  if (duration <= 0)
    return std::nullopt;
  return VideoInfo{duration, width, height};
}

} // namespace vantrel::hostsim
