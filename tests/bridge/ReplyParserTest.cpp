#include "bridge/ReplyParser.h"

#include "support/InProcess.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace vantrel::bridge {
namespace {

// What a reply comes to: a status and body (and whether the connection may carry another
// request), or a failure's words.
struct Read {
  int status = 0;
  std::string body;
  bool reusable = false;
  std::string failure;

  friend bool operator==(const Read&, const Read&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Read& read) {
    if (!read.failure.empty())
      return out << "failed: " << read.failure;
    return out << read.status << " \"" << read.body << "\"" << (read.reusable ? " reusable" : "");
  }
};

Read ok(int status, std::string body, bool reusable = true) {
  return {status, std::move(body), reusable, {}};
}
Read failed(std::string why) {
  return {0, {}, false, std::move(why)};
}

// Feeds `wire` in the pieces that `cuts` marks, then the end of the connection if `closes`.
// Pieces left once the reply is done stay unread, where the pool's check on the connection
// finds them: such a connection is not reusable either.
Read parse(std::string_view wire, const std::vector<std::size_t>& cuts, bool closes) {
  testing::PlainSink body(1 << 20);
  ReplyParser parser(body);
  auto step = ReplyParser::Step::more;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    if (step == ReplyParser::Step::more && cut > from) {
      step = parser.put(wire.substr(from, cut - from));
      from = cut;
    }
  }
  if (step == ReplyParser::Step::more && from < wire.size()) {
    step = parser.put(wire.substr(from));
    from = wire.size();
  }
  if (step == ReplyParser::Step::more && closes)
    step = parser.putEof();
  if (step == ReplyParser::Step::failed)
    return failed(parser.error());
  if (step == ReplyParser::Step::more)
    return failed("incomplete");
  return ok(parser.status(), body.bytes(), parser.reusable() && from == wire.size());
}

struct Case {
  const char* name;
  std::string wire;
  bool closes; // the connection ends after the bytes
  Read expected;
};

// Every reply must read the same whether it arrives whole, a byte at a time, or cut in two at
// any byte: the connection decides the pieces, not the Bridge.
void expectSameInEveryPiece(const Case& c) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(parse(c.wire, {}, c.closes), c.expected) << "whole";
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < c.wire.size(); ++i)
    everyByte.push_back(i);
  EXPECT_EQ(parse(c.wire, everyByte, c.closes), c.expected) << "byte by byte";
  for (std::size_t i = 1; i < c.wire.size(); ++i)
    ASSERT_EQ(parse(c.wire, {i}, c.closes), c.expected) << "cut at " << i;
}

TEST(ReplyParserTest, FramingsAndInterimReplies) {
  const std::vector<Case> cases = {
      {"content length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false,
       ok(200, "hello")},
      {"chunked with an extension and a trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3;note=x\r\nabc\r\n2\r\nde\r\n0\r\nX-Trailer: 1\r\n\r\n",
       false, ok(200, "abcde")},
      {"to the close", "HTTP/1.1 200 OK\r\n\r\nuntil the end", true,
       ok(200, "until the end", false)},
      {"no content", "HTTP/1.1 204 No Content\r\n\r\n", false, ok(204, "")},
      {"a refusal is a reply", "HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}", false,
       ok(404, "{}")},
      {"interim replies are skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
       "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: "
       "2\r\n\r\nok",
       false, ok(201, "ok")},
      {"an interim reply with a length has no body",
       "HTTP/1.1 102 Processing\r\nContent-Length: 9\r\n\r\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
       false, ok(200, "x")},
      {"interim then the close", "HTTP/1.1 102 Processing\r\n\r\n", true, failed("end of stream")},
      {"switching protocols ends the exchange",
       "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", false,
       failed("switching protocols")},
      {"keep-alive refused", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx",
       false, ok(200, "x", false)},
      {"HTTP/1.0 closes by default", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", false,
       ok(200, "x", false)},
      // Whatever follows the final reply in the same read, the connection is not reused.
      {"bytes after the reply", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nxHTTP/1.1 200", false,
       ok(200, "x", false)},
      {"bytes after a reply without a body", "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 200", false,
       ok(204, "", false)},
      {"bytes after a zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nx", false,
       ok(200, "", false)},
      {"bytes after the last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n\r\n", false,
       ok(200, "", false)},
      {"bytes after an interim reply and a 304",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\nabc",
       false, ok(304, "", false)},
      {"folded header line", "HTTP/1.1 200 OK\r\nX-Long: a\r\n b\r\nContent-Length: 1\r\n\r\nx",
       false, ok(200, "x")},
  };
  for (const auto& c : cases)
    expectSameInEveryPiece(c);
}

