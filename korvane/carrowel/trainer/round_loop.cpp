// One pipeline round (forward, loss or relay, backward, update) and the training loop
// that runs rounds one after another. Both call the trainer's other operations through
// `self`, so a subclass or a replaced method takes part.
#include <pybind11/stl.h>

#include <chrono>
#include <limits>

#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/carrowel/coordinator/membership.hpp"
#include "korvane/carrowel/coordinator/rejoin.hpp"
#include "korvane/carrowel/trainer/checkpoint.hpp"
#include "korvane/carrowel/trainer/pipeline_step.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::Task;

namespace {
py::object torch() { return py::module_::import("torch"); }

std::optional<double> optional_double(py::handle v) {
  if (v.is_none()) return std::nullopt;
  return v.cast<double>();
}

Task<py::object> run_pipeline_round(py::object self, py::object input_data, py::object labels, double lr) {
  if (!torch_available()) throw ImportError("PyTorch required for pipeline training");
  Trainer& t = Trainer::of(self);
  const LayerAssignment& a = t.assignment();
  const bool first = a.is_first_stage(), last = a.is_last_stage();
  discard_pending(t.layers);  // rounds never overlap: whatever a layer still keeps is stale

  py::object activation;
  if (first) {
    if (input_data.is_none()) {
      py::object shape = py::make_tuple(2, 512, 768);
      input_data = torch().attr("randn")(*shape, py::arg("device") = t.device);
    }
    activation = input_data;  // the caller's tensor itself, not a copy
  } else {
    activation = co_await await_result(self.attr("receive_activation")());
  }
  activation.attr("requires_grad_")(true);
  t.last_samples = activation.attr("dim")().cast<long long>() > 0 ? activation.attr("size")(0).cast<long long>() : -1;
  py::object output = co_await await_result(self.attr("forward_stage")(activation));

  py::object grad_output;
  std::optional<double> loss_value;
  if (last) {
    // With autograd_backward the loss backward stops at the stage's output, and
    // backward_stage carries the gradient through the slice.
    py::object scored = output;
    if (t.autograd_backward) scored = output.attr("detach")().attr("requires_grad_")(true);
    py::object loss = last_stage_loss(scored, labels);
    if (t.autograd_backward) {
      loss.attr("backward")();
      grad_output = scored.attr("grad");
    } else {
      // The activation may be the caller's tensor, reused round after round: its grad
      // accumulates. backward_stage gets this round's gradient only; the caller's
      // tensor still ends up holding the sum, as autograd would leave it.
      py::object earlier = activation.attr("grad");
      activation.attr("grad") = py::none();
      loss.attr("backward")();
      grad_output = activation.attr("grad");
      if (!earlier.is_none() && !grad_output.is_none())
        activation.attr("grad") = earlier.attr("__add__")(grad_output);
      else if (!earlier.is_none())
        activation.attr("grad") = earlier;
    }
    loss_value = loss.attr("item")().cast<double>();
  } else {
    co_await await_result(self.attr("send_activation")(output));
    py::object pair = co_await await_result(self.attr("receive_gradient")());
    py::tuple parts = py::tuple(pair);
    if (parts.size() != 2)
      throw ValueError("receive_gradient must yield (gradient, loss), got " + std::to_string(parts.size()) + " values");
    grad_output = parts[0];
    loss_value = optional_double(parts[1]);
  }

  py::object grad_x = co_await await_result(self.attr("backward_stage")(grad_output));
  if (!first) {
    py::object loss_arg = loss_value ? py::object(py::float_(*loss_value)) : py::object(py::none());
    co_await await_result(self.attr("send_gradient")(grad_x, loss_arg));
  }

  // An absent previous loss counts as +inf; NaN compares false either way.
  const double previous = t.last_loss.value_or(std::numeric_limits<double>::infinity());
  const bool loss_decreased = loss_value && *loss_value < previous;
  if (loss_value) t.last_loss = loss_value;
  co_await await_result(self.attr("update_layers")(py::arg("lr") = lr, py::arg("loss_decreased") = loss_decreased));
  t.micro_batch_idx += 1;
  if (!loss_value) co_return py::none();
  co_return py::float_(*loss_value);
}

struct Batch {
  py::object input_data = py::none();
  py::object labels = py::none();
};

// Splits a batch: a tuple or list is (input, labels, ignored...), anything else is input.
Batch split_batch(py::object batch, const std::string& device) {
  Batch b;
  if (py::isinstance<py::tuple>(batch) || py::isinstance<py::list>(batch)) {
    py::sequence seq = batch;
    if (seq.size() == 0) throw ValueError("a batch of the data source is an empty " + python_type_name(batch));
    b.input_data = seq[0];
    if (seq.size() > 1) b.labels = seq[1];
  } else {
    b.input_data = std::move(batch);
  }
  b.input_data = b.input_data.attr("to")(device);
  if (!b.labels.is_none()) b.labels = b.labels.attr("to")(device);
  return b;
}

// Where the loop reads its data source. A source without __len__ whose first iteration
// yields nothing counts as absent, like an empty list. An exhausted iteration is
// restarted once; a source that ran dry after yielding and yields nothing when restarted
// is an error. `drawn` counts every batch taken, so that a checkpoint can put a fresh
// cursor back to the same place by drawing as many again.
struct DataCursor {
  py::object source;
  py::object iterator;
  bool yielded = false;
  bool present = false;
  long long drawn = 0;

