#include "tools/coordinator/http_server.hpp"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <thread>

namespace korvane::coordinator {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using error_code = boost::system::error_code;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const std::string* find_in(const HeaderList& list, std::string_view name, bool any_case) {
  for (const auto& [k, v] : list)
    if (any_case ? iequals(k, name) : k == name) return &v;
  return nullptr;
}

// A request body that grows only as its bytes arrive, charging every allocation to one
// budget shared by all connections. A body is never reserved from Content-Length alone.
struct BudgetedBody {
  struct value_type {
    std::string data;
    std::atomic<std::size_t>* used = nullptr;
    std::size_t limit = 0;
    std::size_t charged = 0;

    value_type() = default;
    value_type(const value_type&) = delete;
    value_type& operator=(const value_type&) = delete;
    ~value_type() {
      if (used) used->fetch_sub(charged);
    }
    bool charge(std::size_t n) {
      std::size_t cur = used->load();
      do {
        if (cur + n > limit) return false;
      } while (!used->compare_exchange_weak(cur, cur + n));
      charged += n;
      return true;
    }
  };

  static std::uint64_t size(const value_type& v) { return v.data.size(); }

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, error_code& ec) {
      expected_ = length ? static_cast<std::size_t>(*length) : 0;
      ec = {};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, error_code& ec) {
      const std::size_t n = asio::buffer_size(buffers);
      std::string& d = body_.data;
      const std::size_t need = d.size() + n;
      if (need > body_.charged) {
        // Grow by doubling from 256 KiB once bytes arrive, never past the announced length.
        std::size_t want = std::max<std::size_t>(body_.charged * 2, 256u << 10);
        if (expected_ >= need) want = std::min(want, expected_);
        want = std::max(want, need);
        if (!body_.used || !body_.charge(want - body_.charged)) {
          ec = make_error_code(boost::system::errc::not_enough_memory);
          return 0;
        }
        d.reserve(want);
      }
      for (const auto b : beast::buffers_range_ref(buffers)) d.append(static_cast<const char*>(b.data()), b.size());
      ec = {};
      return n;
    }

    void finish(error_code& ec) { ec = {}; }

   private:
    value_type& body_;
    std::size_t expected_ = 0;
  };
};

using Parser = http::request_parser<BudgetedBody>;

struct HeadError {
  int status;  // 0: nobody to answer (timeout, hang-up)
  std::string message;
};

