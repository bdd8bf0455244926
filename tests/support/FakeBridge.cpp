#include "support/FakeBridge.h"

#include "driver/Descriptors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHead = 8u << 20;      // request line and headers
constexpr std::size_t kMaxBody = 256u << 20;    // a Content-Length body
constexpr std::size_t kReadAhead = 1u << 20;    // read past a request still being answered
constexpr std::size_t kReadPerRound = 4u << 20; // so one fast sender cannot starve the others

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool containsToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    auto comma = list.find(',');
    if (equalsIgnoringCase(trim(list.substr(0, comma)), token))
      return true;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return false;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string_view reasonPhrase(int status) {
  static const std::map<int, std::string_view> kReasons = {{200, "OK"},
                                                           {201, "Created"},
                                                           {204, "No Content"},
                                                           {400, "Bad Request"},
                                                           {401, "Unauthorized"},
                                                           {403, "Forbidden"},
                                                           {404, "Not Found"},
                                                           {409, "Conflict"},
                                                           {413, "Content Too Large"},
                                                           {431, "Request Header Fields Too Large"},
                                                           {500, "Internal Server Error"},
                                                           {501, "Not Implemented"},
                                                           {503, "Service Unavailable"}};
  auto it = kReasons.find(status);
  return it == kReasons.end() ? "Status" : it->second; // clients read the code, not this
}

bool samePath(const RecordedRequest& request, std::string_view path) {
  return request.decodedPath == path || request.path == path;
}

} // namespace

// One accepted socket, and the answer being sent on it. The loop thread's only.
struct FakeBridge::Connection {
  enum class End { KeepAlive, Close, Reset };
  struct Step {
    std::string_view bytes;
    Clock::duration gapBefore{};
  };

  Connection(int f, std::uint64_t i, Clock::time_point now) : fd(f), id(i), idleSince(now) {}
  ~Connection() { closeQuietly(fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd;
  const std::uint64_t id;
  std::string in;              // bytes read and not yet taken as a request
  std::size_t headScanned = 0; // no "\r\n\r\n" starts before this
  bool peerClosed = false;     // the client will send no more
  Clock::time_point idleSince; // accepted, or last answered: a serving limit's keep-alive counts
  bool dead = false;           // to be closed and removed

  bool answering = false;
  std::shared_ptr<const Reply> reply; // keeps the bytes the steps borrow alive
  std::deque<std::string> made;       // the same for bytes made here (a deque never moves them)
  std::vector<Step> steps;
  std::size_t step = 0, sent = 0;
  Clock::time_point wakeAt{}; // nothing more goes out before this: a hold, or a trickle gap
  End end = End::KeepAlive;

  bool idle() const { return !answering && in.empty(); }
  bool wantsInput() const { return !peerClosed && (!answering || in.size() < kReadAhead); }
};

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name))
      return value;
  return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) {
    return equalsIgnoringCase(h.first, name);
  }));
}

nlohmann::json RecordedRequest::json() const {
  return nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
}

FakeBridge::FakeBridge(FakeBridgeWatchers watchers, std::optional<ServingLimit> limit)
    : watchers_(std::move(watchers)), limit_(limit) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int wake[2] = {-1, -1};
  int one = 1;
  if (listener_ >= 0)
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A backlog as deep as a burst: a thousand connects at once must not wait out SYN retries.
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 4096) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      !makePipe(wake)) {
    std::string error =
        std::string("FakeBridge: cannot listen on 127.0.0.1: ") + std::strerror(errno);
    closeQuietly(listener_);
    throw std::runtime_error(error);
  }
  setCloexec(listener_);
  setNonBlocking(listener_);
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  setNonBlocking(wakeRead_);
  setNonBlocking(wakeWrite_);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { loop(); });
  loopId_ = thread_.get_id();
}

FakeBridge::~FakeBridge() {
  stop();
  closeQuietly(wakeRead_);
  closeQuietly(wakeWrite_);
}

