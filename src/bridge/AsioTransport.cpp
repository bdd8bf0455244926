#include "bridge/AsioTransport.h"

#include "bridge/ReplyParser.h"

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <deque>
#include <map>
#include <mutex>
#include <poll.h>
#include <utility>

namespace vantrel::bridge {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// The first read of a reply takes this much; a reply that fills it is read in larger pieces.
// Small, since thousands of calls may wait on the Bridge at once, each with its buffer.
constexpr std::size_t kFirstRead = 512;
constexpr std::size_t kLaterReads = 64 * 1024;

// The idle time-out of one exchange. Bytes moving push the deadline on; when it passes with
// nothing moving, the socket is closed and the pending operation fails. Lives as long as its
// last timer handler, which may run after the exchange has ended and then does nothing.
struct Watch {
  Watch(const asio::any_io_executor& executor, Clock::duration limit)
      : timer(executor), idle(limit) {}

  asio::steady_timer timer;
  Clock::duration idle;
  Clock::time_point lastMoved = Clock::now();
  tcp::socket* socket = nullptr; // the exchange's socket; never touched once `done`
  bool expired = false;
  bool done = false;

  void moved() { lastMoved = Clock::now(); }
};

void arm(const std::shared_ptr<Watch>& watch) {
  watch->timer.expires_at(watch->lastMoved + watch->idle);
  watch->timer.async_wait([watch](error_code ec) {
    if (ec || watch->done)
      return;
    if (Clock::now() - watch->lastMoved < watch->idle) {
      try {
        arm(watch); // bytes moved meanwhile: wait for the new deadline
        return;
      } catch (const std::exception&) {
        // No memory to wait on: the exchange ends here, rather than never time out.
      }
    }
    watch->expired = true;
    if (watch->socket != nullptr)
      watch->socket->close(ec);
  });
}

// Ends the watch however the exchange leaves.
class WatchScope {
public:
  explicit WatchScope(std::shared_ptr<Watch> watch) : watch_(std::move(watch)) { arm(watch_); }
  ~WatchScope() {
    watch_->done = true;
    watch_->timer.cancel();
  }
  WatchScope(const WatchScope&) = delete;
  WatchScope& operator=(const WatchScope&) = delete;

private:
  std::shared_ptr<Watch> watch_;
};

std::string formatHead(const HttpRequest& request) {
  std::string head;
  head.reserve(128 + request.target.size());
  head.append(request.method).append(" ").append(request.target).append(" HTTP/1.1\r\n");
  head.append("Host: 127.0.0.1:").append(std::to_string(request.port)).append("\r\n");
  for (const auto& line : request.headers)
    head.append(line).append("\r\n");
  if (request.body || request.method == "POST") {
    head.append("Content-Length: ")
        .append(std::to_string(request.body ? request.body->size() : 0))
        .append("\r\n");
  }
  head.append("\r\n");
  return head;
}

TransportFailure failure(std::string_view step, int port, const error_code& ec,
                         const Watch& watch) {
  std::string description(step);
  description.append(" 127.0.0.1:").append(std::to_string(port)).append(": ");
  if (watch.expired) {
    description.append("timed out, no data moved for ")
        .append(
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(watch.idle).count()))
        .append(" s");
  } else {
    description.append(ec.message());
  }
  return TransportFailure{std::move(description)};
}

// A kept connection is fit for a new request only if nothing has arrived on it since its last
// reply: readable means the Bridge closed it (or sent bytes nobody asked for).
bool stillOpen(tcp::socket& socket) {
  if (!socket.is_open())
    return false;
  pollfd check{socket.native_handle(), POLLIN, 0};
  return ::poll(&check, 1, 0) == 0;
}

// Writes the head and body, pushing the idle deadline on with every piece the kernel takes.
// Returns the error, if any, and how many bytes went out before it.
asio::awaitable<std::pair<error_code, std::size_t>>
writeRequest(tcp::socket& socket, const std::string& head, const std::optional<std::string>& body,
             Watch& watch) {
  std::array<asio::const_buffer, 2> parts{asio::buffer(head),
                                          body ? asio::buffer(*body) : asio::const_buffer()};
  beast::buffers_suffix<std::array<asio::const_buffer, 2>> rest(parts);
  std::size_t written = 0;
  error_code ec;
  while (asio::buffer_size(rest) > 0) {
    std::size_t n =
        co_await socket.async_write_some(rest, asio::redirect_error(asio::use_awaitable, ec));
    watch.moved();
    if (ec)
      break;
    rest.consume(n);
    written += n;
  }
  co_return std::pair{ec, written};
}

} // namespace

