#include "tools/coordinator/http_server.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace korvane::coordinator {

namespace {

using Clock = std::chrono::steady_clock;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const std::string* find_in(const HeaderList& list, std::string_view name, bool any_case) {
  for (const auto& [k, v] : list)
    if (any_case ? iequals(k, name) : k == name) return &v;
  return nullptr;
}

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 507: return "Insufficient Storage";
    default: return "Unknown";
  }
}

bool is_token_char(unsigned char c) {
  return c > 32 && c < 127 && !std::strchr("\"(),/:;<=>?@[\\]{}", c);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form-style decoding of one query component; a malformed escape stays as written.
std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

HeaderList parse_query(std::string_view q) {
  HeaderList out;
  while (!q.empty()) {
    const auto amp = q.find('&');
    std::string_view piece = q.substr(0, amp);
    q = amp == std::string_view::npos ? std::string_view{} : q.substr(amp + 1);
    if (piece.empty()) continue;
    const auto eq = piece.find('=');
    out.emplace_back(percent_decode(piece.substr(0, eq)),
                     eq == std::string_view::npos ? std::string{} : percent_decode(piece.substr(eq + 1)));
  }
  return out;
}

struct HeadError {
  int status;
  std::string message;
};

// Parses the request line and headers (`head` ends with the blank line's CRLF).
std::optional<HeadError> parse_head(std::string_view head, const HttpServer::Options& o, HttpRequest& req,
                                    bool& http11) {
  auto line_end = head.find("\r\n");
  std::string_view line = head.substr(0, line_end);
  head.remove_prefix(line_end + 2);

  const auto sp1 = line.find(' ');
  const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
    return HeadError{400, "malformed request line"};
  const std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                         version = line.substr(sp2 + 1);
  if (method.empty() || method.size() > 16 ||
      !std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
    return HeadError{400, "malformed request line"};
  if (target.size() > o.max_target) return HeadError{414, "request URI too long"};
  if (target.empty() || target[0] != '/' ||
      !std::all_of(target.begin(), target.end(), [](unsigned char c) { return c > 32 && c < 127; }))
    return HeadError{400, "malformed request target"};
  if (version == "HTTP/1.1") {
    http11 = true;
  } else if (version == "HTTP/1.0") {
    http11 = false;
  } else {
    return version.rfind("HTTP/", 0) == 0 ? HeadError{505, "HTTP version not supported"}
                                          : HeadError{400, "malformed request line"};
  }
  req.method = method;
  req.target = target;
  const auto q = target.find('?');
  req.path = target.substr(0, q);
  if (q != std::string_view::npos) req.params = parse_query(target.substr(q + 1));

  while (!head.empty()) {
    line_end = head.find("\r\n");
    line = head.substr(0, line_end);
    head.remove_prefix(line_end + 2);
    if (line.empty()) break;  // the blank line that ends the head
    if (req.headers.size() >= o.max_headers) return HeadError{431, "too many headers"};
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        !std::all_of(line.begin(), line.begin() + colon, [](unsigned char c) { return is_token_char(c); }))
      return HeadError{400, "malformed header line"};
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (std::any_of(value.begin(), value.end(), [](unsigned char c) { return (c < 32 && c != '\t') || c == 127; }))
      return HeadError{400, "control character in header " + std::string(line.substr(0, colon))};
    req.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return std::nullopt;
}

// Decimal digits only; several Content-Length headers must agree.
std::optional<std::size_t> content_length(const HttpRequest& req, bool& bad) {
  std::optional<std::size_t> len;
  for (const auto& [k, v] : req.headers) {
    if (!iequals(k, "Content-Length")) continue;
    if (v.empty() || v.size() > 18 || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      bad = true;
      return std::nullopt;
    }
    const std::size_t n = std::stoull(v);
    if (len && *len != n) {
      bad = true;
      return std::nullopt;
    }
    len = n;
  }
  return len;
}

void set_timeout(int fd, int option, std::chrono::milliseconds d) {
  timeval tv{static_cast<time_t>(d.count() / 1000), static_cast<suseconds_t>(d.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const { return find_in(headers, name, true); }
const std::string* HttpRequest::param(std::string_view name) const { return find_in(params, name, false); }

void HttpResponse::set_body(int code, std::string text, std::string type) {
  status = code;
  body = std::make_shared<const std::string>(std::move(text));
  content_type = std::move(type);
}

// One client connection: a read buffer that may hold the start of the next request.
class HttpServer::Connection {
 public:
  Connection(int fd, std::vector<char>& buffer) : fd_(fd), buf_(buffer) {}

  enum class Head { ready, gone, too_large };

  // Waits up to `idle` for the first byte of a request (unless one is buffered).
  bool wait_request(std::chrono::milliseconds idle) {
    if (end_ > begin_) return true;
    pollfd p{fd_, POLLIN, 0};
    int r;
    do r = ::poll(&p, 1, static_cast<int>(idle.count()));
    while (r < 0 && errno == EINTR);
    return r > 0;
  }

  // Reads until the blank line; the head is then buffered at head().
  Head read_head(std::size_t& head_len) {
    std::size_t scanned = 0;
    for (;;) {
      std::string_view have(buf_.data() + begin_, end_ - begin_);
      const auto pos = have.find("\r\n\r\n", scanned >= 3 ? scanned - 3 : 0);
      if (pos != std::string_view::npos) {
        head_len = pos + 4;
        return Head::ready;
      }
      scanned = have.size();
      if (begin_ > 0) {  // make room at the end
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ == buf_.size()) return Head::too_large;
      const ssize_t n = receive(buf_.data() + end_, buf_.size() - end_);
      if (n <= 0) return Head::gone;
      end_ += static_cast<std::size_t>(n);
    }
  }
  std::string_view head(std::size_t len) const { return {buf_.data() + begin_, len}; }
  void consume(std::size_t len) { begin_ += len; }

  bool read_body(std::string& body, std::size_t len) {
    body.resize(len);
    std::size_t have = std::min(len, end_ - begin_);
    std::memcpy(body.data(), buf_.data() + begin_, have);
    begin_ += have;
    while (have < len) {
      const ssize_t n = receive(body.data() + have, len - have);
      if (n <= 0) return false;
      have += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool send(const HttpResponse& res, bool close) {
    static const std::string kEmpty;
    const std::string& body = res.body ? *res.body : kEmpty;
    std::string head = "HTTP/1.1 " + std::to_string(res.status) + " " + reason(res.status) + "\r\n";
    if (!body.empty()) head += "Content-Type: " + res.content_type + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto& [k, v] : res.headers) {
      std::string value = v;
      std::replace_if(value.begin(), value.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
      head += k + ": " + value + "\r\n";
    }
    if (close) head += "Connection: close\r\n";
    head += "\r\n";
    return send_all(head.data(), head.size(), body.data(), body.size());
  }

  bool send_continue() {
    static constexpr char k[] = "HTTP/1.1 100 Continue\r\n\r\n";
    return send_all(k, sizeof k - 1, nullptr, 0);
  }

  // After refusing a body it did not read: stop sending, then read and drop a bounded
  // amount, so the client sees the answer instead of a reset from an early close.
  void drain() {
    ::shutdown(fd_, SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    std::size_t dropped = 0;
    char sink[16384];
    while (dropped < (16u << 20)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) return;
      const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
      if (n <= 0) return;
      dropped += static_cast<std::size_t>(n);
    }
  }

 private:
  ssize_t receive(char* to, std::size_t len) {
    ssize_t n;
    do n = ::recv(fd_, to, len, 0);
    while (n < 0 && errno == EINTR);
    return n;  // a silent client runs into SO_RCVTIMEO and fails here
  }

  bool send_all(const char* a, std::size_t alen, const char* b, std::size_t blen) {
    iovec iov[2] = {{const_cast<char*>(a), alen}, {const_cast<char*>(b), blen}};
    int first = 0;
    while (first < 2) {
      if (iov[first].iov_len == 0) {
        ++first;
        continue;
      }
      msghdr msg{};
      msg.msg_iov = iov + first;
      msg.msg_iovlen = static_cast<std::size_t>(2 - first);
      const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      std::size_t sent = static_cast<std::size_t>(n);
      while (first < 2 && sent >= iov[first].iov_len) sent -= iov[first++].iov_len;
      if (first < 2) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
        iov[first].iov_len -= sent;
      }
    }
    return true;
  }

  int fd_;
  std::vector<char>& buf_;  // the worker's, reused from connection to connection
  std::size_t begin_ = 0, end_ = 0;
};

HttpServer::HttpServer(Options options) : options_(options) {}

HttpServer::~HttpServer() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

void HttpServer::route(std::string method, std::string path, std::size_t max_body, Handler handler) {
  routes_.push_back({std::move(method), std::move(path), max_body, std::move(handler)});
}

int HttpServer::listen(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
      const int saved = errno;
      ::close(fd);
      fd = -1;
      errno = saved;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return -1;
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  listen_fd_ = fd;
  return bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void HttpServer::run() {
  if (listen_fd_ < 0) return;
  std::vector<std::thread> workers;
  workers.reserve(options_.threads);
  for (std::size_t i = 0; i < options_.threads; ++i) workers.emplace_back([this] { worker(); });
  for (auto& w : workers) w.join();
}

void HttpServer::stop() {
  stopping_ = true;
  if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);  // wakes every accept()
  std::lock_guard lock(open_mutex_);
  for (int fd : open_) ::shutdown(fd, SHUT_RD);  // ends idle waits; answers can still go out
}

void HttpServer::worker() {
  std::vector<char> buffer(options_.max_head);
  while (!stopping_) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      serve(fd, buffer);
      continue;
    }
    if (stopping_ || errno == EINVAL || errno == EBADF) return;
    if (errno != EINTR && errno != ECONNABORTED)  // out of descriptors or memory: back off
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void HttpServer::serve(int fd, std::vector<char>& buffer) {
  {
    std::lock_guard lock(open_mutex_);
    open_.insert(fd);
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // answers leave as written
  set_timeout(fd, SO_RCVTIMEO, options_.io_timeout);
  set_timeout(fd, SO_SNDTIMEO, options_.io_timeout);
  Connection conn(fd, buffer);
  for (std::size_t n = 0; n < options_.keep_alive_max && !stopping_; ++n) {
    if (!conn.wait_request(n == 0 ? options_.io_timeout : options_.keep_alive)) break;
    if (!serve_one(conn, n + 1 == options_.keep_alive_max)) break;
  }
  {
    std::lock_guard lock(open_mutex_);
    open_.erase(fd);
  }
  ::close(fd);
}

bool HttpServer::serve_one(Connection& conn, bool last) {
  HttpRequest req;
  HttpResponse res;
  std::size_t head_len = 0;
  switch (conn.read_head(head_len)) {
    case Connection::Head::gone:
      return false;
    case Connection::Head::too_large:
      fail(res, 431, "request head larger than " + std::to_string(options_.max_head) + " bytes");
      conn.send(res, true);
      conn.drain();
      return false;
    case Connection::Head::ready:
      break;
  }
  bool http11 = true;
  auto error = parse_head(conn.head(head_len), options_, req, http11);
  conn.consume(head_len);
  bool bad_length = false;
  std::size_t len = 0;
  if (!error) {
    auto cl = content_length(req, bad_length);
    if (bad_length)
      error = HeadError{400, "malformed Content-Length"};
    else if (req.header("Transfer-Encoding"))
      error = HeadError{411, "a request body must come with a Content-Length"};
    len = cl.value_or(0);
  }
  if (error) {
    fail(res, error->status, error->message);
    conn.send(res, true);
    conn.drain();
    return false;
  }

  bool body_read = len == 0;
  if (const Route* route = find_route(req, res)) {
    if (len > route->max_body) {
      fail(res, 413, "body larger than " + std::to_string(route->max_body) + " bytes");
    } else if (!head_check_ || !head_check_(req, res)) {
      const std::string* expect = req.header("Expect");
      if (expect && iequals(*expect, "100-continue") && len > 0 && !conn.send_continue()) return false;
      if (!conn.read_body(req.body, len)) return false;
      body_read = true;
      call_handler(*route, req, res);
    }
  }
  const std::string* connection = req.header("Connection");
  const bool keep = http11 ? !(connection && iequals(*connection, "close"))
                           : (connection && iequals(*connection, "keep-alive"));
  const bool close = res.close || !body_read || !keep || last || stopping_;
  if (!conn.send(res, close)) return false;
  if (!body_read) conn.drain();
  return !close;
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

void HttpServer::call_handler(const Route& route, HttpRequest& req, HttpResponse& res) const {
  try {
    route.handler(req, res);
  } catch (const std::exception& e) {
    res = HttpResponse{};
    fail(res, 500, std::string("internal error: ") + e.what());
  } catch (...) {
    res = HttpResponse{};
    fail(res, 500, "internal error");
  }
}

void HttpServer::fail(HttpResponse& res, int status, const std::string& message) const {
  if (error_writer_)
    error_writer_(res, status, message);
  else
    res.set_body(status, message, "text/plain");
}

}  // namespace korvane::coordinator
