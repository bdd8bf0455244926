#include "BenchBridge.h"

#include <algorithm>

namespace vantrel::bench {
namespace {

constexpr std::string_view kAssets = "/assets/";

} // namespace

BenchBridge::BenchBridge(std::string token)
    : token_(std::move(token)),
      bridge_({.request = [this](const testing::RecordedRequest& request) { count(request); },
               .connections = [this](int change) { countConnections(change); },
               .record = false}) { // millions of requests: count them, keep none
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
  std::string path = std::string(kAssets) + std::string(shortID);
  {
    std::lock_guard lock(countsLock_);
    largePath_ = path;
  }
  // An exact rule: the body is kept once, not copied into each reply.
  bridge_.on("GET", path, testing::Reply{.body = std::move(body)});
}

namespace {

// A GET /assets/<id> this Bridge answers 200 with assetBody(id).
bool isAssetGet(const testing::RecordedRequest& request) {
  std::string_view target = request.target;
  if (request.method != "GET" || !target.starts_with(kAssets))
    return false;
  std::string_view id = target.substr(kAssets.size());
  return !id.empty() && id.find_first_of("/?") == std::string_view::npos;
}

} // namespace

testing::Reply BenchBridge::respond(const testing::RecordedRequest& request) const {
  if (request.header("Authorization") != "Bearer " + token_)
    return {.status = 401, .body = R"({"error":"unauthorized"})"};
  if (isAssetGet(request))
    return {.body = assetBody(std::string_view(request.target).substr(kAssets.size())),
            .delay = std::chrono::milliseconds(holdMs_.load())};
  if (request.method == "POST" && request.target == "/telemetry")
    return {};
  return {.status = 404, .body = R"({"error":"not found"})"};
}

void BenchBridge::count(const testing::RecordedRequest& request) {
  {
    std::lock_guard lock(countsLock_);
    const bool large =
        !largePath_.empty() && request.method == "GET" && request.target == largePath_;
    if (large)
      ++large_;
    if (!arrival_ && !watchedPath_.empty() && request.method == "GET" &&
        request.target == watchedPath_)
      arrival_ = request.arrived;
    if (request.header("Authorization") != "Bearer " + token_ && !large) {
      ++counts_.unauthorized;
    } else if (large || isAssetGet(request)) {
      const auto since = std::max(Clock::duration::zero(), request.arrived - resetAt_);
      if (counts_.assetGets++ == 0)
        counts_.firstAsset = since;
      counts_.lastAsset = since;
    } else if (request.method == "POST" && request.target == "/telemetry") {
      ++counts_.telemetry;
    } else {
      ++counts_.other;
    }
  }
  counted_.notify_all();
}

void BenchBridge::countConnections(int change) {
  std::lock_guard lock(countsLock_);
  open_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(open_) + change);
  if (change > 0) {
    counts_.connections += static_cast<std::uint64_t>(change);
    counts_.peakOpen = std::max(counts_.peakOpen, open_);
  }
}

BridgeCounts BenchBridge::counts() const {
  std::lock_guard lock(countsLock_);
  return counts_;
}

void BenchBridge::resetCounts() {
  std::lock_guard lock(countsLock_);
  counts_ = BridgeCounts{};
  counts_.peakOpen = open_;
  large_ = 0;
  resetAt_ = Clock::now();
}

std::uint64_t BenchBridge::largeStarts() const {
  std::lock_guard lock(countsLock_);
  return large_;
}

bool BenchBridge::waitFor(std::uint64_t count, Clock::time_point deadline,
                          std::uint64_t (*value)(const BridgeCounts&, std::uint64_t)) const {
  std::unique_lock lock(countsLock_);
  return counted_.wait_until(lock, deadline, [&] { return value(counts_, large_) >= count; });
}

bool BenchBridge::waitTelemetry(std::uint64_t count, Clock::time_point deadline) const {
  return waitFor(count, deadline,
                 [](const BridgeCounts& counts, std::uint64_t) { return counts.telemetry; });
}

void BenchBridge::watchArrival(std::string_view shortID) {
  std::lock_guard lock(countsLock_);
  watchedPath_ = std::string(kAssets) + std::string(shortID);
  arrival_.reset();
}

std::optional<std::chrono::steady_clock::time_point>
BenchBridge::waitArrival(Clock::time_point deadline) const {
  std::unique_lock lock(countsLock_);
  counted_.wait_until(lock, deadline, [&] { return arrival_.has_value(); });
  return arrival_;
}

bool BenchBridge::waitLargeStarts(std::uint64_t count, Clock::time_point deadline) const {
  return waitFor(count, deadline, [](const BridgeCounts&, std::uint64_t large) { return large; });
}

} // namespace vantrel::bench