void FakeBridge::stop() {
  stopping_ = true;
  if (std::this_thread::get_id() == loopId_.load())
    return; // from a handler: the loop ends after this round, and the destructor joins it
  wake();
  std::call_once(joined_, [this] { thread_.join(); });
}

void FakeBridge::wake() {
  char byte = 0;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
  }
}

void FakeBridge::runOnLoop(std::function<void()> task) {
  if (std::this_thread::get_id() == loopId_.load()) {
    task();
    return;
  }
  std::promise<void> done;
  auto finished = done.get_future();
  {
    std::lock_guard lock(tasksLock_);
    if (loopEnded_)
      return; // stopped: nothing left to act on
    tasks_.push_back([&task, &done] {
      task();
      done.set_value();
    });
  }
  wake();
  finished.wait();
}

void FakeBridge::runTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard lock(tasksLock_);
    tasks.swap(tasks_);
  }
  for (auto& task : tasks)
    task();
}

void FakeBridge::on(const std::string& method, const std::string& path, Reply reply) {
  on(method, path, std::vector<Reply>{std::move(reply)});
}

void FakeBridge::on(const std::string& method, const std::string& path, std::vector<Reply> script) {
  if (script.empty())
    script.emplace_back();
  Script rule;
  for (auto& reply : script)
    rule.replies.push_back(std::make_shared<const Reply>(std::move(reply)));
  std::lock_guard lock(rulesLock_);
  exact_[{method, path}] = std::move(rule);
}

void FakeBridge::onPrefix(const std::string& method, const std::string& prefix, Handler handler) {
  auto shared = std::make_shared<const Handler>(std::move(handler));
  std::lock_guard lock(rulesLock_);
  prefixes_[{method, prefix}] = std::move(shared);
}

std::vector<RecordedRequest> FakeBridge::requests() const {
  std::lock_guard lock(recordLock_);
  return recorded_;
}

std::vector<RecordedRequest> FakeBridge::requestsTo(std::string_view path) const {
  std::vector<RecordedRequest> matching;
  std::lock_guard lock(recordLock_);
  for (const auto& request : recorded_)
    if (samePath(request, path))
      matching.push_back(request);
  return matching;
}

bool FakeBridge::waitForRequests(std::string_view path, std::size_t count,
                                 std::chrono::milliseconds timeout) const {
  std::unique_lock lock(recordLock_);
  return recordedChanged_.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               recorded_.begin(), recorded_.end(),
               [&](const RecordedRequest& request) { return samePath(request, path); })) >= count;
  });
}

void FakeBridge::closeIdleConnections() {
  runOnLoop([this] {
    for (auto& connection : connections_) {
      if (!connection->dead && connection->idle()) {
        connection->dead = true;
        closeQuietly(connection->fd); // now, not at the end of the round: the caller goes on
      }
    }
  });
}

std::shared_ptr<const Reply> FakeBridge::choose(const RecordedRequest& request) {
  std::shared_ptr<const Handler> handler;
  std::size_t longest = 0;
  {
    std::lock_guard lock(rulesLock_);
    for (const std::string* path : {&request.decodedPath, &request.path}) {
      auto rule = exact_.find({request.method, *path});
      if (rule == exact_.end())
        continue;
      auto& script = rule->second;
      return script.replies[std::min(script.served++, script.replies.size() - 1)];
    }
    for (const auto& [key, candidate] : prefixes_) {
      if (key.first == request.method && request.decodedPath.starts_with(key.second) &&
          (!handler || key.second.size() > longest)) {
        handler = candidate;
        longest = key.second.size();
      }
    }
  }
  if (!handler) {
    static const auto kDefault = std::make_shared<const Reply>();
    return kDefault;
  }
  return std::make_shared<const Reply>((*handler)(request)); // not under the lock: user code
}

