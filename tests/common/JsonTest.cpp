#include "common/Json.h"

#include "JsonScanFuzz.h"
#include "driver/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

namespace vantrel {
namespace {

using nlohmann::json;
using namespace std::string_literals;
using namespace std::string_view_literals;

TEST(JsonTest, ParseRefusesWhatIsNotOneValidDocument) {
  EXPECT_EQ(parseJson(R"({"a":[1,"x"]})"), json::parse(R"({"a":[1,"x"]})"));
  EXPECT_EQ(parseJson("42"), json(42)) << "callers judge the top level";
  for (std::string_view text : {""sv, "{"sv, R"({"a":1} x)"sv, "{\"a\":1}\0{\"b\":2}"sv,
                                "{\"a\":1}\0garbage"sv, "\0"sv, "[1e400]"sv}) {
    EXPECT_FALSE(parseJson(text)) << text;
  }
}

TEST(JsonTest, NestingLimitCountsOnlyStructureOutsideStrings) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parseJson(nested(kMaxJsonNesting)));
  EXPECT_FALSE(parseJson(nested(kMaxJsonNesting + 1)));
  EXPECT_FALSE(parseJson(nested(200000))) << "refused before the parser sees it";
  EXPECT_TRUE(parseJson(R"([")" + std::string(5000, '[') + R"(\"{"])"));
}

TEST(JsonTest, DumpWritesOnlyValidJson) {
  EXPECT_EQ(dumpJson(json{{"text", "line\nbreak 中"}}), R"({"text":"line\nbreak 中"})");
  EXPECT_FALSE(dumpJson(json{{"text", "bad \xff byte"}}));
  EXPECT_FALSE(dumpJson(json{{"n", std::nan("")}}));
  EXPECT_FALSE(dumpJson(json{{"a", {1, std::numeric_limits<double>::infinity()}}}));
  json deep = json::array();
  for (std::size_t i = 0; i < kMaxJsonNesting; ++i)
    deep = json::array({deep});
  EXPECT_FALSE(dumpJson(deep)) << "one level past the limit";
}

TEST(JsonTest, IntegralInt64TakesEveryIntegralSpellingInRange) {
  EXPECT_EQ(integralInt64(json::parse("20")), 20);
  EXPECT_EQ(integralInt64(json::parse("20.0")), 20);
  EXPECT_EQ(integralInt64(json::parse("2e1")), 20);
  EXPECT_EQ(integralInt64(json::parse("-9223372036854775808")), INT64_MIN);
  EXPECT_EQ(integralInt64(json::parse("9223372036854775807")), INT64_MAX);
  for (const char* text : {"20.5", "9223372036854775808", "18446744073709551615", "1e300",
                           "-9.3e18", "\"20\"", "true", "null"}) {
    EXPECT_FALSE(integralInt64(json::parse(text))) << text;
  }
}

// 2^1024 - 2^970: from here on a number reads as infinity, which the parser refuses.
const std::string kOverflow =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775"
    "8720709633028641669288791094655554785194040263065748867150582068190890200070838367627385484581"
    "7711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699"
    "508093042880177904174497792";

std::string withLastDigit(std::string digits, char last) {
  digits.back() = last;
  return digits;
}

