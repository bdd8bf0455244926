#include "Library.h"

#include "Files.h"
#include "Text.h"
#include "common/Json.h"
#include "common/Text.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;

std::optional<bool> flag(const std::string& text) {
  if (text == "true" || text == "1")
    return true;
  if (text == "false" || text == "0")
    return false;
  return std::nullopt;
}

bool matchesText(const Card& card, const std::string& term) {
  if (containsFolded(card.title, term) || containsFolded(card.assetDescription, term))
    return true;
  if (card.transcript && containsFolded(card.transcript->text, term))
    return true;
  for (const auto& tag : card.tags)
    if (containsFolded(tag, term))
      return true;
  for (const auto& note : card.notes)
    if (containsFolded(note.content, term) || containsFolded(note.title, term))
      return true;
  return false;
}

std::optional<std::string> stringMember(const json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string())
    return std::nullopt;
  return it->get<std::string>();
}

bool present(const json& body, const char* key) {
  auto it = body.find(key);
  return it != body.end() && !it->is_null();
}

std::string secondsText(double seconds) {
  std::ostringstream out;
  out << seconds;
  return out.str();
}

} // namespace

std::variant<SearchQuery, Reply> searchQueryFrom(const QueryParams& params) {
  SearchQuery query;
  auto get = [&](const char* key) -> const std::string* {
    auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
  };
  if (auto* text = get("query"))
    query.text = trimBlank(*text);
  if (auto* kind = get("mediaKind"); kind && !kind->empty()) {
    if (*kind != "video" && *kind != "image" && *kind != "text")
      return Reply::fail(400, "mediaKind 只能是 video、image 或 text");
    query.mediaKind = *kind;
  }
  if (auto* tag = get("tag"))
    query.tag = *tag;
  if (auto* sortKey = get("sortKey"); sortKey && !sortKey->empty()) {
    if (*sortKey != "createdAt" && *sortKey != "updatedAt" && *sortKey != "title")
      return Reply::fail(400, "sortKey 只能是 createdAt、updatedAt 或 title");
    query.sortKey = *sortKey;
  }
  for (auto [key, target] :
       {std::pair{"hasNotes", &query.hasNotes}, std::pair{"ascending", &query.ascending}}) {
    if (auto* text = get(key)) {
      auto value = flag(*text);
      if (!value)
        return Reply::fail(400, std::string(key) + " 只能是 true 或 false");
      *target = *value;
    }
  }
  if (auto* text = get("limit")) {
    auto value = parseInteger(*text);
    if (!value || *value < 1)
      return Reply::fail(400, "limit 需为 1 到 200 的整数");
    // The documented ceiling caps rather than refuses: a larger page is still a valid wish.
    query.limit = std::min<long long>(*value, 200);
  }
  if (auto* text = get("offset")) {
    auto value = parseInteger(*text);
    if (!value || *value < 0)
      return Reply::fail(400, "offset 需为非负整数");
    query.offset = *value;
  }
  return query;
}

Library::Library(std::vector<Card> cards, std::filesystem::path mediaRoot,
                 std::optional<std::filesystem::path> storeFile)
    : mediaRoot_(std::move(mediaRoot)), storeFile_(std::move(storeFile)), cards_(std::move(cards)),
      random_(std::random_device{}()) {
}

std::optional<std::vector<Card>> Library::cardsFromStored(std::string_view text) {
  auto doc = parseJson(text);
  if (!doc || !doc->is_object() || !doc->contains("cards") || !(*doc)["cards"].is_array())
    return std::nullopt;
  std::vector<Card> cards;
  for (const auto& stored : (*doc)["cards"]) {
    auto card = cardFromStored(stored);
    if (!card)
      return std::nullopt;
    cards.push_back(std::move(*card));
  }
  return cards;
}

Card* Library::findLocked(const std::string& shortID) {
  auto it = std::find_if(cards_.begin(), cards_.end(),
                         [&](const Card& card) { return card.shortID == shortID; });
  return it == cards_.end() ? nullptr : &*it;
}