void FakeBridge::loop() {
  std::vector<pollfd> fds;
  while (!stopping_) {
    auto now = Clock::now();
    int timeout = -1;
    auto waitUntil = [&](Clock::time_point at) {
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
      int wait = static_cast<int>(std::clamp<long long>(ms, 0, 1 << 30));
      timeout = timeout < 0 ? wait : std::min(timeout, wait);
    };
    fds.clear();
    fds.push_back({wakeRead_, POLLIN, 0});
    const bool resting = now < acceptAfter_;
    fds.push_back({!resting && hasRoom() ? listener_ : -1, POLLIN, 0});
    if (resting)
      waitUntil(acceptAfter_);
    for (const auto& c : connections_) {
      if (limit_ && c->idle())
        waitUntil(c->idleSince + limit_->keepAlive);
      short events = c->wantsInput() ? POLLIN : 0;
      if (c->answering && c->wakeAt > now)
        waitUntil(c->wakeAt);
      else if (c->answering)
        events |= POLLOUT;
      fds.push_back({c->fd, events, 0});
    }
    if (::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout) < 0 && errno != EINTR)
      throw std::runtime_error(std::string("FakeBridge: poll: ") + std::strerror(errno));
    if (fds[0].revents != 0) {
      char drain[256];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
      runTasks();
    }
    if (fds[1].revents != 0)
      acceptAll(Clock::now());
    // Connections accepted this round have no pollfd yet; they are read next round.
    const std::size_t polled = fds.size() - 2;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      Connection& c = *connections_[i];
      if (!c.dead && i < polled && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        readFrom(c);
      advance(c);
      if (limit_ && !c.dead && c.idle() && Clock::now() >= c.idleSince + limit_->keepAlive)
        c.dead = true; // its thread goes back to the pool
    }
    auto gone = std::remove_if(connections_.begin(), connections_.end(),
                               [](const auto& c) { return c->dead; });
    const auto closed = static_cast<int>(connections_.end() - gone);
    connections_.erase(gone, connections_.end());
    if (closed > 0 && watchers_.connections)
      watchers_.connections(-closed);
  }
  connections_.clear();
  closeQuietly(listener_); // refused from here on
  std::lock_guard lock(tasksLock_);
  loopEnded_ = true;
  for (auto& task : tasks_)
    task();
  tasks_.clear();
}

// Under a serving limit, no more connections are taken than there are threads: the rest wait in
// the backlog, connected as far as their client can tell.
bool FakeBridge::hasRoom() const {
  return !limit_ || connections_.size() < limit_->connections;
}

void FakeBridge::acceptAll(Clock::time_point now) {
  while (hasRoom()) {
#ifdef __linux__
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#else
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd >= 0) {
      setCloexec(fd);
      setNonBlocking(fd);
    }
#endif
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED)
        continue;
      // Out of descriptors the listener stays readable; rest it instead of spinning.
      if (errno == EMFILE || errno == ENFILE)
        acceptAfter_ = now + std::chrono::milliseconds(20);
      return;
    }
    if (watchers_.connections)
      watchers_.connections(+1);
    setNoSigPipe(fd);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // trickled pieces go at once
    connections_.push_back(std::make_unique<Connection>(fd, nextConnectionId_++, now));
  }
}

void FakeBridge::readFrom(Connection& c) {
  char buffer[64 * 1024];
  for (std::size_t total = 0; total < kReadPerRound;) {
    ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      c.in.append(buffer, static_cast<std::size_t>(n));
      total += static_cast<std::size_t>(n);
    } else if (n == 0) {
      c.peerClosed = true;
      return;
    } else if (errno != EINTR) {
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        c.dead = true; // reset by the client; an answer in progress goes with it
      return;
    }
  }
}

