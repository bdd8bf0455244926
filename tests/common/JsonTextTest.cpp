#include "common/JsonText.h"

#include "common/Json.h"
#include "common/Utf8.h"

#include <gtest/gtest.h>

#include <random>

namespace vantrel {
namespace {

using namespace std::string_view_literals;

std::string joined(const JsonText& text) {
  std::string all;
  for (const auto& piece : text.pieces())
    all += piece;
  return all;
}

// The text appended in two parts cut at `cut`.
JsonText appendedInTwo(std::string_view bytes, std::size_t cut) {
  JsonText text;
  text.append(bytes.substr(0, cut));
  text.append(bytes.substr(cut));
  return text;
}

// The response line carries the text as the JSON writer would have escaped it, whatever pieces
// the Bridge's reply arrived in.
TEST(JsonTextTest, EscapesAsTheWriterDoesInWhateverPiecesItArrives) {
  for (std::string_view text : {""sv, "plain"sv, "\"quoted\" \\ back"sv, "\b\f\n\r\t"sv,
                                "\x01\x1f\x7f"sv, "中文 / slash"sv, "nul\0inside"sv}) {
    const std::string written = nlohmann::json(std::string(text)).dump();
    const std::string expected = written.substr(1, written.size() - 2);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      JsonText in = appendedInTwo(text, cut);
      EXPECT_EQ(joined(in), expected) << text << " cut at " << cut;
      EXPECT_EQ(in.plain(), text) << "read back";
      EXPECT_TRUE(in.isUtf8());
      EXPECT_EQ(in.hasNul(), text.find('\0') != std::string_view::npos);
    }
  }
}

TEST(JsonTextTest, Utf8IsJudgedAcrossPiecesAsOneText) {
  const struct {
    std::string_view bytes;
    bool utf8;
  } cases[] = {
      {"汉字 😀 é", true},
      {"\xC0\xAF", false},               // overlong
      {"\xED\xA0\x80", false},           // a surrogate
      {"\xF4\x90\x80\x80", false},       // past U+10FFFF
      {"a\x80", false},                  // a continuation byte alone
      {"\xF5\x80\x80\x80", false},       // no such lead byte
      {"ok \xE6\xB1", false},            // cut short at the end
      {"\xE6\xB1 x\xE6\xB1\x89", false}, // cut short in the middle
  };
  for (const auto& c : cases) {
    for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut)
      EXPECT_EQ(appendedInTwo(c.bytes, cut).isUtf8(), c.utf8) << c.bytes << " cut at " << cut;
  }
}

// Against the whole-text check and the writer, on random bytes in random pieces: the fast paths
// (eight bytes at a time, sequences across appends) must agree with the plain ones.
TEST(JsonTextTest, RandomBytesInRandomPiecesAgreeWithTheWholeTextRules) {
  std::mt19937 random(7);
  const std::string alphabet = std::string("ab \"\\\n\x01") +
                               "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xED\xA0" + "\x80\xC0\xFF";
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    const std::size_t length = random() % 40;
    for (std::size_t i = 0; i < length; ++i)
      bytes += alphabet[random() % alphabet.size()];
    JsonText text;
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = 1 + random() % 9;
      text.append(std::string_view(bytes).substr(at, n));
      at += n;
    }
    ASSERT_EQ(text.isUtf8(), isValidUtf8(bytes)) << ::testing::PrintToString(bytes);
    ASSERT_EQ(text.bytesAppended(), bytes.size());
    if (text.isUtf8()) {
      ASSERT_EQ(text.plain(), bytes);
      const std::string written = nlohmann::json(bytes).dump();
      ASSERT_EQ(joined(text), written.substr(1, written.size() - 2));
    }
  }
}

