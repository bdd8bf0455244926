#include "tools/Catalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vantrel::tools {
namespace {

using nlohmann::json;

std::set<std::string> keysOf(const json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items())
    keys.insert(key);
  return keys;
}

json definitionOf(const std::string& name) {
  for (const auto& definition : toolDefinitions()) {
    if (definition["name"] == name)
      return definition;
  }
  ADD_FAILURE() << "no tool " << name;
  return json::object();
}

std::string descriptionOf(const std::string& name) {
  return definitionOf(name)["description"].get<std::string>();
}

json propertyOf(const std::string& tool, const std::string& property) {
  return definitionOf(tool)["inputSchema"]["properties"][property];
}

TEST(CatalogueTest, ThirteenToolsInCatalogueOrder) {
  std::vector<std::string> names;
  for (const auto& definition : toolDefinitions())
    names.push_back(definition["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "get_guide", "search_assets", "get_asset", "get_events", "import_from_link",
                       "import_file", "create_gallery", "add_note", "extract_audio",
                       "save_transcript", "extract_frames", "ai_export", "ai_settle"}));
}

// tools/list clients reject schemas with stray keywords, so the frame is checked for every entry.
TEST(CatalogueTest, EveryEntryHasTheExactFrame) {
  const std::set<std::string> allowedTypes{"string", "integer", "number", "boolean", "array"};
  for (const auto& definition : toolDefinitions()) {
    SCOPED_TRACE(definition.dump());
    ASSERT_TRUE(definition.is_object());
    EXPECT_EQ(keysOf(definition), (std::set<std::string>{"name", "description", "inputSchema"}));
    EXPECT_TRUE(definition["name"].is_string());
    EXPECT_TRUE(definition["description"].is_string());
    EXPECT_FALSE(definition["description"].get<std::string>().empty());

    const auto& schema = definition["inputSchema"];
    ASSERT_TRUE(schema.is_object());
    EXPECT_EQ(keysOf(schema), (std::set<std::string>{"type", "properties", "required"}));
    EXPECT_EQ(schema["type"], "object");
    ASSERT_TRUE(schema["properties"].is_object());
    ASSERT_TRUE(schema["required"].is_array());
    for (const auto& required : schema["required"]) {
      ASSERT_TRUE(required.is_string());
      EXPECT_TRUE(schema["properties"].contains(required.get<std::string>())) << required;
    }
    for (const auto& [name, property] : schema["properties"].items()) {
      SCOPED_TRACE(name);
      ASSERT_TRUE(property.is_object());
      EXPECT_TRUE(allowedTypes.count(property.value("type", ""))) << property;
      for (const auto& key : keysOf(property)) {
        EXPECT_TRUE(key == "type" || key == "enum" || key == "items" || key == "description")
            << key;
      }
      EXPECT_EQ(property.contains("items"), property["type"] == "array");
      if (property.contains("description")) {
        EXPECT_TRUE(property["description"].is_string());
      }
      if (property.contains("enum")) {
        EXPECT_EQ(property["type"], "string");
        for (const auto& value : property["enum"])
          EXPECT_TRUE(value.is_string());
      }
    }
  }
}

TEST(CatalogueTest, PropertiesAndTheirTypes) {
  const std::map<std::string, std::map<std::string, std::string>> expected{
      {"get_guide", {}},
      {"search_assets",
       {{"query", "string"},
        {"mediaKind", "string"},
        {"tag", "string"},
        {"hasNotes", "boolean"},
        {"sortKey", "string"},
        {"ascending", "boolean"},
        {"limit", "integer"},
        {"offset", "integer"}}},
      {"get_asset", {{"shortID", "string"}}},
      {"get_events", {{"since", "integer"}}},
      {"import_from_link", {{"url", "string"}, {"title", "string"}}},
      {"import_file", {{"path", "string"}, {"title", "string"}}},
      {"create_gallery", {{"paths", "array"}, {"title", "string"}, {"description", "string"}}},
      {"add_note",
       {{"shortID", "string"},
        {"content", "string"},
        {"timestamp", "number"},
        {"title", "string"},
        {"kind", "string"},
        {"time_source", "string"}}},
      {"extract_audio", {{"shortID", "string"}, {"format", "string"}}},
      {"save_transcript", {{"shortID", "string"}, {"text", "string"}, {"overwrite", "boolean"}}},
      {"extract_frames",
       {{"shortID", "string"}, {"t", "number"}, {"times", "array"}, {"maxWidth", "integer"}}},
      {"ai_export", {{"shortID", "string"}}},
      {"ai_settle", {}},
  };
  for (const auto& definition : toolDefinitions()) {
    const std::string name = definition["name"];
    SCOPED_TRACE(name);
    std::map<std::string, std::string> actual;
    for (const auto& [property, schema] : definition["inputSchema"]["properties"].items()) {
      actual[property] = schema.value("type", "");
    }
    EXPECT_EQ(actual, expected.at(name));
  }
}

