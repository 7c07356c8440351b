#include "korvane/carrowel/trainer/step.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/trainer/gradient_clipping.hpp"
#include "korvane/carrowel/trainer/schedule.hpp"
#include "korvane/carrowel/trainer/step_relays.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::AwaitPy;
using async::Task;

namespace {
// What a stage keeps for a micro-batch between its forward and its backward.
struct InFlight {
  long long k = 0;
  py::object input;   // last stage: the stage's input (for the loss backward)
  py::object output;  // last stage: what the loss is computed on
  py::object tape;    // autograd_backward: this micro-batch's segments
  long long bytes = 0;
};

// True when `self` still has the trainer's own method `name`: neither a subclass nor the
// instance replaced it.
bool is_builtin(const py::object& self, const char* name) {
  if (py::hasattr(self, "__dict__") && self.attr("__dict__").contains(name)) return false;
  return py::type::of(self).attr(name).is(py::type::of<Trainer>().attr(name));
}

// The state of one step, shared by its parts (coroutines take it by value).
struct Step {
  py::object self;
  Trainer& t;
  const LayerAssignment a;  // a copy: the step's shape does not change under it
  const long long base, m;
  std::vector<Batch> batches;
  std::shared_ptr<StepMemory> memory;
  // Per relay [activation, gradient]: run through the step's own tasks (the built-in
  // relay with m > 1), else through the method of `self`, awaited in order.
  bool direct_fetch[2] = {false, false};
  bool direct_post[2] = {false, false};
  std::shared_ptr<StepRelays> relays;
  std::deque<InFlight> flight;
  long long held_bytes = 0;
  double loss_sum = 0.0;
  long long loss_count = 0;
  // Where the step's first non-finite value came from, when one was seen.
  std::optional<std::string> nonfinite;

  Step(py::object s, std::vector<Batch> b, std::shared_ptr<StepMemory> mem)
      : self(std::move(s)), t(Trainer::of(self)), a(t.assignment()), base(t.micro_batch_idx),
        m(static_cast<long long>(b.size())), batches(std::move(b)), memory(std::move(mem)) {}
};
using StepPtr = std::shared_ptr<Step>;

// Notes the first non-finite tensor or loss of the step, with where it came from.
void note_nonfinite(Step& s, bool finite, const std::string& what, long long k) {
  if (finite || s.nonfinite) return;
  s.nonfinite = what + " at micro-batch " + std::to_string(s.base + k);
}

std::string received_from(const std::optional<std::string>& neighbour, const char* noun) {
  return std::string(noun) + " received from trainer " + neighbour.value_or("?");
}

// While a relay method runs for micro-batch k, micro_batch_idx reads base + k.
class MicroBatchScope {
 public:
  MicroBatchScope(Step& s, long long k) : s_(s) { s_.t.micro_batch_idx = s_.base + k; }
  ~MicroBatchScope() { s_.t.micro_batch_idx = s_.base; }
  MicroBatchScope(const MicroBatchScope&) = delete;
  MicroBatchScope& operator=(const MicroBatchScope&) = delete;

