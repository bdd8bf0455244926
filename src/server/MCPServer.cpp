#include "server/MCPServer.h"

#include "bridge/AsioTransport.h"
#include "common/Version.h"
#include "server/Responder.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vantrel::server {

namespace asio = boost::asio;
using nlohmann::json;

namespace {

constexpr const char* kProtocolVersion = "2024-11-05";
constexpr const char* kServerName = "vantrel-mcp";
constexpr const char* kInstructions =
    "砚舟本地素材库。先调用 get_guide 阅读 agent 规范（实时读取，始终为最新），再用 search_assets "
    "检索内容卡片。导入/写笔记需要砚舟 app 处于运行状态。";
constexpr const char* kUnparseable = "无法解析 JSON";

// A reply's text past this size is answered away from the reading thread: up to it, its line is
// written in one write or left to the writer holding the output (LineWriter), and a transcript
// scan of it is quick.
constexpr std::size_t kHeavyText = 64 * 1024;
// A terminal read with no thread to spare is looked at this often.
constexpr std::chrono::milliseconds kInlineTick{10};

json initializeResult() {
  return {{"protocolVersion", kProtocolVersion},
          {"capabilities", {{"tools", json::object()}}},
          {"serverInfo", {{"name", kServerName}, {"version", kVersion}}},
          {"instructions", kInstructions}};
}

// One tools/call from start to answer; everything it needs is held by value in its frame (the
// loop outlives its tasks). Nothing may suspend between the result and its answer: the answer is
// written and then the usage report posted in one piece of work, on whichever thread runs it.
asio::awaitable<void> serveToolCall(std::shared_ptr<tools::ToolRegistry> tools, EventLoop* loop,
                                    Responder responder, std::string name, json arguments) {
  auto outcome = co_await tools->run(std::move(name), std::move(arguments));
  const bool heavy = outcome.result.text.escapedSize() > kHeavyText;
  loop->runAwayIfHeavy(
      heavy, [tools, outcome = std::move(outcome), responder = std::move(responder)]() mutable {
        tools->finish(std::move(outcome),
                      [&responder](ToolResult& result) { responder.answer(result); });
      });
}

// A coroutine's failure is its own to report; nothing more is learnt from the exception here.
void ignore(const std::exception_ptr&) {
}

} // namespace

MCPServer::MCPServer(Input input, LineWriter::Sink out, LineWriter::Sink err, ServerOptions options)
    : loop_(std::make_unique<EventLoop>(options.loopThreads, options.loopStack)),
      transport_(options.transport ? std::move(options.transport)
                                   : std::make_shared<bridge::AsioTransport>()),
      tools_(std::make_shared<tools::ToolRegistry>(
          bridge::BridgeClient(transport_, std::move(options.credentials),
                               [] { return JsonText::withLimit(maxToolTextSize()); }),
          // A usage report stays beside its call, on the same thread and connections, after its
          // answer.
          [loop = loop_.get()](asio::awaitable<void> task) { loop->spawnHere(std::move(task)); },
          options.maxReportsInFlight)),
      pending_(std::make_shared<TaskGroup>()),
      outQueue_(std::make_shared<LineWriter>(std::move(out), std::move(err))),
      input_(std::move(input)), inputThread_(options.inputThread) {
}

MCPServer::~MCPServer() {
  reader_.reset(); // it hands pieces to the loop
  loop_->stop();
  // Kept connections belong to the loop's contexts: close them while those still exist.
  transport_->shutdown();
  loop_.reset();
}