TEST(CatalogueTest, RequiredArguments) {
  const std::map<std::string, std::vector<std::string>> expected{
      {"get_asset", {"shortID"}},
      {"import_from_link", {"url"}},
      {"import_file", {"path"}},
      {"create_gallery", {"paths"}},
      {"add_note", {"shortID", "content"}},
      {"extract_audio", {"shortID"}},
      {"save_transcript", {"shortID", "text"}},
      {"extract_frames", {"shortID"}},
      {"ai_export", {"shortID"}},
  };
  for (const auto& definition : toolDefinitions()) {
    const std::string name = definition["name"];
    SCOPED_TRACE(name);
    const auto found = expected.find(name);
    const auto want = found == expected.end() ? std::vector<std::string>{} : found->second;
    EXPECT_EQ(definition["inputSchema"]["required"].get<std::vector<std::string>>(), want);
  }
}

TEST(CatalogueTest, EnumsKeepTheirOrder) {
  using Values = std::vector<std::string>;
  EXPECT_EQ(propertyOf("search_assets", "mediaKind")["enum"].get<Values>(),
            (Values{"video", "image", "text"}));
  EXPECT_EQ(propertyOf("search_assets", "sortKey")["enum"].get<Values>(),
            (Values{"createdAt", "updatedAt", "title"}));
  EXPECT_EQ(propertyOf("add_note", "kind")["enum"].get<Values>(),
            (Values{"observation", "ai_board"}));
  EXPECT_EQ(propertyOf("add_note", "time_source")["enum"].get<Values>(),
            (Values{"frame", "transcript"}));
  EXPECT_EQ(propertyOf("extract_audio", "format")["enum"].get<Values>(), (Values{"m4a", "wav"}));

  int enumCount = 0;
  for (const auto& definition : toolDefinitions()) {
    for (const auto& [name, property] : definition["inputSchema"]["properties"].items()) {
      enumCount += property.contains("enum") ? 1 : 0;
    }
  }
  EXPECT_EQ(enumCount, 5);
}

TEST(CatalogueTest, ArrayItemsAndPropertyDescriptions) {
  EXPECT_EQ(propertyOf("extract_frames", "times"),
            json::parse(R"({"type": "array", "items": {"type": "number"},
                            "description": "时间点数组（秒），最多 20 个；与 t 二选一"})"));
  EXPECT_EQ(propertyOf("create_gallery", "paths"),
            json::parse(R"({"type": "array", "items": {"type": "string"},
                            "description": "图片文件的本机绝对路径列表（最多 100 个）"})"));
  EXPECT_EQ(propertyOf("get_events", "since"), json::parse(R"({"type": "integer",
                            "description": "上次调用返回的 cursor；首次调用省略"})"));

  // No other property carries a description of its own.
  int described = 0;
  for (const auto& definition : toolDefinitions()) {
    for (const auto& [name, property] : definition["inputSchema"]["properties"].items()) {
      described += property.contains("description") ? 1 : 0;
    }
  }
  EXPECT_EQ(described, 3);
}

TEST(CatalogueTest, ShortDescriptionsAreExact) {
  EXPECT_EQ(descriptionOf("get_guide"),
            "阅读砚舟素材库的 agent "
            "规范（写入通道与边界；内置规范由砚舟维护并自动更新，用户个人约定附于文末）。"
            "调用时读取最新内容，首次接入必读。");
  EXPECT_EQ(descriptionOf("search_assets"),
            "搜索砚舟素材库。返回内容卡片摘要列表（shortID/displayTitle/mediaKind/tags/"
            "noteCount）。query 为全文关键词；mediaKind 可选 video/image；tag 为精确标签；"
            "hasNotes=true 只看有笔记的；分页 limit(默认20,上限200)/offset。");
}

struct LongDescription {
  std::string tool;
  std::string firstSentence;
  std::vector<std::string> markers;
};