// Each row says what the parser says too: the scan must accept exactly what it accepts.
TEST(JsonTest, TopLevelMemberScanAgreesWithTheParserOnTrickyDocuments) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string bigFraction = "0." + std::string(400, '0') + "1e710";
  struct Case {
    std::string doc;
    bool found;
    std::string_view key = "transcriptText";
  } cases[] = {
      {R"({"transcriptText":null})", true},
      {R"({"transcript\u0054ext":1})", true},
      {R"({"\u0074ranscriptTex\u0074":1})", true},
      {R"({"a":{"transcriptText":1},"transcriptText":"","transcriptText":2})", true},
      {" \t\r\n{ \"transcriptText\" : [ ] } \n", true},
      {"\xEF\xBB\xBF{\"transcriptText\":1}", true},
      {R"({"transcriptText":"\ud83d\ude00 \u0000 \"x\" \\ \/ \b\f\n\r\t \u00E9 é 😀 )"
       "\x7f\"}",
       true},
      {R"({"transcriptText":[0,-0,1.5e-3,1E+2,-12.25E-2,1e308,1.7976931348623157e308,1e-400]})",
       true},
      {R"({"transcriptText":[)" + withLastDigit(kOverflow, '1') + ",-" +
           withLastDigit(kOverflow, '1') + ",0.0" + kOverflow + "e309," + kOverflow + "e-1]}",
       true},
      {R"({"transcriptText":)" + deep + "}", true},
      {R"({"\u952e\ud83d\ude00":1})", true, "键😀"},
      {R"({"\ud840\udc00\udbff\udfff\u07ff":1})", true, "\xF0\xA0\x80\x80\xF4\x8F\xBF\xBF\xDF\xBF"},
      {R"({"":1})", true, ""},
      {R"({"a\"b\\c\/":1})", true, "a\"b\\c/"},
      {R"({"x\u0000":1})", true, "x\0"sv},

      {R"({"transcriptTex":1})", false},
      {R"({"transcriptTextx":1})", false},
      {R"({"transcripttext":1})", false},
      {R"({"transcript\u0054":1})", false},
      {R"({"a":{"transcriptText":1}})", false},
      {R"({"a":{"b":1,"transcriptText":1}})", false},
      {R"([{"transcriptText":1}])", false},
      {R"("transcriptText")", false},
      {R"({"x":"transcriptText"})", false},
      {R"({"":1})", false, "x"},
      {"{}", false, ""},

      {R"({"transcriptText":1} x)", false},
      {R"({"transcriptText":1,})", false},
      {R"({"transcriptText":1}})", false},
      {R"({"transcriptText":1}{})", false},
      {R"({"transcriptText" 1})", false},
      {R"({"transcriptText":})", false},
      {R"({"transcriptText":1 "a":2})", false},
      {R"({'transcriptText':1})", false},
      {R"({"transcriptText":"x)", false},
      {R"({"transcriptText":[1,2})", false},
      {R"({"transcriptText":[1,]})", false},
      {R"({"transcriptText":1,"a"})", false},
      {R"({"transcriptText":1, 2:3})", false},
      {"{\"transcriptText\":1/*c*/}", false},
      {"", false},
      {" ", false},

      {R"({"transcriptText":01})", false},
      {R"({"transcriptText":1.})", false},
      {R"({"transcriptText":.5})", false},
      {R"({"transcriptText":-})", false},
      {R"({"transcriptText":+1})", false},
      {R"({"transcriptText":1e})", false},
      {R"({"transcriptText":1e+})", false},
      {R"({"transcriptText":0x10})", false},
      {R"({"transcriptText":NaN})", false},
      {R"({"transcriptText":-Infinity})", false},
      {R"({"transcriptText":1e309})", false},
      {R"({"transcriptText":-2e308})", false},
      {R"({"transcriptText":)" + kOverflow + "}", false},
      {R"({"transcriptText":)" + kOverflow + ".000001}", false},
      {R"({"transcriptText":)" + kOverflow + "0}", false},
      {R"({"transcriptText":0.)" + kOverflow + "e309}", false},
      {R"({"transcriptText":)" + bigFraction + "}", false},
      {R"({"transcriptText":tru})", false},
      {R"({"transcriptText":nul})", false},
      {R"({"transcriptText":True})", false},
      {R"({"transcriptText":falsey})", false},

      {"{\"transcriptText\":\"a\x01\"}", false},
      {"{\"transcriptText\":\"a\tb\"}", false},
      {"{\"transcriptText\":\"a\nb\"}", false},
      {"{\"transcript\x1fText\":1}", false},
      {R"({"transcriptText":"\x"})", false},
      {R"({"transcriptText":"\U0054"})", false},
      {R"({"transcriptText":"\u12"})", false},
      {R"({"transcriptText":"\u12G4"})", false},
      {R"({"transcriptText":"\ud83d"})", false},
      {R"({"transcriptText":"\ud83dx"})", false},
      {R"({"transcriptText":"\ud83d\u0041"})", false},
      {R"({"transcriptText":"\ud83d\ud83d"})", false},
      {R"({"transcriptText":"\ude00"})", false},
      {R"({"transcriptText":"\ude00\ud83d"})", false},

      {"{\"transcriptText\":1}\f", false},
      {"{\"transcriptText\":\v1}", false},
      {"{\"transcriptText\":1}\xC2\xA0", false},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{\"transcriptText\":1}", false},
      {" \xEF\xBB\xBF{\"transcriptText\":1}", false},
      {"{\"transcriptText\":1}\0"s, false},
      {"{\"transcriptText\":1}\0{}"s, false},
      {"{\"transcriptText\":\"a\0b\"}"s, false},
      {"{\"transcriptText\":\"\xff\"}", false},
      {"{\"transcriptText\":\"\xe7\xb4\"}", false},
      {std::string(100000, '[') + "]", false},
      {R"({"transcriptText":)" + std::string(100000, '[') + "}", false},
  };
  for (const auto& c : cases) {
    const JsonText text(c.doc);
    const std::string shown = c.doc.size() > 200 ? c.doc.substr(0, 200) + "..." : c.doc;
    EXPECT_EQ(hasTopLevelMember(text, c.key), c.found) << shown << " | " << c.key;
    EXPECT_EQ(fuzz::parserHasTopLevelMember(text, c.key), c.found)
        << "the parser disagrees with the row: " << shown;
  }
}