// Sends what may go out now, then takes the next buffered request, until the connection has
// to wait: for bytes, for room to write, or for a timer.
void FakeBridge::advance(Connection& c) {
  while (!c.dead) {
    if (c.answering) {
      if (Clock::now() < c.wakeAt || !sendSteps(c))
        return;
      if (c.end == Connection::End::Reset) {
        linger abort{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      if (c.end != Connection::End::KeepAlive) {
        c.dead = true;
        return;
      }
      c.answering = false;
      c.idleSince = Clock::now();
      c.reply.reset();
      c.made.clear();
      c.steps.clear();
      continue;
    }
    if (!parseRequest(c)) {
      if (c.peerClosed)
        c.dead = true; // nothing more will come, and what is here is no whole request
      return;
    }
  }
}

// True once every step is out; false while waiting for room or a gap (or when the client went).
bool FakeBridge::sendSteps(Connection& c) {
  while (c.step < c.steps.size()) {
    std::string_view bytes = c.steps[c.step].bytes;
    while (c.sent < bytes.size()) {
      ssize_t n = ::send(c.fd, bytes.data() + c.sent, bytes.size() - c.sent, kSendFlags);
      if (n > 0) {
        c.sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
          c.dead = true;
        return false;
      }
    }
    ++c.step;
    c.sent = 0;
    if (c.step < c.steps.size() && c.steps[c.step].gapBefore > Clock::duration::zero()) {
      c.wakeAt = Clock::now() + c.steps[c.step].gapBefore;
      return false;
    }
  }
  return true;
}

// Takes one whole request off the front of c.in and starts its answer; false when there is none
// yet. A request the fake cannot take is refused with a status and the connection closed.
bool FakeBridge::parseRequest(Connection& c) {
  if (c.in.empty())
    return false;
  const auto headEnd = c.in.find("\r\n\r\n", c.headScanned);
  if (headEnd == std::string::npos || headEnd > kMaxHead) {
    c.headScanned = c.in.size() < 3 ? 0 : c.in.size() - 3;
    if (c.in.size() > kMaxHead)
      reject(c, 431, "request head over 8 MiB");
    return c.answering;
  }
  c.headScanned = headEnd;
  std::string_view head(c.in.data(), headEnd);
  auto lineEnd = std::min(head.find("\r\n"), head.size());
  std::string_view line = head.substr(0, lineEnd);
  auto space1 = line.find(' ');
  auto space2 = line.find(' ', space1 == std::string_view::npos ? line.size() : space1 + 1);
  if (space1 == 0 || space2 == std::string_view::npos || space2 == space1 + 1 ||
      line.find(' ', space2 + 1) != std::string_view::npos) {
    reject(c, 400, "malformed request line");
    return true;
  }
  RecordedRequest request;
  request.method = line.substr(0, space1);
  request.target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = line.substr(space2 + 1);

  std::size_t bodyLength = 0;
  std::optional<std::string> length;
  bool keepAlive = version == "HTTP/1.1";
  for (std::size_t at = lineEnd; at < head.size();) {
    at += 2;
    auto end = std::min(head.find("\r\n", at), head.size());
    std::string_view field = head.substr(at, end - at);
    at = end;
    auto colon = field.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        field.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
      reject(c, 400, "malformed header line");
      return true;
    }
    std::string_view value = trim(field.substr(colon + 1));
    std::string_view name = field.substr(0, colon);
    request.headers.emplace_back(name, value);
    if (equalsIgnoringCase(name, "Content-Length")) {
      if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos ||
          value.size() > 12 || (length && *length != value)) {
        reject(c, 400, "bad Content-Length");
        return true;
      }
      length = std::string(value);
      bodyLength = std::stoull(*length);
    } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
      reject(c, 501, "the fake Bridge reads Content-Length bodies only");
      return true;
    } else if (equalsIgnoringCase(name, "Connection")) {
      if (containsToken(value, "close"))
        keepAlive = false;
      else if (containsToken(value, "keep-alive"))
        keepAlive = true;
    }
  }
  if (bodyLength > kMaxBody) {
    reject(c, 413, "body over 256 MiB");
    return true;
  }
  const std::size_t total = headEnd + 4 + bodyLength;
  if (c.in.size() < total) // the body is still on its way
    return false;
  if (c.in.size() == total) { // the common case: take the buffer, copy nothing
    request.body = std::move(c.in);
    request.body.erase(0, headEnd + 4);
    c.in.clear();
  } else {
    request.body = c.in.substr(headEnd + 4, bodyLength);
    c.in.erase(0, total);
  }
  c.headScanned = 0;

  const auto question = request.target.find('?');
  request.path = request.target.substr(0, question);
  request.hasQuery = question != std::string::npos;
  if (request.hasQuery)
    request.query = request.target.substr(question + 1);
  request.decodedPath = percentDecode(request.path);
  request.connection = c.id;
  request.arrived = Clock::now();
  answer(c, std::move(request), keepAlive);
  return true;
}

