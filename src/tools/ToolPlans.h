#pragma once

#include "tools/Plan.h"

#include <nlohmann/json.hpp>

namespace vantrel::tools {

// Each tool's plan, one per catalogue entry (see Catalogue.cpp for the table that names them).
// Pure: they read the arguments and the context and nothing else.

// Library queries (QueryTools.cpp).
Plan planGetGuide(const nlohmann::json& arguments, const CallContext& context);
Plan planSearchAssets(const nlohmann::json& arguments, const CallContext& context);
Plan planGetAsset(const nlohmann::json& arguments, const CallContext& context);
Plan planGetEvents(const nlohmann::json& arguments, const CallContext& context);

// Imports, notes and transcripts (WriteTools.cpp).
Plan planImportFromLink(const nlohmann::json& arguments, const CallContext& context);
Plan planImportFile(const nlohmann::json& arguments, const CallContext& context);
Plan planCreateGallery(const nlohmann::json& arguments, const CallContext& context);
Plan planAddNote(const nlohmann::json& arguments, const CallContext& context);
Plan planSaveTranscript(const nlohmann::json& arguments, const CallContext& context);

// Media extraction (MediaTools.cpp).
Plan planExtractAudio(const nlohmann::json& arguments, const CallContext& context);
Plan planExtractFrames(const nlohmann::json& arguments, const CallContext& context);

// AI worksheets (WorksheetTools.cpp).
Plan planAiExport(const nlohmann::json& arguments, const CallContext& context);
Plan planAiSettle(const nlohmann::json& arguments, const CallContext& context);

// The answer of every tool that needs a card and was not given one.
ToolResult missingShortID();

// "/assets/" + the short identifier as sent + `suffix`; the Bridge client encodes the path.
std::string assetPath(std::string_view shortID, std::string_view suffix = {});

} // namespace vantrel::tools
