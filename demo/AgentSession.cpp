#include "AgentSession.h"

#include "Excerpt.h"
#include "driver/McpRequest.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace vantrel::demo {
namespace {

using nlohmann::json;

constexpr std::string_view kDeliverMarker = "<!-- vantrel:deliver -->";
constexpr std::size_t kArgumentChars = 160;

double roundToTenth(double seconds) {
  return std::round(seconds * 10) / 10;
}

// Continuation lines line up under the first one.
std::string indented(std::string text) {
  for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 5)
    text.replace(at, 1, "\n    ");
  return text;
}

std::string stringMember(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

std::optional<std::string> AgentSession::run() {
  if (!handshake())
    return failure_;
  auto card = pickVideoCard();
  if (!card)
    return failure_;
  auto frameSeconds = lookAtFrames(*card);
  if (!frameSeconds || !writeBack(*card, *frameSeconds) || !deliverThroughWorksheet(*card))
    return failure_;
  return std::nullopt;
}

bool AgentSession::fail(std::string message) {
  failure_ = std::move(message);
  return false;
}

std::optional<json> AgentSession::request(const std::string& method, const json& params) {
  int id = nextId_++;
  json message = driver::mcpRequest(id, method, params);
  if (!server_.write(compact(message) + "\n", replyTimeout_)) {
    fail("vantrel-mcp stopped reading its input (did it exit?)");
    return std::nullopt;
  }
  auto deadline = Clock::now() + replyTimeout_;
  while (true) {
    Line line = readLine(server_, ChildProcess::Stream::Stdout, deadline);
    if (!line.text) {
      fail("no reply to " + method + " from vantrel-mcp: " + line.whyNot);
      return std::nullopt;
    }
    auto reply = json::parse(*line.text, nullptr, /*allow_exceptions=*/false);
    if (reply.is_discarded() || !reply.is_object()) {
      fail("vantrel-mcp wrote a line that is not a JSON object: " + clip(*line.text, 200));
      return std::nullopt;
    }
    if (reply.value("id", json()) != id)
      continue; // not ours; this client has one request in flight, so this should not happen
    if (reply.contains("error")) {
      fail(method + " was answered with an error: " + compact(reply["error"]));
      return std::nullopt;
    }
    auto result = reply.value("result", json());
    if (!result.is_object()) {
      fail(method + " was answered without a result object");
      return std::nullopt;
    }
    return result;
  }
}

std::optional<std::string> AgentSession::callTool(const std::string& name, const json& arguments) {
  out_ << "\n[" << ++step_ << "] " << name << " " << clip(compact(arguments), kArgumentChars)
       << "\n";
  auto result = request("tools/call", {{"name", name}, {"arguments", arguments}});
  if (!result)
    return std::nullopt;
  const json& content = result->value("content", json::array());
  if (!content.is_array() || content.empty() || !content[0].is_object() ||
      !content[0].value("text", json()).is_string()) {
    fail(name + " returned no text content: " + clip(compact(*result), 200));
    return std::nullopt;
  }
  std::string text = content[0]["text"].get<std::string>();
  out_ << "  ← " << indented(excerpt(text)) << "\n";
  const json& isError = result->value("isError", json());
  if (!isError.is_boolean()) {
    fail(name + " answered without a boolean isError");
    return std::nullopt;
  }
  if (isError.get<bool>()) {
    fail(name + " failed: " + clip(text, 300));
    return std::nullopt;
  }
  return text;
}

std::optional<json> AgentSession::callToolForJson(const std::string& name, const json& arguments) {
  auto text = callTool(name, arguments);
  if (!text)
    return std::nullopt;
  auto reply = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object()) {
    fail(name + " did not answer with a JSON object");
    return std::nullopt;
  }
  return reply;
}

bool AgentSession::handshake() {
  out_ << "[" << ++step_ << "] initialize\n";
  auto init = request("initialize", {{"protocolVersion", "2024-11-05"},
                                     {"capabilities", json::object()},
                                     {"clientInfo", {{"name", "vantrel-demo"}, {"version", "1"}}}});
  if (!init)
    return false;
  const json& info = init->value("serverInfo", json::object());
  out_ << "  ← " << stringMember(info, "name") << " " << stringMember(info, "version")
       << ", protocol " << stringMember(*init, "protocolVersion") << "\n"
       << "    " << clip(stringMember(*init, "instructions"), 200) << "\n";
  // A real client confirms the handshake; the server drops notifications without a reply.
  if (!server_.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                     "\n",
                     replyTimeout_))
    return fail("vantrel-mcp stopped reading its input");

  out_ << "\n[" << ++step_ << "] tools/list\n";
  auto list = request("tools/list", json::object());
  if (!list)
    return false;
  std::string names;
  const json& tools = list->value("tools", json::array());
  for (const auto& tool : tools)
    names += (names.empty() ? "" : ", ") + stringMember(tool, "name");
  out_ << "  ← " << tools.size() << " tools: " << names << "\n";
  if (tools.empty())
    return fail("tools/list returned no tools");

  return callTool("get_guide", json::object()).has_value();
}

