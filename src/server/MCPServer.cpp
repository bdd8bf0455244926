#include "server/MCPServer.h"

#include "bridge/AsioTransport.h"
#include "common/Version.h"
#include "server/Responder.h"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::server {

using nlohmann::json;

namespace {

constexpr const char* kProtocolVersion = "2024-11-05";
constexpr const char* kServerName = "vantrel-mcp";
constexpr const char* kInstructions =
    "砚舟本地素材库。先调用 get_guide 阅读 agent 规范（实时读取，始终为最新），再用 search_assets "
    "检索内容卡片。导入/写笔记需要砚舟 app 处于运行状态。";
constexpr const char* kUnparseable = "无法解析 JSON";

json initializeResult() {
  return {{"protocolVersion", kProtocolVersion},
          {"capabilities", {{"tools", json::object()}}},
          {"serverInfo", {{"name", kServerName}, {"version", kVersion}}},
          {"instructions", kInstructions}};
}

// One tools/call from start to answer; everything it needs is held by value in its frame.
boost::asio::awaitable<void> serveToolCall(std::shared_ptr<tools::ToolRegistry> tools,
                                           Responder responder, std::string name, json arguments) {
  co_await tools->call(std::move(name), std::move(arguments),
                       [&responder](ToolResult& result) { responder.answer(result); });
}

} // namespace

MCPServer::MCPServer(LineWriter::Sink out, LineWriter::Sink err, ServerOptions options)
    : loop_(std::make_unique<EventLoop>(options.loopThreads, options.loopStack)),
      transport_(options.transport ? std::move(options.transport)
                                   : std::make_shared<bridge::AsioTransport>()),
      tools_(std::make_shared<tools::ToolRegistry>(
          bridge::BridgeClient(transport_, std::move(options.credentials),
                               [] { return JsonText::withLimit(maxToolTextSize()); }),
          // A usage report stays beside its call, on the same thread and connections.
          [loop = loop_.get()](boost::asio::awaitable<void> task) {
            loop->spawnHere(std::move(task));
          },
          options.maxReportsInFlight)),
      pending_(std::make_shared<TaskGroup>()),
      outQueue_(std::make_shared<LineWriter>(std::move(out), std::move(err))) {
}

MCPServer::~MCPServer() {
  loop_->stop();
  // Kept connections belong to the loop's contexts: close them while those still exist.
  transport_->shutdown();
  loop_.reset();
}

void MCPServer::serve(int fd) {
  loop_->spawnHere(readInput(fd));
  runUntilDrained();
}

void MCPServer::run(LineReader& input) {
  loop_->spawnHere(readAlong(input));
  runUntilDrained();
}

void MCPServer::runUntilDrained() {
  loop_->run();
  // The first context may have run out of work while calls on the others still run.
  pending_->wait();
  // The last calls' usage reports were posted to start after their answers: let them set out.
  // Whatever they still wait for is dropped with the process.
  loop_->runReady();
}

boost::asio::awaitable<void> MCPServer::readAlong(LineReader& input) {
  std::string line;
  while (input.next(line)) {
    handleLine(line);
    // Let the calls started so far run before the next line is read.
    co_await boost::asio::post(co_await boost::asio::this_coro::executor,
                               boost::asio::use_awaitable);
  }
  inputEnded();
}

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// Whether more input waits to be read now, after a read of `got` bytes into `room`: a short read
// from a pipe or socket took all there was.
bool moreWaiting(int fd, std::size_t got, std::size_t room) {
  if (got < room)
    return false;
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

// Standard input is the process's: the descriptor object lets go of it rather than close it.
struct Borrowed {
  boost::asio::posix::stream_descriptor& descriptor;
  ~Borrowed() {
    if (descriptor.is_open())
      descriptor.release();
  }
};

} // namespace

