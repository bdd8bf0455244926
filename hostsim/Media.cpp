#include "Media.h"

#include "AudioFiles.h"
#include "Files.h"
#include "Jpeg.h"
#include "Text.h"
#include "common/Text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <vector>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;

constexpr double kFrameRate = 30;
constexpr std::size_t kMaxFramesPerCall = 20;
constexpr int kDefaultMaxWidth = 1280;
constexpr int kMaxWidthCeiling = 1920;
constexpr double kAudioSizeLimit = 50.0 * 1024 * 1024;
// The audio file holds a short sample, not the whole track: enough to prove the road works
// while keeping the cache small.
constexpr double kSampleAudioSeconds = 3;
// Pictures are drawn in blocks of one colour that sit on the JPEG's own 8x8 grid, so each block
// compresses to a single coefficient and a full-HD frame stays a few tens of kilobytes.
constexpr int kBlock = 8;

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

std::uint32_t fnv1a(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text)
    hash = (hash ^ c) * 16777619u;
  return hash;
}

Rgb fromHsv(double hue, double saturation, double value) {
  double c = value * saturation;
  double h = std::fmod(hue, 360.0) / 60.0;
  double x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  if (h < 1)
    r = c, g = x;
  else if (h < 2)
    r = x, g = c;
  else if (h < 3)
    g = c, b = x;
  else if (h < 4)
    g = x, b = c;
  else if (h < 5)
    r = x, b = c;
  else
    r = c, b = x;
  double m = value - c;
  auto byte = [&](double v) { return static_cast<std::uint8_t>(std::lround((v + m) * 255)); };
  return {byte(r), byte(g), byte(b)};
}

std::string numberText(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::optional<Reply> videoProblem(const std::optional<Card>& card, const std::string& shortID) {
  if (!card)
    return Reply::fail(404, "找不到内容卡片 " + shortID);
  if (card->mediaKind != "video")
    return Reply::fail(400, "只有视频卡片可以提取音轨或画面");
  return std::nullopt;
}

// Writes once; a later identical request finds the file and reuses it. An error text when the
// bytes cannot be made or written.
std::optional<std::string> ensureFile(const std::filesystem::path& path, bool& cached,
                                      const std::function<std::optional<std::string>()>& make) {
  std::error_code ec;
  // An empty file is what a crash can leave of a cache write; it is made again.
  cached =
      std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) > 0 && !ec;
  if (cached)
    return std::nullopt;
  auto bytes = make();
  if (!bytes)
    return "编码失败";
  return writeFileAtomically(path, *bytes, 0644, Durability::cache);
}

} // namespace

std::optional<std::string> drawFrame(const std::string& seed, int width, int height, double seconds,
                                     double durationSeconds) {
  if (width < 1 || height < 1)
    return std::nullopt;
  double hue = fnv1a(seed) % 360 + seconds * 2;
  double position = durationSeconds > 0 ? std::clamp(seconds / durationSeconds, 0.0, 1.0) : 0;
  int blocksAcross = (width + kBlock - 1) / kBlock, blocksDown = (height + kBlock - 1) / kBlock;
  int barRows = std::max(1, blocksDown / 16);
  auto colourAt = [&](int bx, int by) {
    if (by >= blocksDown - barRows)
      return (bx + 0.5) / blocksAcross <= position ? Rgb{240, 240, 240} : Rgb{60, 60, 60};
    double shade = 0.45 + 0.4 * by / std::max(1, blocksDown - 1);
    return fromHsv(hue + 40.0 * bx / std::max(1, blocksAcross), 0.55, shade);
  };

  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
  std::vector<Rgb> blockRow(static_cast<std::size_t>(blocksAcross));
  auto out = rgb.begin();
  for (int y = 0; y < height; ++y) {
    if (y % kBlock == 0)
      for (int bx = 0; bx < blocksAcross; ++bx)
        blockRow[static_cast<std::size_t>(bx)] = colourAt(bx, y / kBlock);
    for (int x = 0; x < width; ++x) {
      const Rgb& c = blockRow[static_cast<std::size_t>(x / kBlock)];
      *out++ = c.r;
      *out++ = c.g;
      *out++ = c.b;
    }
  }
  return encodeJpeg(width, height, rgb);
}

std::optional<std::string> drawStill(const std::string& seed, int width, int height) {
  return drawFrame(seed, width, height, 0, 0);
}

