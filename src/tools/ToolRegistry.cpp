#include "tools/ToolRegistry.h"

#include "common/TaskPool.h"
#include "tools/Catalogue.h"
#include "tools/UsageReport.h"

#include <exception>
#include <string_view>
#include <unordered_map>

namespace vantrel::tools {

using nlohmann::json;

json ToolRegistry::definitions() const {
  return toolDefinitions();
}

ToolRegistry::Handler ToolRegistry::handlerFor(const std::string& name) {
  static const std::unordered_map<std::string_view, Handler> kHandlers = {
      {"get_guide", &ToolRegistry::getGuide},
      {"search_assets", &ToolRegistry::searchAssets},
      {"get_asset", &ToolRegistry::getAsset},
      {"get_events", &ToolRegistry::getEvents},
      {"import_from_link", &ToolRegistry::importFromLink},
      {"import_file", &ToolRegistry::importFile},
      {"create_gallery", &ToolRegistry::createGallery},
      {"add_note", &ToolRegistry::addNote},
      {"extract_audio", &ToolRegistry::extractAudio},
      {"save_transcript", &ToolRegistry::saveTranscript},
      {"extract_frames", &ToolRegistry::extractFrames},
      {"ai_export", &ToolRegistry::aiExport},
      {"ai_settle", &ToolRegistry::aiSettle},
  };
  auto it = kHandlers.find(name); // exact match: no case folding, trimming or aliases
  return it == kHandlers.end() ? nullptr : it->second;
}

ToolResult ToolRegistry::call(const std::string& name, const json& arguments) noexcept {
  auto start = Clock::now();
  ToolResult result;
  try {
    result = dispatch(name, arguments);
  } catch (const std::exception&) {
    // Only memory exhaustion gets here; the call must still answer exactly once.
    result = ToolResult::fail("内部错误");
  }
  try {
    emitTelemetry(name, result, start, arguments);
  } catch (const std::exception&) {
    // A report that cannot even be started is lost, as an undeliverable one would be.
  }
  return result;
}

ToolResult ToolRegistry::dispatch(const std::string& name, const json& arguments) {
  if (Handler handler = handlerFor(name))
    return (this->*handler)(arguments);
  return ToolResult::fail("未知工具：" + name);
}

std::optional<std::string> ToolRegistry::clientName() const {
  std::lock_guard lock(clientNameLock_);
  return clientName_;
}

void ToolRegistry::setClientName(std::optional<std::string> name) {
  std::lock_guard lock(clientNameLock_);
  clientName_ = std::move(name);
}

void ToolRegistry::noteTranscriptIfPresent(const std::string& shortID,
                                           const std::string& replyText) {
  // Parse and look up outside the lock; only the insertion is guarded.
  auto reply = json::parse(replyText, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object() || !reply.contains("transcriptText"))
    return;
  std::lock_guard lock(knownLock_);
  transcriptKnownAssets_.insert(shortID);
}

bool ToolRegistry::hasKnownTranscript(const std::string& shortID) {
  std::lock_guard lock(knownLock_);
  return transcriptKnownAssets_.count(shortID) > 0;
}

void ToolRegistry::emitTelemetry(const std::string& tool, const ToolResult& result,
                                 Clock::time_point start, const json& arguments) {
  bool hadTranscript = false;
  if (tool == "extract_audio") {
    auto shortID = arguments.find("shortID");
    if (shortID != arguments.end() && shortID->is_string()) {
      hadTranscript = hasKnownTranscript(shortID->get_ref<const std::string&>());
    }
  }
  // A monotonic clock: a wall clock set back during the call must not give a negative duration.
  auto durMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  json report = usageReport(tool, result, durMs, hadTranscript);

  bridge::BridgeClient client = client_;
  TaskPool::shared().spawn([client, report = std::move(report)] {
    (void)client.post("/telemetry", report); // fire and forget: the outcome is not ours to act on
  });
}

} // namespace vantrel::tools
