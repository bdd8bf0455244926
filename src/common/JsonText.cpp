#include "common/JsonText.h"

#include "common/Utf8.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
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

// Sixteen bytes as one vector: GCC and Clang make SSE2 or NEON of it.
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));

// How many bytes from `data` on stand as they are: ASCII that needs no escape. Sixteen at a time
// where it can: a reply is mostly such runs.
std::size_t plainRun(const char* data, std::size_t size) {
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    Bytes16 bytes;
    std::memcpy(&bytes, data + i, 16);
    // All ones in each lane whose byte is a control character, a quote, a backslash or not ASCII.
    const auto special = (bytes < 0x20) | (bytes >= 0x80) | (bytes == '"') | (bytes == '\\');
    std::uint64_t halves[2];
    std::memcpy(halves, &special, 16);
    if ((halves[0] | halves[1]) != 0)
      break;
  }
  while (i < size && escapeOf(data[i]) == 0 && static_cast<std::uint8_t>(data[i]) < 0x80)
    ++i;
  return i;
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

bool JsonText::append(std::string_view bytes) {
  appended_ += bytes.size();
  if (over_ || !utf8_)
    return !over_;
  appendEscaped(bytes);
  if (size_ > limit_) {
    over_ = true;
    release();
  } else if (!utf8_) {
    release();
  }
  return !over_;
}

void JsonText::release() {
  std::vector<std::string>().swap(pieces_);
  std::string().swap(pending_);
}

void JsonText::appendEscaped(std::string_view bytes) {
  // A sequence the last append began takes its first bytes; they are checked with it.
  std::size_t checked = 0; // bytes before this belong to a sequence already checked
  if (!pending_.empty()) {
    const std::size_t whole = sequenceBytes(static_cast<std::uint8_t>(pending_[0]));
    checked = std::min(whole - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, checked));
    if (pending_.size() == whole) {
      utf8_ = utf8_ && isValidUtf8(pending_);
      pending_.clear();
    }
  }
  const char* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    std::size_t run = i + plainRun(data + i, size - i);
    copy(data + i, run - i);
    i = run;
    if (i == size)
      break;
    if (static_cast<std::uint8_t>(data[i]) < 0x80) {
      writeEscape(data[i++]);
      continue;
    }
    // Non-ASCII bytes stand as they are; each sequence is checked once, from its first byte.
    for (run = i; run < size && static_cast<std::uint8_t>(data[run]) >= 0x80; ++run) {
      if (run < checked)
        continue;
      const std::size_t length = sequenceBytes(static_cast<std::uint8_t>(data[run]));
      if (run + length > size) {
        pending_.assign(data + run, size - run); // its rest comes with the next append
        checked = size;
      } else {
        utf8_ = utf8_ && isValidUtf8(std::string_view(data + run, length));
        checked = run + length;
      }
    }
    copy(data + i, run - i);
    i = run;
  }
}

void JsonText::copy(const char* data, std::size_t length) {
  while (length > 0) {
    // Fills the last piece before starting another: a piece never ends with room to spare.
    const std::size_t n = std::min(length, kPiece - roomFor(1).size());
    roomFor(n).append(data, n);
    size_ += n;
    data += n;
    length -= n;
  }
}

void JsonText::writeEscape(char c) {
  const char escape = escapeOf(c);
  hasNul_ = hasNul_ || c == '\0';
  char text[6] = {'\\',
                  escape,
                  '0',
                  '0',
                  kHex[static_cast<std::uint8_t>(c) >> 4],
                  kHex[static_cast<std::uint8_t>(c) & 0x0F]};
  const std::size_t length = escape == 'u' ? 6 : 2;
  roomFor(length).append(text, length);
  size_ += length;
}

void JsonText::prepend(std::string_view text) {
  if (over_ || !utf8_)
    return; // nothing held to put it in front of
  JsonText front(text);
  pieces_.insert(pieces_.begin(), std::make_move_iterator(front.pieces_.begin()),
                 std::make_move_iterator(front.pieces_.end()));
  size_ += front.size_; // the reply's own bytes (bytesAppended) stay uncounted with it
  utf8_ = utf8_ && front.isUtf8();
  hasNul_ = hasNul_ || front.hasNul_;
  if (size_ > limit_) {
    over_ = true;
    release();
  }
}

std::string JsonText::plain() const {
  std::string text;
  text.reserve(size_);
  for (Reader in = reader();;) {
    text.append(in.plainRun());
    const int c = in.get();
    if (c == Reader::kEnd)
      return text;
    text += static_cast<char>(c);
  }
}

std::string_view JsonText::Reader::plainRun() {
  if (at_ == end_)
    return {}; // memchr must not be given the null of a reader that has not started
  const void* escape = std::memchr(at_, '\\', static_cast<std::size_t>(end_ - at_));
  const char* stop = escape ? static_cast<const char*>(escape) : end_;
  std::string_view run(at_, static_cast<std::size_t>(stop - at_));
  at_ = stop;
  return run;
}

int JsonText::Reader::peekSlow() {
  if (at_ == end_ && !nextPiece())
    return kEnd;
  return *at_ == '\\' ? escaped().first : static_cast<unsigned char>(*at_);
}

int JsonText::Reader::getSlow() {
  if (at_ == end_ && !nextPiece())
    return kEnd;
  if (*at_ != '\\')
    return static_cast<unsigned char>(*at_++);
  auto [byte, length] = escaped();
  at_ += length;
  return byte;
}

bool JsonText::Reader::nextPiece() {
  while (next_ != last_) {
    const std::string& piece = *next_++;
    at_ = piece.data();
    end_ = at_ + piece.size();
    if (at_ != end_)
      return true;
  }
  return false;
}

std::pair<int, std::size_t> JsonText::Reader::escaped() const {
  switch (at_[1]) {
  case 'b':
    return {'\b', 2};
  case 'f':
    return {'\f', 2};
  case 'n':
    return {'\n', 2};
  case 'r':
    return {'\r', 2};
  case 't':
    return {'\t', 2};
  case 'u':
    return {hexValue(at_[4]) * 16 + hexValue(at_[5]), 6};
  default: // '"' and '\\'
    return {static_cast<unsigned char>(at_[1]), 2};
  }
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
