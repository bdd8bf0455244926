#include "bridge/ReplyParser.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <optional>

namespace vantrel::bridge {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

// "HTTP/1.1 200" and nothing else on the line: a status line without its reason phrase.
bool lacksReason(std::string_view line) {
  auto digit = [&](std::size_t i) { return line[i] >= '0' && line[i] <= '9'; };
  return line.size() == 12 && line.substr(0, 5) == "HTTP/" && digit(5) && line[6] == '.' &&
         digit(7) && line[8] == ' ' && digit(9) && digit(10) && digit(11);
}

enum class HeadAt {
  statusLine,
  firstField, // a line here cannot be a fold: there is no field to join
  nextField,
  end, // the empty line has come
};

// One message (an interim reply or the final one), judged by Beast alone. It stores no fields:
// Beast reads from them what frames the message, and the body goes to the sink as it arrives.
class Message : public http::basic_parser<false> {
public:
  explicit Message(BodySink& body) : body_(body) {
    eager(true);
    // Our own count stops a head at kMaxReplyHead; with CRs added it may be up to twice that.
    header_limit(static_cast<std::uint32_t>(2 * kMaxReplyHead + 2));
    body_limit(boost::none); // the sink judges the size
  }

  int status = 0;
  // Reading the head: the raw bytes taken, where the line in progress starts in the gathered
  // head, and which line that is.
  std::size_t headBytes = 0;
  std::size_t lineStart = 0;
  HeadAt at = HeadAt::statusLine;

private:
  void on_request_impl(http::verb, beast::string_view, beast::string_view, int,
                       error_code&) override {}
  void on_response_impl(int code, beast::string_view, int, error_code&) override { status = code; }
  void on_field_impl(http::field, beast::string_view, beast::string_view, error_code&) override {}
  void on_header_impl(error_code& ec) override {
    // Refused by its length before any of the body is read; a reply without a body has none.
    if (auto length = content_length(); !is_done() && length && !body_.mayFit(*length))
      ec = http::error::body_limit;
  }
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  std::size_t on_body_impl(beast::string_view bytes, error_code& ec) override {
    return take(bytes, ec);
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view bytes, error_code& ec) override {
    return take(bytes, ec);
  }
  void on_finish_impl(error_code&) override {}

  std::size_t take(beast::string_view bytes, error_code& ec) {
    if (body_.append(std::string_view(bytes.data(), bytes.size())))
      return bytes.size();
    ec = http::error::body_limit;
    return 0;
  }

  BodySink& body_;
};

} // namespace

struct ReplyParser::Impl {
  explicit Impl(BodySink& into) : body(into) {}

  BodySink& body;
  Step step = Step::more;
  std::string error;
  bool reusable = false;
  std::optional<Message> message;
  // Bytes Beast has not taken yet: the head so far, or in a body part of a chunk-size line, say.
  std::string pending;

  Step fail(std::string why) {
    error = std::move(why);
    return step = Step::failed;
  }

  Step failWith(const error_code& ec) {
    if (ec == http::error::body_limit)
      return step = Step::tooLarge; // the status came with the head
    return fail(ec.message());
  }

  Step put(std::string_view bytes) {
    while (step == Step::more && !bytes.empty()) {
      if (!message)
        message.emplace(body);
      bytes = message->is_header_done() ? takeBody(bytes) : takeHead(bytes);
      if (step != Step::more || !message->is_done())
        continue;
      if (message->status == 101)
        return fail("switching protocols"); // the connection no longer speaks HTTP
      if (message->status / 100 == 1) {
        message.reset(); // an interim reply: the final one follows on the same connection
        continue;
      }
      finish(!bytes.empty() || !pending.empty());
    }
    return step;
  }

