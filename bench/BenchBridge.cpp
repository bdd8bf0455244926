#include "BenchBridge.h"

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

testing::Reply BenchBridge::respond(const testing::RecordedRequest& request) const {
  if (request.header("Authorization") != "Bearer " + token_)
    return {.status = 401, .body = R"({"error":"unauthorized"})", .kind = "unauthorized"};
  std::string_view target = request.target;
  if (request.method == "GET" && target.starts_with(kAssets)) {
    std::string_view id = target.substr(kAssets.size());
    if (!id.empty() && id.find_first_of("/?") == std::string_view::npos)
      return {.body = assetBody(id),
              .delay = std::chrono::milliseconds(holdMs_.load()),
              .kind = "asset"};
  }
  if (request.method == "POST" && target == "/telemetry")
    return {.kind = "telemetry"};
  return {.status = 404, .body = R"({"error":"not found"})", .kind = "other"};
}

BridgeCounts BenchBridge::counts() const {
  testing::BridgeCounts seen = bridge_.counts();
  BridgeCounts counts{seen.connections,     seen.peakOpen,           seen.of("asset"),
                      seen.of("telemetry"), seen.of("unauthorized"), 0};
  counts.other = seen.requests - counts.assetGets - counts.telemetry - counts.unauthorized;
  if (auto asset = seen.kinds.find("asset"); asset != seen.kinds.end()) {
    counts.firstAsset = asset->second.first;
    counts.lastAsset = asset->second.last;
  }
  return counts;
}

} // namespace vantrel::bench
