// The pipelined step. Relays run as asyncio tasks on the trainer's loop, so a post never
// holds up the next forward or backward, and the fetches of the next micro-batches are in
// flight while this one computes. Fetches go out in micro-batch order, which the
// coordinator's "consumed once the recipient has moved on" rule allows.
#include "korvane/carrowel/trainer/pipeline_step.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <limits>

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/coordinator/coordinator_ops.hpp"
#include "korvane/carrowel/coordinator/tensor_wire.hpp"
#include "korvane/carrowel/trainer/schedule.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"
#include "korvane/common/python/translate_errors.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::AwaitPy;
using async::Task;

namespace {
constexpr double kFetchTimeout = 30.0;  // the relays' own default

py::object torch() { return py::module_::import("torch"); }

// The relays of one step that are in flight, as asyncio tasks. Fetches run ahead in
// micro-batch order: while micro-batch k computes, the fetches of the next `window` ones
// wait at the coordinator, so a fetch never costs a round trip of its own once the link
// is long. Whatever is still pending when the step's frame goes away is cancelled.
class StepRelays {
 public:
  StepRelays(py::object self, long long base, long long m, long long window)
      : self_(std::move(self)), base_(base), m_(m), window_(std::max(window, 1LL)) {}
  ~StepRelays() { cancel_all(); }
  StepRelays(const StepRelays&) = delete;

  // Starts the first fetches of a direction.
  void open(bool backward) { top_up(backward, window_); }
  // The fetch of micro-batch k, handed over after the next ones are on their way. It was
  // made ahead of need, so it fails silently: the step makes it again if it has to.
  py::object take_fetch(bool backward, long long k) {
    Window& w = windows_[backward];
    top_up(backward, k + 1);
    if (w.pending.empty() || w.pending.front().first != k)
      throw Error("pipelined step: micro-batch " + std::to_string(k) + " fetched out of order");
    py::object task = std::move(w.pending.front().second);
    w.pending.pop_front();
    top_up(backward, k + 1 + window_);
    return task;
  }
  // A fetch made again, now that the stage waits for it: it warns when it fails.
  py::object refetch(bool backward, long long k, double timeout) {
    retries_.push_back(spawn(fetch_relay(self_, backward, timeout, base_ + k, /*warn=*/true),
                             backward ? "receive_gradient" : "receive_activation"));
    return retries_.back();
  }
  void post(bool backward, py::handle tensor, std::optional<double> loss, long long k) {
    std::string body = encode_tensor(tensor, backward);  // now, outside the guarded region, as send_* does
    std::erase_if(posts_, [](const py::object& p) { return p.attr("done")().cast<bool>(); });
    posts_.push_back(spawn(post_relay(self_, backward, std::move(body), loss, base_ + k),
                           backward ? "send_gradient" : "send_activation"));
  }
  // Every task still pending, for the step to wait on.
  py::list pending() {
    py::list out;
    for (Window& w : windows_)
      for (auto& [k, task] : w.pending) out.append(task);
    for (auto& p : posts_) out.append(p);
    for (auto& r : retries_)
      if (!r.attr("done")().cast<bool>()) out.append(r);
    return out;
  }
  void cancel_all() noexcept {
    for (Window& w : windows_)
      for (auto& [k, task] : w.pending) cancel(task);
    for (auto& p : posts_) cancel(p);
    for (auto& r : retries_) cancel(r);
  }

 private:
  struct Window {
    std::deque<std::pair<long long, py::object>> pending;  // started, not yet taken
    long long next = 0;                                     // the next micro-batch to start
  };

  void top_up(bool backward, long long end) {
    Window& w = windows_[backward];
    for (; w.next < std::min(end, m_); ++w.next)
      w.pending.emplace_back(w.next, spawn(fetch_relay(self_, backward, kFetchTimeout, base_ + w.next, false),
                                           backward ? "receive_gradient" : "receive_activation"));
  }
  static py::object spawn(Task<py::object> task, const char* name) {
    py::object op = py::cast(async::make_op(std::move(task), name));
    return py::module_::import("asyncio").attr("get_running_loop")().attr("create_task")(op);
  }
  static void cancel(py::object& task) noexcept {
    if (!task) return;
    try {
      task.attr("cancel")();
    } catch (py::error_already_set&) {
    }
  }

