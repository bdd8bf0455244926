#include "Importer.h"

#include "Files.h"
#include "Media.h"
#include "VideoProbe.h"
#include "common/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <variant>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::array kVideoExtensions = {".mp4", ".mov", ".m4v", ".avi", ".mkv", ".webm", ".3gp"};
constexpr std::array kImageExtensions = {".jpg", ".jpeg", ".png", ".heic", ".heif",
                                         ".gif", ".webp", ".bmp", ".tif",  ".tiff"};
// Room kept free on the library's disk beyond the copy itself.
constexpr std::uintmax_t kSpareSpace = 64ull << 20;

struct Platform {
  const char* host;
  const char* name;
  bool portrait;
};
constexpr std::array kPlatforms = {
    Platform{"douyin.com", "抖音", true},        Platform{"iesdouyin.com", "抖音", true},
    Platform{"bilibili.com", "B站", false},      Platform{"b23.tv", "B站", false},
    Platform{"kuaishou.com", "快手", true},      Platform{"gifshow.com", "快手", true},
    Platform{"xiaohongshu.com", "小红书", true}, Platform{"xhslink.com", "小红书", true},
};

std::optional<Reply> commonProblems(const json& body) {
  if (!body.is_object())
    return Reply::fail(400, "请求体需为 JSON 对象");
  if (body.contains("tags"))
    return Reply::fail(400, "不支持 tags 参数：创建时不设标签，导入后请用户在砚舟详情页手动添加");
  if (auto it = body.find("title"); it != body.end() && !it->is_string() && !it->is_null())
    return Reply::fail(400, "title 需为字符串");
  return std::nullopt;
}

std::string titleOr(const json& body, const std::string& fallback) {
  auto it = body.find("title");
  std::string_view title =
      it != body.end() && it->is_string() ? trimBlank(it->get_ref<const std::string&>()) : "";
  return title.empty() ? fallback : std::string(title);
}

std::string lowered(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

template <class List> bool listed(const List& list, const std::string& extension) {
  return std::find(list.begin(), list.end(), extension) != list.end();
}

std::uint32_t hashOf(const std::string& text) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : text)
    hash = (hash ^ c) * 16777619u;
  return hash;
}

// A readable regular file given by absolute path, or the reason it is not one.
struct SourceFile {
  fs::path path;
  std::uintmax_t size = 0;
  std::string extension;
};

std::variant<SourceFile, Reply> sourceFile(const json& value) {
  if (!value.is_string() || value.get<std::string>().empty())
    return Reply::fail(400, "缺少文件路径（需为本机绝对路径字符串）");
  fs::path path = value.get<std::string>();
  if (!path.is_absolute())
    return Reply::fail(400, "路径需为本机绝对路径：" + path.string());
  std::error_code ec;
  bool regular = fs::is_regular_file(path, ec);
  if (!regular || !std::ifstream(path, std::ios::binary))
    return Reply::fail(400, "文件不存在或无法读取：" + path.string());
  auto size = fs::file_size(path, ec);
  if (ec)
    return Reply::fail(400, "无法读取文件大小：" + path.string());
  if (size > kImportFileLimit)
    return Reply::fail(413, "单个文件最大 2GB：" + path.string());
  return SourceFile{path, size, lowered(path.extension().string())};
}

std::optional<Reply> spaceProblem(const fs::path& mediaRoot, std::uintmax_t bytes) {
  std::error_code ec;
  fs::create_directories(mediaRoot, ec);
  auto space = fs::space(mediaRoot, ec);
  if (!ec && space.available < bytes + kSpareSpace)
    return Reply::fail(413, "素材库所在磁盘剩余空间不足，无法复制 " +
                                std::to_string(bytes / 1048576) + "MB");
  return std::nullopt;
}

std::optional<std::string> copyInto(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (!ec)
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec)
    return "复制 " + from.string() + " 失败：" + ec.message();
  // The card that names this copy is written durably next; the copy must be there first.
  if (auto error = syncFile(to))
    return "复制 " + from.string() + " 失败：" + *error;
  return std::nullopt;
}

Reply failedImport(Library& library, const std::string& id, const std::string& error) {
  std::error_code ec;
  fs::remove_all(library.mediaRoot() / id, ec);
  library.releaseShortID(id);
  return Reply::fail(500, error);
}

} // namespace

