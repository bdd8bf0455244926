#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::hostsim {

inline constexpr std::size_t kNoteLimit = 50;
inline constexpr std::string_view kAiMarker = "〔AI 书写〕";
inline constexpr std::string_view kCloudTranscript = "tencent_cloud";
inline constexpr std::string_view kAgentTranscript = "agent";

struct Note {
  std::string id;
  std::string kind; // "observation" or "ai_board"
  std::string content;
  std::optional<double> timestamp; // observations only, seconds into the video
  std::string timeSource;          // "frame" or "transcript", observations only
  std::string title;               // the user's request, ai_board only
  std::string client;
  std::string createdAt;
};

struct Transcript {
  std::string text;
  std::string source; // kCloudTranscript or kAgentTranscript
  std::string updatedAt;
};

// One content card. Media files are kept relative to the library's media folder, so a
// library folder can move; replies make them absolute.
struct Card {
  std::string shortID;
  std::string mediaKind; // "video", "image" or "text"
  std::string title;
  std::string assetDescription;
  std::vector<std::string> tags;
  std::vector<Note> notes; // in the order written
  std::optional<Transcript> transcript;
  double durationSeconds = 0; // videos only
  int width = 0;              // videos only: the picture size frames are cut from
  int height = 0;
  std::string videoFile;
  std::string thumbnailFile;
  std::vector<std::string> imageFiles; // images, in display order
  std::string sourceURL;               // link imports: what de-duplication compares
  std::string createdAt;
  std::string updatedAt;
};

// The stored form, shared by the sample library and the --data file.
nlohmann::json storedForm(const Card& card);
// Nothing when `stored` lacks what every card must have (shortID and a known mediaKind).
std::optional<Card> cardFromStored(const nlohmann::json& stored);

std::string displayTitle(const Card& card);
nlohmann::json cardSummary(const Card& card);
// The full card as GET /assets/{shortID} shows it, `_guide` included.
nlohmann::json cardDetail(const Card& card, const std::filesystem::path& mediaRoot);
// Observations by timestamp first, untimed notes after them in the order written.
std::vector<Note> notesInDisplayOrder(const Card& card);
nlohmann::json noteJson(const Note& note);

} // namespace vantrel::hostsim
