#include "tools/Catalogue.h"

#include "tools/ToolPlans.h"

#include <utility>

namespace vantrel::tools {
namespace {

// The one list of tools. The order is the order of tools/list. Each statement of a description is a
// line of its own, here and in the text the agent reads; formatting is off so the texts stay one
// per line.
// clang-format off
constexpr Tool kCatalogue[] = {
    {"get_guide",
     "阅读砚舟素材库的 agent 规范（写入通道与边界；内置规范由砚舟维护并自动更新，用户个人约定附于文末）。调用时读取最新内容，首次接入必读。",
     R"({"type": "object", "properties": {}, "required": []})",
     planGetGuide},

    {"search_assets",
     "搜索砚舟素材库。返回内容卡片摘要列表（shortID/displayTitle/mediaKind/tags/noteCount）。query 为全文关键词；mediaKind 可选 video/image；tag 为精确标签；hasNotes=true 只看有笔记的；分页 limit(默认20,上限200)/offset。",
     R"({"type": "object",
         "properties": {
           "query": {"type": "string"},
           "mediaKind": {"type": "string", "enum": ["video", "image", "text"]},
           "tag": {"type": "string"},
           "hasNotes": {"type": "boolean"},
           "sortKey": {"type": "string", "enum": ["createdAt", "updatedAt", "title"]},
           "ascending": {"type": "boolean"},
           "limit": {"type": "integer"},
           "offset": {"type": "integer"}
         },
         "required": []})",
     planSearchAssets},