// A pipe or socket, as agent hosts give, is waited on by the loop, then read with plain read()
// calls until none is left; waiting rather than reading asynchronously leaves the descriptor's
// flags alone. Asio hands each wait to the reactor afresh, so input that arrived after the last
// read still wakes the next wait. Anything else (a file, a terminal, a device) is read with
// blocking reads: not every kind can be waited on everywhere (macOS), and a file never makes a
// read wait. Calls then go to the other threads, so a read waiting for a person to type holds
// none of them up (unless there is no other thread).
boost::asio::awaitable<void> MCPServer::readInput(int fd) {
  auto executor = co_await boost::asio::this_coro::executor;
  boost::asio::posix::stream_descriptor input(executor);
  Borrowed borrowed{input};
  struct stat info {};
  boost::system::error_code ec = boost::asio::error::operation_not_supported;
  if (::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)))
    input.assign(fd, ec);
  if (ec) {
    loop_->keepCallerFree(true);
    auto reader = LineReader::fromFd(fd);
    co_await readAlong(reader);
    co_return;
  }

  LineReader lines;
  std::string line;
  std::unique_ptr<char[]> chunk(new char[kReadChunk]);
  for (bool open = true; open;) {
    co_await input.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                              boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    for (;;) {
      ssize_t n = ::read(fd, chunk.get(), kReadChunk);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        break; // nothing after all: wait again
      if (n <= 0) {
        open = false; // the end, or an error after which nothing more can come
        break;
      }
      lines.append(std::string_view(chunk.get(), static_cast<std::size_t>(n)));
      while (lines.nextBuffered(line))
        handleLine(line);
      if (!moreWaiting(fd, static_cast<std::size_t>(n), kReadChunk))
        break;
      // A backlog: let the calls started from it run before reading on.
      co_await boost::asio::post(executor, boost::asio::use_awaitable);
    }
  }
  lines.end();
  while (lines.nextBuffered(line))
    handleLine(line);
  inputEnded();
}

void MCPServer::handleLine(std::string& line) {
  auto request = decodeRequest(line);
  if (!request) {
    outQueue_->send(errorLine(kNullId, MCPError::parseError(kUnparseable)));
    return;
  }
  if (!request->idText)
    return; // a notification: nothing to answer, nothing to do
  handle(std::move(*request));
}

void MCPServer::inputEnded() {
  // Usage reports still in flight must not keep the process: it ends once every call answered.
  pending_->whenEmpty([loop = loop_.get()] { loop->stopRunning(); });
}

void MCPServer::handle(Request request) {
  const std::string& id = *request.idText;
  const std::string& method = request.method;
  json& params = request.params;
  if (method == "initialize") {
    auto clientInfo = params.find("clientInfo");
    if (clientInfo != params.end() && clientInfo->is_object()) {
      auto name = clientInfo->find("name");
      tools_->setClientName(name != clientInfo->end() && name->is_string()
                                ? std::optional<std::string>(name->get<std::string>())
                                : std::nullopt);
    }
    outQueue_->send(resultLine(id, initializeResult()));
  } else if (method == "tools/list") {
    outQueue_->send(resultLine(id, {{"tools", tools_->definitions()}}));
  } else if (method == "tools/call") {
    startToolCall(std::move(*request.idText), std::move(request.params));
  } else if (method == "ping") {
    outQueue_->send(resultLine(id, std::string_view("{}")));
  } else {
    outQueue_->send(errorLine(id, MCPError::methodNotFound(method)));
  }
}

void MCPServer::startToolCall(std::string idText, json params) {
  auto name = params.find("name");
  auto arguments = params.find("arguments");
  std::string toolName =
      name != params.end() && name->is_string() ? name->get<std::string>() : std::string();
  json toolArguments =
      arguments != params.end() && arguments->is_object() ? std::move(*arguments) : json::object();

  pending_->enter(); // before the task exists, so the drain at end of input cannot miss it
  try {
    loop_->spawn(serveToolCall(tools_, Responder(std::move(idText), outQueue_, pending_),
                               std::move(toolName), std::move(toolArguments)));
  } catch (const std::exception&) {
    // No memory for the task: its Responder, destroyed with it, has answered the call.
  }
}

} // namespace vantrel::server