// The connections kept between exchanges, and a count of the exchanges in flight with each
// Bridge (port and connection group), shared by every loop thread under one mutex.
class AsioTransport::Pool {
  using Bridge = std::pair<int, std::string>; // port, connection group
  using Count = std::map<Bridge, std::size_t>::iterator;

public:
  // One exchange with a Bridge: in flight from construction until end() or destruction, however
  // the exchange ends. Lives in the exchange's coroutine, which holds the pool.
  class Visit {
  public:
    Visit(Pool& pool, int port, const std::string& group)
        : pool_(pool), count_(pool.enter(Bridge{port, group})) {}
    ~Visit() {
      if (counted_)
        pool_.leave(count_);
    }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;

    // The most recently kept connection to this Bridge made on `context` that is still open, or
    // nullptr. Connections stay with the context that made them: another context's socket would
    // report its readiness to that context's thread, a hand-off on every read.
    std::unique_ptr<tcp::socket> take(const void* context) { return pool_.take(count_, context); }
    // Before this exchange opens a connection of its own.
    void opening() { pool_.makeRoom(count_); }
    // Ends the visit with a connection fit for another request, which the pool keeps or closes.
    void end(const void* context, std::unique_ptr<tcp::socket> socket) noexcept {
      try {
        pool_.put(count_, context, std::move(socket));
        counted_ = false;
      } catch (const std::exception&) {
        // No memory to keep it: the connection closes, and the reply that came on it stands.
      }
    }

  private:
    Pool& pool_;
    Count count_;
    bool counted_ = true;
  };

  void clear() {
    std::deque<Kept> closing;
    std::lock_guard lock(lock_);
    closing.swap(idle_);
  }

  std::size_t size() const {
    std::lock_guard lock(lock_);
    return idle_.size();
  }

private:
  struct Kept {
    const void* context;
    Bridge bridge;
    std::unique_ptr<tcp::socket> socket;
  };

  Count enter(Bridge bridge) {
    std::lock_guard lock(lock_);
    auto count = inFlight_.try_emplace(std::move(bridge), 0).first;
    ++count->second;
    return count;
  }

  void leave(Count count) noexcept {
    std::lock_guard lock(lock_);
    release(count);
  }

  // Under the lock.
  void release(Count count) noexcept {
    if (--count->second == 0)
      inFlight_.erase(count);
  }

  // Under the lock: the connections open to the Bridge, in flight (one per exchange) or idle.
  std::size_t open(Count count) const {
    return count->second + static_cast<std::size_t>(
                               std::count_if(idle_.begin(), idle_.end(), [&](const Kept& kept) {
                                 return kept.bridge == count->first;
                               }));
  }

  std::unique_ptr<tcp::socket> take(Count count, const void* context) {
    for (;;) {
      std::unique_ptr<tcp::socket> socket;
      {
        std::lock_guard lock(lock_);
        auto kept = std::find_if(idle_.rbegin(), idle_.rend(), [&](const Kept& k) {
          return k.context == context && k.bridge == count->first;
        });
        if (kept == idle_.rend())
          return nullptr;
        socket = std::move(kept->socket);
        idle_.erase(std::next(kept).base());
      }
      if (stillOpen(*socket))
        return socket;
      // The Bridge closed it while it was idle: dropped here, outside the lock.
    }
  }

  // A new connection is about to open: idle ones to the same Bridge, on other contexts or
  // passed over by a retry, are closed, oldest first, so that no more than kBridgeConnections
  // stay open. One of them could hold the Bridge thread the new connection needs.
  void makeRoom(Count count) {
    std::array<std::unique_ptr<tcp::socket>, kMaxIdleConnections> closing; // outside the lock
    std::lock_guard lock(lock_);
    auto next = closing.begin();
    for (std::size_t open = this->open(count); open > kBridgeConnections; --open) {
      auto kept = std::find_if(idle_.begin(), idle_.end(),
                               [&](const Kept& k) { return k.bridge == count->first; });
      if (kept == idle_.end())
        break;
      *next++ = std::move(kept->socket);
      idle_.erase(kept);
    }
  }

  // Kept, unless that would leave more than kBridgeConnections open to its Bridge: then other
  // exchanges may be waiting for the Bridge thread this connection holds. The oldest kept
  // connection goes when there are more than kMaxIdleConnections.
  void put(Count count, const void* context, std::unique_ptr<tcp::socket> socket) {
    std::unique_ptr<tcp::socket> closing; // closed outside the lock
    std::lock_guard lock(lock_);
    if (open(count) <= kBridgeConnections) {
      idle_.push_back(Kept{context, count->first, std::move(socket)});
      if (idle_.size() > kMaxIdleConnections) {
        closing = std::move(idle_.front().socket);
        idle_.pop_front();
      }
    } else {
      closing = std::move(socket);
    }
    release(count); // last: a throw above leaves the visit counted, for its destructor
  }