    {"get_asset",
     "按 shortID 取单条内容卡片详情：标题、assetDescription（内容卡片正文）、标签、笔记列表（按 timestamp 升序，无时间戳的总结排最后）、视频时长 durationSeconds（秒）、videoPath/thumbnailPath 本地绝对路径、images[]（图集全部子图的绝对路径，按展示顺序排序，可直接读文件看图）、transcriptText（已有的转写正文，没转写过的内容卡片没有这个字段）。\n"
     "**总结视频前先读 transcriptText。**有值就直接基于它总结，**不要再 extract_audio 重新转写**；只有该字段不存在时，才走 extract_audio → host STT → save_transcript 闭环。\n"
     "返回中还带 _guide 字段：砚舟针对这张内容卡片当前状态给出的下一步路标（复用 / 重新转写 / 查看全部图片 / 写回格式），优先按它的指引操作，不必回头翻本说明。\n"
     "shortID 先用 search_assets 获取。",
     R"({"type": "object",
         "properties": {"shortID": {"type": "string"}},
         "required": ["shortID"]})",
     planGetAsset},

    {"get_events",
     "拉取素材库最近发生的变化（新内容卡片导入、转写完成、笔记被用户增改），返回增量事件。\n"
     "两种典型用法：（1）新对话开始时不带 since 调用一次，快速了解素材库最近发生了什么；（2）用户说到“刚才那条”“刚导入的”“刚转写的”“我改的那条”时调用一次，确认指的是哪张内容卡片。\n"
     "事件只带线索（shortID + 类型 + 摘要），**不含正文**；详情用 shortID 调 get_asset 获取。\n"
     "返回 cursor（当前最新游标）；下次把它作为 since 传入，只返回新增的事件。\n"
     "truncated 为 true 表示中间有事件已被挤出，不要假定增量是完整的。\n"
     "事件缓冲只保留最近 200 条，砚舟重启后不保留；需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "since": {"type": "integer", "description": "上次调用返回的 cursor；首次调用省略"}
         },
         "required": []})",
     planGetEvents},

    {"import_from_link",
     "把一个分享链接解析下载入库（支持抖音/B站/快手/小红书）。\n"
     "需要砚舟 app 正在运行；下载可能需要几十秒。\n"
     "不支持 tags 参数（创建时不设标签，服务端会拒绝）；导入后由用户在砚舟详情页手动添加标签。\n"
     "已导入过的链接会直接返回已有的内容卡片（alreadyImported 为 true），不会重复创建；但不同形式的分享链接可能指向同一内容，导入前可先用 search_assets 查一下。",
     R"({"type": "object",
         "properties": {"url": {"type": "string"}, "title": {"type": "string"}},
         "required": ["url"]})",
     planImportFromLink},

    {"import_file",
     "把本机视频/图片文件导入砚舟素材库（文件会被复制进素材库目录）。\n"
     "支持常见的视频和图片扩展名（mp4/mov/m4v…、jpg/png/heic…）。\n"
     "需要砚舟 app 正在运行。\n"
     "不支持 tags 参数（创建时不设标签，服务端会拒绝）；导入后由用户在砚舟详情页手动添加标签。\n"
     "单个文件最大 2GB，且素材库所在磁盘需留有足够空间；超出限制返回 413。\n"
     "注意：文件导入不去重，重复导入同一文件会产生重复条目，导入前可先用 search_assets 查一下。",
     R"({"type": "object",
         "properties": {"path": {"type": "string"}, "title": {"type": "string"}},
         "required": ["path"]})",
     planImportFile},

    {"create_gallery",
     "把本机多张图片创建为一条图集素材（最多 100 张，图片会被复制进素材库；单张也可以）。\n"
     "title 为内容卡片标题（省略时用第一张图片的文件名）；description 可选，但**不会写入素材正文**（该参数被忽略，图集正文始终留空，由用户在砚舟里填写）。\n"
     "不支持视频（视频请用 import_file），也不支持 tags（服务端会拒绝）；创建后由用户在砚舟详情页手动添加标签。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "paths": {"type": "array", "items": {"type": "string"},
                     "description": "图片文件的本机绝对路径列表（最多 100 个）"},
           "title": {"type": "string"},
           "description": {"type": "string"}
         },
         "required": ["paths"]})",
     planCreateGallery},

    {"add_note",
     "给内容卡片追加一条笔记。\n"
     "只有两种写入通道。kind=observation（时间轴观察）必须带 timestamp（秒），锚定视频中的位置；省略 kind 时，带 timestamp 的调用按 observation 处理。\n"
     "observation 还必须带 time_source：frame 表示本次 extract_frames 返回的 actualSeconds（最准确）；transcript 表示转写时间戳，写入前须按“视频时长/转写总时长”的比例线性换算到画面时间轴。\n"
     "timestamp 只能来自这两种可信来源，禁止凭印象估算：估出的时间与视频位置对不上，服务端会拒绝。\n"
     "kind=ai_board 把一次请求及其产出记到详情页的 AI 看板：title 必填，是用户的原话请求；content 是 AI 针对它给出的产出（总结、分析、文案、一组标题、思维导图大纲或 mermaid 代码块等）。\n"
     "省略 kind 且没有 timestamp 时按 ai_board 处理（缺少 title 会被拒绝并给出提示）。\n"
     "内容卡片的正文和标题不对 agent 开放写入（新建内容卡片的正文也不建议写；纯文本产出走 add_note 的 kind=ai_board，不要调用 create_text_asset）。\n"
     "content 超过 2000 字会被截断，末尾自动追加〔AI 书写〕标记。\n"
     "每张内容卡片最多 50 条笔记（observation 与 ai_board 合计），达到上限返回 400；触顶通常说明在重复写入，应先用 get_asset 读回已有笔记核对，不要盲目重试。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "shortID": {"type": "string"},
           "content": {"type": "string"},
           "timestamp": {"type": "number"},
           "title": {"type": "string"},
           "kind": {"type": "string", "enum": ["observation", "ai_board"]},
           "time_source": {"type": "string", "enum": ["frame", "transcript"]}
         },
         "required": ["shortID", "content"]})",
     planAddNote},

    {"extract_audio",
     "从视频素材提取音轨，让 agent 拿到音频文件做语音转文字（STT）。\n"
     "先查已有转写：get_asset 返回的 transcriptText 有内容即说明已转写过，直接复用，不要再提取转写（同一视频转两次纯属浪费）。\n"
     "返回音频文件的本地绝对路径（不是 base64 字节），agent 在同一台机器上自行读取该文件。\n"
     "返回的 path 是砚舟管理的 Application Support 子目录下的缓存路径，重启后不变；命中缓存返回同一路径（同一视频再次提取零成本）。\n"
     "典型用法：extract_audio → host 自身能力读取文件做 STT → save_transcript 写回详情页的「视频转文字」看板（与 app 内腾讯云转写共用同一容器）。\n"
     "转写是强制闭环：一旦取了音轨并完成转写，必须在同一轮对话内用 save_transcript 写回，写回才算“一次转写完成”；只转写不入库、直接回答用户，视为任务未完成。\n"
     "format=m4a（默认；AAC 32kbps、单声道、体积小）或 wav（PCM 16kHz 单声道，体积大但通用）。\n"
     "目前始终提取整条音轨：不支持用 start/end 截取区间（传入会返回 400）；长音频请整段转写后再自行切分。\n"
     "大小上限 50MB，超出返回 413。仅限视频内容卡片，非视频内容卡片返回 400。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "shortID": {"type": "string"},
           "format": {"type": "string", "enum": ["m4a", "wav"]}
         },
         "required": ["shortID"]})",
     planExtractAudio},

    {"save_transcript",
     "把语音转文字的结果写回内容卡片的「视频转文字」看板（与 app 内腾讯云转写共用同一容器，写入即覆盖该内容卡片的历史转写，后写的为准）。\n"
     "这是转写结果唯一的落点：只要转写了视频，转写正文只能写到这里；从音轨转出的文本不入库，用户在看板上什么也看不到。\n"
     "典型链路：extract_audio 取音频 → host 自身能力做 STT → save_transcript 入库；之后用户直接在砚舟详情页右侧的「视频转文字」抽屉里查看，无需再贴回对话。\n"
     "text 必填且不能为空。\n"
     "上限 3 万字，超出返回 413（长视频请先分段或精简）。\n"
     "仅视频内容卡片可写入转写，非视频内容卡片返回 400。\n"
     "写入的转写不带 AI 标记（视为内容卡片自身的语音内容）。\n"
     "注意：转写正文写这里；基于转写的产出（总结、分析、文案）走 add_note 的 kind=ai_board。\n"
     "覆盖保护：若该内容卡片已有用户用腾讯云跑出的转写，普通调用返回 409（覆盖后原转写无法恢复）；应先确认确实需要重新转写，再带 overwrite=true 重新调用。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "shortID": {"type": "string"},
           "text": {"type": "string"},
           "overwrite": {"type": "boolean"}
         },
         "required": ["shortID", "text"]})",
     planSaveTranscript},

    {"extract_frames",
     "从视频素材抽取指定时间点的画面（JPEG），让你能「看到」视频内容。\n"
     "返回图片文件的本地绝对路径数组（不是 base64），直接读取这些图片文件，交给自身的多模态能力。\n"
     "单帧：t=12.5（秒）；多帧：times=1,5,9,13（一次最多 20 个）。\n"
     "maxWidth 默认 1280（上限 1920）；单帧约 60–210KB；需要看清小字时传 1920。\n"
     "响应中的 actualSeconds 是实际抽取的时间点（与请求相差 ≤0.1s），durationSeconds 是视频总时长；同一时间点再次抽取会命中缓存，返回同一路径（零成本）。\n"
     "典型用法：先用 extract_audio + STT 或带时间戳的笔记定位关键时刻，再用本工具抽帧核对画面；关于画面的结论用 add_note 记录（kind=observation + timestamp）。\n"
     "性能：首帧约 120–140ms，之后每帧 7–15ms，几乎不占机器负载；但每一帧喂给多模态模型都要消耗视觉 token，按需抽取，不要一次取满上限。\n"
     "仅限视频内容卡片，非视频内容卡片返回 400；时间点超出视频时长也返回 400。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {
           "shortID": {"type": "string"},
           "t": {"type": "number"},
           "times": {"type": "array", "items": {"type": "number"},
                     "description": "时间点数组（秒），最多 20 个；与 t 二选一"},
           "maxWidth": {"type": "integer"}
         },
         "required": ["shortID"]})",
     planExtractFrames},

    {"ai_export",
     "把指定内容卡片导出为一份 AI 工作单文件（markdown），并返回其本地绝对路径。\n"
     "这是 agent 获取内容卡片完整内容（正文、转写、图集、笔记历史）并书写交付区的推荐通道：调用后立即读取返回的 path 所指文件，里面有整张内容卡片以及「写回格式」说明。\n"
     "完成后把结论写在文件中 <!-- vantrel:deliver --> 标记下方，最后调用 ai_settle 收回为笔记。\n"
     "与 get_asset 的区别：get_asset 返回精简的在线字段，本工具给出可直接编辑的完整工作单；导出是开始时的快照，之后内容卡片的改动不会回流，重新导出即可拿到最新状态。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object",
         "properties": {"shortID": {"type": "string"}},
         "required": ["shortID"]})",
     planAiExport},

    {"ai_settle",
     "结算 AI 工作区：把各工作单里 <!-- vantrel:deliver --> 标记下方的交付内容收回，落成带〔AI 书写〕标记的 AI 看板笔记。\n"
     "返回 {recovered, skipped, failures}：recovered 为成功收回数；skipped 为交付区为空的工作单数（只讨论无产出，留在原处不收）；failures 为异常，如内容卡片已不在库中（文件保留待重试）。\n"
     "通常在一段工作结束时调用一次。\n"
     "需要砚舟 app 正在运行。",
     R"({"type": "object", "properties": {}, "required": []})",
     planAiSettle},
};
// clang-format on

} // namespace

std::span<const Tool> allTools() {
  return kCatalogue;
}

const Tool* findTool(std::string_view name) {
  // Exact match: no case folding, trimming or aliases.
  for (const Tool& tool : kCatalogue) {
    if (name == tool.name)
      return &tool;
  }
  return nullptr;
}

nlohmann::json toolDefinitions() {
  auto definitions = nlohmann::json::array();
  for (const auto& entry : kCatalogue) {
    auto definition = nlohmann::json::object();
    definition["name"] = entry.name;
    definition["description"] = entry.description;
    // Fixed text, parsed by every test run: a failure here is a build mistake, not an input.
    definition["inputSchema"] = nlohmann::json::parse(entry.inputSchema);
    definitions.push_back(std::move(definition));
  }
  return definitions;
}

} // namespace vantrel::tools
