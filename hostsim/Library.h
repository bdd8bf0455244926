#pragma once

#include "Card.h"
#include "Reply.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace vantrel::hostsim {

inline constexpr std::size_t kEventCapacity = 200;
inline constexpr std::size_t kNoteCharacterLimit = 2000;
inline constexpr std::size_t kTranscriptCharacterLimit = 30000;

using QueryParams = std::map<std::string, std::string>;

struct SearchQuery {
  std::string text;
  std::string mediaKind; // empty: any
  std::string tag;       // empty: any
  bool hasNotes = false;
  std::string sortKey = "createdAt";
  bool ascending = false;
  long long limit = 20;
  long long offset = 0;
};

// Reads GET /assets's query; a 400 reply when a value is unusable.
std::variant<SearchQuery, Reply> searchQueryFrom(const QueryParams& params);

// The content cards, their rules and the event ring. Every operation is whole under one
// lock and any thread may call it; nothing here copies media or talks HTTP. With a store
// file, each change is written through before it is answered.
class Library {
public:
  Library(std::vector<Card> cards, std::filesystem::path mediaRoot,
          std::optional<std::filesystem::path> storeFile);

  // The stored form of a whole library: {"cards":[...]}. Nothing when it is not one.
  static std::optional<std::vector<Card>> cardsFromStored(std::string_view text);

  Reply search(const SearchQuery& query) const;
  Reply detail(const std::string& shortID) const;
  Reply events(std::optional<long long> since) const;

  std::optional<Card> card(const std::string& shortID) const;
  std::vector<Card> allCards() const;
  const std::filesystem::path& mediaRoot() const { return mediaRoot_; }

  // A fresh identifier that no card and no other pending import holds.
  std::string reserveShortID();
  // Gives back a reserved identifier whose import failed.
  void releaseShortID(const std::string& shortID);
  // Adds an imported card, or answers the existing one when a card already came from the
  // same link (`alreadyImported`). The reply is the card's detail.
  Reply insert(Card card);
  // POST /assets/{id}/notes with the request body as the agent's host sent it.
  Reply addNote(const std::string& shortID, const nlohmann::json& body);
  // POST /assets/{id}/transcript; `overwrite` may come in the body or, as here, the query.
  Reply saveTranscript(const std::string& shortID, const nlohmann::json& body,
                       bool overwriteFromQuery);

  // Writes the whole library to the store file now; an error text when that fails.
  std::optional<std::string> save();

private:
  struct Event {
    long long cursor;
    std::string type;
    std::string shortID;
    std::string summary;
    std::string at;
  };

  Card* findLocked(const std::string& shortID);
  const Card* findLocked(const std::string& shortID) const;
  void appendEventLocked(std::string type, std::string shortID, std::string summary);
  // Writes the whole library through; the reply becomes a 500 when that fails.
  Reply committed(Reply reply);

  const std::filesystem::path mediaRoot_;
  const std::optional<std::filesystem::path> storeFile_;

  mutable std::mutex lock_; // guards everything below
  std::vector<Card> cards_;
  std::set<std::string> reservedIDs_;
  std::deque<Event> events_;
  long long lastCursor_ = 0;
  std::mt19937_64 random_;

  std::mutex saveLock_; // orders writes of the store file so a newer state is never overwritten
};

} // namespace vantrel::hostsim