  // Gathers the head as Beast reads it, then has Beast read it whole: each line ends in CRLF, a
  // status line without a reason phrase gets the space before it, and a folded line joins the
  // field before it (RFC 9112 asks that of a client; Beast takes only 4 KiB of a fold). Returns
  // the bytes after the head.
  std::string_view takeHead(std::string_view bytes) {
    Message& m = *message;
    while (!bytes.empty() && m.at != HeadAt::end) {
      if (pending.size() == m.lineStart) {
        if (m.at == HeadAt::statusLine) {
          // Empty lines before the status line are skipped, as lenient clients do.
          const std::size_t start = std::min(bytes.find_first_not_of("\r\n"), bytes.size());
          m.headBytes += start;
          bytes.remove_prefix(start);
          if (bytes.empty())
            break;
        } else if (m.at == HeadAt::nextField && (bytes.front() == ' ' || bytes.front() == '\t')) {
          pending.resize(m.lineStart -= 2); // the CRLF before the fold
        }
      }
      const std::size_t lf = bytes.find('\n');
      const std::size_t taken = lf == std::string_view::npos ? bytes.size() : lf + 1;
      if ((m.headBytes += taken) > kMaxReplyHead) {
        failWith(http::error::header_limit);
        return {};
      }
      pending.append(bytes.substr(0, lf == std::string_view::npos ? taken : lf));
      bytes.remove_prefix(taken);
      if (lf != std::string_view::npos)
        endLine();
    }
    if (m.at != HeadAt::end)
      return bytes;
    error_code ec;
    m.put(boost::asio::buffer(pending), ec);
    if (!ec && !m.is_header_done())
      ec = http::error::partial_message; // not reached: Beast was given the whole head
    if (ec)
      failWith(ec);
    std::string().swap(pending); // taken whole; the body may take long to come
    return bytes;
  }

  // The line from `lineStart` has just lost its LF.
  void endLine() {
    Message& m = *message;
    if (pending.size() > m.lineStart && pending.back() == '\r')
      pending.pop_back();
    const std::string_view line = std::string_view(pending).substr(m.lineStart);
    if (m.at == HeadAt::statusLine) {
      if (lacksReason(line))
        pending.push_back(' ');
      m.at = HeadAt::firstField;
    } else {
      m.at = line.empty() ? HeadAt::end : HeadAt::nextField;
    }
    pending.append("\r\n");
    m.lineStart = pending.size();
  }

  // Hands body bytes to Beast straight from the read, keeping only what it cannot take yet.
  // Returns what follows the message when it ended in these bytes and nothing was kept before.
  std::string_view takeBody(std::string_view bytes) {
    const bool kept = !pending.empty(); // part of a chunk-size line, say
    if (kept) {
      pending.append(bytes);
      // A last-chunk line that Beast has seen whole, with one byte after it: Beast, which could
      // not judge it yet anyway, must not be asked again before it has "0\r\n\r\n" in view
      // (asserted in its debug builds, such as the sanitizer trees).
      if (pending.size() == 4 && pending.starts_with("0\r\n"))
        return {};
    }
    std::string_view input = kept ? std::string_view(pending) : bytes;
    error_code ec;
    input.remove_prefix(message->put(boost::asio::buffer(input.data(), input.size()), ec));
    if (ec && ec != http::error::need_more) {
      failWith(ec);
      return {};
    }
    if (kept) {
      pending.erase(0, pending.size() - input.size());
      return {};
    }
    if (message->is_done())
      return input;
    pending.assign(input);
    return {};
  }

  // The one place that says whether the connection goes on: only if the reply allows keep-alive,
  // was delimited by its length or chunks (not the close), and nothing arrived after it, since
  // such bytes belong to no request we sent.
  void finish(bool bytesAfter) {
    reusable = message->keep_alive() && !bytesAfter;
    step = Step::done;
  }

  Step putEof() {
    if (step != Step::more)
      return step;
    if (!message || !message->is_header_done())
      return failWith(http::error::end_of_stream);
    error_code ec;
    message->put_eof(ec);
    if (ec)
      return failWith(ec);
    finish(false);
    return step;
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
  return impl_ && impl_->message ? impl_->message->status : 0;
}

std::optional<std::uint64_t> ReplyParser::declaredLength() const {
  if (!impl_ || !impl_->message || !impl_->message->is_header_done())
    return std::nullopt;
  if (auto length = impl_->message->content_length())
    return *length;
  return std::nullopt;
}

bool ReplyParser::reusable() const {
  return impl_ && impl_->reusable;
}

const std::string& ReplyParser::error() const {
  static const std::string none;
  return impl_ ? impl_->error : none;
}

} // namespace vantrel::bridge