// Documents made of the pieces that trip scanners, some of them damaged a little, against the
// parser. Seeded: a failure names its document and repeats.
class DocumentMaker {
public:
  explicit DocumentMaker(unsigned seed) : random_(seed) {}

  std::string document() {
    std::string doc = space() + (chance(4) ? value(0) : object(0)) + space();
    for (int edits = chance(2) ? int(below(3)) + 1 : 0; edits > 0 && !doc.empty(); --edits)
      damage(doc);
    return doc;
  }

private:
  static constexpr std::string_view kNames[] = {"transcriptText",
                                                R"(transcript\u0054ext)",
                                                R"(\u0074ranscriptText)",
                                                "transcriptTex",
                                                "transcriptTextx",
                                                "a",
                                                "",
                                                R"(\"\\)"};
  // Each kind of piece comes sound and flawed; a flawed one is rare, so that most documents are
  // valid until damaged.
  static constexpr std::string_view kStringPieces[] = {
      "x",     "é",         "😀",         R"(\")",           R"(\\)", R"(\/)", R"(\b)",
      R"(\n)", R"(\u0000)", R"(\u00e9)", R"(\uD83D\uDE00)", "\x7f",  " ",     "transcriptText"};
  static constexpr std::string_view kFlawedStringPieces[] = {R"(\ud83d)", R"(\ude00)", R"(\u12)",
                                                             R"(\x)",     "\x01",      "\t"};
  static constexpr std::string_view kNumbers[] = {"0",      "-0",
                                                  "1.5",    "1e5",
                                                  "1E+5",   "-12.5e-3",
                                                  "2e307",  "1.7976931348623157e308",
                                                  "1e-400", "123456789012345678901234567890"};
  static constexpr std::string_view kFlawedNumbers[] = {
      "01", "1.", "-", "1e-", ".5", "1e309", "1.7976931348623159e308"};
  static constexpr std::string_view kLiterals[] = {"true", "false", "null"};
  static constexpr std::string_view kFlawedLiterals[] = {"tru", "nul", "True"};
  static constexpr std::string_view kSpace[] = {"", "", "", " ", "\n", "\t ", "\r\n"};
  static constexpr std::string_view kFlawedSpace[] = {"\f", "\v"};
  static constexpr std::string_view kDamage[] = {"{", "}", "[", "]", "\"", ":", ",",   "\\",
                                                 " ", "0", "e", "-", ".",  "u", "\xff"};

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool chance(std::size_t oneIn) { return below(oneIn) == 0; }
  template <std::size_t N> std::string pick(const std::string_view (&from)[N]) {
    return std::string(from[below(N)]);
  }
  template <std::size_t N, std::size_t M>
  std::string pick(const std::string_view (&sound)[N], const std::string_view (&flawed)[M]) {
    return chance(40) ? pick(flawed) : pick(sound);
  }

  std::string space() { return pick(kSpace, kFlawedSpace); }
  std::string string() {
    std::string text = "\"";
    for (std::size_t n = below(4); n > 0; --n)
      text += pick(kStringPieces, kFlawedStringPieces);
    return text + "\"";
  }
  std::string object(int depth) {
    std::string text = "{" + space();
    for (std::size_t n = below(4), i = 0; i < n; ++i) {
      text += (i ? "," : "") + space();
      text += (chance(3) ? string() : "\"" + pick(kNames) + "\"") + space() + ":";
      text += space() + value(depth + 1) + space();
    }
    return text + "}";
  }
  std::string array(int depth) {
    std::string text = "[";
    for (std::size_t n = below(4), i = 0; i < n; ++i)
      text += (i ? "," : "") + space() + value(depth + 1) + space();
    return text + "]";
  }
  std::string value(int depth) {
    switch (below(depth < 4 ? 6 : 4)) {
    case 0:
      return string();
    case 1:
      return pick(kNumbers, kFlawedNumbers);
    case 2:
      return pick(kLiterals, kFlawedLiterals);
    case 3:
      return "\"" + pick(kNames) + "\"";
    case 4:
      return object(depth);
    default:
      return array(depth);
    }
  }
  void damage(std::string& doc) {
    const std::size_t at = below(doc.size());
    switch (below(4)) {
    case 0:
      doc.erase(at, 1);
      break;
    case 1:
      doc.insert(at, pick(kDamage));
      break;
    case 2:
      doc.insert(at, doc.substr(below(doc.size()), below(8)));
      break;
    default:
      doc.resize(at);
    }
  }

