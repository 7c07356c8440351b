#include "korvane/common/http/exchange.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvane/common/errors.hpp"

namespace korvane::http {

namespace {
std::atomic<long> g_live_exchanges{0};

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [k, v] : headers)
    if (same_name(k, name)) return v;
  return std::nullopt;
}

CompletionSink::CompletionSink() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw Error(std::string("eventfd failed: ") + std::strerror(errno));
}
CompletionSink::~CompletionSink() { ::close(fd_); }

void CompletionSink::push(uint64_t id) {
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(mu_);
    was_empty = done_.empty();
    done_.push_back(id);
  }
  if (was_empty) {  // one wakeup per batch; drain() takes them all
    uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
  }
}

std::vector<uint64_t> CompletionSink::drain() {
  uint64_t n;
  (void)!::read(fd_, &n, sizeof n);
  std::vector<uint64_t> ids;
  std::lock_guard<std::mutex> lock(mu_);
  ids.swap(done_);
  return ids;
}

Exchange::Exchange(Request r) : request(std::move(r)) { ++g_live_exchanges; }
Exchange::~Exchange() { --g_live_exchanges; }
long Exchange::live() noexcept { return g_live_exchanges.load(); }

Response Exchange::take_response() {
  if (!finished.load(std::memory_order_acquire)) throw Error("HTTP exchange resumed before it completed");
  if (timed_out) throw TimeoutError(error);
  if (!error.empty()) throw ConnectionError(error);
  return std::move(response);
}

}  // namespace korvane::http
