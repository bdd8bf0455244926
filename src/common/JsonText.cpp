#include "common/JsonText.h"

#include "common/Utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>

namespace vantrel {
namespace {

// For each byte, the character after '\' in its escape ('u' for \u00XX), or 0 when it stands as
// it is: the escapes dumpJson writes.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> escapes{};
  for (int c = 0; c < 0x20; ++c)
    escapes[c] = 'u';
  escapes['\b'] = 'b';
  escapes['\f'] = 'f';
  escapes['\n'] = 'n';
  escapes['\r'] = 'r';
  escapes['\t'] = 't';
  escapes['"'] = '"';
  escapes['\\'] = '\\';
  return escapes;
}();

constexpr char kHex[] = "0123456789abcdef";

char escapeOf(char c) {
  return kEscapes[static_cast<std::uint8_t>(c)];
}

int hexValue(char c) {
  return c <= '9' ? c - '0' : c - 'a' + 10;
}

// How many bytes the UTF-8 sequence that `lead` starts takes; 1 for a byte that starts none.
std::size_t sequenceBytes(std::uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF)
    return 2;
  if (lead >= 0xE0 && lead <= 0xEF)
    return 3;
  if (lead >= 0xF0 && lead <= 0xF4)
    return 4;
  return 1;
}

// Where an unfinished sequence at the end of `bytes` starts (its rest is still to come), or
// bytes.size() when there is none.
std::size_t unfinishedTail(std::string_view bytes) {
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    auto byte = static_cast<std::uint8_t>(bytes[bytes.size() - back]);
    if (byte < 0x80)
      return bytes.size();
    if (byte >= 0xC0)
      return sequenceBytes(byte) > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

} // namespace

std::string& JsonText::roomFor(std::size_t bytes) {
  if (pieces_.empty() || pieces_.back().size() + bytes > kPiece) {
    pieces_.emplace_back();
    if (pieces_.size() > 1)
      pieces_.back().reserve(kPiece); // a large text: whole pieces from now on
  }
  std::string& piece = pieces_.back();
  if (piece.size() + bytes > piece.capacity()) {
    // Grows as a string does, but never past a piece: reserve() on a string may double what it
    // is asked for, so the piece moves into one made to measure.
    std::string grown;
    grown.reserve(std::min(kPiece, std::max(piece.capacity() * 2, piece.size() + bytes)));
    grown.append(piece);
    piece.swap(grown);
  }
  return piece;
}

void JsonText::reserve(std::size_t bytes) {
  if (pieces_.empty())
    pieces_.emplace_back().reserve(std::min(kPiece, bytes + bytes / 8));
}

void JsonText::append(std::string_view bytes) {
  checkUtf8(bytes);
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t run = i; // the run of bytes that stand as they are
    while (run < bytes.size() && escapeOf(bytes[run]) == 0)
      ++run;
    while (i < run) {
      std::size_t n = std::min(run - i, kPiece - roomFor(1).size());
      roomFor(n).append(bytes.data() + i, n);
      size_ += n;
      i += n;
    }
    if (i == bytes.size())
      break;
    const char c = bytes[i++];
    const char escape = escapeOf(c);
    hasNul_ = hasNul_ || c == '\0';
    std::string& piece = roomFor(6);
    piece += '\\';
    piece += escape;
    if (escape == 'u') {
      piece += "00";
      piece += kHex[static_cast<std::uint8_t>(c) >> 4];
      piece += kHex[static_cast<std::uint8_t>(c) & 0x0F];
      size_ += 6;
    } else {
      size_ += 2;
    }
  }
}

void JsonText::prepend(std::string_view text) {
  JsonText front(text);
  pieces_.insert(pieces_.begin(), std::make_move_iterator(front.pieces_.begin()),
                 std::make_move_iterator(front.pieces_.end()));
  size_ += front.size_;
  utf8_ = utf8_ && front.isUtf8();
  hasNul_ = hasNul_ || front.hasNul_;
}

void JsonText::checkUtf8(std::string_view bytes) {
  if (!utf8_)
    return;
  if (!pending_.empty()) {
    const std::size_t whole = sequenceBytes(static_cast<std::uint8_t>(pending_[0]));
    const std::size_t take = std::min(whole - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() < whole)
      return;
    utf8_ = isValidUtf8(pending_);
    pending_.clear();
    if (!utf8_)
      return;
  }
  const std::size_t cut = unfinishedTail(bytes);
  utf8_ = isValidUtf8(bytes.substr(0, cut));
  if (utf8_)
    pending_.assign(bytes.substr(cut));
}

std::string JsonText::plain() const {
  std::string text;
  text.reserve(size_);
  for (char c : *this)
    text += c;
  return text;
}

JsonText::Bytes::Bytes(const std::vector<std::string>* pieces) : pieces_(pieces), done_(false) {
  load();
}

JsonText::Bytes& JsonText::Bytes::operator++() {
  load();
  return *this;
}

void JsonText::Bytes::load() {
  while (piece_ < pieces_->size() && at_ >= (*pieces_)[piece_].size()) {
    ++piece_;
    at_ = 0;
  }
  if (piece_ >= pieces_->size()) {
    done_ = true;
    return;
  }
  const std::string& piece = (*pieces_)[piece_];
  if (piece[at_] != '\\') {
    current_ = piece[at_++];
    return;
  }
  // An escape, whole within its piece, as append() wrote it.
  switch (piece[at_ + 1]) {
  case 'b':
    current_ = '\b';
    break;
  case 'f':
    current_ = '\f';
    break;
  case 'n':
    current_ = '\n';
    break;
  case 'r':
    current_ = '\r';
    break;
  case 't':
    current_ = '\t';
    break;
  case 'u':
    current_ = static_cast<char>(hexValue(piece[at_ + 4]) * 16 + hexValue(piece[at_ + 5]));
    at_ += 6;
    return;
  default: // '"' and '\\'
    current_ = piece[at_ + 1];
  }
  at_ += 2;
}

bool operator==(const JsonText& a, const JsonText& b) {
  if (a.size_ != b.size_)
    return false;
  // The same escaped bytes, however each is cut into pieces.
  std::size_t ai = 0, aAt = 0, bi = 0, bAt = 0;
  while (ai < a.pieces_.size() && bi < b.pieces_.size()) {
    std::string_view x = std::string_view(a.pieces_[ai]).substr(aAt);
    std::string_view y = std::string_view(b.pieces_[bi]).substr(bAt);
    std::size_t n = std::min(x.size(), y.size());
    if (x.substr(0, n) != y.substr(0, n))
      return false;
    aAt += n;
    bAt += n;
    if (aAt == a.pieces_[ai].size()) {
      ++ai;
      aAt = 0;
    }
    if (bAt == b.pieces_[bi].size()) {
      ++bi;
      bAt = 0;
    }
  }
  return true;
}

std::ostream& operator<<(std::ostream& out, const JsonText& text) {
  return out << text.plain();
}

} // namespace vantrel
