#pragma once

#include <optional>
#include <string>

namespace vantrel::bench {

// The floor for a relayed Bridge call: the same GET, made by one libcurl easy handle that is kept
// between requests, so its connection stays open as the server's pooled handles do.
class DirectClient {
public:
  DirectClient(int port, const std::string& token);
  ~DirectClient();
  DirectClient(const DirectClient&) = delete;
  DirectClient& operator=(const DirectClient&) = delete;

  // The body of a 200 answer; empty on any failure or other status.
  std::optional<std::string> get(const std::string& path);

  long newConnections() const { return connections_; } // connections this client had to open

private:
  void* curl_;
  void* headers_;
  std::string base_;
  std::string body_;
  long connections_ = 0;
};

} // namespace vantrel::bench
