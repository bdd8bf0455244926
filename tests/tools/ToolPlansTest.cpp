// Each tool's mapping from its arguments to a plan: a local answer, the guide, or one Bridge
// request. Pure, so every case runs in-process against the catalogue's own table.
#include "tools/Catalogue.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace vantrel::tools {

// Plans print as what they do, so a failing case shows the request it made.
void PrintTo(const Plan& plan, std::ostream* os) {
  if (const auto* answer = std::get_if<ToolResult>(&plan.action)) {
    *os << "answer{" << ::testing::PrintToString(answer->text) << ", isError=" << answer->isError
        << ", status=" << answer->status << "}";
  } else if (std::holds_alternative<ReadGuide>(plan.action)) {
    *os << "read the guide";
  } else {
    const auto& call = std::get<bridge::BridgeCall>(plan.action);
    *os << call.method << " " << call.path;
    char separator = '?';
    for (const auto& [key, value] : call.query) {
      *os << separator << key << "=" << value;
      separator = '&';
    }
    if (call.jsonBody)
      *os << " body " << *call.jsonBody;
  }
  if (plan.transcriptOf)
    *os << " tracking " << *plan.transcriptOf;
}

namespace {

using bridge::BridgeCall;
using nlohmann::json;

constexpr const char* kMissingShortID = "缺少参数 shortID";
constexpr const char* kMissingText = "缺少参数 text（转写文本不能为空）";
constexpr const char* kBadTimes = "times 解析失败：需要数字数组";
constexpr const char* kNoTimePoint = "缺少时间点参数：单帧用 t=12.5，多帧用 times=[1,5,9]";

Plan get(std::string path, bridge::Query query = {}) {
  return Plan::ask(BridgeCall::get(std::move(path), std::move(query)));
}
Plan post(std::string path, const std::string& body) {
  return Plan::ask(BridgeCall::post(std::move(path), json::parse(body)));
}
Plan fails(const char* text) {
  return Plan::answer(ToolResult::fail(text));
}

Plan planOf(const char* tool, const std::string& arguments, const CallContext& context = {}) {
  const Tool* found = findTool(tool);
  if (found == nullptr) {
    ADD_FAILURE() << "no tool " << tool;
    return fails("");
  }
  return found->plan(json::parse(arguments), context);
}

struct Case {
  std::string arguments; // JSON text
  Plan expected;
};

void expectPlans(const char* tool, std::initializer_list<Case> cases,
                 const CallContext& context = {}) {
  for (const auto& c : cases)
    EXPECT_EQ(planOf(tool, c.arguments, context), c.expected) << tool << " " << c.arguments;
}

TEST(ToolPlansTest, GetGuideReadsTheGuideWhateverTheArguments) {
  expectPlans("get_guide",
              {{R"({})", Plan{ReadGuide{}, std::nullopt}},
               {R"({"shortID":"x","anything":[1,2]})", Plan{ReadGuide{}, std::nullopt}}});
}

TEST(ToolPlansTest, SearchAssetsSendsOnlyUsableKeysWithoutDefaults) {
  expectPlans(
      "search_assets",
      {
          {R"({})", get("/assets")},
          {R"({"query":"猫","hasNotes":true,"limit":"50","offset":0})",
           get("/assets",
               {{"hasNotes", "true"}, {"limit", "50"}, {"offset", "0"}, {"query", "猫"}})},
          // All eight in string form where one exists, unbounded numbers, and a key nobody reads.
          {R"({"tag":"旅行 日记","sortKey":"title","query":"a b&c=d","offset":-1,"mediaKind":"video",
              "limit":1000,"hasNotes":"TRUE","ascending":"true","shortID":"x"})",
           get("/assets", {{"ascending", "true"},
                           {"hasNotes", "true"},
                           {"limit", "1000"},
                           {"mediaKind", "video"},
                           {"offset", "-1"},
                           {"query", "a b&c=d"},
                           {"sortKey", "title"},
                           {"tag", "旅行 日记"}})},
          // false in any form, fractions, non-string strings: left out; the empty query stays.
          {R"({"hasNotes":false,"ascending":"false","limit":20.5,"offset":"20.5","tag":5,"query":"",
              "mediaKind":["video"],"sortKey":null})",
           get("/assets", {{"query", ""}})},
          // Values outside the enums go as they are; integral numbers count.
          {R"({"mediaKind":"audio","sortKey":"bogus","limit":20.0})",
           get("/assets", {{"limit", "20"}, {"mediaKind", "audio"}, {"sortKey", "bogus"}})},
      });
}

