#pragma once

#include <optional>
#include <string>

namespace vantrel::bench {

// The floor for a relayed Bridge call: the same GET, made by a minimal HTTP/1.1 client on one
// socket that is kept between requests, as the server keeps its pooled connections. It reads
// Content-Length replies only, which is all the benchmark's Bridge sends.
class DirectClient {
public:
  DirectClient(int port, std::string token);
  ~DirectClient();
  DirectClient(const DirectClient&) = delete;
  DirectClient& operator=(const DirectClient&) = delete;

  // The body of a 200 answer; nothing on any failure or other status.
  std::optional<std::string> get(const std::string& path);

  long newConnections() const { return connections_; } // connections this client had to open

private:
  struct Answer {
    int status = 0;
    std::string body;
    bool close = false;
  };
  std::optional<Answer> roundTrip(const std::string& request);
  // Appends what arrives next to `into`; false on end of connection, an error, or ten seconds of
  // silence.
  bool receiveMore(std::string& into);

  int port_;
  std::string afterPath_; // the request's fixed rest, built once: get() is what the floor times
  int fd_ = -1;
  std::string received_;
  long connections_ = 0;
};

} // namespace vantrel::bench