  explicit DataCursor(py::object src) : source(std::move(src)) {
    // Absent, or a sized source without batches, counts as no source at all.
    present = !source.is_none() && (!py::hasattr(source, "__len__") || py::len(source) > 0);
  }

  // The next batch, or a null object when the source turns out to hold none at all.
  py::object next() {
    const bool fresh = !iterator;
    if (fresh) iterator = py::iter(source);
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      if (fresh && !yielded) {
        present = false;
        return py::object();
      }
      iterator = py::iter(source);
      item = PyIter_Next(iterator.ptr());
      if (!item) {
        if (PyErr_Occurred()) throw py::error_already_set();
        throw Error("the data source yielded no batch, even after starting it again");
      }
    }
    yielded = true;
    ++drawn;
    return py::reinterpret_steal<py::object>(item);
  }

  // Starts the source again and draws `count` batches, as the loop had when it saved.
  void reposition(long long count, bool spent) {
    iterator = py::object();
    yielded = false;
    drawn = 0;
    present = !source.is_none() && (!py::hasattr(source, "__len__") || py::len(source) > 0) && !spent;
    while (present && drawn < count) next();
  }
};

Task<py::object> run_training_loop(py::object self, py::object dataloader, long long num_rounds, double lr,
                                   py::object on_round_complete, long long micro_batches,
                                   std::optional<long long> max_in_flight, py::object evaluation) {
  // With micro_batches > 1 a "round" of the loop is a pipelined step over that many
  // micro-batches: each draws one batch of the source, and the loss is the step's.
  const bool stepped = micro_batches > 1;
  auto memory = std::make_shared<StepMemory>();
  Trainer& t = Trainer::of(self);
  py::dict metrics;
  metrics["rounds_completed"] = 0;
  metrics["total_loss"] = 0.0;
  py::list losses;
  metrics["losses"] = losses;
  long long completed = 0;
  double total = 0.0;
  DataCursor data(dataloader);

  // Checkpoints: the loop's state with the stage's, so that a resumed or rolled-back loop
  // goes on exactly where the checkpoint's step left it.
  const bool checkpoints = t.checkpoint_dir.has_value();
  if (checkpoints && !t.relay_epoch) t.relay_epoch = 0;
  auto position = [&](long long step) {
    LoopPosition pos;
    pos.step = step;
    pos.batches_drawn = data.drawn;
    pos.source_spent = !data.present && !dataloader.is_none();
    pos.losses = py::list(losses.attr("copy")());
    return pos;
  };
  auto go_back_to = [&](long long step) {
    LoopPosition pos = restore_checkpoint(t, step);
    drop_checkpoints_after(*t.checkpoint_dir, step);
    data.reposition(pos.batches_drawn, pos.source_spent);
    losses.attr("clear")();
    losses.attr("extend")(pos.losses);
    total = 0.0;
    for (py::handle l : losses) total += l.cast<double>();
    completed = pos.step;
    metrics["rounds_completed"] = completed;
    metrics["total_loss"] = total;
    return pos.step;
  };

  long long round_idx = 0;
  bool saved_start = false;
  if (checkpoints && t.resume) {
    t.resume = false;  // once: a later loop of the same trainer goes on from where this one ends
    std::vector<long long> steps = checkpoint_steps(*t.checkpoint_dir);
    if (steps.empty()) {
      print_line("  Warning: no checkpoint in " + *t.checkpoint_dir + "; training starts from the beginning");
    } else {
      long long target = steps.back();
      auto answer = co_await coordinator::request_rollback(self, target);
      if (answer) {
        target = answer->step;
        t.relay_epoch = answer->epoch;
      }
      round_idx = go_back_to(target);
      saved_start = true;
      print_line("Resumed from the checkpoint of step " + std::to_string(round_idx) + " (micro-batch " +
                 std::to_string(t.micro_batch_idx) + ")");
    }
  }
  if (checkpoints && !saved_start && round_idx == 0) {
    // Step 0 too: a member lost before the first checkpoint rolls everyone back to the start.
    save_checkpoint(t, position(0));
    co_await coordinator::report_checkpoint(self, 0);
  }

  while (round_idx < num_rounds) {
    t.current_round = round_idx;
    std::vector<Batch> batches(stepped ? micro_batches : 1);
    if (data.present) {
      const LayerAssignment& a = t.assignment();
      if (a.is_first_stage() || a.is_last_stage()) {
        for (Batch& batch : batches) {
          py::object drawn = data.next();
          if (!drawn) break;
          batch = split_batch(std::move(drawn), t.device);
        }
      }
    }
    const auto started = std::chrono::steady_clock::now();
    const auto sent = t.bytes_sent, received = t.bytes_received;
    t.last_samples = -1;
    py::object loss;
    std::exception_ptr failure;
    try {
      if (!stepped) {
        loss = co_await await_result(self.attr("run_pipeline_round")(
            py::arg("input_data") = batches[0].input_data, py::arg("labels") = batches[0].labels, py::arg("lr") = lr));
      } else {
        std::vector<py::object> inputs, labels;
        for (Batch& b : batches) {
          inputs.push_back(b.input_data);
          labels.push_back(b.labels);
        }
        loss = co_await run_pipeline_step(self, std::move(inputs), std::move(labels), lr, micro_batches,
                                          max_in_flight, memory);
      }
    } catch (...) {
      failure = std::current_exception();
    }
    if (t.pending_rollback && checkpoints && !(failure && async::is_cancellation(failure))) {
      // The coordinator rolled the run back (a member came back after a loss): reload
      // that step in place; whatever this step did belongs to the abandoned future.
      const Trainer::Rollback rb = *t.pending_rollback;
      t.pending_rollback.reset();
      t.missing_since.reset();
      t.relay_epoch = rb.epoch;
      const long long was = round_idx;
      round_idx = go_back_to(rb.step);
      print_line("  Rolled back from step " + std::to_string(was) + " to the checkpoint of step " +
                 std::to_string(round_idx) + " (micro-batch " +
                 std::to_string(t.micro_batch_idx) + ")");
      continue;
    }
    if (failure) std::rethrow_exception(failure);
    if (!t.metrics_file.is_none()) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      py::dict record;
      record["trainer_id"] = t.trainer_id;
      record["step"] = t.steps_recorded;
      record["round"] = round_idx;
      record["loss"] = loss;
      record["step_time_s"] = seconds;
      record["samples"] = t.last_samples >= 0 ? py::object(py::int_(t.last_samples)) : py::object(py::none());
      record["samples_per_s"] = t.last_samples >= 0 && seconds > 0 ? py::object(py::float_(double(t.last_samples) / seconds))
                                                                  : py::object(py::none());
      record["bytes_sent"] = t.bytes_sent - sent;
      record["bytes_received"] = t.bytes_received - received;
      if (!evaluation.is_none()) {
        py::object value = evaluation(t.steps_recorded);
        if (!value.is_none()) record["evaluation"] = value;
      }
      append_metrics_record(t, record);
    }
    ++t.steps_recorded;
    if (!loss.is_none()) {
      const double v = loss.cast<double>();
      total += v;
      losses.append(py::float_(v));
      metrics["total_loss"] = total;
    }
    metrics["rounds_completed"] = ++completed;
    if (!on_round_complete.is_none()) on_round_complete(round_idx, loss);
    if (round_idx % 10 == 0)
      print_line("Round " + std::to_string(round_idx) + "/" + std::to_string(num_rounds) +
                 ": avg_loss=" + float_fixed(total / double(round_idx + 1), 4));
    ++round_idx;
    if (checkpoints && ((t.checkpoint_every > 0 && round_idx % t.checkpoint_every == 0) || round_idx == num_rounds)) {
      save_checkpoint(t, position(round_idx));
      co_await coordinator::report_checkpoint(self, round_idx);
    }
  }
  if (completed > 0) metrics["avg_loss"] = total / double(completed);
  if (stepped) {
    metrics["peak_in_flight"] = memory->peak_in_flight;
    metrics["in_flight_bytes"] = memory->peak_bytes;
    print_line("Pipelined steps: " + std::to_string(micro_batches) + " micro-batches each, up to " +
               std::to_string(memory->peak_in_flight) + " in flight, about " +
               float_fixed(double(memory->peak_bytes) / 1e6, 1) + " MB of activations held for them");
  }
  co_return std::move(metrics);
}
}  // namespace