const Card* Library::findLocked(const std::string& shortID) const {
  return const_cast<Library*>(this)->findLocked(shortID);
}

Reply Library::search(const SearchQuery& query) const {
  std::vector<std::string> terms;
  for (const auto& word : split(query.text, ' '))
    if (!isBlank(word))
      terms.emplace_back(trimBlank(word));

  std::lock_guard lock(lock_);
  std::vector<const Card*> hits;
  for (const auto& card : cards_) {
    if (!query.mediaKind.empty() && card.mediaKind != query.mediaKind)
      continue;
    if (!query.tag.empty() &&
        std::find(card.tags.begin(), card.tags.end(), query.tag) == card.tags.end())
      continue;
    if (query.hasNotes && card.notes.empty())
      continue;
    if (!std::all_of(terms.begin(), terms.end(),
                     [&](const std::string& term) { return matchesText(card, term); }))
      continue;
    hits.push_back(&card);
  }
  auto key = [&](const Card* card) {
    if (query.sortKey == "title")
      return displayTitle(*card);
    return query.sortKey == "updatedAt" ? card->updatedAt : card->createdAt;
  };
  std::stable_sort(hits.begin(), hits.end(), [&](const Card* a, const Card* b) {
    auto ka = key(a), kb = key(b);
    if (ka == kb)
      return query.ascending ? a->shortID < b->shortID : a->shortID > b->shortID;
    return query.ascending ? ka < kb : ka > kb;
  });

  json assets = json::array();
  auto total = static_cast<long long>(hits.size());
  for (long long i = query.offset; i < total && i < query.offset + query.limit; ++i)
    assets.push_back(cardSummary(*hits[static_cast<std::size_t>(i)]));
  return Reply::ok({{"assets", std::move(assets)},
                    {"total", total},
                    {"limit", query.limit},
                    {"offset", query.offset}});
}

Reply Library::detail(const std::string& shortID) const {
  std::lock_guard lock(lock_);
  const Card* card = findLocked(shortID);
  if (!card)
    return Reply::fail(404, "找不到内容卡片 " + shortID + "，请先用 search_assets 查 shortID");
  return Reply::ok(cardDetail(*card, mediaRoot_));
}

Reply Library::events(std::optional<long long> since) const {
  if (since && *since < 0)
    return Reply::fail(400, "since 需为非负整数");
  std::lock_guard lock(lock_);
  long long oldestKept = events_.empty() ? lastCursor_ + 1 : events_.front().cursor;
  long long base = since.value_or(0);
  // A cursor from the future was handed out before a restart: everything it knew is gone.
  bool stale = base > lastCursor_;
  if (stale)
    base = 0;
  json list = json::array();
  for (const auto& event : events_) {
    if (event.cursor <= base)
      continue;
    list.push_back({{"cursor", event.cursor},
                    {"type", event.type},
                    {"shortID", event.shortID},
                    {"summary", event.summary},
                    {"at", event.at}});
  }
  return Reply::ok({{"cursor", lastCursor_},
                    {"truncated", stale || base + 1 < oldestKept},
                    {"events", std::move(list)}});
}

std::optional<Card> Library::card(const std::string& shortID) const {
  std::lock_guard lock(lock_);
  const Card* card = findLocked(shortID);
  return card ? std::optional<Card>(*card) : std::nullopt;
}

std::vector<Card> Library::allCards() const {
  std::lock_guard lock(lock_);
  return cards_;
}

std::string Library::reserveShortID() {
  static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
  std::lock_guard lock(lock_);
  while (true) {
    std::string id;
    for (int i = 0; i < 6; ++i)
      id.push_back(kAlphabet[random_() % (sizeof kAlphabet - 1)]);
    if (!findLocked(id) && reservedIDs_.insert(id).second)
      return id;
  }
}

void Library::releaseShortID(const std::string& shortID) {
  std::lock_guard lock(lock_);
  reservedIDs_.erase(shortID);
}

