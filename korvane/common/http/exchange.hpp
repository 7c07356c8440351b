// One HTTP exchange (or a plain timer) carried out on the I/O thread. Python-free.
//
// The loop side creates an Exchange, hands it to IoThread::submit and waits for its id
// to appear in its CompletionSink; the I/O thread writes the outcome before it pushes
// the id. A cancelled exchange is aborted and never reported.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::http {

// Not an aggregate on purpose: g++ 12 miscompiles braced aggregate temporaries with string
// members inside a co_await expression.
struct Request {
  Request(std::string method, std::string url) : method(std::move(method)), url(std::move(url)) {}
  std::string method;                // "GET" or "POST"
  std::string url;
  std::vector<std::string> headers;  // "Name: value", sent in this order
  std::string body;                  // POST body, sent as it is
  std::optional<double> timeout_s;   // total time limit of the exchange; none: no limit
};

struct Response {
  long status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  // First header of that name, compared without regard to letter case.
  std::optional<std::string> header(std::string_view name) const;
};

// Bodies above this size are refused: a broken or hostile peer must not exhaust memory.
inline constexpr size_t kMaxResponseBody = size_t(256) << 20;

// Per-event-loop completion queue, signalled through an eventfd the loop watches.
class CompletionSink {
 public:
  CompletionSink();
  ~CompletionSink();
  CompletionSink(const CompletionSink&) = delete;
  int fd() const noexcept { return fd_; }
  void push(uint64_t id);          // I/O thread
  std::vector<uint64_t> drain();   // loop thread: ids completed since the last drain

 private:
  int fd_;
  std::mutex mu_;
  std::vector<uint64_t> done_;
};

struct Exchange {
  explicit Exchange(Request r);
  ~Exchange();
  Exchange(const Exchange&) = delete;

  Request request;
  std::optional<std::chrono::steady_clock::time_point> timer_deadline;  // set: a timer, no HTTP
  uint64_t id = 0;
  std::shared_ptr<CompletionSink> sink;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> finished{false};

  // Written by the I/O thread before `finished` is set.
  int curl_code = 0;
  std::string error;  // empty when the transfer succeeded
  bool timed_out = false;
  Response response;

  // The response, or the failure as TimeoutError / ConnectionError. Loop thread, after finished.
  Response take_response();

  static long live() noexcept;  // for leak tests
};

}  // namespace korvane::http