TEST(ReplyParserTest, LenientHeadsAreReadAsMeant) {
  const std::vector<Case> cases = {
      {"empty lines before the status line",
       "\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", false, ok(200, "hi")},
      {"bare LF line ends", "HTTP/1.1 200 OK\nContent-Length: 2\n\nhi", false, ok(200, "hi")},
      {"mixed line ends", "HTTP/1.1 200 OK\r\nContent-Length: 2\n\r\nhi", false, ok(200, "hi")},
      {"no reason phrase", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nhi", false, ok(200, "hi")},
      {"no reason phrase, bare LF", "HTTP/1.1 404\nContent-Length: 0\n\n", false, ok(404, "")},
      {"interim with bare LF", "HTTP/1.1 100\n\nHTTP/1.1 200\nContent-Length: 1\n\nx", false,
       ok(200, "x")},
      {"folded with bare LF", "HTTP/1.1 200 OK\nX-A: a\n\tb\nContent-Length: 1\n\nx", false,
       ok(200, "x")},
      // Beast alone would take only 4 KiB of a fold.
      {"a fold past 4 KiB",
       "HTTP/1.1 200 OK\r\nX-A: " + std::string(3000, 'a') + "\r\n " + std::string(5000, 'b') +
           "\r\nContent-Length: 1\r\n\r\nx",
       false, ok(200, "x")},
  };
  for (const auto& c : cases)
    expectSameInEveryPiece(c);
}

TEST(ReplyParserTest, BrokenRepliesFailWithTheirReason) {
  const std::vector<Case> cases = {
      {"not HTTP", "NOT HTTP AT ALL\r\n\r\n", false, failed("bad version")},
      {"nothing at all", "", true, failed("end of stream")},
      {"cut in the head", "HTTP/1.1 200 OK\r\nContent-Len", true, failed("end of stream")},
      {"cut in the body", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort", true,
       failed("partial message")},
      {"cut in a chunk-size line", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1", true,
       failed("partial message")},
      {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
       failed("bad chunk")},
      {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nx", false,
       failed("multiple Content-Length")},
      {"a field without a name", "HTTP/1.1 200 OK\r\n: x\r\n\r\n", false, failed("bad field")},
      {"a fold with no field to join", "HTTP/1.1 200 OK\r\n x\r\n\r\n", false, failed("bad field")},
      {"a control character in a value", "HTTP/1.1 200 OK\r\nX-A: a\x01b\r\n\r\n", false,
       failed("bad value")},
  };
  for (const auto& c : cases)
    expectSameInEveryPiece(c);
}

// The body is handed on piece by piece, as it comes, whatever frames it: a reply of megabytes
// is never held by the parser.
TEST(ReplyParserTest, BodyReachesTheSinkAsItArrives) {
  struct Piece {
    std::string bytes;
    std::string sinkHolds; // once the piece is put
  };
  const std::vector<std::pair<const char*, std::vector<Piece>>> cases = {
      {"by length",
       {{"HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab", "ab"},
        {"cd", "abcd"},
        {"ef", "abcdef"}}},
      {"chunked",
       {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nab", "ab"},
        {"cd", "abcd"},
        {"ef\r\n0\r\n\r\n", "abcdef"}}},
      {"to the close", {{"HTTP/1.1 200 OK\r\n\r\nab", "ab"}, {"cd", "abcd"}}},
  };
  for (const auto& [name, pieces] : cases) {
    testing::PlainSink body(1 << 20);
    ReplyParser parser(body);
    for (const auto& piece : pieces) {
      parser.put(piece.bytes);
      EXPECT_EQ(body.bytes(), piece.sinkHolds) << name;
    }
  }
}

TEST(ReplyParserTest, HeadAndBodyAreBounded) {
  std::string huge = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(kMaxReplyHead, 'a') + "\r\n\r\n";
  EXPECT_EQ(parse(huge, {}, false), failed("header limit exceeded"));
  EXPECT_EQ(parse(huge, {1000, 600000}, false), failed("header limit exceeded"));
  // Any one field may be as long as the head allows: the parser stores no field.
  std::string wide = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(kMaxReplyHead - 100, 'a') +
                     "\r\nContent-Length: 1\r\n\r\nx";
  EXPECT_EQ(parse(wide, {70000}, false), ok(200, "x"));

  // Past the limit by the length it declares, or as it arrives: reading stops there.
  testing::PlainSink declared(4);
  ReplyParser byLength(declared);
  EXPECT_EQ(byLength.put("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n"),
            ReplyParser::Step::tooLarge);
  EXPECT_EQ(byLength.declaredLength(), 5u);
  EXPECT_EQ(byLength.status(), 200) << "the refusal carries the Bridge's status";
  // A reply without a body is not refused by the length it declares.
  testing::PlainSink none(4);
  ReplyParser notModified(none);
  EXPECT_EQ(notModified.put("HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n"),
            ReplyParser::Step::done);
  testing::PlainSink counted(4);
  ReplyParser byCount(counted);
  EXPECT_EQ(byCount.put("HTTP/1.1 200 OK\r\n\r\nabc"), ReplyParser::Step::more);
  EXPECT_EQ(byCount.put("de"), ReplyParser::Step::tooLarge);
  EXPECT_FALSE(byCount.declaredLength());
}

} // namespace
} // namespace vantrel::bridge