  std::mt19937 random_;
};

TEST(JsonTest, TopLevelMemberScanAgreesWithTheParserOnRandomDocuments) {
  DocumentMaker maker(20240501);
  int found = 0, refused = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string doc = maker.document();
    ASSERT_EQ(fuzz::checkJsonScanInput(doc), std::nullopt) << "document " << i << ": " << doc;
    const JsonText text(doc);
    found += fuzz::parserHasTopLevelMember(text, "transcriptText");
    refused += !nlohmann::json::accept(doc);
  }
  // Valid and refused documents, and the member found, must all be common, or agreement proves
  // little.
  EXPECT_GT(found, 1000);
  EXPECT_GT(refused, 5000);
  EXPECT_LT(refused, 15000);
}

// A reply is held in pieces of JsonText::kPiece; every token must read the same whichever of its
// bytes the boundary falls before.
TEST(JsonTest, TopLevelMemberScanReadsTokensAcrossPieceBoundaries) {
  const std::string tail = R"(","n":[-12.5e-3,1E+2,true,null,false],"s":"\ud83d\ude00\"\\",)"
                           R"("transcript\u0054ext":0})";
  const std::string overflowing = R"(","n":)" + kOverflow + R"(,"transcriptText":0})";
  const std::size_t head = JsonText(R"({"pad":")").escapedSize();
  for (const auto& [end, found] : {std::pair{tail, true}, std::pair{overflowing, false}}) {
    const std::size_t escapedEnd = JsonText(end).escapedSize();
    int across = 0;
    for (std::size_t pad = JsonText::kPiece - head - escapedEnd - 8;
         pad < JsonText::kPiece - head + 8; ++pad) {
      JsonText text(R"({"pad":")" + std::string(pad, 'x') + end);
      across += text.pieces().size() == 2 && text.pieces()[0].size() > head + pad;
      ASSERT_EQ(hasTopLevelMember(text, "transcriptText"), found) << pad;
    }
    EXPECT_GT(across, int(escapedEnd) / 2) << "too few cuts fell inside the tail";
  }
}

#ifdef __linux__
// The kernel's high-water mark of this process's resident memory, in KiB; -1 when unreadable.
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}
#endif

// A reply of one huge string must cost no memory in proportion to the string: the parser this
// scan replaced gathered it whole, peaking at three times its size.
TEST(JsonTest, TopLevelMemberScanOfAOneStringReplyTakesNoMemoryForTheString) {
#ifdef __linux__
  std::string body;
  while (body.size() < (9u << 20))
    body += R"(一段很长的转写 with ASCII, a \"quote\", a \\ and \n breaks; )";
  const JsonText reply(R"({"transcriptText":")" + body + R"("})");
  std::string().swap(body);
  // Writing 5 resets the high-water mark to what is resident now (Linux 4.0 and later).
  if (!(std::ofstream("/proc/self/clear_refs") << "5"))
    GTEST_SKIP() << "cannot reset the peak RSS";
  const long before = peakResidentKiB();
  ASSERT_GT(before, 0);
  EXPECT_TRUE(hasTopLevelMember(reply, "transcriptText"));
  EXPECT_LT(peakResidentKiB() - before, 1024) << "KiB of peak growth for a 9 MiB string";
#else
  GTEST_SKIP() << "the peak RSS is read from /proc";
#endif
}

// The fuzz_json_scan target's seeds and the inputs it once broke on, replayed through its check.
TEST(JsonTest, TopLevelMemberScanAgreesWithTheParserOnSavedFuzzInputs) {
  namespace fs = std::filesystem;
  const fs::path fuzz = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";
  int replayed = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fuzz / kind / "fuzz_json_scan";
    if (!fs::is_directory(dir))
      continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_EQ(fuzz::checkJsonScanInput(driver::readFile(entry.path())), std::nullopt)
          << entry.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0) << "no inputs under " << fuzz;
}

} // namespace
} // namespace vantrel