  mutable std::mutex lock_; // guards idle_ and inFlight_
  std::deque<Kept> idle_;
  std::map<Bridge, std::size_t> inFlight_;
};

namespace {

// The connection for an exchange: a kept one when the request allows, else a new one.
struct Connection {
  std::unique_ptr<tcp::socket> socket;
  bool kept = false;
};

// One exchange, as one coroutine: with thousands in flight, every nested frame counts.
asio::awaitable<HttpOutcome> perform(std::shared_ptr<AsioTransport::Pool> pool,
                                     Clock::duration idle, HttpRequest request) {
  const int port = request.port;
  try {
    auto executor = co_await asio::this_coro::executor;
    const void* context = &asio::query(executor, asio::execution::context);
    std::string head = formatHead(request);
    auto watch = std::make_shared<Watch>(executor, idle);
    WatchScope scope(watch);
    AsioTransport::Pool::Visit visit(*pool, port, request.connectionGroup);

    Connection connection;
    if (request.reuseConnection) {
      connection.socket = visit.take(context);
      connection.kept = connection.socket != nullptr;
    }
    error_code writeError;
    for (;;) {
      if (!connection.socket) {
        visit.opening();
        connection.socket = std::make_unique<tcp::socket>(executor);
        watch->socket = connection.socket.get();
        error_code ec;
        co_await connection.socket->async_connect(
            tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
            asio::redirect_error(asio::use_awaitable, ec));
        watch->moved();
        if (ec)
          co_return failure("connect", port, ec, *watch);
        connection.socket->set_option(tcp::no_delay(true), ec);
      }
      watch->socket = connection.socket.get();
      auto [ec, written] = co_await writeRequest(*connection.socket, head, request.body, *watch);
      // The Bridge cannot have read a request of which no byte left us: a kept connection it
      // had closed is replaced without counting as an attempt.
      if (ec && written == 0 && connection.kept && !watch->expired) {
        connection = {};
        continue;
      }
      writeError = ec;
      break;
    }
    if (writeError && watch->expired)
      co_return failure("write", port, writeError, *watch);
    // The request is out: while the Bridge takes its time, thousands of calls may wait here, so
    // nothing of it is kept but what the pool needs.
    std::string().swap(head);
    std::shared_ptr<BodySink> body = std::move(request.replyBody);
    request = {};

    // Read the reply, even after a failed write: a Bridge that refused the request from its head
    // (413 to a body it would not take) and closed has answered, and that answer is the outcome.
    ReplyParser parser(*body);
    std::vector<char> buffer(kFirstRead);
    auto step = ReplyParser::Step::more;
    while (step == ReplyParser::Step::more) {
      error_code ec;
      std::size_t n = co_await connection.socket->async_read_some(
          asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
      watch->moved(); // every byte counts, not only a whole head or chunk-size line
      if (n > 0)
        step = parser.put(std::string_view(buffer.data(), n));
      else if (ec == asio::error::eof)
        step = parser.putEof();
      else if (ec)
        co_return failure(writeError ? "write" : "read", port, writeError ? writeError : ec,
                          *watch);
      if (n == buffer.size() && n < kLaterReads)
        buffer.resize(kLaterReads);
    }
    if (step == ReplyParser::Step::tooLarge) // the rest is never read: the connection goes
      co_return ReplyTooLarge{parser.status(), parser.declaredLength()};
    if (step == ReplyParser::Step::failed) {
      if (writeError)
        co_return failure("write", port, writeError, *watch);
      co_return TransportFailure{"read 127.0.0.1:" + std::to_string(port) + ": " + parser.error()};
    }
    watch->socket = nullptr;
    if (parser.reusable() && !writeError)
      visit.end(context, std::move(connection.socket));
    co_return HttpReply{parser.status()};
  } catch (const std::exception& e) {
    // Only memory exhaustion gets here; it is this attempt's failure, not the process's.
    co_return TransportFailure{"127.0.0.1:" + std::to_string(port) + ": " + e.what()};
  }
}

} // namespace

AsioTransport::AsioTransport(Clock::duration idleTimeout)
    : pool_(std::make_shared<Pool>()), idleTimeout_(idleTimeout) {
}

AsioTransport::~AsioTransport() = default;

asio::awaitable<HttpOutcome> AsioTransport::exchange(HttpRequest request) {
  // Not a coroutine itself: the pool goes by value, as this transport may be gone by the time
  // the exchange resumes.
  return perform(pool_, idleTimeout_, std::move(request));
}

void AsioTransport::shutdown() {
  pool_->clear();
}

std::size_t AsioTransport::idleConnections() const {
  return pool_->size();
}

} // namespace vantrel::bridge