  py::object self_;
  long long base_, m_, window_;
  Window windows_[2];  // [activation, gradient]
  std::vector<py::object> posts_;
  std::vector<py::object> retries_;
};

// Waits for micro-batch k of a direction. A fetch made ahead of need may have run out of
// time (or been answered with an error by a coordinator that bounds its waits) before
// the stage even began to wait; then it is made once more, with what is left of the
// relay's time limit counted from when the stage began to wait, and fails with the
// relay's own warning.
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

// What a stage keeps for a micro-batch between its forward and its backward.
struct InFlight {
  long long k = 0;
  py::object activation;  // the stage's input (for the loss backward of a last stage)
  py::object output;      // last stage only: what the loss is computed on
  py::object tape;        // autograd_backward: this micro-batch's segments
  long long bytes = 0;
};

struct LossBackward {
  py::object grad_output;
  double loss;
};

// The last stage's loss for one micro-batch, scaled by 1/m before its backward so that
// the step's gradients are the mean over its micro-batches. Mirrors the round.
LossBackward loss_backward(Trainer& t, InFlight& mb, py::object labels, long long m) {
  py::object scored = mb.output;
  if (t.autograd_backward) scored = mb.output.attr("detach")().attr("requires_grad_")(true);
  py::object loss = last_stage_loss(scored, labels);
  py::object scaled = loss.attr("__truediv__")(double(m));
  py::object grad_output;
  if (t.autograd_backward) {
    scaled.attr("backward")();
    grad_output = scored.attr("grad");
  } else {
    // This micro-batch's gradient only, even when the caller's tensor already holds one.
    py::object earlier = mb.activation.attr("grad");
    mb.activation.attr("grad") = py::none();
    scaled.attr("backward")();
    grad_output = mb.activation.attr("grad");
    if (!earlier.is_none()) {
      mb.activation.attr("grad") = grad_output.is_none() ? earlier : earlier.attr("__add__")(grad_output);
    }
  }
  return {grad_output, loss.attr("item")().cast<double>()};
}

long long tensor_bytes(py::handle x) {
  return x.attr("numel")().cast<long long>() * x.attr("element_size")().cast<long long>();
}
}  // namespace

void discard_pending(py::handle layers) {
  for (py::handle layer : layers)
    if (py::hasattr(layer, "discard_pending")) layer.attr("discard_pending")();
}

namespace {
// After a failed step: the gradients its finished micro-batches summed are not applied,
// and must not be added to the next step's.
void discard_step_gradients(py::handle layers) {
  discard_pending(layers);
  for (py::handle layer : layers) {
    if (py::hasattr(layer, "update_from_gradient")) continue;
    for (py::handle p : layer.attr("parameters")()) p.attr("grad") = py::none();
  }
}
}  // namespace

