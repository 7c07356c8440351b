// A small blocking HTTP/1.1 server for the coordinator.
//
// A fixed set of worker threads all wait in accept() on one listening socket, and the
// thread that takes a connection serves it to the end. A held request (a join waiting
// for its task, a long-poll fetch) simply keeps its thread. There is no hand-off from
// an acceptor to a pool and a body is read straight into place with as few recv calls
// as the socket allows, so on loopback a relay costs a couple of thread wake-ups.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::coordinator {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: path plus query
  std::string path;    // target up to '?', not decoded
  HeaderList headers;  // in arrival order
  HeaderList params;   // the query, percent-decoded, in order
  std::string body;

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

  void set_body(int code, std::string text, std::string type);
};

class HttpServer {
 public:
  struct Options {
    std::size_t threads = 128;
    std::chrono::milliseconds io_timeout{5000};  // silence allowed while a request or answer is in transit
    std::chrono::milliseconds keep_alive{2000};  // idle time allowed between requests
    std::size_t keep_alive_max = 100;            // requests per connection
    std::size_t max_head = 64u << 10;            // request line plus headers
    std::size_t max_target = 8192;
    std::size_t max_headers = 100;
  };
  using Handler = std::function<void(HttpRequest&, HttpResponse&)>;  // may take the body
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

  // Binds and listens; `port` 0 picks a free one. Returns the port, or -1 with errno set.
  int listen(const std::string& host, int port);
  // Serves until stop(); returns once every worker has finished.
  void run();
  // Safe from any thread, before or during run(). Requests being handled still get
  // their answers; idle connections and waiting accepts end at once.
  void stop();

 private:
  struct Route {
    std::string method, path;
    std::size_t max_body;
    Handler handler;
  };
  class Connection;

  void worker();
  void serve(int fd, std::vector<char>& buffer);
  bool serve_one(Connection& conn, bool last);  // false: the connection ends
  const Route* find_route(const HttpRequest& req, HttpResponse& res) const;
  void call_handler(const Route& route, HttpRequest& req, HttpResponse& res) const;
  void fail(HttpResponse& res, int status, const std::string& message) const;

  const Options options_;
  std::vector<Route> routes_;
  HeadCheck head_check_;
  ErrorWriter error_writer_;
  int listen_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex open_mutex_;
  std::set<int> open_;  // connections being served, so stop() can end their reads
};

}  // namespace korvane::coordinator
