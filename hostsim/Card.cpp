#include "Card.h"

#include "Text.h"
#include "common/Text.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;

std::string stringMember(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<std::string> stringList(const json& object, const char* key) {
  std::vector<std::string> list;
  auto it = object.find(key);
  if (it == object.end() || !it->is_array())
    return list;
  for (const auto& item : *it)
    if (item.is_string())
      list.push_back(item.get<std::string>());
  return list;
}

double numberMember(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

json storedNote(const Note& note) {
  json out = {{"id", note.id},
              {"kind", note.kind},
              {"content", note.content},
              {"title", note.title},
              {"timeSource", note.timeSource},
              {"client", note.client},
              {"createdAt", note.createdAt}};
  if (note.timestamp)
    out["timestamp"] = *note.timestamp;
  return out;
}

Note noteFromStored(const json& stored) {
  Note note{stringMember(stored, "id"),         stringMember(stored, "kind"),
            stringMember(stored, "content"),    std::nullopt,
            stringMember(stored, "timeSource"), stringMember(stored, "title"),
            stringMember(stored, "client"),     stringMember(stored, "createdAt")};
  if (auto it = stored.find("timestamp"); it != stored.end() && it->is_number())
    note.timestamp = it->get<double>();
  return note;
}

std::string absolute(const std::filesystem::path& mediaRoot, const std::string& relative) {
  return relative.empty() ? std::string() : (mediaRoot / relative).string();
}

std::string secondsText(double seconds) {
  std::ostringstream out;
  out << std::round(seconds * 10) / 10;
  return out.str();
}

json guideFor(const Card& card) {
  json guide = json::array();
  if (card.mediaKind == "video") {
    if (card.transcript) {
      guide.push_back(
          "已有转写（来源：" +
          std::string(card.transcript->source == kCloudTranscript ? "腾讯云" : "agent") + "，" +
          std::to_string(characterCount(card.transcript->text)) +
          " 字）：直接基于 transcriptText 总结或分析，不要再调用 extract_audio "
          "重新转写。确需重新转写时，腾讯云转写会被覆盖且无法恢复，先征得用户同意。");
    } else {
      guide.push_back("尚无转写：需要语音内容时走闭环 extract_audio → 宿主 STT → "
                      "save_transcript，并在同一轮对话内写回。");
    }
    guide.push_back("看画面：extract_frames（t=12.5 或 times=1,5,9，最多 20 个时间点，不超过 "
                    "durationSeconds=" +
                    secondsText(card.durationSeconds) +
                    "）。画面结论用 add_note kind=observation，timestamp 取返回的 "
                    "actualSeconds，time_source=frame。");
  } else if (card.mediaKind == "image") {
    if (card.imageFiles.size() > 1)
      guide.push_back("图集共 " + std::to_string(card.imageFiles.size()) +
                      " 张：images[] 按展示顺序列出全部子图的本地绝对路径，逐张读取文件查看，"
                      "不要只看第一张。");
    else
      guide.push_back("单张图片：images[0] 是本地绝对路径，可直接读取文件看图。");
  } else {
    guide.push_back("文本卡片：正文在 assetDescription；正文和标题不开放 agent 写入。");
  }
  guide.push_back("写回：产出（总结、分析、文案等）用 add_note kind=ai_board，title 填用户的原话"
                  "请求；要完整内容或长篇交付时用 ai_export 导出工作单，写在交付标记下方，"
                  "最后调用 ai_settle。");
  if (card.notes.size() + 10 >= kNoteLimit) {
    guide.push_back("笔记已有 " + std::to_string(card.notes.size()) + "/" +
                    std::to_string(kNoteLimit) + " 条，接近上限：写入前先核对已有笔记，避免重复。");
  }
  return guide;
}

} // namespace

json storedForm(const Card& card) {
  json notes = json::array();
  for (const auto& note : card.notes)
    notes.push_back(storedNote(note));
  json out = {{"shortID", card.shortID},
              {"mediaKind", card.mediaKind},
              {"title", card.title},
              {"assetDescription", card.assetDescription},
              {"tags", card.tags},
              {"notes", std::move(notes)},
              {"durationSeconds", card.durationSeconds},
              {"width", card.width},
              {"height", card.height},
              {"videoFile", card.videoFile},
              {"thumbnailFile", card.thumbnailFile},
              {"imageFiles", card.imageFiles},
              {"sourceURL", card.sourceURL},
              {"createdAt", card.createdAt},
              {"updatedAt", card.updatedAt}};
  if (card.transcript) {
    out["transcript"] = {{"text", card.transcript->text},
                         {"source", card.transcript->source},
                         {"updatedAt", card.transcript->updatedAt}};
  }
  return out;
}

std::optional<Card> cardFromStored(const json& stored) {
  if (!stored.is_object())
    return std::nullopt;
  Card card;
  card.shortID = stringMember(stored, "shortID");
  card.mediaKind = stringMember(stored, "mediaKind");
  if (card.shortID.empty() ||
      (card.mediaKind != "video" && card.mediaKind != "image" && card.mediaKind != "text"))
    return std::nullopt;
  card.title = stringMember(stored, "title");
  card.assetDescription = stringMember(stored, "assetDescription");
  card.tags = stringList(stored, "tags");
  if (auto it = stored.find("notes"); it != stored.end() && it->is_array())
    for (const auto& note : *it)
      if (note.is_object())
        card.notes.push_back(noteFromStored(note));
  if (auto it = stored.find("transcript"); it != stored.end() && it->is_object())
    card.transcript = Transcript{stringMember(*it, "text"), stringMember(*it, "source"),
                                 stringMember(*it, "updatedAt")};
  card.durationSeconds = numberMember(stored, "durationSeconds");
  card.width = static_cast<int>(numberMember(stored, "width"));
  card.height = static_cast<int>(numberMember(stored, "height"));
  card.videoFile = stringMember(stored, "videoFile");
  card.thumbnailFile = stringMember(stored, "thumbnailFile");
  card.imageFiles = stringList(stored, "imageFiles");
  card.sourceURL = stringMember(stored, "sourceURL");
  card.createdAt = stringMember(stored, "createdAt");
  card.updatedAt = stringMember(stored, "updatedAt");
  return card;
}

std::string displayTitle(const Card& card) {
  std::string_view title = trimBlank(card.title);
  if (!title.empty())
    return std::string(title);
  std::string_view body = trimBlank(card.assetDescription);
  std::string_view firstLine = trimBlank(body.substr(0, body.find('\n')));
  if (!firstLine.empty())
    return firstCharacters(firstLine, 30);
  return "未命名内容卡片";
}

json cardSummary(const Card& card) {
  return {{"shortID", card.shortID},
          {"displayTitle", displayTitle(card)},
          {"mediaKind", card.mediaKind},
          {"tags", card.tags},
          {"noteCount", card.notes.size()}};
}

std::vector<Note> notesInDisplayOrder(const Card& card) {
  std::vector<Note> notes = card.notes;
  std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
    if (a.timestamp && b.timestamp)
      return *a.timestamp < *b.timestamp;
    return a.timestamp.has_value() && !b.timestamp.has_value();
  });
  return notes;
}

