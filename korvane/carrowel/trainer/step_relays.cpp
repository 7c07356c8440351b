#include "korvane/carrowel/trainer/step_relays.hpp"

#include <algorithm>
#include <chrono>

#include "korvane/carrowel/trainer/relays.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace korvane::carrowel {
using async::AwaitPy;
using async::Task;

namespace {
constexpr double kFetchTimeout = 30.0;  // the relays' own default

const char* relay_name(bool backward, bool fetch) {
  if (fetch) return backward ? "receive_gradient" : "receive_activation";
  return backward ? "send_gradient" : "send_activation";
}

py::object spawn(Task<py::object> task, const char* name) {
  py::object op = py::cast(async::make_op(std::move(task), name));
  return py::module_::import("asyncio").attr("get_running_loop")().attr("create_task")(op);
}

void cancel(py::object& task) noexcept {
  if (!task) return;
  try {
    task.attr("cancel")();
  } catch (py::error_already_set&) {
  }
}

bool done(const py::object& task) { return task.attr("done")().cast<bool>(); }
}  // namespace

StepRelays::StepRelays(py::object self, long long base, long long m, long long window)
    : self_(std::move(self)), base_(base), m_(m), window_(std::max(window, 1LL)) {}

void StepRelays::top_up(bool backward, long long end) {
  Window& w = windows_[backward];
  for (; w.next < std::min(end, m_); ++w.next)
    w.pending.emplace_back(w.next, spawn(fetch_relay(self_, backward, kFetchTimeout, base_ + w.next, false),
                                         relay_name(backward, true)));
}

py::object StepRelays::take_fetch(bool backward, long long k) {
  Window& w = windows_[backward];
  top_up(backward, k + 1);
  if (w.pending.empty() || w.pending.front().first != k)
    throw Error("pipelined step: micro-batch " + std::to_string(k) + " fetched out of order");
  py::object task = std::move(w.pending.front().second);
  w.pending.pop_front();
  top_up(backward, k + 1 + window_);
  return task;
}

py::object StepRelays::refetch(bool backward, long long k, double timeout) {
  retries_.push_back(spawn(fetch_relay(self_, backward, timeout, base_ + k, /*warn=*/true), relay_name(backward, true)));
  return retries_.back();
}

void StepRelays::post(bool backward, py::handle tensor, std::optional<double> loss, long long k) {
  std::string body = encode_relay_body(Trainer::of(self_), tensor, backward);
  std::erase_if(posts_, done);
  posts_.push_back(spawn(post_relay(self_, backward, std::move(body), loss, base_ + k), relay_name(backward, false)));
}

py::list StepRelays::pending() {
  py::list out;
  for (Window& w : windows_)
    for (auto& [k, task] : w.pending) out.append(task);
  for (auto& p : posts_) out.append(p);
  for (auto& r : retries_)
    if (!done(r)) out.append(r);
  return out;
}

void StepRelays::cancel_all() noexcept {
  for (Window& w : windows_)
    for (auto& [k, task] : w.pending) cancel(task);
  for (auto& p : posts_) cancel(p);
  for (auto& r : retries_) cancel(r);
}

Task<py::object> await_fetch(std::shared_ptr<StepRelays> relays, bool backward, long long k) {
  py::object ahead = relays->take_fetch(backward, k);
  const auto since = std::chrono::steady_clock::now();
  std::exception_ptr failure;
  try {
    co_return co_await AwaitPy(std::move(ahead));
  } catch (...) {
    failure = std::current_exception();
  }
  if (async::is_cancellation(failure)) std::rethrow_exception(failure);
  const double left = kFetchTimeout - std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  if (left <= 0) {
    print_line(std::string("  Warning: Failed to receive ") + (backward ? "gradient" : "activation") + ": " +
               error_message(failure));
    std::rethrow_exception(failure);
  }
  co_return co_await AwaitPy(relays->refetch(backward, k, left));
}

}  // namespace korvane::carrowel
