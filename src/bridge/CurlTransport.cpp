#include "bridge/CurlTransport.h"

#include "bridge/BridgeClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>

namespace vantrel::bridge {
namespace {

// Enough for sequential requests to find their connection again; a burst of concurrent requests
// leaves no more than this many handles (and their connections) behind.
constexpr std::size_t kMaxIdleHandles = 8;

// Tracks when data last moved, so the time-out counts silence only: a reply that trickles in,
// however slowly, is never cut off.
struct IdleWatch {
  std::chrono::steady_clock::time_point lastMoved = std::chrono::steady_clock::now();
  std::chrono::seconds limit;
  curl_off_t down = 0;
  curl_off_t up = 0;
  bool expired = false;
};

int checkIdle(void* data, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* watch = static_cast<IdleWatch*>(data);
  auto now = std::chrono::steady_clock::now();
  if (dlnow != watch->down || ulnow != watch->up) {
    watch->down = dlnow;
    watch->up = ulnow;
    watch->lastMoved = now;
  } else if (now - watch->lastMoved >= watch->limit) {
    watch->expired = true;
    return 1; // aborts the transfer
  }
  return 0;
}

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// Frees the header list however perform leaves.
struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  bool add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr)
      return false;
    list = grown;
    return true;
  }
};

TransportFailure failure(CURLcode code, const char* errorBuffer) {
  if (errorBuffer != nullptr && errorBuffer[0] != '\0') {
    std::string text(errorBuffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
      text.pop_back();
    if (!text.empty())
      return TransportFailure{std::move(text)};
  }
  return TransportFailure{curl_easy_strerror(code)};
}

CURLcode configure(CURL* curl, const HttpRequest& request, curl_slist* headers, std::string* body,
                   char* errorBuffer, long timeout, IdleWatch* watch) {
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK)
      rc = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_ERRORBUFFER, errorBuffer);
  set(CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  set(CURLOPT_PROTOCOLS_STR, "http");
#else
  set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP));
#endif
  // Timers and resolver signals would hit whichever thread is running; our threads are many.
  set(CURLOPT_NOSIGNAL, 1L);
  // The Bridge is on loopback: a proxy from the environment must never see the token.
  set(CURLOPT_PROXY, "");
  set(CURLOPT_NOPROXY, "*");
  // Paths go out exactly as encoded; "/./" and "/../" inside a short ID stay as they are.
  set(CURLOPT_PATH_AS_IS, 1L);
  set(CURLOPT_FOLLOWLOCATION, 0L);
  set(CURLOPT_CONNECTTIMEOUT, timeout);
  // An idle time-out, not a total one: a slow reply that keeps moving is never cut off.
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, checkIdle);
  set(CURLOPT_XFERINFODATA, watch);
  set(CURLOPT_WRITEFUNCTION, appendBody);
  set(CURLOPT_WRITEDATA, body);
  if (request.method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (request.method == "POST") {
    set(CURLOPT_POST, 1L);
  } else {
    set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    set(CURLOPT_POSTFIELDS, request.body->data());
  } else if (request.method == "POST") {
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    set(CURLOPT_POSTFIELDS, "");
  }
  set(CURLOPT_HTTPHEADER, headers);
  return rc;
}

} // namespace

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlTransport::CurlTransport(std::chrono::seconds idleTimeout)
    : idleTimeoutSeconds_(std::max<long>(1, static_cast<long>(idleTimeout.count()))) {
  globalInit();
}

CurlTransport::~CurlTransport() {
  for (void* handle : idleHandles_)
    curl_easy_cleanup(handle);
}

std::shared_ptr<const CurlTransport> CurlTransport::shared() {
  // Never destroyed: a usage report still in flight at exit must not meet a torn-down pool.
  static auto* instance = new std::shared_ptr<const CurlTransport>(new CurlTransport());
  return *instance;
}

void* CurlTransport::takeHandle() const {
  {
    std::lock_guard lock(idleLock_);
    if (!idleHandles_.empty()) {
      void* handle = idleHandles_.back();
      idleHandles_.pop_back();
      return handle;
    }
  }
  return curl_easy_init();
}

void CurlTransport::returnHandle(void* handle) const {
  // Reset drops every pointer into the finished request but keeps the connection cache.
  curl_easy_reset(handle);
  {
    std::lock_guard lock(idleLock_);
    if (idleHandles_.size() < kMaxIdleHandles) {
      idleHandles_.push_back(handle);
      return;
    }
  }
  curl_easy_cleanup(handle);
}

HttpOutcome CurlTransport::perform(const HttpRequest& request) const noexcept {
  try {
    // Everything the handle points at is declared before the lease, so it outlives the reset.
    char errorBuffer[CURL_ERROR_SIZE];
    errorBuffer[0] = '\0';
    std::string body;
    HeaderList headers;
    auto release = [this](void* handle) { returnHandle(handle); };
    std::unique_ptr<void, decltype(release)> lease(takeHandle(), release);
    if (!lease)
      return failure(CURLE_OUT_OF_MEMORY, nullptr);

    bool headersBuilt = true;
    for (const auto& line : request.headers)
      headersBuilt = headersBuilt && headers.add(line);
    // An empty "Expect:" removes curl's own "Expect: 100-continue", which would hold a large
    // POST for a second waiting on an interim reply the Bridge never sends.
    headersBuilt = headersBuilt && headers.add("Expect:");

    CURL* curl = lease.get();
    IdleWatch watch{.limit = std::chrono::seconds(idleTimeoutSeconds_)};
    CURLcode rc = headersBuilt ? configure(curl, request, headers.list, &body, errorBuffer,
                                           idleTimeoutSeconds_, &watch)
                               : CURLE_OUT_OF_MEMORY;
    if (rc == CURLE_OK)
      rc = curl_easy_perform(curl);
    if (rc == CURLE_ABORTED_BY_CALLBACK && watch.expired) {
      return TransportFailure{"Operation timed out: no data moved for " +
                              std::to_string(idleTimeoutSeconds_) + " seconds"};
    }
    if (rc != CURLE_OK)
      return failure(rc, errorBuffer);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return HttpReply{static_cast<int>(status), std::move(body)};
  } catch (const std::exception&) {
    return failure(CURLE_OUT_OF_MEMORY, nullptr);
  }
}

} // namespace vantrel::bridge