 private:
  Step& s_;
};

void open_relays(Step& s, std::optional<long long> max_in_flight) {
  const bool pipelined = s.m > 1;
  s.direct_fetch[0] = pipelined && !s.a.is_first_stage() && is_builtin(s.self, "receive_activation");
  s.direct_fetch[1] = pipelined && !s.a.is_last_stage() && is_builtin(s.self, "receive_gradient");
  s.direct_post[0] = pipelined && is_builtin(s.self, "send_activation");
  s.direct_post[1] = pipelined && is_builtin(s.self, "send_gradient");
  // Fetches run as far ahead as the first stage keeps micro-batches in flight (at least 2).
  const long long window =
      std::max(2LL, in_flight_depth(s.m, 0, false, s.t.session.pipeline_stages, max_in_flight));
  s.relays = std::make_shared<StepRelays>(s.self, s.base, s.m, window);
  if (s.direct_fetch[0]) s.relays->open(false);
  if (s.direct_fetch[1]) s.relays->open(true);
}

// After a refused post the answer it was for cannot come: the step fails at once.
void fail_if_refused(const Step& s) {
  if (s.t.guard.refused_post) throw Error(*s.t.guard.refused_post + "; the step cannot complete");
}

Task<py::object> receive(StepPtr s, bool backward, long long k) {
  fail_if_refused(*s);
  if (s->direct_fetch[backward]) co_return co_await await_fetch(s->relays, backward, k);
  MicroBatchScope scope(*s, k);
  co_return co_await await_result(s->self.attr(backward ? "receive_gradient" : "receive_activation")());
}

Task<void> send(StepPtr s, bool backward, py::object tensor, std::optional<double> loss, long long k) {
  fail_if_refused(*s);
  if (s->direct_post[backward]) {
    s->relays->post(backward, tensor, loss, k);
    co_await async::YieldNow{};  // the post's request leaves now, not after the next pass
    co_return;
  }
  MicroBatchScope scope(*s, k);
  if (!backward) {
    co_await await_result(s->self.attr("send_activation")(tensor));
  } else {
    py::object loss_arg = loss ? py::object(py::float_(*loss)) : py::object(py::none());
    co_await await_result(s->self.attr("send_gradient")(tensor, loss_arg));
  }
  fail_if_refused(*s);
}

Task<void> forward_pass(StepPtr s, long long k) {
  Step& st = *s;
  py::object x;
  if (st.a.is_first_stage()) {
    x = st.batches[k].input_data;  // the caller's tensor itself, not a copy
    if (x.is_none()) x = st.t.model.random_input();
  } else {
    x = co_await receive(s, false, k);
    note_nonfinite(st, StageModel::finite(x), received_from(st.a.upstream_trainer, "an activation"), k);
  }
  const long long rows = StageModel::begin_pass(x);
  if (rows >= 0) st.t.metrics.last_samples = std::max(st.t.metrics.last_samples, 0LL) + rows;
  InFlight mb;
  mb.k = k;
  mb.bytes = StageModel::tensor_bytes(x) * (st.t.model.layer_count() + 1);
  py::object out = co_await await_result(st.self.attr("forward_stage")(x));
  mb.tape = st.t.model.take_tape();
  if (st.a.is_last_stage()) {
    mb.input = x;
    mb.output = out;
  } else {
    co_await send(s, false, out, std::nullopt, k);
  }
  st.held_bytes += mb.bytes;
  st.flight.push_back(std::move(mb));
  st.memory->peak_in_flight = std::max<long long>(st.memory->peak_in_flight, st.flight.size());
  st.memory->peak_bytes = std::max(st.memory->peak_bytes, st.held_bytes);
}

// The gradient of the stage's output and the loss of micro-batch k: the last stage
// computes them, the others fetch them from downstream.
Task<std::pair<py::object, std::optional<double>>> output_gradient(StepPtr s, long long k, py::object input,
                                                                   py::object output) {
  if (s->a.is_last_stage()) {
    StageModel::Scored scored = s->t.model.loss_backward(std::move(input), std::move(output), s->batches[k].labels, s->m);
    co_return std::pair{scored.grad_output, std::optional<double>(scored.loss)};
  }
  py::tuple pair(co_await receive(s, true, k));
  if (pair.size() != 2)
    throw ValueError("receive_gradient must yield (gradient, loss), got " + std::to_string(pair.size()) + " values");
  std::optional<double> loss;
  if (!pair[1].is_none()) loss = pair[1].cast<double>();
  co_return std::pair{py::object(pair[0]), loss};
}

Task<void> backward_pass(StepPtr s, long long k) {
  Step& st = *s;
  InFlight mb = std::move(st.flight.front());
  st.flight.pop_front();
  if (mb.k != k)
    throw Error("pipelined step: backward of micro-batch " + std::to_string(k) + " before " + std::to_string(mb.k));
  const auto gradient = co_await output_gradient(s, k, std::move(mb.input), std::move(mb.output));
  const std::optional<double> loss = gradient.second;
  if (st.a.is_last_stage())
    note_nonfinite(st, !loss || std::isfinite(*loss), "the loss computed here", k);
  else
    note_nonfinite(st, StageModel::finite(gradient.first), received_from(st.a.downstream_trainer, "a gradient"), k);
  st.t.model.restore_tape(mb.tape);
  py::object grad_x = co_await await_result(st.self.attr("backward_stage")(gradient.first));
  st.t.model.take_tape();
  if (!st.a.is_first_stage()) co_await send(s, true, grad_x, loss, k);
  if (loss) {
    st.loss_sum += *loss;
    ++st.loss_count;
  }
  st.held_bytes -= mb.bytes;
}

// The flush: one update from the gradients of all m micro-batches, then the step is done
// when its last posts are. Returns the step's loss.
Task<std::optional<double>> finish(StepPtr s, double lr) {
  Trainer& t = s->t;
  std::optional<double> loss;
  if (s->loss_count > 0) loss = s->loss_sum / double(s->loss_count);
  // An absent previous loss counts as +inf; NaN compares false either way.
  const bool loss_decreased = loss && *loss < t.last_loss.value_or(std::numeric_limits<double>::infinity());
  if (loss) t.last_loss = loss;
  // Like a gradient scaler: when a gradient the plain layers summed is not finite, none of
  // them is applied. The warning names where the step's first non-finite value came from.
  // The update still runs for the int8 layers, which drop a non-finite update themselves.
  bool skip = !t.model.gradients_finite();
  // Clipping to the global norm: every stage learns the same total, so a non-finite
  // gradient anywhere skips the step everywhere.
  if (t.clip_grad_norm) {
    const bool total_finite = co_await clip_to_global_norm(s->self, s->base, !skip);
    if (!total_finite && !skip) {
      skip = true;
      if (!s->nonfinite) s->nonfinite = "a gradient of another stage (the global gradient norm is not finite)";
    }
  }
  if (skip) {
    if (!s->nonfinite) s->nonfinite = "a gradient computed here";
    t.model.discard_plain_gradients();
    ++t.guard.nonfinite_in_row;
    print_line("  Warning: step at micro-batch " + std::to_string(s->base) + " applied no update: non-finite " +
               "values, first " + *s->nonfinite);
  } else {
    t.guard.nonfinite_in_row = 0;
  }
  co_await await_result(s->self.attr("update_layers")(py::arg("lr") = lr, py::arg("loss_decreased") = loss_decreased));
  py::list pending = s->relays->pending();
  if (py::len(pending) > 0) co_await AwaitPy(py::module_::import("asyncio").attr("gather")(*pending));
  fail_if_refused(*s);
  t.micro_batch_idx = s->base + s->m;
  if (skip && t.guard.nonfinite_in_row >= t.guard.max_nonfinite_steps)
    throw Error(std::to_string(t.guard.nonfinite_in_row) + " steps in a row had non-finite gradients (the last: " +
                *s->nonfinite + "); stopping, as max_nonfinite_steps is " +
                std::to_string(t.guard.max_nonfinite_steps));
  co_return loss;
}

// After a failure: nothing of the step stays in flight, and the gradients its finished
// micro-batches summed are not applied nor added to the next step's.
Task<void> abandon(StepPtr s) {
  s->t.model.discard_step_gradients();
  s->flight.clear();
  s->relays->cancel_all();
  py::list pending = s->relays->pending();
  if (py::len(pending) > 0)
    co_await AwaitPy(py::module_::import("asyncio").attr("gather")(*pending, py::arg("return_exceptions") = true));
}
}  // namespace

