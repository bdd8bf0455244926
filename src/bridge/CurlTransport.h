#pragma once

#include "bridge/HttpTransport.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace vantrel::bridge {

// Give up on an attempt after this long without any data moving (or without a connection).
inline constexpr std::chrono::seconds kBridgeTimeout{180};

// HttpTransport over libcurl. Never uses a proxy, speaks plain HTTP only, follows no redirect.
// Keeps a few idle easy handles so that sequential requests reuse one keep-alive connection;
// concurrent requests each get their own handle. Thread-safe.
class CurlTransport final : public HttpTransport {
public:
  // `idleTimeout` is kBridgeTimeout in the server; tests shorten it.
  explicit CurlTransport(std::chrono::seconds idleTimeout = kBridgeTimeout);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpOutcome perform(const HttpRequest& request) const noexcept override;

  // The process-wide instance that default-constructed Bridge clients share.
  static std::shared_ptr<const CurlTransport> shared();

private:
  void* takeHandle() const;
  void returnHandle(void* handle) const;

  const long idleTimeoutSeconds_;
  mutable std::mutex idleLock_; // guards idleHandles_ only
  mutable std::vector<void*> idleHandles_;
};

} // namespace vantrel::bridge