HeadError classify(const error_code& ec, const HttpServer::Options& o) {
  using E = http::error;
  if (ec == E::header_limit) return {431, "request head larger than " + std::to_string(o.max_head) + " bytes"};
  if (ec == E::bad_version) return {505, "HTTP version not supported"};
  if (ec == E::bad_method || ec == E::bad_line_ending) return {400, "malformed request line"};
  if (ec == E::bad_target) return {400, "malformed request target"};
  if (ec == E::bad_field || ec == E::bad_obs_fold) return {400, "malformed header line"};
  if (ec == E::bad_value) return {400, "malformed header value or control character in a header"};
  if (ec == E::bad_content_length || ec == E::multiple_content_length) return {400, "malformed Content-Length"};
  if (ec == E::bad_transfer_encoding) return {400, "malformed Transfer-Encoding"};
  if (ec.category() == http::make_error_code(E::bad_method).category() && ec != E::end_of_stream &&
      ec != E::partial_message)
    return {400, "malformed request"};
  return {0, {}};
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const { return find_in(headers, name, true); }
const std::string* HttpRequest::param(std::string_view name) const { return find_in(params, name, false); }

void HttpResponse::set_body(int code, std::string text, std::string type) {
  status = code;
  body = std::make_shared<const std::string>(std::move(text));
  content_type = std::move(type);
}

void Wakeup::wake() {
  woken_.store(true);
  // Moving the expiry into the past (rather than cancelling) also ends a wait that the
  // holder begins only after this runs: the wait's start may itself be a posted step.
  asio::post(timer_.get_executor(),
             [self = shared_from_this()] { self->timer_.expires_at(asio::steady_timer::time_point::min()); });
}

class HttpServer::Session : public Hold {
 public:
  Session(tcp::socket socket, HttpServer& server, std::size_t max_head)
      : stream(std::move(socket)), buffer(max_head), server_(server) {}

  std::shared_ptr<Wakeup> waiter() override { return std::make_shared<Wakeup>(stream.get_executor()); }

  asio::awaitable<End> wait(Wakeup& w, Clock::time_point deadline) override {
    using namespace asio::experimental::awaitable_operators;
    stream.expires_never();
    for (;;) {
      if (w.consume()) co_return End::woken;
      if (server_.stopping_) co_return End::stopping;
      if (Clock::now() >= deadline) co_return End::timed_out;
      w.timer().expires_at(deadline);
      if (!watch_) {
        co_await w.timer().async_wait(kAwait);
        continue;
      }
      auto r = co_await (w.timer().async_wait(kAwait) || stream.socket().async_wait(tcp::socket::wait_read, kAwait));
      if (r.index() == 0) continue;  // deadline or wake-up: looked at above
      // Readable while held: the next request of a pipelining client, a hang-up, or a
      // readiness event left over from the reads of this request. A peek tells them apart.
      if (std::get<1>(r) != std::tuple<error_code>{}) co_return server_.stopping_ ? End::stopping : End::client_gone;
      const int fd = stream.socket().native_handle();
      char probe;
      const ssize_t peeked = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;  // nothing there
      if (peeked > 0) {
        const std::size_t room = buffer.max_size() - buffer.size();
        if (room > 0) {
          auto space = buffer.prepare(std::min<std::size_t>(room, 4096));
          const ssize_t n = ::recv(fd, space.data(), space.size(), MSG_DONTWAIT);
          if (n > 0) buffer.commit(static_cast<std::size_t>(n));
        }
        watch_ = false;  // those bytes keep the socket readable; wait on the timer alone
        continue;
      }
      co_return server_.stopping_ ? End::stopping : End::client_gone;
    }
  }

  // Ends a wait for the next request (used by stop()).
  void end_reads() {
    asio::post(stream.get_executor(), [self = std::static_pointer_cast<Session>(self_.lock())] {
      if (!self) return;
      error_code ec;
      self->stream.socket().shutdown(tcp::socket::shutdown_receive, ec);
    });
  }

  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  std::weak_ptr<Session> self_;
  std::list<std::weak_ptr<Session>>::iterator entry;
  bool watch_ = true;

 private:
  HttpServer& server_;
};

namespace {

asio::awaitable<bool> send(beast::tcp_stream& stream, const HttpResponse& res, bool close,
                           std::chrono::milliseconds timeout) {
  static const std::string kEmpty;
  const std::string& body = res.body ? *res.body : kEmpty;
  http::response<http::span_body<const char>> m;
  m.version(11);
  m.result(static_cast<unsigned>(res.status));
  if (!body.empty()) m.set(http::field::content_type, res.content_type);
  for (const auto& [k, v] : res.headers) {
    std::string value = v;
    std::replace_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }, ' ');
    m.insert(k, value);
  }
  if (close) m.set(http::field::connection, "close");
  m.body() = {body.data(), body.size()};
  m.content_length(body.size());
  stream.expires_after(timeout);
  // Head and body leave in one gathered write.
  auto [ec, n] = co_await http::async_write(stream, m, kAwait);
  co_return !ec;
}

// After refusing a body it did not read: stop sending, then read and drop a bounded
// amount, so that the client sees the answer instead of a reset from an early close.
asio::awaitable<void> drain(beast::tcp_stream& stream) {
  error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  stream.expires_after(std::chrono::milliseconds(500));
  std::size_t dropped = 0;
  std::vector<char> sink(16384);
  while (dropped < (16u << 20)) {
    auto [rec, n] = co_await stream.async_read_some(asio::buffer(sink), kAwait);
    if (rec) break;
    dropped += n;
  }
}

}  // namespace

HttpServer::HttpServer(Options options) : options_(options), ioc_(static_cast<int>(options.threads)) {}

HttpServer::~HttpServer() = default;

void HttpServer::route(std::string method, std::string path, std::size_t max_body, Handler handler) {
  routes_.push_back({std::move(method), std::move(path), max_body, std::move(handler)});
}