std::optional<AgentSession::Card> AgentSession::pickVideoCard() {
  auto found = callToolForJson("search_assets", {{"mediaKind", "video"}, {"limit", 10}});
  if (!found)
    return std::nullopt;
  // The first video whose transcript, if any, is not the user's cloud one: writing a transcript
  // over that would be refused (409), and rightly so.
  for (const auto& summary : found->value("assets", json::array())) {
    std::string shortID = stringMember(summary, "shortID");
    if (shortID.empty())
      continue;
    auto card = callToolForJson("get_asset", {{"shortID", shortID}});
    if (!card)
      return std::nullopt;
    if (stringMember(*card, "transcriptSource") == "tencent_cloud") {
      out_ << "  (has a cloud transcript; the agent reuses it and looks further)\n";
      continue;
    }
    auto duration = card->value("durationSeconds", json());
    out_ << "  (the agent works on " << shortID << " from here on)\n";
    return Card{shortID, stringMember(*card, "title"),
                duration.is_number() ? duration.get<double>() : 0.0};
  }
  fail("search_assets found no video card without a cloud transcript");
  return std::nullopt;
}

std::optional<double> AgentSession::lookAtFrames(const Card& card) {
  // Two moments well inside the video; a card without a known length gets the first seconds.
  json times = card.durationSeconds > 2 ? json::array({roundToTenth(card.durationSeconds * 0.1),
                                                       roundToTenth(card.durationSeconds * 0.5)})
                                        : json::array({0.0, 1.0});
  auto frames = callToolForJson("extract_frames", {{"shortID", card.shortID}, {"times", times}});
  if (!frames)
    return std::nullopt;
  const json& list = frames->value("frames", json::array());
  // Only the time the Bridge really extracted may anchor an observation, not the one we asked.
  if (!list.is_array() || list.empty() || !list.back().is_object() ||
      !list.back().value("actualSeconds", json()).is_number()) {
    fail("extract_frames answered without actualSeconds");
    return std::nullopt;
  }
  return list.back()["actualSeconds"].get<double>();
}

bool AgentSession::writeBack(const Card& card, double frameSeconds) {
  if (!callTool("add_note", {{"shortID", card.shortID},
                             {"kind", "observation"},
                             {"timestamp", frameSeconds},
                             {"time_source", "frame"},
                             {"content", "演示观察：这一帧画面清晰，适合作为封面候选。"}}))
    return false;
  out_ << "  (the agent's own speech-to-text would produce the text below)\n";
  return callTool("save_transcript",
                  {{"shortID", card.shortID},
                   {"text", "大家好，这是一段演示转写：先看画面，再听讲解，最后把结论写回砚舟。"}})
      .has_value();
}

bool AgentSession::deliverThroughWorksheet(const Card& card) {
  if (!callTool("get_events", json::object()))
    return false;
  auto exported = callToolForJson("ai_export", {{"shortID", card.shortID}});
  if (!exported)
    return false;
  std::string path = stringMember(*exported, "path");
  if (path.empty())
    return fail("ai_export answered without a path");

  std::ifstream in(path, std::ios::binary);
  std::stringstream worksheet;
  worksheet << in.rdbuf();
  if (!in || worksheet.str().find(kDeliverMarker) == std::string::npos)
    return fail("the worksheet " + path + " has no delivery marker");
  std::string delivery = "\n# 给这条视频起三个标题\n\n1. 三分钟看完：" + card.title + "\n2. " +
                         card.title + "，值得收藏\n3. 一条视频讲清楚：" + card.title + "\n";
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!(out << delivery).flush())
    return fail("cannot append to the worksheet " + path);
  out_ << "\n[" << ++step_ << "] the agent writes its delivery under " << kDeliverMarker
       << " in\n    " << path << "\n    "
       << indented(clip(delivery.substr(1, delivery.size() - 2), 200)) << "\n";

  auto settled = callToolForJson("ai_settle", json::object());
  if (!settled)
    return false;
  auto recovered = settled->value("recovered", json());
  if (!recovered.is_number() || recovered.get<double>() < 1)
    return fail("ai_settle recovered no delivery");
  return true;
}

} // namespace vantrel::demo
