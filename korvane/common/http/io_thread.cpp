#include "korvane/common/http/io_thread.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "korvane/common/errors.hpp"

namespace korvane::http {

using Clock = std::chrono::steady_clock;

namespace {
// What the I/O thread keeps per transfer; curl's callbacks write into it.
struct Transfer {
  std::shared_ptr<Exchange> ex;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  char errbuf[CURL_ERROR_SIZE] = {0};
  bool too_big = false;
};

size_t on_body(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t len = size * n;
  std::string& body = t->ex->response.body;
  if (body.size() + len > kMaxResponseBody) {
    t->too_big = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  body.append(data, len);
  return len;
}

size_t on_header(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t len = size * n;
  std::string_view line(data, len);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  auto& headers = t->ex->response.headers;
  if (line.rfind("HTTP/", 0) == 0) {
    headers.clear();  // a new response begins (after a 1xx): keep only the final one's
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (headers.size() < 1000) headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    // Size the body once instead of growing it chunk by chunk. Only a moderate size is
    // believed up front; on_body enforces the real cap.
    if (colon == 14 && strncasecmp(line.data(), "content-length", 14) == 0) {
      const unsigned long long n = std::strtoull(std::string(value).c_str(), nullptr, 10);
      if (n <= (64u << 20)) t->ex->response.body.reserve(n);
    }
  }
  return len;
}

long timeout_ms(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) return 1;  // already run out: fail at once, never "no limit"
  const double ms = std::ceil(seconds * 1000.0);
  return ms >= double(LONG_MAX) ? 0 /* no limit */ : std::max(1L, long(ms));
}
}  // namespace

struct IoThread::Impl {
  CURLM* multi = nullptr;
  std::thread thread;
  std::mutex mu;
  bool stopping = false;
  std::vector<std::shared_ptr<Exchange>> to_add, to_cancel;  // guarded by mu
  std::atomic<long> active{0};

  // I/O thread only
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers;
  std::vector<std::shared_ptr<Exchange>> timers;

