#include "BenchBridge.h"

#include "Fds.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 1024 * 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::string reply(int status, std::string_view reason, std::string_view body, bool close) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " ";
  out += reason;
  out += "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n";
  if (close)
    out += "Connection: close\r\n";
  out += "\r\n";
  out += body;
  return out;
}

} // namespace

struct BenchBridge::Connection {
  explicit Connection(int f) : fd(f) {}
  ~Connection() { ::close(fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd;
  std::string in;
  std::string out;
  std::size_t outSent = 0;
  std::optional<Clock::time_point> heldUntil; // a reply waits in `held` until then
  std::string held;
  bool closeAfterWrite = false;
  bool dead = false;

  bool busy() const { return heldUntil || outSent < out.size(); }

  void flush() {
    while (outSent < out.size()) {
      ssize_t n = ::send(fd, out.data() + outSent, out.size() - outSent, kSendFlags);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
          dead = true;
        return;
      }
      outSent += static_cast<std::size_t>(n);
    }
    out.clear();
    outSent = 0;
    if (closeAfterWrite)
      dead = true;
  }
};

std::unique_ptr<BenchBridge> BenchBridge::start(std::string token, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  setCloexec(fd);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  // A backlog as deep as the burst: a thousand connects at once must not meet a full queue.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4096) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !setNonBlocking(fd)) {
    error = std::string("listen on 127.0.0.1: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  int wake[2];
  if (!makePipe(wake)) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  setNonBlocking(wake[0]);
  std::unique_ptr<BenchBridge> bridge(
      new BenchBridge(fd, ntohs(address.sin_port), wake[0], wake[1], std::move(token)));
  bridge->thread_ = std::thread([b = bridge.get()] { b->loop(); });
  return bridge;
}

BenchBridge::BenchBridge(int listenFd, int port, int wakeRead, int wakeWrite, std::string token)
    : listenFd_(listenFd), port_(port), wakeRead_(wakeRead), wakeWrite_(wakeWrite),
      token_(std::move(token)) {
}

BenchBridge::~BenchBridge() {
  stop_.store(true);
  char byte = 0;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
  if (thread_.joinable())
    thread_.join();
  ::close(listenFd_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

std::string BenchBridge::assetBody(std::string_view shortID) {
  std::string id(shortID);
  return R"({"shortID":")" + id + R"(","kind":"video","title":"样片 )" + id +
         R"(","tags":["bench"],"notes":[]})";
}

BridgeCounts BenchBridge::counts() const {
  BridgeCounts counts{connections_.load(), peakOpen_.load(),     assetGets_.load(),
                      telemetry_.load(),   unauthorized_.load(), other_.load()};
  auto since = [this](Clock::rep at) {
    return at == 0 ? Clock::duration{} : Clock::duration(at - resetAt_.load());
  };
  counts.firstAsset = since(firstAsset_.load());
  counts.lastAsset = since(lastAsset_.load());
  return counts;
}

void BenchBridge::resetCounts() {
  resetAt_.store(Clock::now().time_since_epoch().count());
  firstAsset_.store(0);
  lastAsset_.store(0);
  connections_.store(0);
  peakOpen_.store(open_.load());
  assetGets_.store(0);
  telemetry_.store(0);
  unauthorized_.store(0);
  other_.store(0);
}

BenchBridge::Reply BenchBridge::respond(std::string_view method, std::string_view target,
                                        std::string_view authorization) {
  if (authorization != "Bearer " + token_) {
    ++unauthorized_;
    return {401, R"({"error":"unauthorized"})", false};
  }
  constexpr std::string_view kAssets = "/assets/";
  if (method == "GET" && target.substr(0, kAssets.size()) == kAssets) {
    std::string_view id = target.substr(kAssets.size());
    if (!id.empty() && id.find_first_of("/?") == std::string_view::npos) {
      ++assetGets_;
      auto now = Clock::now().time_since_epoch().count();
      Clock::rep none = 0;
      firstAsset_.compare_exchange_strong(none, now);
      lastAsset_.store(now);
      return {200, assetBody(id), holdMs_.load() > 0};
    }
  }
  if (method == "POST" && target == "/telemetry") {
    ++telemetry_;
    return {200, "{}", false};
  }
  ++other_;
  return {404, R"({"error":"not found"})", false};
}

// Answers every whole request buffered on the connection, until one is held. False when the
// connection must be closed.
bool BenchBridge::serve(Connection& c, Clock::time_point now) {
  while (!c.heldUntil && !c.closeAfterWrite) {
    auto headEnd = c.in.find("\r\n\r\n");
    if (headEnd == std::string::npos)
      return c.in.size() <= kMaxHead;
    std::string_view head(c.in.data(), headEnd);
    auto lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    auto sp1 = requestLine.find(' ');
    auto sp2 = requestLine.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) {
      ++other_;
      c.out += reply(400, "Bad Request", "{}", true);
      c.closeAfterWrite = true;
      return true;
    }
    std::string_view method = requestLine.substr(0, sp1);
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    bool keepAlive = requestLine.substr(sp2 + 1) == "HTTP/1.1";
    std::string_view authorization;
    std::size_t bodyLength = 0;
    bool chunked = false;
    std::size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      auto end = head.find("\r\n", pos);
      if (end == std::string_view::npos)
        end = head.size();
      std::string_view field = head.substr(pos, end - pos);
      pos = end + 2;
      auto colon = field.find(':');
      if (colon == std::string_view::npos)
        continue;
      std::string_view name = field.substr(0, colon);
      std::string_view value = trim(field.substr(colon + 1));
      if (equalsIgnoringCase(name, "authorization")) {
        authorization = value;
      } else if (equalsIgnoringCase(name, "content-length")) {
        bodyLength =
            static_cast<std::size_t>(std::strtoull(std::string(value).c_str(), nullptr, 10));
      } else if (equalsIgnoringCase(name, "transfer-encoding")) {
        chunked = true;
      } else if (equalsIgnoringCase(name, "connection")) {
        if (equalsIgnoringCase(value, "close"))
          keepAlive = false;
        else if (equalsIgnoringCase(value, "keep-alive"))
          keepAlive = true;
      }
    }
    if (chunked || bodyLength > kMaxBody) {
      ++other_;
      c.out += reply(chunked ? 411 : 413, "Refused", "{}", true);
      c.closeAfterWrite = true;
      return true;
    }
    std::size_t total = headEnd + 4 + bodyLength;
    if (c.in.size() < total)
      return true; // the body is still on its way
    Reply answer = respond(method, target, authorization);
    std::string response =
        reply(answer.status, answer.status == 200 ? "OK" : "Refused", answer.body, !keepAlive);
    c.in.erase(0, total);
    if (!keepAlive)
      c.closeAfterWrite = true;
    if (answer.held) {
      c.heldUntil = now + std::chrono::milliseconds(holdMs_.load());
      c.held = std::move(response);
    } else {
      c.out += response;
    }
  }
  return true;
}

