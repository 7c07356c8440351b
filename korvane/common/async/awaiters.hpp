// Leaf awaiters: the points where a Task<T> waits for something outside itself.
#pragma once
#include <pybind11/pybind11.h>

#include <memory>

#include "korvane/common/async/op.hpp"
#include "korvane/common/http/exchange.hpp"

namespace korvane::async {

// Hands control to the event loop once, like asyncio.sleep(0).
struct YieldNow {
  Op* op = nullptr;
  bool await_ready() noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    op = &Op::current();
    op->suspend_yield(h);
  }
  void await_resume() { op->rethrow_injected(); }
};

// Waits for any Python awaitable (coroutine, Future, Task) and yields its result.
class AwaitPy : Suspension {
 public:
  explicit AwaitPy(py::object awaitable) : aw_(std::move(awaitable)) {}
  ~AwaitPy() { abort(); }
  bool await_ready() noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h);
  py::object await_resume();
  void abort() noexcept override;

 private:
  py::object aw_;
  Op* op_ = nullptr;
  bool pending_ = false;
};

// Runs an exchange (or a timer) on the I/O thread while the loop goes on.
class IoAwait : Suspension {
 public:
  explicit IoAwait(std::shared_ptr<http::Exchange> ex) : ex_(std::move(ex)) {}
  ~IoAwait() { abort(); }
  IoAwait(const IoAwait&) = delete;
  bool await_ready() noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h);
  std::shared_ptr<http::Exchange> await_resume();
  void abort() noexcept override;

 private:
  std::shared_ptr<http::Exchange> ex_;
  Op* op_ = nullptr;
  bool pending_ = false;
};

// One HTTP exchange: the response, or TimeoutError / ConnectionError.
Task<http::Response> http_exchange(http::Request request);

// Waits `seconds` on the I/O thread (a timer, no HTTP): the suspension path without a server.
Task<void> io_sleep(double seconds);

// Awaits the result of a Python call that may be one of our Ops (run inline, no asyncio
// Task in between), any other awaitable, or a plain value (returned as it is).
Task<py::object> await_result(py::object result);

}  // namespace korvane::async
