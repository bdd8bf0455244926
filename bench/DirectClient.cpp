#include "DirectClient.h"

#include "driver/Descriptors.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>

namespace vantrel::bench {
namespace {

// The value of header `name` in a response head, given in lower case; empty when absent.
std::string_view headerValue(std::string_view head, std::string_view name) {
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos && at < head.size();) {
    at += 2;
    auto end = std::min(head.find("\r\n", at), head.size());
    std::string_view line = head.substr(at, end - at);
    at = end;
    auto colon = line.find(':');
    if (colon != name.size() ||
        !std::equal(name.begin(), name.end(), line.begin(), [](char lower, char c) {
          return lower == std::tolower(static_cast<unsigned char>(c));
        }))
      continue;
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    return value;
  }
  return {};
}

} // namespace

DirectClient::DirectClient(int port, std::string token)
    : port_(port), afterPath_(" HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nAuthorization: Bearer " + token + "\r\n\r\n") {
}

DirectClient::~DirectClient() {
  driver::closeQuietly(fd_);
}

std::optional<std::string> DirectClient::get(const std::string& path) {
  const std::string request = "GET " + path + afterPath_;
  // A kept connection the server has closed meanwhile is retried once on a new one, as any
  // pooling client does; a new connection that fails is a failure.
  for (;;) {
    const bool fresh = fd_ < 0;
    if (fresh) {
      fd_ = driver::connectLoopback(port_);
      if (fd_ < 0)
        return std::nullopt;
      ++connections_;
      received_.clear();
    }
    auto answer = roundTrip(request);
    if (!answer || answer->close)
      driver::closeQuietly(fd_);
    if (answer)
      return answer->status == 200 ? std::optional(std::move(answer->body)) : std::nullopt;
    if (fresh)
      return std::nullopt;
  }
}

std::optional<DirectClient::Answer> DirectClient::roundTrip(const std::string& request) {
  if (!driver::sendAll(fd_, request))
    return std::nullopt;
  std::size_t headEnd;
  while ((headEnd = received_.find("\r\n\r\n")) == std::string::npos)
    if (!receiveMore(received_))
      return std::nullopt;
  std::string_view head(received_.data(), headEnd);
  if (!head.starts_with("HTTP/1.1 ") || head.size() < 12)
    return std::nullopt;
  Answer answer;
  answer.status = std::atoi(std::string(head.substr(9, 3)).c_str());
  std::string_view length = headerValue(head, "content-length");
  if (length.empty())
    return std::nullopt;
  const std::size_t size = std::strtoull(std::string(length).c_str(), nullptr, 10);
  answer.close = headerValue(head, "connection") == "close";
  // The body is received into a buffer of its own, sized once: a large one is neither regrown
  // nor copied out whole, the least any client must do with it.
  const std::size_t start = headEnd + 4, have = std::min(received_.size() - start, size);
  answer.body.reserve(size);
  answer.body.assign(received_, start, have);
  received_.erase(0, start + have);
  while (answer.body.size() < size)
    if (!receiveMore(answer.body))
      return std::nullopt;
  if (answer.body.size() > size) { // the start of the next answer: keep it for then
    received_.assign(answer.body, size);
    answer.body.resize(size);
  }
  return answer;
}

bool DirectClient::receiveMore(std::string& into) {
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, 10000) <= 0)
    return false;
  char buffer[64 * 1024];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0)
    return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

} // namespace vantrel::bench