Reply importLink(Library& library, const json& body) {
  if (auto problem = commonProblems(body))
    return *problem;
  auto it = body.find("url");
  if (it == body.end() || !it->is_string() || isBlank(it->get_ref<const std::string&>()))
    return Reply::fail(400, "缺少 url");
  // Share texts carry the link among other words; the link is what identifies the content.
  std::string text = it->get<std::string>();
  auto start = std::min(text.find("https://"), text.find("http://"));
  if (start == std::string::npos)
    return Reply::fail(400, "url 中没有找到 http(s) 链接");
  auto end = text.find_first_of(" \t\r\n", start);
  std::string url = text.substr(start, end == std::string::npos ? end : end - start);
  while (url.ends_with('/'))
    url.pop_back();
  std::string rest = url.substr(url.find("://") + 3);
  std::string host = lowered(rest.substr(0, rest.find_first_of("/?#:")));
  auto platform = std::find_if(kPlatforms.begin(), kPlatforms.end(), [&](const Platform& p) {
    std::string suffix = std::string(".") + p.host;
    return host == p.host || host.ends_with(suffix);
  });
  if (platform == kPlatforms.end())
    return Reply::fail(400, "暂不支持该链接来源（支持抖音/B站/快手/小红书）：" + host);

  Card card;
  card.shortID = library.reserveShortID();
  card.mediaKind = "video";
  card.title = titleOr(body, std::string(platform->name) + "视频 " + card.shortID);
  card.sourceURL = url;
  // Nothing is downloaded here; the length stands in for what the download would report.
  card.durationSeconds = 15 + hashOf(url) % 2850 / 10.0;
  card.width = platform->portrait ? 1080 : 1920;
  card.height = platform->portrait ? 1920 : 1080;
  card.videoFile = card.shortID + "/video.mp4";
  card.thumbnailFile = card.shortID + "/thumbnail.jpg";
  std::string id = card.shortID;
  Reply reply = library.insert(card);
  // The thumbnail is a cache: a card without one is still imported.
  if (reply.status == 200 && !reply.body.value("alreadyImported", true)) {
    if (auto still = drawStill(id, card.width / 4, card.height / 4))
      writeFileAtomically(library.mediaRoot() / card.thumbnailFile, *still, 0644,
                          Durability::cache);
  }
  return reply;
}

Reply importFile(Library& library, const json& body) {
  if (auto problem = commonProblems(body))
    return *problem;
  auto checked = sourceFile(body.contains("path") ? body["path"] : json());
  if (auto* problem = std::get_if<Reply>(&checked))
    return *problem;
  auto source = std::get<SourceFile>(checked);
  bool video = listed(kVideoExtensions, source.extension);
  if (!video && !listed(kImageExtensions, source.extension))
    return Reply::fail(400, "不支持的文件类型「" + source.extension +
                                "」：支持常见视频（mp4/mov/m4v…）与图片（jpg/png/heic…）");
  if (auto problem = spaceProblem(library.mediaRoot(), source.size))
    return *problem;

  Card card;
  card.shortID = library.reserveShortID();
  card.mediaKind = video ? "video" : "image";
  card.title = titleOr(body, source.path.filename().string());
  std::string stored = card.shortID + "/" + source.path.filename().string();
  if (auto error = copyInto(source.path, library.mediaRoot() / stored))
    return failedImport(library, card.shortID, *error);
  if (video) {
    // Containers we cannot read still import; a real app would show them with a guessed length.
    auto info = probeMp4(library.mediaRoot() / stored).value_or(VideoInfo{60, 1920, 1080});
    card.durationSeconds = info.durationSeconds;
    card.width = info.width > 0 ? info.width : 1920;
    card.height = info.height > 0 ? info.height : 1080;
    card.videoFile = stored;
    card.thumbnailFile = card.shortID + "/thumbnail.jpg";
    if (auto still =
            drawStill(card.shortID, std::max(1, card.width / 4), std::max(1, card.height / 4)))
      writeFileAtomically(library.mediaRoot() / card.thumbnailFile, *still, 0644,
                          Durability::cache);
  } else {
    card.imageFiles = {stored};
    card.thumbnailFile = stored;
  }
  return library.insert(card);
}

Reply createGallery(Library& library, const json& body) {
  if (auto problem = commonProblems(body))
    return *problem;
  auto paths = body.find("paths");
  if (paths == body.end() || !paths->is_array() || paths->empty())
    return Reply::fail(400, "缺少 paths（图片绝对路径数组，1 到 100 个）");
  if (paths->size() > kGalleryLimit)
    return Reply::fail(400, "图集最多 100 张（收到 " + std::to_string(paths->size()) + " 张）");

  std::vector<SourceFile> sources;
  std::uintmax_t total = 0;
  for (const auto& value : *paths) {
    auto checked = sourceFile(value);
    if (auto* problem = std::get_if<Reply>(&checked))
      return *problem;
    auto source = std::get<SourceFile>(checked);
    if (listed(kVideoExtensions, source.extension))
      return Reply::fail(400, "图集不支持视频（视频请用 import_file）：" + source.path.string());
    if (!listed(kImageExtensions, source.extension))
      return Reply::fail(400, "不是支持的图片格式：" + source.path.string());
    total += source.size;
    sources.push_back(std::move(source));
  }
  if (auto problem = spaceProblem(library.mediaRoot(), total))
    return *problem;

  Card card;
  card.shortID = library.reserveShortID();
  card.mediaKind = "image";
  // The body stays empty whatever `description` says: the user writes it in the app.
  card.title = titleOr(body, sources.front().path.filename().string());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::string number = std::to_string(i + 1);
    std::string stored = card.shortID + "/" +
                         std::string(3 - std::min<std::size_t>(3, number.size()), '0') + number +
                         "-" + sources[i].path.filename().string();
    if (auto error = copyInto(sources[i].path, library.mediaRoot() / stored))
      return failedImport(library, card.shortID, *error);
    card.imageFiles.push_back(stored);
  }
  card.thumbnailFile = card.imageFiles.front();
  return library.insert(card);
}

} // namespace vantrel::hostsim