Reply Library::insert(Card card) {
  json reply;
  {
    std::lock_guard lock(lock_);
    reservedIDs_.erase(card.shortID);
    if (!card.sourceURL.empty()) {
      auto same = std::find_if(cards_.begin(), cards_.end(), [&](const Card& existing) {
        return existing.sourceURL == card.sourceURL;
      });
      if (same != cards_.end()) {
        reply = cardDetail(*same, mediaRoot_);
        reply["alreadyImported"] = true;
        return Reply::ok(std::move(reply));
      }
    }
    card.createdAt = card.updatedAt = isoNow();
    const char* kind = card.mediaKind == "video"   ? "视频"
                       : card.mediaKind == "image" ? "图片"
                                                   : "文本";
    appendEventLocked("asset_imported", card.shortID,
                      std::string("新导入") + kind + "：「" + displayTitle(card) + "」");
    cards_.push_back(std::move(card));
    reply = cardDetail(cards_.back(), mediaRoot_);
    reply["alreadyImported"] = false;
  }
  return committed(Reply::ok(std::move(reply)));
}

Reply Library::addNote(const std::string& shortID, const json& body) {
  if (!body.is_object())
    return Reply::fail(400, "请求体需为 JSON 对象");
  auto content = stringMember(body, "content");
  if (!content || isBlank(*content))
    return Reply::fail(400, "缺少 content（笔记内容不能为空）");

  std::string kind;
  if (present(body, "kind")) {
    kind = stringMember(body, "kind").value_or("");
    if (kind != "observation" && kind != "ai_board")
      return Reply::fail(400, "kind 只能是 observation 或 ai_board");
  } else {
    kind = present(body, "timestamp") ? "observation" : "ai_board";
  }

  Note note;
  note.kind = kind;
  note.client = stringMember(body, "client").value_or("");
  if (kind == "ai_board") {
    note.title = trimBlank(stringMember(body, "title").value_or(""));
    if (note.title.empty())
      return Reply::fail(400,
                         "ai_board 笔记缺少 title：title 填用户的原话请求。若是针对视频画面某一"
                         "时刻的观察，请带 timestamp 与 time_source 并用 kind=observation。");
  } else {
    auto ts = body.find("timestamp");
    if (ts == body.end() || !ts->is_number() || !std::isfinite(ts->get<double>()))
      return Reply::fail(400, "observation 需要 timestamp（秒，数字）");
    note.timestamp = ts->get<double>();
    note.timeSource = stringMember(body, "time_source").value_or("");
    if (note.timeSource != "frame" && note.timeSource != "transcript")
      return Reply::fail(400,
                         "observation 需要 time_source：frame（extract_frames 返回的 "
                         "actualSeconds）或 transcript（按 视频时长/转写总时长 换算后的转写时间）；"
                         "不要凭印象估计时间点");
    note.title = trimBlank(stringMember(body, "title").value_or(""));
  }

  // Over-long content is cut, never refused, and the cut is marked. AI-board notes always
  // carry the marker: the board shows what the AI wrote, as the settled worksheets do.
  note.content = *content;
  bool cut = characterCount(note.content) > kNoteCharacterLimit;
  if (cut)
    note.content = firstCharacters(note.content, kNoteCharacterLimit);
  if (cut || (kind == "ai_board" && !note.content.ends_with(kAiMarker)))
    note.content += kAiMarker;

  json reply;
  {
    std::lock_guard lock(lock_);
    Card* card = findLocked(shortID);
    if (!card)
      return Reply::fail(404, "找不到内容卡片 " + shortID);
    if (kind == "observation") {
      if (card->mediaKind != "video")
        return Reply::fail(400, "observation（时间轴观察）只能写在视频卡片上；其他卡片请用 "
                                "kind=ai_board");
      if (*note.timestamp < 0 || *note.timestamp > card->durationSeconds)
        return Reply::fail(400, "timestamp 超出视频范围（0–" + secondsText(card->durationSeconds) +
                                    " 秒）");
    }
    if (card->notes.size() >= kNoteLimit)
      return Reply::fail(
          400, "这张内容卡片的笔记已达上限 " + std::to_string(kNoteLimit) +
                   " 条。多半是重复写入：先用 get_asset 读回已有笔记核对，不要盲目重试。");
    note.id = "n" + std::to_string(random_() % 100000000);
    note.createdAt = card->updatedAt = isoNow();
    card->notes.push_back(note);
    appendEventLocked("note_added", shortID,
                      kind == "observation"
                          ? "新增时间轴观察 @" + secondsText(*note.timestamp) + "s"
                          : "新增 AI 看板笔记「" + firstCharacters(note.title, 40) + "」");
    reply = {{"ok", true},
             {"shortID", shortID},
             {"note", noteJson(note)},
             {"noteCount", card->notes.size()},
             {"truncated", cut}};
  }
  return committed(Reply::ok(std::move(reply)));
}

