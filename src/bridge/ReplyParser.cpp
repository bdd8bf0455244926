#include "bridge/ReplyParser.h"

#include <algorithm>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/parser.hpp>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <variant>

namespace vantrel::bridge {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

// A body that goes straight into the caller's sink as the parser releases it. The parser makes
// its reader before the sink is named, so the reader holds the pointer, not the sink.
struct CallerBody {
  using value_type = BodySink*;

  class reader {
  public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, error_code& ec) {
      ec = {};
      if (length && !body_->mayFit(*length))
        ec = http::error::body_limit;
    }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, error_code& ec) {
      ec = {};
      std::size_t taken = 0;
      for (auto buffer : beast::buffers_range_ref(buffers)) {
        if (!body_->append(
                std::string_view(static_cast<const char*>(buffer.data()), buffer.size()))) {
          ec = http::error::body_limit;
          return taken;
        }
        taken += buffer.size();
      }
      return taken;
    }
    void finish(error_code& ec) { ec = {}; }

  private:
    value_type& body_;
  };
};

using Parser = http::response_parser<CallerBody>;

// The end of the head in `text` (just past its empty line), or npos. Lines may end in CRLF or a
// bare LF.
std::size_t headEnd(std::string_view text, std::size_t from) {
  for (std::size_t i = text.find('\n', from); i != std::string_view::npos;
       i = text.find('\n', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n')
      return i + 2;
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n')
      return i + 3;
  }
  return std::string_view::npos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// "HTTP/1.1 200" and nothing else on the line: a status line without its reason phrase.
bool lacksReason(std::string_view line) {
  return line.size() == 12 && line.substr(0, 5) == "HTTP/" && isDigit(line[5]) && line[6] == '.' &&
         isDigit(line[7]) && line[8] == ' ' && isDigit(line[9]) && isDigit(line[10]) &&
         isDigit(line[11]);
}

bool isTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The fields that decide where the reply ends and whether the connection goes on; the parser
// needs no other, and stores none longer than 64 KiB.
bool decidesFraming(std::string_view name) {
  for (std::string_view framing : {"Content-Length", "Transfer-Encoding", "Connection"}) {
    if (sameName(name, framing))
      return true;
  }
  return false;
}

// The head as the strict parser wants it, or the reason it is not a head: every line ending in
// CRLF, a status line with the space before its (possibly empty) reason phrase, and of the
// fields only those that decide framing. The others are checked as the parser would check them
// (a name of token characters, a value without control characters) and left out.
std::variant<std::string, std::string> headForParser(std::string_view head) {
  std::string out;
  bool keepFolded = false; // a continuation line belongs to the field before it
  for (bool first = true; !head.empty(); first = false) {
    std::size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (first) {
      out.append(line).append(lacksReason(line) ? " \r\n" : "\r\n");
      continue;
    }
    if (line.empty())
      break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (keepFolded)
        out.append(line).append("\r\n");
      continue;
    }
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || name.empty() ||
        !std::all_of(name.begin(), name.end(), isTokenChar))
      return std::variant<std::string, std::string>(std::in_place_index<1>, "bad field");
    for (char c : line.substr(colon + 1)) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
        return std::variant<std::string, std::string>(std::in_place_index<1>, "bad value");
    }
    keepFolded = decidesFraming(name);
    if (keepFolded)
      out.append(line).append("\r\n");
  }
  out.append("\r\n");
  return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(out));
}

} // namespace

struct ReplyParser::Impl {
  explicit Impl(BodySink& into) : body(into) {}

  BodySink& body;
  Step step = Step::more;
  std::string error;
  int status = 0;
  bool reusable = false;

  // Reading a head: its bytes so far, and how far they were searched for its end.
  bool inHead = true;
  std::string head;
  std::size_t searched = 0;
  // Reading a body: the parser of the current message, and bytes it has not taken yet (part of
  // a chunk-size line, say).
  std::optional<Parser> parser;
  std::string carry;

  Step fail(std::string why) {
    error = std::move(why);
    return step = Step::failed;
  }

  Step failWith(const error_code& ec) {
    if (ec == http::error::body_limit) {
      status = static_cast<int>(parser->get().result_int()); // refused as its head was read
      return step = Step::tooLarge;
    }
    return fail(ec.message());
  }

  Step put(std::string_view bytes) {
    while (step == Step::more && !bytes.empty()) {
      if (inHead) {
        bytes = takeHead(bytes);
      } else {
        takeBody(bytes);
        bytes = {};
      }
    }
    return step;
  }

