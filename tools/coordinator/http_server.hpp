// The coordinator's HTTP/1.1 server, on Boost.Beast and Boost.Asio.
//
// Every connection is one C++20 coroutine on its own strand. A held request (a join
// waiting for its task, a long-poll fetch) is a suspended coroutine that waits on a
// timer and, at the same time, on its socket becoming readable, so a client that hangs
// up frees its hold at once. Each request has one deadline for its whole head and body;
// a body grows only as its bytes arrive, and all bodies in transit share one byte budget.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/coordinator/waiter.hpp"

namespace korvane::coordinator {

namespace asio = boost::asio;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: path plus query
  std::string path;    // target up to '?', not decoded
  HeaderList headers;  // in arrival order
  HeaderList params;   // the query, percent-decoded, in order
  std::string body;
  std::string peer;    // the client's address, as text

  // First occurrence; header names compare case-insensitively.
  const std::string* header(std::string_view name) const;
  const std::string* param(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  HeaderList headers;
  std::string content_type = "application/json";
  std::shared_ptr<const std::string> body;  // shared, so stored relay bytes go out uncopied
  bool close = false;                       // end the connection after this answer
  bool drop = false;                        // the client is gone: send nothing

  void set_body(int code, std::string text, std::string type);
};

// A waiter woken from any thread; the held coroutine sleeps on its timer.
class Wakeup : public Waiter, public std::enable_shared_from_this<Wakeup> {
 public:
  explicit Wakeup(asio::any_io_executor ex) : timer_(std::move(ex)) {}
  void wake() override;
  bool consume() { return woken_.exchange(false); }
  asio::steady_timer& timer() { return timer_; }

 private:
  asio::steady_timer timer_;
  std::atomic<bool> woken_{false};
};

// What a handler may do while it holds its request.
class Hold {
 public:
  enum class End { woken, timed_out, client_gone, stopping };
  virtual ~Hold() = default;
  // A waiter bound to this connection's strand.
  virtual std::shared_ptr<Wakeup> waiter() = 0;
  // Sleeps until the waiter is woken, `deadline` passes, the client hangs up or the
  // server stops. A wake-up that came before the call ends it at once.
  virtual asio::awaitable<End> wait(Wakeup& w, std::chrono::steady_clock::time_point deadline) = 0;
};

class HttpServer {
 public:
  struct Options {
    std::size_t threads = 1;
    std::chrono::milliseconds request_timeout{10000};  // a whole request, head and body
    std::chrono::milliseconds keep_alive{2000};        // idle time allowed between requests
    std::size_t keep_alive_max = 100;                  // requests per connection
    std::size_t max_head = 64u << 10;                  // request line plus headers
    std::size_t max_target = 8192;
    std::size_t max_headers = 100;
    std::size_t max_connections = 20000;
    std::size_t body_budget = std::size_t{1} << 30;  // bytes of request bodies in transit, all together
  };
  using Handler = std::function<asio::awaitable<void>(HttpRequest&, HttpResponse&, Hold&)>;
  // Looks at a request before its body is read; returns true when it has answered.
  using HeadCheck = std::function<bool(const HttpRequest&, HttpResponse&)>;
  // Fills an error answer the server itself gives (bad request, unknown path, ...).
  using ErrorWriter = std::function<void(HttpResponse&, int status, const std::string& message)>;

  explicit HttpServer(Options options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Bodies longer than `max_body` are refused with 413 before they are read.
  void route(std::string method, std::string path, std::size_t max_body, Handler handler);
  void set_head_check(HeadCheck check) { head_check_ = std::move(check); }
  void set_error_writer(ErrorWriter writer) { error_writer_ = std::move(writer); }
  // Sees each request whose head was understood, once its answer is ready: `body_bytes`
  // is its Content-Length, `elapsed` the time from its head to its answer.
  using Observer = std::function<void(const HttpRequest&, const HttpResponse&, std::uint64_t body_bytes,
                                      std::chrono::steady_clock::duration elapsed)>;
  void set_observer(Observer observer) { observer_ = std::move(observer); }

  // Binds and listens; `port` 0 picks a free one. Returns the port, or -1 with `error` set.
  int listen(const std::string& host, int port, std::string& error);
  // Serves until stop(); returns once every connection has finished.
  void run();
  // Safe from any thread. Held requests are woken by their owners (the registry and the
  // store); requests being handled still get their answers; idle connections end at once.
  void stop();

  asio::io_context& context() { return ioc_; }
  std::size_t connections() const { return connections_.load(); }
  std::size_t body_bytes() const { return body_used_.load(); }

  struct Route {
    std::string method, path;
    std::size_t max_body;
    Handler handler;
  };
  class Session;

 private:
  asio::awaitable<void> accept_loop();
  asio::awaitable<void> serve(std::shared_ptr<Session> session);
  const Route* find_route(const HttpRequest& req, HttpResponse& res) const;
  void fail(HttpResponse& res, int status, const std::string& message) const;

  const Options options_;
  asio::io_context ioc_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::vector<Route> routes_;
  HeadCheck head_check_;
  ErrorWriter error_writer_;
  Observer observer_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> body_used_{0};
  std::mutex sessions_mutex_;
  std::list<std::weak_ptr<Session>> sessions_;  // so stop() can end their reads
};

}  // namespace korvane::coordinator
