#include "Worksheets.h"

#include "Files.h"
#include "Text.h"
#include "common/Text.h"

#include <algorithm>
#include <ctime>
#include <sstream>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr std::string_view kDefaultDeliveryTitle = "AI 工作单交付";

// Card text that quotes the marker must not open the delivery area early.
std::string neutralized(std::string text) {
  static const std::string kQuoted = "<!-- vantrel:deliver（引用） -->";
  for (auto at = text.find(kDeliverMarker); at != std::string::npos;
       at = text.find(kDeliverMarker, at + kQuoted.size()))
    text.replace(at, kDeliverMarker.size(), kQuoted);
  return text;
}

std::string stamp() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
  return text;
}

std::string shortIDOf(const fs::path& file) {
  std::string stem = file.stem().string();
  return stem.substr(0, stem.find('-'));
}

// What stands below the marker, trimmed; nothing when there is no marker.
std::optional<std::string> deliveryOf(const std::string& text) {
  auto at = text.find(kDeliverMarker);
  if (at == std::string::npos)
    return std::nullopt;
  return std::string(trimBlank(std::string_view(text).substr(at + kDeliverMarker.size())));
}

std::vector<fs::path> worksheetFiles(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file(ec) && entry.path().extension() == ".md")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string render(const Card& card, const fs::path& mediaRoot) {
  json detail = cardDetail(card, mediaRoot);
  std::ostringstream md;
  md << "# AI 工作单：" << neutralized(displayTitle(card)) << "\n\n"
     << "> 导出时刻的快照：之后内容卡片的改动不会同步进来；需要最新状态请重新 ai_export。\n\n"
     << "- shortID：" << card.shortID << "\n"
     << "- 类型：" << card.mediaKind << "\n"
     << "- 标签：";
  for (std::size_t i = 0; i < card.tags.size(); ++i)
    md << (i ? "、" : "") << neutralized(card.tags[i]);
  md << "\n";
  if (card.mediaKind == "video") {
    md << "- 时长：" << card.durationSeconds << " 秒\n"
       << "- 视频文件：" << detail.value("videoPath", "") << "\n";
  }
  md << "- 导出时间：" << isoNow() << "\n\n## 正文\n\n"
     << (isBlank(card.assetDescription) ? "（空）" : neutralized(card.assetDescription)) << "\n\n";
  if (card.mediaKind == "video") {
    if (card.transcript) {
      md << "## 转写（来源：" << (card.transcript->source == kCloudTranscript ? "腾讯云" : "agent")
         << "）\n\n"
         << neutralized(card.transcript->text) << "\n\n";
    } else {
      md << "## 转写\n\n（尚无转写：extract_audio → 宿主 STT → save_transcript）\n\n";
    }
  }
  if (card.mediaKind == "image") {
    md << "## 图片（" << card.imageFiles.size() << " 张，按展示顺序）\n\n";
    int n = 0;
    for (const auto& image : detail["images"])
      md << ++n << ". " << image.get<std::string>() << "\n";
    md << "\n";
  }
  md << "## 笔记（" << card.notes.size() << "/" << kNoteLimit << "）\n\n";
  if (card.notes.empty())
    md << "（暂无笔记）\n\n";
  for (const auto& note : notesInDisplayOrder(card)) {
    if (note.timestamp)
      md << "### 时间轴观察 @" << *note.timestamp << "s（" << note.timeSource << "）\n\n";
    else
      md << "### AI 看板：" << neutralized(note.title) << "\n\n";
    md << neutralized(note.content) << "\n\n";
  }
  md << "## 写回格式\n\n"
     << "- 把交付写在本文件最后的交付标记下方；标记以上是只读快照，改了也不会收回。\n"
     << "- 交付的第一行若以「# 」开头，就作为这条 AI 看板笔记的标题（填用户的原话请求）；"
     << "否则标题记为「" << kDefaultDeliveryTitle << "」。\n"
     << "- 其余内容成为笔记正文，最多 " << kNoteCharacterLimit
     << " 字，超出截断；收回的笔记带〔AI 书写〕标记。\n"
     << "- 只讨论、没有产出时交付区留空：结算时跳过，文件保留。\n"
     << "- 写完后调用 ai_settle 收回；收回成功的工作单会被删除。\n\n"
     << kDeliverMarker << "\n";
  return md.str();
}

} // namespace