Reply Library::saveTranscript(const std::string& shortID, const json& body,
                              bool overwriteFromQuery) {
  if (!body.is_object())
    return Reply::fail(400, "请求体需为 JSON 对象");
  auto text = stringMember(body, "text");
  bool overwrite = overwriteFromQuery;
  if (auto it = body.find("overwrite"); it != body.end())
    overwrite = overwrite || (it->is_boolean() && it->get<bool>()) ||
                (it->is_string() && it->get<std::string>() == "true");

  json reply;
  {
    std::lock_guard lock(lock_);
    Card* card = findLocked(shortID);
    if (!card)
      return Reply::fail(404, "找不到内容卡片 " + shortID);
    if (!text || isBlank(*text))
      return Reply::fail(400, "缺少 text（转写文本不能为空）");
    if (card->mediaKind != "video")
      return Reply::fail(400, "只有视频卡片可以保存转写");
    std::size_t characters = characterCount(*text);
    if (characters > kTranscriptCharacterLimit)
      return Reply::fail(413, "转写超过 3 万字上限（" + std::to_string(characters) +
                                  " 字）：长视频请先分段或精简");
    std::string replaced = card->transcript ? card->transcript->source : "";
    if (replaced == kCloudTranscript && !overwrite)
      return Reply::fail(409,
                         "该内容卡片已有用户用腾讯云跑出的转写，覆盖后无法恢复。请先向用户确认确实"
                         "要重新转写，再带 overwrite=true 调用。");
    card->transcript = Transcript{*text, std::string(kAgentTranscript), isoNow()};
    card->updatedAt = card->transcript->updatedAt;
    appendEventLocked("transcript_saved", shortID,
                      "转写完成（" + std::to_string(characters) + " 字，来源 agent）");
    reply = {{"ok", true},
             {"shortID", shortID},
             {"characters", characters},
             {"source", kAgentTranscript},
             {"replaced", replaced.empty() ? json(nullptr) : json(replaced)}};
  }
  return committed(Reply::ok(std::move(reply)));
}

void Library::appendEventLocked(std::string type, std::string shortID, std::string summary) {
  events_.push_back(
      {++lastCursor_, std::move(type), std::move(shortID), std::move(summary), isoNow()});
  while (events_.size() > kEventCapacity)
    events_.pop_front();
}

std::optional<std::string> Library::save() {
  if (!storeFile_)
    return std::nullopt;
  std::lock_guard saving(saveLock_);
  json stored = {{"cards", json::array()}};
  {
    std::lock_guard lock(lock_);
    for (const auto& card : cards_)
      stored["cards"].push_back(storedForm(card));
  }
  return writeFileAtomically(*storeFile_, serialize(stored) + "\n", 0600);
}

Reply Library::committed(Reply reply) {
  if (auto error = save())
    return Reply::fail(500, "素材库保存失败：" + *error);
  return reply;
}

} // namespace vantrel::hostsim