// A reply that cannot be sent costs no memory: past its limit (counted escaped, as the line
// carries it) or once it is known not to be UTF-8, a text keeps nothing and takes nothing more.
TEST(JsonTextTest, ATextPastItsLimitOrNotUtf8KeepsNothing) {
  JsonText limited = JsonText::withLimit(12);
  EXPECT_TRUE(limited.append(std::string(6, '\\'))) << "six backslashes escape to twelve bytes";
  EXPECT_EQ(limited.escapedSize(), 12u);
  EXPECT_FALSE(limited.append("a"));
  EXPECT_TRUE(limited.overLimit());
  EXPECT_TRUE(limited.pieces().empty());
  EXPECT_FALSE(limited.append("more")) << "once over, always over";
  limited.prepend("front");
  EXPECT_TRUE(limited.pieces().empty());

  JsonText notUtf8 = JsonText::withLimit(4);
  EXPECT_TRUE(notUtf8.append("ok\xff"));
  EXPECT_TRUE(notUtf8.append(std::string(100, 'x'))) << "counted, not kept: never over its limit";
  EXPECT_FALSE(notUtf8.isUtf8());
  EXPECT_FALSE(notUtf8.overLimit());
  EXPECT_TRUE(notUtf8.pieces().empty());
  EXPECT_EQ(notUtf8.bytesAppended(), 103u);
}

TEST(JsonTextTest, LargeTextsComeInBoundedPiecesThatNeverSplitAnEscape) {
  std::string big;
  for (int i = 0; big.size() < 3 * JsonText::kPiece; ++i)
    big += "line " + std::to_string(i) + "\n\"quoted\" 中文\t\x01 ";
  JsonText whole(big);
  JsonText dripped;
  for (std::size_t at = 0; at < big.size(); at += 4093)
    dripped.append(std::string_view(big).substr(at, 4093));
  EXPECT_GT(whole.pieces().size(), 3u);
  for (const auto& piece : whole.pieces()) {
    EXPECT_LE(piece.size(), JsonText::kPiece);
    EXPECT_LE(piece.capacity(), JsonText::kPiece + 32) << "no piece grows past its size";
  }
  EXPECT_EQ(whole, dripped) << "the same text, however it arrived";
  EXPECT_EQ(whole.plain(), big) << "every escape read back whole";
  EXPECT_EQ(whole.escapedSize(), joined(whole).size());
}

TEST(JsonTextTest, PrefixGoesInFrontWithoutTouchingTheRest) {
  JsonText reply(R"({"error":"找不到"})");
  reply.prepend("Bridge 返回 404：");
  EXPECT_EQ(reply.plain(), R"(Bridge 返回 404：{"error":"找不到"})");
  EXPECT_EQ(reply, JsonText(R"(Bridge 返回 404：{"error":"找不到"})"));
  EXPECT_NE(reply, JsonText("Bridge 返回 404："));
  EXPECT_EQ(reply.bytesAppended(), std::string_view(R"({"error":"找不到"})").size())
      << "the size a refusal names is the reply's";
}

// Transcript tracking reads get_asset replies as they are held, escaped.
TEST(JsonTextTest, TopLevelMemberIsFoundInTheEscapedText) {
  EXPECT_TRUE(hasTopLevelMember(R"({"transcriptText":null})", "transcriptText"));
  EXPECT_TRUE(
      hasTopLevelMember(R"({"a":{"transcriptText":1},"transcriptText":""})", "transcriptText"));
  EXPECT_TRUE(hasTopLevelMember(R"({"t":"x\u0000y","transcriptText":1})", "transcriptText"))
      << "an escaped NUL inside a string is valid JSON";
  EXPECT_TRUE(hasTopLevelMember(R"({"transcript\u0054ext":"\"quoted\""})", "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember(R"({"a":{"transcriptText":1}})", "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember(R"([{"transcriptText":1}])", "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember(R"({"transcriptText":1} junk)", "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember("{\"transcriptText\":\"x\"}\0junk"sv, "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember("{\"transcriptText\":\"\xff\"}"sv, "transcriptText"));
  EXPECT_FALSE(hasTopLevelMember(std::string(100000, '[') + "]", "x"));
}

// Large replies without the member are not parsed at all; the shortcut must never miss a member
// that lies across two pieces.
TEST(JsonTextTest, TopLevelMemberAcrossAPieceBoundaryIsFound) {
  int across = 0;
  for (std::size_t pad = JsonText::kPiece - 40; pad < JsonText::kPiece; ++pad) {
    JsonText text(R"({"pad":")" + std::string(pad, 'x') + R"(","transcriptText":1})");
    const auto& pieces = text.pieces();
    across += pieces.size() == 2 && pieces[0].find("transcriptText") == std::string::npos &&
              pieces[1].find("transcriptText") == std::string::npos;
    EXPECT_TRUE(hasTopLevelMember(text, "transcriptText")) << pad;
  }
  EXPECT_GT(across, 0) << "no case put the name across the boundary";
}

} // namespace
} // namespace vantrel