void FakeBridge::reject(Connection& c, int status, const std::string& why) {
  c.in.clear();
  c.peerClosed = true; // read no further: the connection closes after this answer
  auto reply = std::make_shared<const Reply>(
      Reply{.status = status, .body = nlohmann::json{{"error", why}}.dump(), .closeAfter = true});
  plan(c, std::move(reply), false, Clock::now());
}

void FakeBridge::answer(Connection& c, RecordedRequest request, bool keepAlive) {
  if (watchers_.request)
    watchers_.request(request);
  std::shared_ptr<const Reply> reply = choose(request);
  if (watchers_.record) {
    std::lock_guard lock(recordLock_);
    recorded_.push_back(request);
  }
  recordedChanged_.notify_all();
  plan(c, std::move(reply), keepAlive, request.arrived);
}

// Lays out the answer as steps: byte ranges, each sent once the gap before it has passed.
void FakeBridge::plan(Connection& c, std::shared_ptr<const Reply> shared, bool keepAlive,
                      Clock::time_point from) {
  const Reply& reply = *shared;
  c.answering = true;
  c.reply = std::move(shared);
  c.step = c.sent = 0;
  c.wakeAt = from + reply.delay;
  if (reply.drop) {
    c.end = Connection::End::Close;
    return;
  }
  const bool close =
      reply.closeAfter || !keepAlive || (!reply.raw && reply.framing == Framing::CloseDelimited);
  c.end = reply.resetAfter ? Connection::End::Reset
          : close          ? Connection::End::Close
                           : Connection::End::KeepAlive;

  std::string_view source = reply.raw ? std::string_view(*reply.raw) : reply.body;
  const std::size_t pieces = std::max<std::size_t>(1, reply.tricklePieces);
  const std::size_t pieceSize = std::max<std::size_t>(1, (source.size() + pieces - 1) / pieces);
  auto bytes = [&](std::string text) -> std::string_view {
    return c.made.emplace_back(std::move(text));
  };
  const bool chunked = !reply.raw && reply.framing == Framing::Chunked;

  if (!reply.raw) {
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " ";
    head += reasonPhrase(reply.status);
    head += "\r\nContent-Type: application/json\r\n";
    const bool noBody = reply.status < 200 || reply.status == 204 || reply.status == 304;
    if (reply.framing == Framing::ContentLength && !noBody)
      head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    else if (chunked)
      head += "Transfer-Encoding: chunked\r\n";
    if (c.end == Connection::End::Close)
      head += "Connection: close\r\n";
    head += "\r\n";
    c.steps.push_back({bytes(std::move(head))});
  }
  for (std::size_t at = 0, i = 0; at < source.size(); at += pieceSize, ++i) {
    const Clock::duration gap = i > 0 ? Clock::duration(reply.trickleGap) : Clock::duration{};
    std::string_view piece = source.substr(at, pieceSize);
    if (chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
      c.steps.push_back({bytes(size), gap});
      c.steps.push_back({piece});
      c.steps.push_back({"\r\n"});
    } else {
      c.steps.push_back({piece, gap});
    }
  }
  if (chunked)
    c.steps.push_back({"0\r\n\r\n"});
}

} // namespace vantrel::testing