TEST(CatalogueTest, LongDescriptionsOpenWithTheirSentenceAndCarryTheirMarkers) {
  const std::vector<LongDescription> cases{
      {"get_asset",
       "按 shortID 取单条内容卡片详情：标题、assetDescription（内容卡片正文）、标签、笔记列表（按 "
       "timestamp 升序，无时间戳的总结排最后）、视频时长 durationSeconds（秒）、videoPath/"
       "thumbnailPath 本地绝对路径、images[]（图集全部子图的绝对路径，按展示顺序排序，可直接读文件"
       "看图）、transcriptText（已有的转写正文，没转写过的内容卡片没有这个字段）。",
       {"extract_audio → host STT → save_transcript", "_guide", "search_assets"}},
      {"get_events",
       "拉取素材库最近发生的变化（新内容卡片导入、转写完成、笔记被用户增改），返回增量事件。",
       {"since", "cursor", "truncated", "200", "get_asset"}},
      {"import_from_link",
       "把一个分享链接解析下载入库（支持抖音/B站/快手/小红书）。",
       {"tags", "服务端", "alreadyImported", "search_assets"}},
      {"import_file",
       "把本机视频/图片文件导入砚舟素材库（文件会被复制进素材库目录）。",
       {"mp4/mov/m4v", "jpg/png/heic", "tags", "服务端", "2GB", "413", "search_assets"}},
      {"create_gallery",
       "把本机多张图片创建为一条图集素材（最多 100 张，图片会被复制进素材库；单张也可以）。",
       {"title", "description", "import_file", "tags", "服务端"}},
      {"add_note",
       "给内容卡片追加一条笔记。",
       {"kind=observation", "timestamp", "time_source", "actualSeconds", "extract_frames",
        "视频时长/转写总时长", "服务端", "kind=ai_board", "mermaid", "create_text_asset", "2000",
        "〔AI 书写〕", "50", "400", "get_asset"}},
      {"extract_audio",
       "从视频素材提取音轨，让 agent 拿到音频文件做语音转文字（STT）。",
       {"transcriptText", "base64", "Application Support", "「视频转文字」", "腾讯云",
        "save_transcript", "一次转写完成", "format=m4a", "wav", "start/end", "400", "50MB", "413"}},
      {"save_transcript",
       "把语音转文字的结果写回内容卡片的「视频转文字」看板（与 app 内腾讯云转写共用同一容器，写入"
       "即覆盖该内容卡片的历史转写，后写的为准）。",
       {"extract_audio", "STT", "text", "3 万字", "413", "400", "kind=ai_board", "409",
        "overwrite=true"}},
      {"extract_frames",
       "从视频素材抽取指定时间点的画面（JPEG），让你能「看到」视频内容。",
       {"base64", "t=12.5", "times=1,5,9,13", "20", "maxWidth", "1280", "1920", "actualSeconds",
        "≤0.1s", "durationSeconds", "kind=observation", "120–140ms", "7–15ms", "400"}},
      {"ai_export",
       "把指定内容卡片导出为一份 AI 工作单文件（markdown），并返回其本地绝对路径。",
       {"path", "「写回格式」", "<!-- vantrel:deliver -->", "ai_settle", "get_asset"}},
      {"ai_settle",
       "结算 AI 工作区：把各工作单里 <!-- vantrel:deliver --> 标记下方的交付内容收回，落成带〔AI "
       "书写〕标记的 AI 看板笔记。",
       {"{recovered, skipped, failures}"}},
  };
  for (const auto& [tool, firstSentence, markers] : cases) {
    SCOPED_TRACE(tool);
    const auto description = descriptionOf(tool);
    EXPECT_EQ(description.substr(0, firstSentence.size()), firstSentence);
    EXPECT_GT(description.size(), firstSentence.size());
    for (const auto& marker : markers)
      EXPECT_NE(description.find(marker), std::string::npos) << marker;
  }
}

// The reminder closes these texts; a dropped or reordered last statement shows up here.
TEST(CatalogueTest, BridgeToolsEndWithTheRunningReminder) {
  const std::string reminder = "需要砚舟 app 正在运行。";
  for (const auto& tool : {"get_events", "create_gallery", "add_note", "extract_audio",
                           "save_transcript", "extract_frames", "ai_export", "ai_settle"}) {
    const auto description = descriptionOf(tool);
    ASSERT_GE(description.size(), reminder.size());
    EXPECT_EQ(description.substr(description.size() - reminder.size()), reminder) << tool;
  }
}

std::vector<std::string> boldPieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t from = 0;
  while (true) {
    const auto open = text.find("**", from);
    if (open == std::string::npos)
      break;
    const auto close = text.find("**", open + 2);
    if (close == std::string::npos) {
      pieces.push_back("<unclosed>");
      break;
    }
    pieces.push_back(text.substr(open + 2, close - open - 2));
    from = close + 2;
  }
  return pieces;
}

TEST(CatalogueTest, BoldMarksOnlyTheStressedPieces) {
  const std::map<std::string, std::vector<std::string>> expected{
      {"get_asset", {"总结视频前先读 transcriptText。", "不要再 extract_audio 重新转写"}},
      {"get_events", {"不含正文"}},
      {"create_gallery", {"不会写入素材正文"}},
  };
  for (const auto& definition : toolDefinitions()) {
    const std::string name = definition["name"];
    const auto found = expected.find(name);
    EXPECT_EQ(boldPieces(definition["description"]),
              found == expected.end() ? std::vector<std::string>{} : found->second)
        << name;
  }
}

// tools/list serializes the catalogue; bad UTF-8 in a literal would make that throw.
TEST(CatalogueTest, SerializesAsValidUtf8) {
  const auto definitions = toolDefinitions();
  std::string text;
  ASSERT_NO_THROW(text = definitions.dump());
  EXPECT_EQ(json::parse(text), definitions);
}

} // namespace
} // namespace vantrel::tools