Task<py::object> run_pipeline_step(py::object self, std::vector<py::object> inputs, std::vector<py::object> labels,
                                   double lr, long long m, std::optional<long long> max_in_flight,
                                   std::shared_ptr<StepMemory> memory) {
  if (!torch_available()) throw ImportError("PyTorch required for pipeline training");
  Trainer& t = Trainer::of(self);
  const LayerAssignment a = t.assignment();  // a copy: the step's shape does not change under it
  const bool first = a.is_first_stage(), last = a.is_last_stage();
  const long long base = t.micro_batch_idx;
  const long long depth = in_flight_depth(m, a.pipeline_position, last, t.pipeline_stages, max_in_flight);
  const std::vector<PassAction> order = one_forward_one_backward(m, depth);
  const long long layer_count = py::len(t.layers);
  discard_pending(t.layers);
  t.stage_tape = py::none();

  // Fetches run as far ahead as the first stage keeps micro-batches in flight (at least 2).
  const long long window = std::max(2LL, in_flight_depth(m, 0, false, t.pipeline_stages, max_in_flight));
  auto relays = std::make_shared<StepRelays>(self, base, m, window);
  std::deque<InFlight> flight;
  long long held_bytes = 0;
  double loss_sum = 0.0;
  long long loss_count = 0;
  std::optional<double> step_loss;
  std::exception_ptr failure;
  try {
    if (!first) relays->open(false);
    if (!last) relays->open(true);
    for (const PassAction& action : order) {
      const long long k = action.micro_batch;
      if (action.kind == PassAction::forward) {
        InFlight mb;
        mb.k = k;
        py::object x;
        if (first) {
          x = inputs[k];
          if (x.is_none()) {
            py::object shape = py::make_tuple(2, 512, 768);
            x = torch().attr("randn")(*shape, py::arg("device") = t.device);
          }
        } else {
          x = co_await await_fetch(relays, false, k);
        }
        x.attr("requires_grad_")(true);
        if (x.attr("dim")().cast<long long>() > 0)  // the step's samples, for the metrics file
          t.last_samples = std::max<long long>(t.last_samples, 0) + x.attr("size")(0).cast<long long>();
        mb.bytes = tensor_bytes(x) * (layer_count + 1);
        py::object out = co_await await_result(self.attr("forward_stage")(x));
        mb.tape = std::exchange(t.stage_tape, py::none());
        if (last) {
          mb.activation = x;
          mb.output = out;
        } else {
          relays->post(false, out, std::nullopt, k);
          co_await async::YieldNow{};  // the post's request leaves now, not after the next forward
        }
        held_bytes += mb.bytes;
        flight.push_back(std::move(mb));
        memory->peak_in_flight = std::max<long long>(memory->peak_in_flight, flight.size());
        memory->peak_bytes = std::max(memory->peak_bytes, held_bytes);
        continue;
      }

      InFlight mb = std::move(flight.front());
      flight.pop_front();
      if (mb.k != k) throw Error("pipelined step: backward of micro-batch " + std::to_string(k) + " before " +
                                 std::to_string(mb.k));
      py::object grad_output;
      std::optional<double> loss_value;
      if (last) {
        LossBackward lb = loss_backward(t, mb, labels[k], m);
        grad_output = lb.grad_output;
        loss_value = lb.loss;
      } else {
        py::tuple pair(co_await await_fetch(relays, true, k));
        grad_output = pair[0];
        if (!pair[1].is_none()) loss_value = pair[1].cast<double>();
      }
      t.stage_tape = mb.tape;
      py::object grad_x = co_await await_result(self.attr("backward_stage")(grad_output));
      t.stage_tape = py::none();
      if (!first) {
        relays->post(true, grad_x, loss_value, k);
        co_await async::YieldNow{};
      }
      if (loss_value) {
        loss_sum += *loss_value;
        ++loss_count;
      }
      held_bytes -= mb.bytes;
    }

    // The flush: one update from the gradients of all m micro-batches.
    if (loss_count > 0) step_loss = loss_sum / double(loss_count);
    const double previous = t.last_loss.value_or(std::numeric_limits<double>::infinity());
    const bool loss_decreased = step_loss && *step_loss < previous;
    if (step_loss) t.last_loss = step_loss;
    co_await await_result(self.attr("update_layers")(py::arg("lr") = lr, py::arg("loss_decreased") = loss_decreased));
    // The step is done when its last posts are: nothing of it stays in flight.
    py::list pending = relays->pending();
    if (py::len(pending) > 0)
      co_await AwaitPy(py::module_::import("asyncio").attr("gather")(*pending));
    t.micro_batch_idx = base + m;
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    discard_step_gradients(t.layers);
    t.stage_tape = py::none();
    flight.clear();
    relays->cancel_all();
    py::list pending = relays->pending();
    if (py::len(pending) > 0)
      co_await AwaitPy(py::module_::import("asyncio").attr("gather")(*pending, py::arg("return_exceptions") = true));
    std::rethrow_exception(failure);
  }
  if (!step_loss) co_return py::none();
  co_return py::float_(*step_loss);
}

}  // namespace korvane::carrowel