  // Gathers head bytes; once the head is whole, parses it and returns the bytes after it.
  std::string_view takeHead(std::string_view bytes) {
    if (head.empty()) {
      // Empty lines before the status line are skipped, as lenient clients do.
      auto start = bytes.find_first_not_of("\r\n");
      if (start == std::string_view::npos)
        return {};
      bytes.remove_prefix(start);
    }
    const std::size_t before = head.size();
    head.append(bytes.substr(0, kMaxReplyHead + 4 - std::min(before, kMaxReplyHead + 4)));
    const std::size_t end = headEnd(head, searched);
    if (end == std::string::npos || end > kMaxReplyHead) {
      if (head.size() > kMaxReplyHead)
        fail("header limit exceeded");
      searched = head.size() >= 2 ? head.size() - 2 : 0;
      return {};
    }
    std::string_view rest = bytes.substr(end - before);
    startMessage(std::string_view(head).substr(0, end));
    head.clear();
    searched = 0;
    return rest;
  }

  void startMessage(std::string_view rawHead) {
    parser.emplace();
    parser->eager(true);
    // The head was bounded above; normalising it may lengthen it a little.
    parser->header_limit(static_cast<std::uint32_t>(kMaxReplyHead * 2));
    parser->body_limit(boost::none); // the sink judges the size
    parser->get().body() = &body;
    auto normal = headForParser(rawHead);
    if (normal.index() == 1) {
      fail(std::get<1>(std::move(normal)));
      return;
    }
    error_code ec;
    try {
      parser->put(boost::asio::buffer(std::get<0>(normal)), ec);
    } catch (const std::length_error&) {
      fail("header field too large"); // a framing field past what the parser stores
      return;
    }
    if (ec) {
      failWith(ec);
      return;
    }
    if (!parser->is_header_done()) {
      fail("bad header");
      return;
    }
    status = static_cast<int>(parser->get().result_int());
    if (status == 101) {
      fail("switching protocols");
      return;
    }
    if (status >= 100 && status < 200)
      return; // an interim reply: the final one follows on the same connection
    if (auto length = parser->content_length(); length && !body.mayFit(*length)) {
      step = Step::tooLarge; // refused before any of it is read
      return;
    }
    inHead = false;
    if (parser->is_done())
      finish(false);
  }

  // Hands body bytes to the parser, keeping what it cannot take yet (part of a chunk-size line).
  void takeBody(std::string_view bytes) {
    std::string_view input = bytes;
    if (!carry.empty()) {
      carry.append(bytes);
      input = carry;
    }
    error_code ec;
    std::size_t used = parser->put(boost::asio::buffer(input.data(), input.size()), ec);
    if (ec && ec != http::error::need_more) {
      failWith(ec);
      return;
    }
    std::string rest(input.substr(used));
    if (parser->is_done()) {
      carry.clear();
      finish(!rest.empty());
      return;
    }
    carry = std::move(rest);
  }

  // Bytes after the final reply belong to no request we sent: the connection is not reused.
  void finish(bool bytesAfter) {
    reusable = parser->keep_alive() && !parser->need_eof() && !bytesAfter;
    step = Step::done;
  }

  Step putEof() {
    if (step != Step::more)
      return step;
    if (inHead)
      return fail("end of stream");
    error_code ec;
    parser->put_eof(ec);
    if (ec)
      return failWith(ec);
    reusable = false;
    return step = Step::done;
  }
};

ReplyParser::ReplyParser(BodySink& body) : body_(body) {
}

ReplyParser::~ReplyParser() = default;

ReplyParser::Impl& ReplyParser::impl() {
  // Made when the first byte comes: thousands of calls may wait for their replies at once.
  if (!impl_)
    impl_ = std::make_unique<Impl>(body_);
  return *impl_;
}

ReplyParser::Step ReplyParser::put(std::string_view bytes) {
  return impl().put(bytes);
}

ReplyParser::Step ReplyParser::putEof() {
  return impl().putEof();
}

int ReplyParser::status() const {
  return impl_ ? impl_->status : 0;
}

std::optional<std::uint64_t> ReplyParser::declaredLength() const {
  if (!impl_ || !impl_->parser || !impl_->parser->is_header_done() ||
      !impl_->parser->content_length())
    return std::nullopt;
  return *impl_->parser->content_length();
}

bool ReplyParser::reusable() const {
  return impl_ && impl_->reusable;
}

const std::string& ReplyParser::error() const {
  static const std::string none;
  return impl_ ? impl_->error : none;
}

} // namespace vantrel::bridge