json noteJson(const Note& note) {
  json out = {{"id", note.id},
              {"kind", note.kind},
              {"content", note.content},
              {"createdAt", note.createdAt}};
  if (note.timestamp)
    out["timestamp"] = *note.timestamp;
  if (!note.timeSource.empty())
    out["timeSource"] = note.timeSource;
  if (!note.title.empty())
    out["title"] = note.title;
  if (!note.client.empty())
    out["client"] = note.client;
  return out;
}

json cardDetail(const Card& card, const std::filesystem::path& mediaRoot) {
  json notes = json::array();
  for (const auto& note : notesInDisplayOrder(card))
    notes.push_back(noteJson(note));
  json out = {{"shortID", card.shortID},
              {"displayTitle", displayTitle(card)},
              {"title", card.title},
              {"mediaKind", card.mediaKind},
              {"assetDescription", card.assetDescription},
              {"tags", card.tags},
              {"notes", std::move(notes)},
              {"noteCount", card.notes.size()},
              {"createdAt", card.createdAt},
              {"updatedAt", card.updatedAt}};
  if (!card.sourceURL.empty())
    out["sourceURL"] = card.sourceURL;
  if (!card.thumbnailFile.empty())
    out["thumbnailPath"] = absolute(mediaRoot, card.thumbnailFile);
  if (card.mediaKind == "video") {
    out["durationSeconds"] = card.durationSeconds;
    out["videoPath"] = absolute(mediaRoot, card.videoFile);
    out["width"] = card.width;
    out["height"] = card.height;
    if (card.transcript) {
      out["transcriptText"] = card.transcript->text;
      out["transcriptSource"] = card.transcript->source;
      out["transcriptUpdatedAt"] = card.transcript->updatedAt;
    }
  }
  if (card.mediaKind == "image") {
    json images = json::array();
    for (const auto& file : card.imageFiles)
      images.push_back(absolute(mediaRoot, file));
    out["images"] = std::move(images);
  }
  out["_guide"] = guideFor(card);
  return out;
}

} // namespace vantrel::hostsim
