#include "support/FakeBridge.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace vantrel::testing {
namespace {

// httplib adds these to the headers itself; they did not arrive from the client.
bool isSyntheticHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

bool samePath(const RecordedRequest& request, std::string_view path) {
  return request.decodedPath == path || request.path == path;
}

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

// The process's open descriptors: listed from /dev/fd (Linux and macOS alike), else every number
// below the descriptor limit.
std::vector<int> openDescriptors() {
  std::vector<int> descriptors;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/dev/fd", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
      descriptors.push_back(std::stoi(name));
  }
  if (!descriptors.empty())
    return descriptors;
  rlimit limit{};
  int highest = 4096;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    highest = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536));
  for (int fd = 0; fd < highest; ++fd)
    descriptors.push_back(fd);
  return descriptors;
}

// httplib hands out no sockets, so find accepted connections by their ports and shut them: the
// client then sees the connection end with no answer at all. remotePort -1 shuts them all.
void shutConnections(int localPort, int remotePort) {
  for (int fd : openDescriptors()) {
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0)
      continue;
    if (portOf(local) != localPort)
      continue;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    if (remotePort != -1 && portOf(peer) != remotePort)
      continue;
    ::shutdown(fd, SHUT_RDWR);
  }
}

} // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  auto it = headers.find(name);
  if (it == headers.end())
    return std::nullopt;
  return it->second;
}

std::size_t RecordedRequest::headerCount(const std::string& name) const {
  return headers.count(name);
}

nlohmann::json RecordedRequest::json() const {
  return nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
}

FakeBridge::FakeBridge(std::size_t workerThreads) {
  // Writing an answer to a connection the client already closed must not kill the test run.
  std::signal(SIGPIPE, SIG_IGN);
  server_.new_task_queue = [workerThreads] { return new httplib::ThreadPool(workerThreads); };
  server_.set_keep_alive_max_count(100000);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  };
  // [\s\S] rather than ".", which would not match a decoded line break.
  const std::string any = R"([\s\S]*)";
  server_.Get(any, handler);
  server_.Post(any, handler);
  server_.Put(any, handler);
  server_.Patch(any, handler);
  server_.Delete(any, handler);
  server_.Options(any, handler);
  int listening = -1;
  server_.set_socket_options([&listening](int fd) {
    httplib::default_socket_options(fd);
    listening = fd;
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0)
    throw std::runtime_error("FakeBridge: cannot bind 127.0.0.1");
  // httplib listens with a backlog of 5; a burst of concurrent clients would then wait out SYN
  // retransmissions. Listening again only enlarges the queue.
  ::listen(listening, SOMAXCONN);
  thread_ = std::thread([this] {
    server_.listen_after_bind();
    listenEnded_ = true;
  });
  // stop() is a no-op on a server that has not started its loop yet; wait for it to run.
  while (!server_.is_running() && !listenEnded_)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeBridge::~FakeBridge() {
  stop();
}

void FakeBridge::stop() {
  {
    std::lock_guard lock(stopLock_);
    stopping_ = true;
  }
  stoppingChanged_.notify_all();
  server_.stop();
  // Idle kept-alive connections would otherwise hold the server's workers for their whole
  // keep-alive time; a host app that quits takes its connections with it.
  if (thread_.joinable()) {
    shutConnections(port_, -1);
    thread_.join();
  }
}

void FakeBridge::on(const std::string& method, const std::string& path, Reply reply) {
  on(method, path, std::vector<Reply>{std::move(reply)});
}

void FakeBridge::on(const std::string& method, const std::string& path, std::vector<Reply> script) {
  if (script.empty())
    script.emplace_back();
  std::lock_guard lock(rulesLock_);
  rules_[{method, path}] = Rule{std::move(script), 0};
}

std::vector<Reply> FakeBridge::unauthorizedFirst(std::size_t count, Reply then) {
  std::vector<Reply> script(count, Reply{.status = 401, .body = R"({"error":"unauthorized"})"});
  script.push_back(std::move(then));
  return script;
}

std::vector<RecordedRequest> FakeBridge::requests() const {
  std::lock_guard lock(recordLock_);
  return recorded_;
}

std::vector<RecordedRequest> FakeBridge::requestsTo(std::string_view path) const {
  std::vector<RecordedRequest> matching;
  for (auto& request : requests())
    if (samePath(request, path))
      matching.push_back(std::move(request));
  return matching;
}

void FakeBridge::clearRequests() {
  std::lock_guard lock(recordLock_);
  recorded_.clear();
}

bool FakeBridge::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(recordLock_);
  return recordedChanged_.wait_for(lock, timeout, [&] { return recorded_.size() >= count; });
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

bool FakeBridge::pause(std::chrono::milliseconds span) {
  std::unique_lock lock(stopLock_);
  return !stoppingChanged_.wait_for(lock, span, [this] { return stopping_; });
}

Reply FakeBridge::replyFor(const RecordedRequest& request) {
  std::lock_guard lock(rulesLock_);
  auto rule = rules_.find({request.method, request.decodedPath});
  if (rule == rules_.end())
    rule = rules_.find({request.method, request.path});
  if (rule == rules_.end())
    return Reply{};
  auto& script = rule->second.script;
  std::size_t index = std::min(rule->second.served++, script.size() - 1);
  return script[index];
}

void FakeBridge::handle(const httplib::Request& request, httplib::Response& response) {
  RecordedRequest record;
  record.method = request.method;
  record.target = request.target;
  const auto question = request.target.find('?');
  record.path = request.target.substr(0, question);
  record.hasQuery = question != std::string::npos;
  if (record.hasQuery)
    record.query = request.target.substr(question + 1);
  record.decodedPath = request.path;
  for (const auto& [name, value] : request.headers)
    if (!isSyntheticHeader(name))
      record.headers.emplace(name, value);
  record.body = request.body;
  record.remotePort = request.remote_port;

  Reply reply = replyFor(record);
  {
    std::lock_guard lock(recordLock_);
    recorded_.push_back(record);
  }
  recordedChanged_.notify_all();

  if (reply.before)
    reply.before(record);
  if (reply.delay.count() > 0 && !pause(reply.delay))
    return;
  if (reply.drop) {
    shutConnections(request.local_port, request.remote_port);
    // Nothing more can reach the client; a failing provider makes httplib give the socket up.
    response.set_content_provider(1, "text/plain",
                                  [](size_t, size_t, httplib::DataSink&) { return false; });
    return;
  }

  response.status = reply.status;
  if (reply.tricklePieces <= 1 || reply.body.empty()) {
    response.set_content(reply.body, reply.contentType);
    return;
  }
  const std::size_t pieceSize = (reply.body.size() + reply.tricklePieces - 1) / reply.tricklePieces;
  auto body = std::make_shared<const std::string>(std::move(reply.body));
  response.set_content_provider(body->size(), reply.contentType,
                                [this, body, pieceSize, gap = reply.trickleGap](
                                    size_t offset, size_t, httplib::DataSink& sink) {
                                  if (offset > 0 && !pause(gap))
                                    return false;
                                  const std::size_t size =
                                      std::min(pieceSize, body->size() - offset);
                                  sink.write(body->data() + offset, size);
                                  return true;
                                });
}

} // namespace vantrel::testing