void BenchBridge::loop() {
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<pollfd> fds;
  while (!stop_.load()) {
    auto now = Clock::now();
    int timeoutMs = -1;
    fds.clear();
    fds.push_back({wakeRead_, POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    for (auto& c : connections) {
      short events = 0;
      if (!c->busy())
        events |= POLLIN;
      if (c->outSent < c->out.size())
        events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
      if (c->heldUntil) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*c->heldUntil - now).count();
        int w = static_cast<int>(std::max<long long>(0, wait));
        timeoutMs = timeoutMs < 0 ? w : std::min(timeoutMs, w);
      }
    }
    int ready = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeoutMs);
    if (ready < 0 && errno != EINTR)
      break;
    now = Clock::now();
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents & POLLIN) {
      for (;;) {
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0)
          break; // EAGAIN, or out of descriptors: the client's connect will wait or fail
        setCloexec(fd);
        setNonBlocking(fd);
        setNoSigPipe(fd);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connections.push_back(std::make_unique<Connection>(fd));
        ++connections_;
        auto open = ++open_;
        auto peak = peakOpen_.load();
        while (open > peak && !peakOpen_.compare_exchange_weak(peak, open)) {
        }
      }
    }
    // Only the connections polled this round have a pollfd; newly accepted ones come next round.
    std::size_t polled = fds.size() - 2;
    for (std::size_t i = 0; i < connections.size(); ++i) {
      Connection& c = *connections[i];
      short revents = i < polled ? fds[i + 2].revents : 0;
      if (revents & POLLOUT)
        c.flush();
      if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[16 * 1024];
        for (;;) {
          ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            c.in.append(buffer, static_cast<std::size_t>(n));
            continue;
          }
          if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            c.dead = true; // the peer has gone; a held reply to it is dropped
          if (n < 0 && errno == EINTR)
            continue;
          break;
        }
      }
      if (c.heldUntil && *c.heldUntil <= now) {
        c.heldUntil.reset();
        c.out += c.held;
        c.held.clear();
      }
      if (!c.dead && c.outSent < c.out.size())
        c.flush();
      // Requests that queued behind a reply are served once it is out.
      if (!c.dead && !c.busy()) {
        if (!serve(c, now))
          c.dead = true;
        else if (c.outSent < c.out.size())
          c.flush();
      }
    }
    auto gone = std::remove_if(connections.begin(), connections.end(),
                               [](const auto& c) { return c->dead; });
    open_ -= static_cast<std::uint64_t>(connections.end() - gone);
    connections.erase(gone, connections.end());
  }
}

} // namespace vantrel::bench
