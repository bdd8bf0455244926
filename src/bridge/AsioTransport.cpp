#include "bridge/AsioTransport.h"

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <deque>
#include <mutex>
#include <poll.h>
#include <utility>

namespace vantrel::bridge {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// Far past any reply an agent can use, but a bound: a reply is held in memory whole.
constexpr std::uint64_t kMaxReplyBody = 1ull << 32;
// What a Content-Length may make us reserve up front; beyond it the body grows as bytes arrive.
constexpr std::uint64_t kMaxReserve = 1 << 20;

// A reply body that grows as bytes arrive. A Content-Length is only a claim: reserving all of it
// would let one lying header take memory the reply never fills.
struct ReplyBody {
  using value_type = std::string;

  static std::uint64_t size(const value_type& body) { return body.size(); }

  class reader {
  public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, error_code& ec) {
      ec = {};
      if (length)
        body_.reserve(static_cast<std::size_t>(std::min(*length, kMaxReserve)));
    }
    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, error_code& ec) {
      ec = {};
      std::size_t taken = 0;
      for (auto buffer : beast::buffers_range_ref(buffers)) {
        body_.append(static_cast<const char*>(buffer.data()), buffer.size());
        taken += buffer.size();
      }
      return taken;
    }
    void finish(error_code& ec) { ec = {}; }

  private:
    value_type& body_;
  };
};

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
      arm(watch); // bytes moved meanwhile: wait for the new deadline
      return;
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

class AsioTransport::Pool {
public:
  // The most recently kept connection to `port` that is still open, or nullptr.
  std::unique_ptr<tcp::socket> take(int port) {
    std::vector<std::unique_ptr<tcp::socket>> stale; // closed outside the lock
    std::unique_ptr<tcp::socket> found;
    {
      std::lock_guard lock(lock_);
      for (auto it = idle_.end(); it != idle_.begin() && !found;) {
        --it;
        if (it->first != port)
          continue;
        auto socket = std::move(it->second);
        it = idle_.erase(it);
        if (stillOpen(*socket))
          found = std::move(socket);
        else
          stale.push_back(std::move(socket));
      }
    }
    return found;
  }

  void put(int port, std::unique_ptr<tcp::socket> socket) {
    std::unique_ptr<tcp::socket> evicted;
    std::lock_guard lock(lock_);
    idle_.emplace_back(port, std::move(socket));
    if (idle_.size() > kMaxIdleConnections) {
      evicted = std::move(idle_.front().second);
      idle_.pop_front();
    }
  }

  void clear() {
    std::deque<std::pair<int, std::unique_ptr<tcp::socket>>> closing;
    std::lock_guard lock(lock_);
    closing.swap(idle_);
  }

  std::size_t size() const {
    std::lock_guard lock(lock_);
    return idle_.size();
  }

private:
  mutable std::mutex lock_; // guards idle_ only
  std::deque<std::pair<int, std::unique_ptr<tcp::socket>>> idle_;
};

namespace {

// One exchange, as one coroutine: with thousands in flight, every nested frame counts.
asio::awaitable<HttpOutcome> perform(std::shared_ptr<AsioTransport::Pool> pool,
                                     Clock::duration idle, HttpRequest request) {
  const int port = request.port;
  try {
    auto executor = co_await asio::this_coro::executor;
    const std::string head = formatHead(request);
    auto watch = std::make_shared<Watch>(executor, idle);
    WatchScope scope(watch);

    std::unique_ptr<tcp::socket> socket = pool->take(port);
    bool pooled = socket != nullptr;
    error_code ec;
    for (;;) {
      if (!socket) {
        socket = std::make_unique<tcp::socket>(executor);
        watch->socket = socket.get();
        co_await socket->async_connect(
            tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
            asio::redirect_error(asio::use_awaitable, ec));
        watch->moved();
        if (ec)
          co_return failure("connect", port, ec, *watch);
        socket->set_option(tcp::no_delay(true), ec);
      }
      watch->socket = socket.get();
      auto [writeError, written] = co_await writeRequest(*socket, head, request.body, *watch);
      // The Bridge cannot have read a request of which no byte left us: a kept connection it
      // closed meanwhile is replaced without counting as an attempt.
      if (writeError && written == 0 && pooled && !watch->expired) {
        socket.reset();
        pooled = false;
        continue;
      }
      if (writeError)
        co_return failure("write", port, writeError, *watch);
      break;
    }

    beast::flat_buffer buffer;
    http::response_parser<ReplyBody> parser;
    parser.header_limit(static_cast<std::uint32_t>(kMaxReplyHead));
    parser.body_limit(kMaxReplyBody);
    while (!parser.is_done()) {
      co_await http::async_read_some(*socket, buffer, parser,
                                     asio::redirect_error(asio::use_awaitable, ec));
      watch->moved();
      if (ec)
        co_return failure("read", port, ec, *watch);
    }

    auto& reply = parser.get();
    const bool reusable = reply.keep_alive() && !parser.need_eof() && buffer.size() == 0;
    HttpReply outcome{static_cast<int>(reply.result_int()), std::move(reply.body())};
    watch->socket = nullptr;
    if (reusable)
      pool->put(port, std::move(socket));
    co_return outcome;
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
