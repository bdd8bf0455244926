#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel {

// A text held as the inside of a JSON string: escaped exactly as dumpJson escapes strings, and
// checked for UTF-8 as it grows. A Bridge reply is appended to one as it arrives, so a reply of
// megabytes is held once, in the form a response line carries it, never copied to grow: it lives
// in pieces of at most kPiece bytes (an escape is never split between two). A text may be given a
// limit on its escaped size; past it, and once its bytes are found not to be UTF-8, it keeps
// nothing more (a text that cannot be sent is not worth its memory). Copyable, movable; one
// thread at a time.
class JsonText {
public:
  static constexpr std::size_t kPiece = 1 << 20;
  static constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

  JsonText() = default;
  // An empty text that holds at most `limit` escaped bytes.
  static JsonText withLimit(std::size_t limit) {
    JsonText text;
    text.limit_ = limit;
    return text;
  }
  // The escaped form of `text`, whatever its bytes: isUtf8() says whether they were UTF-8.
  template <typename Text>
  requires std::convertible_to<const Text&, std::string_view>
  JsonText(const Text& text) { // NOLINT: a text converts implicitly, as a string would
    append(std::string_view(text));
  }

  // Escapes `bytes` onto the end. A UTF-8 sequence may be split between two calls. False once the
  // escaped text has grown past its limit: it then holds nothing, and takes nothing more. Bytes
  // that are not UTF-8 are counted, not kept: such a text is never sent.
  bool append(std::string_view bytes);
  // Escapes `text` in front of what is held (a short prefix: one piece more).
  void prepend(std::string_view text);
  // A hint that about `bytes` more will be appended; never reserves past one piece.
  void reserve(std::size_t bytes);

  // Everything appended is well-formed UTF-8 and ends on a whole character.
  bool isUtf8() const { return utf8_ && pending_.empty(); }
  // The escaped text grew past its limit (what it held is gone).
  bool overLimit() const { return over_; }
  std::size_t limit() const { return limit_; }
  // Bytes appended, escaped or not, kept or not; a prefix (prepend) is not among them.
  std::uint64_t bytesAppended() const { return appended_; }
  bool empty() const { return size_ == 0; }
  // Whether a NUL byte was appended (parsers may take one for the end of their input).
  bool hasNul() const { return hasNul_; }
  // Bytes of the escaped form (as counted up to the limit, for a text over it).
  std::size_t escapedSize() const { return size_; }
  const std::vector<std::string>& pieces() const { return pieces_; }
  // The text itself, unescaped: a copy, for small texts and tests.
  std::string plain() const;

  // The unescaped bytes, read from the pieces in place, without copying the text. Relies on what
  // append() writes: the escapes dumpJson writes (\" \\ \b \f \n \r \t and \u00xx), each whole
  // within its piece. Valid while the text is neither changed nor destroyed.
  class Reader {
  public:
    static constexpr int kEnd = -1;

    // The next byte (0-255), or kEnd; peek() leaves it to be read.
    int peek() { return plainHere() ? static_cast<unsigned char>(*at_) : peekSlow(); }
    int get() { return plainHere() ? static_cast<unsigned char>(*at_++) : getSlow(); }
    // Takes the bytes from here to the next escape or the end of the piece, all of which stand
    // for themselves: none is a quote, a backslash or a control character. Empty before an
    // escape and at the end of a piece (get() goes on to the next).
    std::string_view plainRun();

  private:
    friend class JsonText;
    explicit Reader(const std::vector<std::string>& pieces)
        : next_(pieces.data()), last_(pieces.data() + pieces.size()) {}
    bool plainHere() const { return at_ != end_ && *at_ != '\\'; }
    int peekSlow();
    int getSlow();
    bool nextPiece();
    // The byte the escape at at_ stands for, and its length.
    std::pair<int, std::size_t> escaped() const;

    const std::string* next_;
    const std::string* last_;
    const char* at_ = nullptr;
    const char* end_ = nullptr;
  };
  Reader reader() const { return Reader(pieces_); }

  friend bool operator==(const JsonText& a, const JsonText& b);
  friend std::ostream& operator<<(std::ostream& out, const JsonText& text);

private:
  void appendEscaped(std::string_view bytes);
  std::string& roomFor(std::size_t bytes);
  void copy(const char* data, std::size_t length);
  void writeEscape(char c);

  void release();

  std::vector<std::string> pieces_;
  std::size_t size_ = 0;
  std::size_t limit_ = kNoLimit;
  std::uint64_t appended_ = 0;
  bool over_ = false;
  bool utf8_ = true;
  bool hasNul_ = false;
  std::string pending_; // the start of a UTF-8 sequence the next append completes
};

} // namespace vantrel