Worksheets::Worksheets(Library& library, fs::path folder)
    : library_(library), folder_(std::move(folder)) {
}

Reply Worksheets::exportCard(const std::string& shortID) {
  if (shortID.empty())
    return Reply::fail(400, "缺少参数 shortID");
  auto card = library_.card(shortID);
  if (!card)
    return Reply::fail(404, "找不到内容卡片 " + shortID);

  std::lock_guard lock(lock_);
  // An older snapshot of this card with nothing delivered is superseded; one holding a
  // delivery stays until it is settled.
  for (const auto& file : worksheetFiles(folder_)) {
    if (shortIDOf(file) != shortID)
      continue;
    auto text = readWholeFile(file);
    auto delivery = text ? deliveryOf(*text) : std::nullopt;
    std::error_code ec;
    if (delivery && delivery->empty())
      fs::remove(file, ec);
  }
  auto path = folder_ / (shortID + "-" + stamp() + "-" + randomHex(2) + ".md");
  if (auto error = writeFileAtomically(path, render(*card, library_.mediaRoot())))
    return Reply::fail(500, "工作单写入失败：" + *error);
  return Reply::ok({{"path", path.string()}, {"shortID", shortID}});
}

Reply Worksheets::settle() {
  std::lock_guard lock(lock_);
  int recovered = 0, skipped = 0;
  json failures = json::array();
  auto fail = [&](const fs::path& file, const std::string& reason) {
    failures.push_back({{"file", file.string()}, {"shortID", shortIDOf(file)}, {"reason", reason}});
  };
  for (const auto& file : worksheetFiles(folder_)) {
    auto text = readWholeFile(file);
    if (!text) {
      fail(file, "无法读取工作单");
      continue;
    }
    auto delivery = deliveryOf(*text);
    if (!delivery) {
      fail(file, "找不到交付标记 " + std::string(kDeliverMarker));
      continue;
    }
    if (delivery->empty()) {
      ++skipped;
      continue;
    }
    if (!isValidUtf8(*delivery)) {
      fail(file, "交付内容不是有效的 UTF-8 文本");
      continue;
    }
    std::string title(kDefaultDeliveryTitle), content = *delivery;
    auto lineEnd = delivery->find('\n');
    if (delivery->starts_with("# ") && lineEnd != std::string::npos) {
      std::string_view rawDelivery = *delivery;
      std::string_view heading = trimBlank(rawDelivery.substr(2, lineEnd - 2));
      std::string_view rest = trimBlank(rawDelivery.substr(lineEnd + 1));
      if (!heading.empty() && !rest.empty())
        title = heading, content = rest;
    }
    Reply added = library_.addNote(
        shortIDOf(file),
        {{"kind", "ai_board"}, {"title", title}, {"content", content}, {"client", "ai_settle"}});
    if (added.status == 404) {
      fail(file, "内容卡片已不在素材库（文件保留，可稍后重试）");
      continue;
    }
    if (added.status != 200) {
      fail(file, added.body.value("error", "写入笔记失败"));
      continue;
    }
    ++recovered;
    std::error_code ec;
    // The note exists now; a worksheet left behind would be collected a second time.
    if (!fs::remove(file, ec))
      fail(file, "已收回为笔记，但删除工作单失败，请手动删除以免重复收回：" + ec.message());
  }
  return Reply::ok(
      {{"recovered", recovered}, {"skipped", skipped}, {"failures", std::move(failures)}});
}

} // namespace vantrel::hostsim
