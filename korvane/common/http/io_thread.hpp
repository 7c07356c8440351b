// The one native I/O thread: a libcurl multi handle driven by curl_multi_poll. It holds
// no Python object and never takes the GIL; completions go out through CompletionSinks.
#pragma once
#include <memory>

#include "korvane/common/http/exchange.hpp"

namespace korvane::http {

class IoThread {
 public:
  static IoThread& instance();
  // Starts the exchange (the thread itself on first use). Throws once shut down.
  void submit(std::shared_ptr<Exchange> ex);
  // Aborts a submitted exchange; its curl handle is freed on the I/O thread. Never throws.
  void cancel(std::shared_ptr<Exchange> ex) noexcept;
  // Aborts everything and joins the thread; later submits fail.
  void shutdown() noexcept;
  long active() const noexcept;  // transfers and timers in progress

  struct Impl;

 private:
  IoThread();
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::http
