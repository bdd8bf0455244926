#pragma once

// hasTopLevelMember against nlohmann's parser, for the fuzz_json_scan target, its replayed inputs
// and JsonTest's tables: the two must agree on every input.

#include "common/JsonText.h"

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::fuzz {

// What hasTopLevelMember promises, worked out by nlohmann's SAX parser over the text's unescaped
// bytes: one valid document, no NUL byte, its top level an object with a member named `key`.
// Slow and memory-hungry (it gathers every string whole); for checks only.
bool parserHasTopLevelMember(const JsonText& text, std::string_view key);

// hasTopLevelMember and the parser on `input` as a reply, asked for "transcriptText", "", and
// the input's first top-level name (as decoded) with a byte less and one more; a description of
// the first disagreement, or nothing.
std::optional<std::string> checkJsonScanInput(std::string_view input);

} // namespace vantrel::fuzz