int HttpServer::listen(const std::string& host, int port, std::string& error) {
  try {
    tcp::resolver resolver(ioc_);
    auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::passive);
    for (const auto& entry : results) {
      auto acceptor = std::make_unique<tcp::acceptor>(ioc_);
      error_code ec;
      acceptor->open(entry.endpoint().protocol(), ec);
      if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec) acceptor->bind(entry.endpoint(), ec);
      if (!ec) acceptor->listen(4096, ec);
      if (ec) {
        error = ec.message();
        continue;
      }
      acceptor_ = std::move(acceptor);
      return acceptor_->local_endpoint().port();
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) error = "no usable address";
  return -1;
}

void HttpServer::run() {
  if (!acceptor_) return;
  asio::co_spawn(ioc_, accept_loop(), asio::detached);
  std::vector<std::thread> extra;
  for (std::size_t i = 1; i < options_.threads; ++i) extra.emplace_back([this] { ioc_.run(); });
  ioc_.run();
  for (auto& t : extra) t.join();
}

void HttpServer::stop() {
  if (stopping_.exchange(true)) return;
  asio::post(ioc_, [this] {
    error_code ec;
    if (acceptor_) acceptor_->close(ec);
  });
  std::lock_guard lock(sessions_mutex_);
  for (auto& weak : sessions_)
    if (auto s = weak.lock()) s->end_reads();
}

asio::awaitable<void> HttpServer::accept_loop() {
  while (!stopping_) {
    auto [ec, socket] = co_await acceptor_->async_accept(asio::make_strand(ioc_), kAwait);
    if (stopping_) break;
    if (ec) {
      if (ec == asio::error::operation_aborted) break;
      // Out of descriptors or memory: back off instead of spinning.
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(10));
      co_await pause.async_wait(kAwait);
      continue;
    }
    if (connections_.load() >= options_.max_connections) {
      error_code ignored;
      socket.close(ignored);
      continue;
    }
    auto session = std::make_shared<Session>(std::move(socket), *this, options_.max_head);
    session->self_ = session;
    {
      std::lock_guard lock(sessions_mutex_);
      session->entry = sessions_.insert(sessions_.end(), session);
    }
    ++connections_;
    auto ex = session->stream.get_executor();
    asio::co_spawn(ex, serve(std::move(session)), asio::detached);
  }
}