Reply extractAudio(const Library& library, const std::filesystem::path& cacheDir,
                   const std::string& shortID, const QueryParams& params) {
  if (params.count("start") || params.count("end"))
    return Reply::fail(400, "暂不支持 start/end 截取：请提取整条音轨，转写后再切分");
  std::string format = params.count("format") ? params.at("format") : "m4a";
  if (format != "m4a" && format != "wav")
    return Reply::fail(400, "format 只能是 m4a 或 wav");
  auto card = library.card(shortID);
  if (auto problem = videoProblem(card, shortID))
    return *problem;

  // m4a is AAC at 32 kbps; wav is 16-bit PCM at 16 kHz. The limit concerns the whole track.
  double trackBytes = card->durationSeconds * (format == "m4a" ? 4000.0 : 32000.0);
  if (trackBytes > kAudioSizeLimit)
    return Reply::fail(413, "音轨约 " + numberText(std::round(trackBytes / 1048576)) +
                                "MB，超过 50MB 上限" +
                                (format == "wav" ? "：请改用 format=m4a" : ""));

  double seconds = std::min(card->durationSeconds, kSampleAudioSeconds);
  auto path = cacheDir / "audio" / (shortID + "." + format);
  bool cached = false;
  auto error = ensureFile(path, cached, [&] {
    return format == "m4a" ? encodeSilentM4a(seconds) : encodeToneWav(seconds);
  });
  if (error)
    return Reply::fail(500, "音轨写入失败：" + *error);
  std::error_code ec;
  auto bytes = std::filesystem::file_size(path, ec);
  return Reply::ok({{"path", path.string()},
                    {"shortID", shortID},
                    {"format", format},
                    {"durationSeconds", card->durationSeconds},
                    {"audioSeconds", seconds},
                    {"sampleRate", kAudioSampleRate},
                    {"channels", 1},
                    {"bytes", ec ? 0 : bytes},
                    {"cached", cached}});
}

Reply extractFrames(const Library& library, const std::filesystem::path& cacheDir,
                    const std::string& shortID, const QueryParams& params) {
  std::vector<std::string> texts;
  if (params.count("t"))
    texts.push_back(params.at("t"));
  else if (params.count("times"))
    texts = split(params.at("times"), ',');
  else
    return Reply::fail(400, "缺少时间点：单帧用 t=12.5，多帧用 times=1,5,9");
  if (texts.size() > kMaxFramesPerCall)
    return Reply::fail(400, "一次最多 20 个时间点（收到 " + std::to_string(texts.size()) + " 个）");
  std::vector<double> times;
  for (const auto& text : texts) {
    auto value = parseNumber(trimBlank(text));
    if (!value || *value < 0)
      return Reply::fail(400, "时间点无法解析：「" + text + "」");
    times.push_back(*value);
  }

  int maxWidth = kDefaultMaxWidth;
  if (params.count("maxWidth")) {
    auto value = parseInteger(params.at("maxWidth"));
    if (!value || *value < 1 || *value > kMaxWidthCeiling)
      return Reply::fail(400, "maxWidth 需为 1 到 1920 的整数");
    maxWidth = static_cast<int>(*value);
  }

  auto card = library.card(shortID);
  if (auto problem = videoProblem(card, shortID))
    return *problem;
  for (double t : times)
    if (t > card->durationSeconds)
      return Reply::fail(400, "时间点 " + numberText(t) + " 秒超出视频长度 " +
                                  numberText(card->durationSeconds) + " 秒");

  int sourceWidth = card->width > 0 ? card->width : 1920;
  int sourceHeight = card->height > 0 ? card->height : 1080;
  int width = std::min(maxWidth, sourceWidth);
  int height = std::max(1, static_cast<int>(std::lround(1.0 * width * sourceHeight / sourceWidth)));
  auto lastFrame =
      std::max(0L, static_cast<long>(std::ceil(card->durationSeconds * kFrameRate)) - 1);

  json frames = json::array();
  for (double t : times) {
    // Frames exist only at whole frame positions; the one used is at most 1/30 s away.
    long index = std::min(std::lround(t * kFrameRate), lastFrame);
    double actual = std::round(index / kFrameRate * 1000) / 1000;
    auto path = cacheDir / "frames" / shortID /
                (std::to_string(index) + "-w" + std::to_string(width) + ".jpg");
    bool cached = false;
    auto error = ensureFile(path, cached, [&] {
      return drawFrame(shortID, width, height, actual, card->durationSeconds);
    });
    if (error)
      return Reply::fail(500, "画面写入失败：" + *error);
    frames.push_back({{"path", path.string()},
                      {"requestedSeconds", t},
                      {"actualSeconds", actual},
                      {"width", width},
                      {"height", height},
                      {"cached", cached}});
  }
  return Reply::ok({{"shortID", shortID},
                    {"frames", std::move(frames)},
                    {"durationSeconds", card->durationSeconds}});
}

} // namespace vantrel::hostsim
