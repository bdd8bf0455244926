#pragma once

#include "Library.h"
#include "Reply.h"

#include <nlohmann/json.hpp>

namespace vantrel::hostsim {

inline constexpr std::uintmax_t kImportFileLimit = 2ull << 30; // 2 GB per file
inline constexpr std::size_t kGalleryLimit = 100;

// POST /assets/import-link, /assets/import-file and /assets/create-gallery, with the request
// body as sent. Files are checked whole before anything is copied, and copied without the
// library lock; the card appears only once its files are in place.
Reply importLink(Library& library, const nlohmann::json& body);
Reply importFile(Library& library, const nlohmann::json& body);
Reply createGallery(Library& library, const nlohmann::json& body);

} // namespace vantrel::hostsim