void bind_round_and_loop(TrainerClass& cls) {
  cls.def("run_pipeline_round",
          [](py::object self, py::object input_data, py::object labels, double lr) {
            return async::make_op(run_pipeline_round(std::move(self), std::move(input_data), std::move(labels), lr),
                                  "run_pipeline_round");
          },
          py::arg("input_data") = py::none(), py::arg("labels") = py::none(), py::arg("lr") = 0.0001,
          "One training step for one micro-batch; returns the loss, or None when this stage has none.")
      .def("run_training_loop",
           [](py::object self, py::object dataloader, long long num_rounds, double lr, py::object on_round_complete,
              long long micro_batches, std::optional<long long> max_in_flight, py::object evaluation) {
             if (micro_batches < 1)
               throw ValueError("micro_batches must be at least 1, got " + std::to_string(micro_batches));
             if (max_in_flight && *max_in_flight < 1)
               throw ValueError("max_in_flight must be at least 1, got " + std::to_string(*max_in_flight));
             if (!evaluation.is_none() && !PyCallable_Check(evaluation.ptr()))
               raise_argument_type("evaluation", "a callable step -> value, or None", evaluation);
             auto run = run_training_loop(self, std::move(dataloader), num_rounds, lr, std::move(on_round_complete),
                                          micro_batches, max_in_flight, std::move(evaluation));
             return async::make_op(coordinator::leaving_on_failure(std::move(self), std::move(run)), "run_training_loop");
           },
           py::arg("dataloader") = py::none(), py::arg("num_rounds") = 100, py::arg("lr") = 0.0001,
           py::arg("on_round_complete") = py::none(), py::kw_only(), py::arg("micro_batches") = 1,
           py::arg("max_in_flight") = py::none(), py::arg("evaluation") = py::none(),
           "Run num_rounds rounds (or pipelined steps of micro_batches each); returns the metrics dict. With a "
           "metrics file, each round or step appends a line; evaluation(step), when given, adds its value to that "
           "line unless it returns None.");
}

}  // namespace korvane::carrowel