asio::awaitable<void> HttpServer::serve(std::shared_ptr<Session> s) {
  beast::tcp_stream& stream = s->stream;
  error_code ec;
  stream.socket().set_option(tcp::no_delay(true), ec);  // answers leave as written
  const auto remote = stream.socket().remote_endpoint(ec);
  const std::string peer = ec ? std::string() : remote.address().to_string();
  for (std::size_t n = 0; n < options_.keep_alive_max && !stopping_; ++n) {
    if (s->buffer.size() == 0) {
      // Waiting for a request's first byte: the keep-alive allowance after the first.
      stream.expires_after(n == 0 ? options_.request_timeout : options_.keep_alive);
      auto [rec, got] = co_await stream.async_read_some(s->buffer.prepare(1024), kAwait);
      if (rec) break;
      s->buffer.commit(got);
    }
    const bool last = n + 1 == options_.keep_alive_max;

    // One deadline for the whole head and body, from the request's first byte.
    stream.expires_after(options_.request_timeout);
    Parser parser;
    parser.header_limit(static_cast<std::uint32_t>(options_.max_head));
    parser.body_limit(boost::none);  // the route's limit is set once the head names the route
    parser.get().body().used = &body_used_;
    parser.get().body().limit = options_.body_budget;
    HttpRequest req;
    req.peer = peer;
    HttpResponse res;
    bool body_read = true, keep = false;

    auto [hec, hn] = co_await http::async_read_header(stream, s->buffer, parser, kAwait);
    const auto head_read = Clock::now();
    std::optional<HeadError> error;
    if (hec) {
      error = classify(hec, options_);
      if (error->status == 0) break;  // nobody to answer
    }
    const auto& head = parser.get();
    if (!error) {
      const std::string_view target = head.target();
      if (head.version() != 10 && head.version() != 11) {
        error = HeadError{505, "HTTP version not supported"};
      } else if (target.size() > options_.max_target) {
        error = HeadError{414, "request URI too long"};
      } else if (target.empty() || target[0] != '/') {
        error = HeadError{400, "malformed request target"};
      } else if (static_cast<std::size_t>(std::distance(head.begin(), head.end())) > options_.max_headers) {
        error = HeadError{431, "too many headers"};
      } else if (head.find(http::field::transfer_encoding) != head.end()) {
        error = HeadError{411, "a request body must come with a Content-Length"};
      } else {
        auto url = boost::urls::parse_origin_form(target);
        if (!url) {
          error = HeadError{400, "malformed request target"};
        } else {
          req.method = std::string(head.method_string());
          req.target = std::string(target);
          req.path = std::string(url->encoded_path());
          for (const auto& p : url->params(boost::urls::encoding_opts(true)))
            req.params.emplace_back(p.key, p.has_value ? p.value : std::string());
          for (const auto& f : head) req.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
          keep = head.keep_alive();
        }
      }
    }
    if (error) {
      fail(res, error->status, error->message);
      if (co_await send(stream, res, true, options_.request_timeout)) co_await drain(stream);
      break;
    }

    const std::uint64_t len = parser.content_length().value_or(0);
    body_read = len == 0;
    if (const Route* route = find_route(req, res)) {
      if (len > route->max_body) {
        fail(res, 413, "body larger than " + std::to_string(route->max_body) + " bytes");
      } else if (!head_check_ || !head_check_(req, res)) {
        bool handle = true;
        if (len > 0) {
          const std::string* expect = req.header("Expect");
          if (expect && iequals(*expect, "100-continue")) {
            http::response<http::empty_body> cont{http::status::continue_, 11};
            auto [cec, cn] = co_await http::async_write(stream, cont, kAwait);
            if (cec) break;
          }
          parser.body_limit(route->max_body);
          // Read the body in large pieces: the buffer would otherwise stay at the size of
          // the first read and take a kilobyte at a time. Its room is charged to the same
          // budget as the bodies, and given back once the request is done.
          const std::size_t room = std::min<std::size_t>(len, s->buffer.max_size());
          if (room > s->buffer.capacity() && parser.get().body().charge(room)) s->buffer.reserve(room);
          auto [bec, bn] = co_await http::async_read(stream, s->buffer, parser, kAwait);
          if (bec == boost::system::errc::not_enough_memory) {
            fail(res, 503, "the coordinator is receiving too many request bodies; try again");
            handle = false;
          } else if (bec) {
            break;  // timed out or hung up mid-body
          } else {
            body_read = true;
          }
        }
        if (handle) {
          req.body = std::move(parser.get().body().data);
          try {
            co_await route->handler(req, res, *s);
          } catch (const std::exception& e) {
            res = HttpResponse{};
            fail(res, 500, std::string("internal error: ") + e.what());
          }
          if (res.drop) break;  // the client left while its request was held
        }
      }
    }
    if (observer_) observer_(req, res, len, Clock::now() - head_read);
    const bool close = res.close || !body_read || !keep || last || stopping_;
    if (!close && s->buffer.capacity() > 4096 && s->buffer.size() <= 1024) s->buffer.shrink_to_fit();  // an idle connection keeps little
    if (!co_await send(stream, res, close, options_.request_timeout)) break;
    if (!body_read) co_await drain(stream);
    if (close) break;
  }
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream.socket().close(ec);
  {
    std::lock_guard lock(sessions_mutex_);
    sessions_.erase(s->entry);
  }
  --connections_;
}

const HttpServer::Route* HttpServer::find_route(const HttpRequest& req, HttpResponse& res) const {
  bool path_known = false;
  for (const Route& r : routes_) {
    if (r.path != req.path) continue;
    if (r.method == req.method) return &r;
    path_known = true;
  }
  if (path_known)
    fail(res, 405, "method not allowed");
  else
    fail(res, 404, "no such endpoint: " + req.method + " " + req.path);
  return nullptr;
}

void HttpServer::fail(HttpResponse& res, int status, const std::string& message) const {
  if (error_writer_)
    error_writer_(res, status, message);
  else
    res.set_body(status, message, "text/plain");
}

}  // namespace korvane::coordinator