int MCPServer::serve() {
  inputOpen_.emplace(loop_->keepRunning());
  auto& caller = loop_->callerContext();
  switch (input_.kind()) {
  case Input::Kind::bytes:
    asio::co_spawn(caller, readBytes(input_.takeBytes()), ignore);
    break;
  case Input::Kind::waited:
    if (auto watch = InputWatch::open(input_.fd())) {
      asio::co_spawn(caller, readWaited(std::move(*watch)), ignore);
      break;
    }
    startBlockingReader(); // the platform would not watch it: read it as any other kind
    break;
  case Input::Kind::blocking:
    startBlockingReader();
    break;
  }
  loop_->runUntilDrained(*pending_);
  // Its last piece has been taken; the thread may still be on its way out of the hand-over.
  reader_.reset();
  return readFailure_ ? 1 : 0;
}

// A pipe or socket, as agent hosts give: the loop waits on the watch, then it is read with plain
// read() calls until none is left, on the reading thread. Its flags stay as the host left them.
asio::awaitable<void> MCPServer::readWaited(InputWatch watch) {
  const int fd = input_.fd();
  try {
    auto executor = co_await asio::this_coro::executor;
    asio::posix::stream_descriptor waiter(executor, watch.fd());
    struct Borrowed { // the watch closes its own descriptor
      asio::posix::stream_descriptor& waiter;
      ~Borrowed() { waiter.release(); }
    } borrowed{waiter};
    std::unique_ptr<char[]> chunk(new char[kInputPiece]);
    for (;;) {
      boost::system::error_code ec;
      co_await waiter.async_wait(asio::posix::stream_descriptor::wait_read,
                                 asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        startBlockingReader(); // the loop cannot wait on it after all: a thread reads it
        co_return;
      }
      if (!watch.readable())
        continue; // a stale wake-up: reading now would block the reading thread
      for (;;) {
        ssize_t n = ::read(fd, chunk.get(), kInputPiece);
        if (n < 0 && errno == EINTR)
          continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
          break; // a non-blocking descriptor with nothing after all: wait again
        if (n <= 0) {
          inputEnded(n == 0 ? std::nullopt : std::optional(std::generic_category().message(errno)));
          co_return;
        }
        const bool more = moreWaiting(fd, static_cast<std::size_t>(n), kInputPiece);
        take(std::string_view(chunk.get(), static_cast<std::size_t>(n)), more);
        if (!more)
          break;
        // A backlog: let what is ready run before reading on.
        co_await asio::post(executor, asio::use_awaitable);
      }
    }
  } catch (const std::exception& e) {
    inputEnded(e.what());
  }
}