  void start(std::shared_ptr<Exchange> ex) {
    if (ex->timer_deadline) {
      timers.push_back(std::move(ex));
      return;
    }
    auto t = std::make_unique<Transfer>();
    t->ex = std::move(ex);
    const Request& r = t->ex->request;
    CURL* e = curl_easy_init();
    if (!e) {
      complete_failed(*t->ex, "curl_easy_init failed");
      return;
    }
    t->easy = e;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);        // required with threads
    curl_easy_setopt(e, CURLOPT_PROXY, "");           // never take a proxy from the environment
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);      // the path goes out exactly as concatenated ("//" too)
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);    // one connection per exchange, closed after it
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "korvane/1.0");
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errbuf);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
#endif
    if (r.timeout_s) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeout_ms(*r.timeout_s));
    if (r.method == "POST") {
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      // Not copied by curl: the Exchange owns the body until the transfer is gone.
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body.size()));
      // Without this curl 7.88 waits up to 1 s for "100 Continue" before a large body.
      t->headers = curl_slist_append(t->headers, "Expect:");
    } else if (r.method != "GET") {
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }
    bool has_type = false;
    for (const auto& h : r.headers) {
      t->headers = curl_slist_append(t->headers, h.c_str());
      if (h.size() >= 13 && strncasecmp(h.c_str(), "content-type:", 13) == 0) has_type = true;
    }
    // curl would label a raw body as a form; say what it is instead.
    if (r.method == "POST" && !has_type)
      t->headers = curl_slist_append(t->headers, "Content-Type: application/octet-stream");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    curl_multi_add_handle(multi, e);
    transfers.emplace(e, std::move(t));
  }

  void complete_failed(Exchange& ex, std::string message) {
    ex.error = std::move(message);
    deliver(ex);
  }

  void deliver(Exchange& ex) {
    if (ex.cancelled) return;
    ex.finished.store(true, std::memory_order_release);
    ex.sink->push(ex.id);
  }

  // Removes the transfer; reports it unless it was aborted.
  void finish(CURL* e, bool report) {
    auto it = transfers.find(e);
    if (it == transfers.end()) return;
    std::unique_ptr<Transfer> t = std::move(it->second);
    transfers.erase(it);
    curl_multi_remove_handle(multi, e);
    curl_easy_cleanup(e);
    curl_slist_free_all(t->headers);
    if (report) deliver(*t->ex);
  }

  void record_result(Transfer& t, CURLcode code) {
    Exchange& ex = *t.ex;
    ex.curl_code = int(code);
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &ex.response.status);
    if (code == CURLE_OK) return;
    if (t.too_big) {
      ex.error = "response body larger than " + std::to_string(kMaxResponseBody) + " bytes";
      return;
    }
    ex.timed_out = code == CURLE_OPERATION_TIMEDOUT;
    ex.error = t.errbuf[0] ? std::string(t.errbuf) : std::string(curl_easy_strerror(code));
  }

  void fire_timers(Clock::time_point now) {
    auto due = [&](const std::shared_ptr<Exchange>& ex) { return ex->cancelled || *ex->timer_deadline <= now; };
    for (auto& ex : timers)
      if (due(ex) && !ex->cancelled) deliver(*ex);
    timers.erase(std::remove_if(timers.begin(), timers.end(), due), timers.end());
  }

  int poll_ms(Clock::time_point now) const {
    int ms = 1000;
    for (auto& ex : timers) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*ex->timer_deadline - now).count() + 1;
      ms = int(std::clamp<long long>(left, 0, ms));
    }
    return ms;
  }

  void run() {
    for (;;) {
      std::vector<std::shared_ptr<Exchange>> adds, cancels;
      bool stop;
      {
        std::lock_guard<std::mutex> lock(mu);
        adds.swap(to_add);
        cancels.swap(to_cancel);
        stop = stopping;
      }
      for (auto& ex : cancels) {
        for (auto& [e, t] : transfers)
          if (t->ex == ex) {
            finish(e, false);
            break;
          }
      }
      if (stop) {
        while (!transfers.empty()) finish(transfers.begin()->first, false);
        timers.clear();
        active = 0;
        return;
      }
      for (auto& ex : adds)
        if (!ex->cancelled) start(std::move(ex));
      adds.clear();
      cancels.clear();

      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
        if (m->msg != CURLMSG_DONE) continue;
        CURL* e = m->easy_handle;
        CURLcode code = m->data.result;  // read before finish(): m dies with remove_handle
        auto it = transfers.find(e);
        if (it != transfers.end()) record_result(*it->second, code);
        finish(e, true);
      }
      fire_timers(Clock::now());
      timers.erase(std::remove_if(timers.begin(), timers.end(), [](auto& ex) { return bool(ex->cancelled); }),
                   timers.end());
      active = long(transfers.size() + timers.size());
      curl_multi_poll(multi, nullptr, 0, poll_ms(Clock::now()), nullptr);
    }
  }
};

IoThread::IoThread() : impl_(std::make_unique<Impl>()) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->multi = curl_multi_init();
}

IoThread& IoThread::instance() {
  // Never destroyed: nothing native may run in static destructors after the interpreter
  // finalises. shutdown() (from an atexit hook) joins the thread instead.
  static IoThread* t = new IoThread();
  return *t;
}

void IoThread::submit(std::shared_ptr<Exchange> ex) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  if (d.stopping) throw Error("korvane I/O thread has shut down");
  if (!d.thread.joinable()) d.thread = std::thread([&d] { d.run(); });
  d.to_add.push_back(std::move(ex));
  ++d.active;
  curl_multi_wakeup(d.multi);
}

void IoThread::cancel(std::shared_ptr<Exchange> ex) noexcept {
  ex->cancelled = true;
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  if (d.stopping) return;
  d.to_cancel.push_back(std::move(ex));
  curl_multi_wakeup(d.multi);
}

void IoThread::shutdown() noexcept {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.stopping) return;
    d.stopping = true;
    curl_multi_wakeup(d.multi);
  }
  if (d.thread.joinable()) d.thread.join();
}

long IoThread::active() const noexcept { return impl_->active.load(); }

}  // namespace korvane::http
