// Task<T>: a lazy C++20 coroutine that an Op (op.hpp) drives on the asyncio loop thread.
//
// Children are not resumed by symmetric transfer: g++ 12 emits the tail call only at -O2
// without sanitizers, so debug and ASan builds would overflow the stack after ~100k awaits.
// Instead await_suspend and final_suspend name the next handle to run and return, and the
// trampoline loop in Op::step resumes it.
//
// Rules for code that uses Task:
//  - parameters are taken by value (never const&, string_view or py::handle): the frame
//    outlives the caller's full-expression;
//  - no braced aggregate temporaries with std::string members in a full-expression that
//    contains co_await (g++ 12 miscompiles them): use named locals or types with constructors;
//  - no co_await inside a catch block: save std::current_exception() and act after it.
#pragma once
#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace korvane::async {

template <class T> struct Promise;

// The handle the trampoline resumes next; all coroutines run inside Op::step on one thread.
inline std::coroutine_handle<>& trampoline_next() noexcept {
  static thread_local std::coroutine_handle<> next;
  return next;
}

struct FrameCounter {  // live coroutine frames, for leak tests
  static long live() noexcept;
  static void add(long d) noexcept;
};

template <class T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = Promise<T>;
  using handle_type = std::coroutine_handle<promise_type>;

  explicit Task(handle_type h) noexcept : h_(h) {}
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  void reset() noexcept {
    if (h_) std::exchange(h_, {}).destroy();
  }
  handle_type handle() const noexcept { return h_; }
  explicit operator bool() const noexcept { return bool(h_); }

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> parent) noexcept {
    h_.promise().parent = parent;
    trampoline_next() = h_;
  }
  T await_resume() { return h_.promise().result(); }

 private:
  handle_type h_;
};

struct PromiseBase {
  std::coroutine_handle<> parent;
  std::exception_ptr error;

  PromiseBase() noexcept { FrameCounter::add(1); }
  ~PromiseBase() { FrameCounter::add(-1); }
  PromiseBase(const PromiseBase&) = delete;

  std::suspend_always initial_suspend() noexcept { return {}; }
  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class P>
    void await_suspend(std::coroutine_handle<P> h) noexcept {
      trampoline_next() = h.promise().parent;  // null for the root: the trampoline stops
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept { return Task<T>(std::coroutine_handle<Promise>::from_promise(*this)); }
  template <class U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T result() {
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object() noexcept { return Task<void>(std::coroutine_handle<Promise>::from_promise(*this)); }
  void return_void() noexcept {}
  void result() {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace korvane::async