Task<py::object> run_step(py::object self, std::vector<Batch> batches, double lr,
                          std::optional<long long> max_in_flight, std::shared_ptr<StepMemory> memory) {
  if (!torch_available()) throw ImportError("PyTorch required for pipeline training");
  auto s = std::make_shared<Step>(std::move(self), std::move(batches), std::move(memory));
  const long long depth =
      in_flight_depth(s->m, s->a.pipeline_position, s->a.is_last_stage(), s->t.session.pipeline_stages, max_in_flight);
  s->t.model.discard_pending();  // steps never overlap: whatever a layer still keeps is stale
  s->t.model.take_tape();
  s->t.metrics.last_samples = -1;
  s->t.guard.refused_post.reset();
  std::optional<double> loss;
  std::exception_ptr failure;
  try {
    open_relays(*s, max_in_flight);
    for (const PassAction& action : one_forward_one_backward(s->m, depth)) {
      if (action.kind == PassAction::forward)
        co_await forward_pass(s, action.micro_batch);
      else
        co_await backward_pass(s, action.micro_batch);
    }
    loss = co_await finish(s, lr);
  } catch (...) {
    failure = std::current_exception();
  }
  // A step that failed after a refused post failed because of it (a neighbour's time-out
  // or departure is its consequence), unless it was cancelled.
  if (failure && s->t.guard.refused_post && !async::is_cancellation(failure))
    failure = std::make_exception_ptr(Error(*s->t.guard.refused_post + "; the step cannot complete"));
  if (failure) {
    if (s->relays)
      co_await abandon(s);
    else
      s->t.model.discard_step_gradients();
    std::rethrow_exception(failure);
  }
  if (!loss) co_return py::none();
  co_return py::float_(*loss);
}

void bind_step(TrainerClass& cls) {
  cls.def(
      "run_pipeline_round",
      [](py::object self, py::object input_data, py::object labels, double lr) {
        std::vector<Batch> one{Batch{std::move(input_data), std::move(labels)}};
        return async::make_op(run_step(std::move(self), std::move(one), lr, std::nullopt, std::make_shared<StepMemory>()),
                              "run_pipeline_round");
      },
      py::arg("input_data") = py::none(), py::arg("labels") = py::none(), py::arg("lr") = 0.0001,
      "One training step for one micro-batch; returns the loss, or None when this stage has none.");
}

}  // namespace korvane::carrowel
