// Op: the Python awaitable behind every asynchronous operation of korvane.
//
// An Op wraps a Task<py::object> and speaks the coroutine protocol (__await__, send,
// throw, close), so await, run_until_complete, gather, create_task and wait_for all take
// it, and asyncio.iscoroutine(op) is true. It is lazy: nothing runs until the first send,
// which takes the running loop. A leaf that must wait hands the driving asyncio Task a
// future (with _asyncio_future_blocking set); the Task sends again once it is done.
#pragma once
#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "korvane/common/coro/task.hpp"

namespace korvane::async {
namespace py = pybind11;

class LoopBridge;

// A leaf awaiter that is waiting: aborted when the Op is cancelled or destroyed.
class Suspension {
 public:
  virtual void abort() noexcept = 0;

 protected:
  ~Suspension() = default;
};

class Op {
 public:
  Op(Task<py::object> task, std::string name);
  ~Op();
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  py::object send(py::handle value);
  py::object throw_(py::handle type, py::handle value, py::handle traceback);
  void close() noexcept;
  std::string repr() const;
  // The coroutine of an Op that never started, for C++ callers that await it inline.
  std::optional<Task<py::object>> take_unstarted();

  // For leaf awaiters, valid only while the Op runs (inside step, on the loop thread).
  static Op& current();
  py::handle loop() const { return loop_; }
  LoopBridge& bridge();
  void suspend_on(std::coroutine_handle<> h, py::object future, Suspension* s);
  void suspend_yield(std::coroutine_handle<> h);
  void resumed(Suspension* s) noexcept {
    if (suspension_ == s) suspension_ = nullptr;
  }
  // Every leaf's await_resume calls this first: it raises what was thrown in (cancellation).
  void rethrow_injected() {
    if (injected_) std::rethrow_exception(std::exchange(injected_, nullptr));
  }

  static long live() noexcept;

 private:
  enum class State { Created, Suspended, Running, Done };
  py::object step(std::coroutine_handle<> h);

  Task<py::object> task_;
  std::string name_;
  py::object loop_;
  std::shared_ptr<LoopBridge> bridge_;
  py::object yielded_;
  std::coroutine_handle<> resume_at_;
  Suspension* suspension_ = nullptr;
  std::exception_ptr injected_;
  State state_ = State::Created;
  bool yield_bare_ = false;
};

template <class T>
Task<py::object> to_object(Task<T> t) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(t);
    co_return py::none();
  } else if constexpr (std::is_same_v<T, py::object>) {
    co_return co_await std::move(t);
  } else {
    co_return py::cast(co_await std::move(t));
  }
}

template <class T>
std::unique_ptr<Op> make_op(Task<T> t, std::string name) {
  if constexpr (std::is_same_v<T, py::object>) {
    return std::make_unique<Op>(std::move(t), std::move(name));
  } else {
    return std::make_unique<Op>(to_object(std::move(t)), std::move(name));
  }
}

// True when the error is asyncio's CancelledError (which guarded regions must let through).
bool is_cancellation(std::exception_ptr e);

// Registers the Op type (and the bridge's helpers) on a module.
void bind_async(py::module_& m);

}  // namespace korvane::async