// Anything that is not a pipe or socket: a thread of its own reads it with blocking reads (a
// terminal waits for a person to type), and hands each piece to the reading thread.
void MCPServer::startBlockingReader() {
  reader_ = std::make_unique<BlockingReader>();
  auto deliver = [this](BlockingReader::Piece piece) {
    auto shared = std::make_shared<BlockingReader::Piece>(std::move(piece));
    // No memory for the hand-over is a passing state: the piece, maybe the input's end, must
    // arrive.
    for (;;) {
      try {
        asio::post(loop_->callerContext(), [this, shared] {
          if (!shared->bytes.empty())
            take(shared->bytes, reader_->moreDelivered());
          reader_->taken();
          if (shared->ended)
            inputEnded(shared->failure);
        });
        return;
      } catch (const std::exception&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  };
  if (inputThread_ && reader_->start(input_.fd(), std::move(deliver)))
    return;
  // No thread to spare: read on the reading thread itself, between the calls' work.
  reader_.reset();
  asio::co_spawn(loop_->callerContext(), readInline(), ignore);
}

// The input read where it is handled, for when no thread could be made for it: a file or a
// device that never makes a read wait is read at once; one that may (a terminal) is read only
// when it is ready, looked at every kInlineTick meanwhile.
asio::awaitable<void> MCPServer::readInline() {
  const int fd = input_.fd();
  try {
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer tick(executor);
    const WaitMethod method = waitMethodFor(fd);
    std::unique_ptr<char[]> chunk(new char[kInputPiece]);
    for (;;) {
      while (!waitReady(fd, Readiness::readable, method, 0)) {
        tick.expires_after(kInlineTick);
        co_await tick.async_wait(asio::use_awaitable);
      }
      ssize_t n = readWaiting(fd, chunk.get(), kInputPiece, method);
      if (n <= 0) {
        inputEnded(n == 0 ? std::nullopt : std::optional(std::generic_category().message(errno)));
        break;
      }
      take(std::string_view(chunk.get(), static_cast<std::size_t>(n)),
           waitReady(fd, Readiness::readable, method, 0));
      co_await asio::post(executor, asio::use_awaitable);
    }
  } catch (const std::exception& e) {
    inputEnded(e.what());
  }
}

// Bytes in memory, handed over a read's worth at a time, with the calls' work between.
asio::awaitable<void> MCPServer::readBytes(std::string bytes) {
  try {
    auto executor = co_await asio::this_coro::executor;
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = std::min(kInputPiece, bytes.size() - at);
      take(std::string_view(bytes).substr(at, n), at + n < bytes.size());
      at += n;
      co_await asio::post(executor, asio::use_awaitable);
    }
    inputEnded();
  } catch (const std::exception& e) {
    inputEnded(e.what());
  }
}

void MCPServer::take(std::string_view bytes, bool moreWaiting) {
  lines_.append(bytes);
  for (;;) {
    const auto next = lines_.next(line_);
    if (next == LineSplitter::Next::none)
      return;
    const bool moreInput = moreWaiting || lines_.hasLine();
    try {
      if (next == LineSplitter::Next::dropped) // too long to hold: it cannot be read either
        outQueue_->send(errorLine(kNullId, MCPError::parseError(kUnparseable)));
      else
        handleLine(line_, moreInput);
    } catch (const std::exception&) {
      // No memory for this line's answer: the next line may fare better.
    }
  }
}

void MCPServer::inputEnded(std::optional<std::string> failure) {
  if (ended_)
    return;
  ended_ = true;
  // Requests may still have been on their way: the host must not take this for a clean end.
  readFailure_ = std::move(failure);
  try {
    lines_.end();
    take({}, false); // the last line, if it had no line feed
    if (readFailure_)
      outQueue_->diagnose("vantrel-mcp: 读取标准输入失败，不再读取新的请求：" + *readFailure_ +
                          "\n");
  } catch (const std::exception&) {
    // No memory for the last line or the diagnostic; the exit status still tells.
  }
  inputOpen_.reset(); // the session may end once the calls have answered
}

void MCPServer::handleLine(std::string& line, bool moreInput) {
  auto request = decodeRequest(line);
  if (!request) {
    outQueue_->send(errorLine(kNullId, MCPError::parseError(kUnparseable)));
    return;
  }
  if (!request->idText)
    return; // a notification: nothing to answer, nothing to do
  handle(std::move(*request), moreInput);
}

void MCPServer::handle(Request request, bool moreInput) {
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
    startToolCall(std::move(*request.idText), std::move(request.params), moreInput);
  } else if (method == "ping") {
    outQueue_->send(resultLine(id, std::string_view("{}")));
  } else {
    outQueue_->send(errorLine(id, MCPError::methodNotFound(method)));
  }
}

void MCPServer::startToolCall(std::string idText, json params, bool moreInput) {
  auto name = params.find("name");
  auto arguments = params.find("arguments");
  std::string toolName =
      name != params.end() && name->is_string() ? name->get<std::string>() : std::string();
  json toolArguments =
      arguments != params.end() && arguments->is_object() ? std::move(*arguments) : json::object();

  pending_->enter(); // before the task exists, so the drain at end of input cannot miss it
  try {
    loop_->spawnCall(serveToolCall(tools_, loop_.get(),
                                   Responder(std::move(idText), outQueue_, pending_),
                                   std::move(toolName), std::move(toolArguments)),
                     moreInput);
  } catch (const std::exception&) {
    // No memory for the task: its Responder, destroyed with it, has answered the call.
  }
}

} // namespace vantrel::server