TEST(ToolPlansTest, GetEventsSendsSinceOnlyWhenItIsAnInteger) {
  expectPlans("get_events", {{R"({"since":"17"})", get("/events", {{"since", "17"}})},
                             {R"({"since":-3})", get("/events", {{"since", "-3"}})},
                             {R"({})", get("/events")},
                             {R"({"since":"abc"})", get("/events")},
                             {R"({"since":1.5})", get("/events")}});
}

TEST(ToolPlansTest, GetAssetNamesTheCardInThePathAndTracksItsTranscript) {
  expectPlans(
      "get_asset",
      {{R"({"shortID":"abc","ignored":true})", get("/assets/abc").tracksTranscriptOf("abc")},
       // Not trimmed; the Bridge client encodes the path.
       {R"({"shortID":"  "})", get("/assets/  ").tracksTranscriptOf("  ")},
       {R"({"shortID":"a b?c"})", get("/assets/a b?c").tracksTranscriptOf("a b?c")},
       {R"({})", fails(kMissingShortID)},
       {R"({"shortID":42})", fails(kMissingShortID)},
       {R"({"shortID":""})", fails(kMissingShortID)}});
}

TEST(ToolPlansTest, ImportsForwardTheArgumentsUntouched) {
  std::string manyPaths = "[";
  for (int i = 0; i < 150; ++i)
    manyPaths +=
        (i > 0 ? ",\"/Users/me/图片/" : "\"/Users/me/图片/") + std::to_string(i) + ".jpg\"";
  manyPaths += "]";

  const struct {
    const char* tool;
    const char* path;
    std::string arguments;
  } cases[] = {
      {"import_from_link", "/assets/import-link",
       R"({"url":"https://v.douyin.com/abc/","title":"标题"})"},
      // Members the schema does not list, and ones the Bridge will refuse, still travel.
      {"import_from_link", "/assets/import-link",
       R"({"url":"https://b23.tv/x?a=1","tags":["旅行"],"nested":{"k":null}})"},
      // No arguments is an empty object on the wire, not null or nothing.
      {"import_from_link", "/assets/import-link", R"({})"},
      {"import_file", "/assets/import-file", R"({"path":123})"},
      {"create_gallery", "/assets/create-gallery",
       R"({"paths":)" + manyPaths + R"(,"description":"不会写进正文","title":"图集"})"},
      {"create_gallery", "/assets/create-gallery", R"({"title":"no paths"})"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(planOf(c.tool, c.arguments), post(c.path, c.arguments))
        << c.tool << " " << c.arguments;
}

TEST(ToolPlansTest, AddNoteForwardsTheArgumentsToTheCardsNotes) {
  const std::string observation =
      R"({"shortID":"v1","content":"画面里有猫","kind":"observation","timestamp":12.5,
          "time_source":"frame","tags":["x"],"client":"agent-own"})";
  // Without a client name, or with an empty one, the agent's own "client" travels as it is.
  for (const auto& name : {std::optional<std::string>(), std::optional<std::string>("")}) {
    expectPlans("add_note",
                {{observation, post("/assets/v1/notes", observation)},
                 // Nothing names the card: the path keeps an empty segment, the Bridge answers.
                 {R"({})", post("/assets//notes", R"({})")},
                 {R"({"shortID":42,"content":"c"})",
                  post("/assets//notes", R"({"shortID":42,"content":"c"})")},
                 {R"({"shortID":"卡 1"})", post("/assets/卡 1/notes", R"({"shortID":"卡 1"})")}},
                CallContext{name});
  }
  // The recorded client name replaces the agent's.
  expectPlans(
      "add_note",
      {{R"({"shortID":"v1","content":"c","client":"agent-own"})",
        post("/assets/v1/notes", R"({"shortID":"v1","content":"c","client":"claude-code"})")},
       {R"({})", post("/assets//notes", R"({"client":"claude-code"})")}},
      CallContext{"claude-code"});
}

TEST(ToolPlansTest, SaveTranscriptChecksCardThenTextLocally) {
  expectPlans("save_transcript",
              {{R"({})", fails(kMissingShortID)},
               {R"({"text":"有内容"})", fails(kMissingShortID)},
               {R"({"shortID":"","text":"有内容"})", fails(kMissingShortID)},
               {R"({"shortID":7,"text":"有内容"})", fails(kMissingShortID)},
               {R"({"shortID":"v1"})", fails(kMissingText)},
               {R"({"shortID":"v1","text":""})", fails(kMissingText)},
               {R"({"shortID":"v1","text":" \t\n\r\u000b\f "})", fails(kMissingText)},
               // Blank is Unicode white space, not just ASCII.
               {R"({"shortID":"v1","text":"\n\u3000 \t"})", fails(kMissingText)},
               {R"({"shortID":"v1","text":5})", fails(kMissingText)},
               {R"({"shortID":"v1","text":["字"]})", fails(kMissingText)}});
}

TEST(ToolPlansTest, SaveTranscriptSendsTheTextAsGivenAndOverwriteOnlyWhenAsked) {
  const std::string path = "/assets/v1/transcript";
  expectPlans(
      "save_transcript",
      {// Blanks around the text stay; other members (the agent's client included) do not travel.
       {R"({"shortID":"v1","text":"  第一句\n第二句\u3000\t","tags":["x"],"client":"c"})",
        post(path, R"({"text":"  第一句\n第二句\u3000\t"})")},
       {R"({"shortID":"v1","text":"x","overwrite":true})",
        post(path, R"({"text":"x","overwrite":true})")},
       {R"({"shortID":"v1","text":"x","overwrite":"TRUE"})",
        post(path, R"({"text":"x","overwrite":true})")},
       {R"({"shortID":"v1","text":"x","overwrite":false})", post(path, R"({"text":"x"})")},
       {R"({"shortID":"v1","text":"x","overwrite":"yes"})", post(path, R"({"text":"x"})")}},
      // The client name belongs to notes, not transcripts.
      CallContext{"claude-code"});
}

TEST(ToolPlansTest, ExtractAudioPassesFormatAndNumericRange) {
  const std::string path = "/assets/v1/audio";
  expectPlans("extract_audio",
              {{R"({"shortID":"v1"})", get(path)},
               {R"({"shortID":"v1","format":"mp3"})", get(path, {{"format", "mp3"}})},
               {R"({"shortID":"v1","format":""})", get(path, {{"format", ""}})},
               {R"({"shortID":"v1","format":5})", get(path)},
               {R"({"shortID":"v1","start":5})", get(path, {{"start", "5.0"}})},
               {R"({"shortID":"v1","start":"7.5","end":"abc"})", get(path, {{"start", "7.5"}})},
               {R"({"shortID":"v1","start":"abc"})", get(path)},
               {R"({"shortID":"v1","end":1e20,"start":0.00001,"format":"wav"})",
                get(path, {{"end", "1e+20"}, {"format", "wav"}, {"start", "1e-05"}})},
               {R"({})", fails(kMissingShortID)},
               {R"({"shortID":""})", fails(kMissingShortID)},
               {R"({"shortID":7,"format":"wav"})", fails(kMissingShortID)}});
}

TEST(ToolPlansTest, ExtractFramesChoosesOneFormOfTimePoints) {
  std::string manyTimes = "[";
  std::string manyText;
  for (int i = 1; i <= 25; ++i) {
    manyTimes += (i > 1 ? "," : "") + std::to_string(i);
    manyText += (i > 1 ? "," : "") + std::to_string(i) + ".0";
  }
  manyTimes += "]";

  const std::string path = "/assets/v1/frames";
  expectPlans(
      "extract_frames",
      {{R"({"shortID":"v1","t":3,"times":[1,2]})", get(path, {{"t", "3.0"}})},
       {R"({"shortID":"v1","t":"12.5"})", get(path, {{"t", "12.5"}})},
       {R"({"shortID":"v1","times":[1,"5","x",9.5]})", get(path, {{"times", "1.0,5.0,9.5"}})},
       // Duplicates stay; anything that is not a number or a numeric string is dropped.
       {R"({"shortID":"v1","times":[2,2,null,{"a":1},[3]," 4","6"]})",
        get(path, {{"times", "2.0,2.0,6.0"}})},
       {R"({"shortID":"v1","times":"1,5,9"})", get(path, {{"times", "1,5,9"}})},
       {R"({"shortID":"v1","times":""})", get(path, {{"times", ""}})},
       // An unusable t falls through to times.
       {R"({"shortID":"v1","t":"abc","times":[2]})", get(path, {{"times", "2.0"}})},
       // No limit on the count here: the Bridge owns it.
       {R"({"shortID":"v1","times":)" + manyTimes + "}", get(path, {{"times", manyText}})},
       {R"({"shortID":"v1","t":0.00001,"maxWidth":4000})",
        get(path, {{"maxWidth", "4000"}, {"t", "1e-05"}})},
       {R"({"shortID":"v1","t":1,"maxWidth":"1920"})",
        get(path, {{"maxWidth", "1920"}, {"t", "1.0"}})},
       {R"({"shortID":"v1","t":1,"maxWidth":12.5})", get(path, {{"t", "1.0"}})},
       {R"({"shortID":"v1","times":[]})", fails(kBadTimes)},
       {R"({"shortID":"v1","times":["a","b",null]})", fails(kBadTimes)},
       {R"({"shortID":"v1","times":5})", fails(kNoTimePoint)},
       {R"({"shortID":"v1","t":"abc"})", fails(kNoTimePoint)},
       {R"({"shortID":"v1","t":null,"times":{"a":1}})", fails(kNoTimePoint)},
       {R"({"shortID":"v1"})", fails(kNoTimePoint)},
       // The card is checked before the time points.
       {R"({})", fails(kMissingShortID)},
       {R"({"times":[]})", fails(kMissingShortID)},
       {R"({"shortID":"","t":1})", fails(kMissingShortID)}});
}

TEST(ToolPlansTest, AiExportNamesTheCardInTheQueryNotThePath) {
  expectPlans("ai_export",
              {{R"({"shortID":"abc","format":"ignored"})", get("/ai/export", {{"shortID", "abc"}})},
               {R"({"shortID":"a&b c"})", get("/ai/export", {{"shortID", "a&b c"}})},
               {R"({"shortID":"  "})", get("/ai/export", {{"shortID", "  "}})},
               {R"({})", fails(kMissingShortID)},
               {R"({"shortID":42})", fails(kMissingShortID)},
               {R"({"shortID":""})", fails(kMissingShortID)}});
}

TEST(ToolPlansTest, AiSettleSendsAnEmptyObjectWhateverTheArguments) {
  const Plan settle = Plan::ask({"POST", "/ai/settle", {}, "{}"});
  expectPlans("ai_settle", {{R"({})", settle},
                            {R"({"shortID":"x","force":true,"anything":[1,{"k":"v"}]})", settle}});
}

} // namespace
} // namespace vantrel::tools
