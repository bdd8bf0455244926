#include "BenchBridge.h"

#include <algorithm>

namespace vantrel::bench {
namespace {

constexpr std::string_view kAssets = "/assets/";

} // namespace

BenchBridge::BenchBridge(std::string token) : token_(std::move(token)) {
  bridge_.setRecording(false); // millions of requests: count them, keep none
  auto handler = [this](const testing::RecordedRequest& request) { return respond(request); };
  bridge_.onPrefix("GET", "/", handler);
  bridge_.onPrefix("POST", "/", handler);
}

std::string BenchBridge::assetBody(std::string_view shortID) {
  std::string id(shortID);
  return R"({"shortID":")" + id + R"(","kind":"video","title":"样片 )" + id +
         R"(","tags":["bench"],"notes":[]})";
}

std::string BenchBridge::largeAssetBody(std::string_view shortID, std::size_t bytes) {
  const std::string id(shortID);
  // The relay must carry quotes, backslashes and escapes as text, and CJK as it is.
  const std::string filler(880, 'x');
  std::string body = R"({"shortID":")" + id + R"(","kind":"video","title":"样片 )" + id +
                     R"(","tags":["bench"],"notes":[)";
  constexpr std::string_view kTail = R"(],"pad":""})";
  body.reserve(std::max(bytes, body.size() + kTail.size()));
  std::string note; // reused: 80 MiB is some eighty thousand notes
  for (std::size_t i = 0;; ++i) {
    const std::string at = std::to_string(i);
    note.clear();
    if (i > 0)
      note += ',';
    note.append(R"({"at":)").append(at).append(R"(,"text":"第 )").append(at);
    note.append(R"( 段 \"引号\" 反斜杠 \\ 换行 \n )").append(filler).append(R"("})");
    if (body.size() + note.size() + kTail.size() > bytes)
      break;
    body += note;
  }
  body += R"(],"pad":")";
  if (body.size() + 2 < bytes)
    body.append(bytes - body.size() - 2, ' ');
  body += "\"}";
  return body;
}

void BenchBridge::serveLarge(std::string_view shortID, std::string body) {
  bridge_.on("GET", std::string(kAssets) + std::string(shortID),
             testing::Reply{.body = std::move(body), .kind = kLarge});
}

testing::Reply BenchBridge::respond(const testing::RecordedRequest& request) const {
  if (request.header("Authorization") != "Bearer " + token_)
    return {.status = 401, .body = R"({"error":"unauthorized"})", .kind = "unauthorized"};
  std::string_view target = request.target;
  if (request.method == "GET" && target.starts_with(kAssets)) {
    std::string_view id = target.substr(kAssets.size());
    if (!id.empty() && id.find_first_of("/?") == std::string_view::npos)
      return {.body = assetBody(id),
              .delay = std::chrono::milliseconds(holdMs_.load()),
              .kind = kAsset};
  }
  if (request.method == "POST" && target == "/telemetry")
    return {.kind = kTelemetry};
  return {.status = 404, .body = R"({"error":"not found"})", .kind = "other"};
}

BridgeCounts BenchBridge::counts() const {
  testing::BridgeCounts seen = bridge_.counts();
  BridgeCounts counts{seen.connections,    seen.peakOpen,           0,
                      seen.of(kTelemetry), seen.of("unauthorized"), 0};
  // The large reply is an asset GET as well; it is counted apart only so it can be waited for.
  for (const std::string* kind : {&kAsset, &kLarge}) {
    auto found = seen.kinds.find(*kind);
    if (found == seen.kinds.end() || found->second.requests == 0)
      continue;
    const auto& asset = found->second;
    counts.firstAsset =
        counts.assetGets == 0 ? asset.first : std::min(counts.firstAsset, asset.first);
    counts.lastAsset = counts.assetGets == 0 ? asset.last : std::max(counts.lastAsset, asset.last);
    counts.assetGets += asset.requests;
  }
  counts.other = seen.requests - counts.assetGets - counts.telemetry - counts.unauthorized;
  return counts;
}

} // namespace vantrel::bench
