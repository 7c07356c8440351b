// The training loop: steps one after another (rounds through `self.run_pipeline_round`,
// or pipelined steps of micro_batches each), each drawing its batches from the data
// cursor; with checkpoints it resumes, saves at its cadence, reports each save and rolls
// back in place when the coordinator says so; it records each step and prints progress.
#include <pybind11/stl.h>

#include <chrono>

#include "korvane/carrowel/trainer/data_source.hpp"
#include "korvane/carrowel/trainer/membership.hpp"
#include "korvane/carrowel/trainer/metrics_file.hpp"
#include "korvane/carrowel/trainer/progress_report.hpp"
#include "korvane/carrowel/trainer/recovery.hpp"
#include "korvane/carrowel/trainer/replicas.hpp"
#include "korvane/carrowel/trainer/step.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {
using async::await_result;
using async::Task;

namespace {
struct LoopArgs {
  long long num_rounds;
  double lr;
  py::object on_round_complete;
  long long micro_batches;
  std::optional<long long> max_in_flight;
  py::object evaluation;
  // Held-out passes inside the loop: every eval_every steps (0: none on the way) and at
  // the end, each over eval_batches batches of eval_data; none when eval_batches is 0.
  py::object eval_data;
  long long eval_every = 0;
  long long eval_batches = 0;
};

// The loop's own state, shared by its parts (coroutines take it by value).
struct Loop {
  py::object self;
  Trainer& t;
  LoopArgs args;
  PythonDataCursor data;
  std::shared_ptr<StepMemory> memory = std::make_shared<StepMemory>();
  std::vector<double> losses;  // the step losses so far
  double total = 0.0;
  long long completed = 0;
  long long round = 0;  // the next step's number
  size_t losses_at_evaluation = 0;  // losses before the piece the next evaluation closes
  py::dict held_out;                // the latest held-out figures, on the stage that scores
  bool evaluated = false;           // the evaluation of the current round is done
  AveragingReports averaging;       // with replicas: what averaging costs, for the live page

  Loop(py::object s, py::object source, LoopArgs a)
      : self(std::move(s)), t(Trainer::of(self)), args(std::move(a)), data(PythonBatchSource::of(std::move(source))) {}
  bool checkpoints() const { return t.recovery.checkpoints.has_value(); }
};
using LoopPtr = std::shared_ptr<Loop>;

// The loop's state with the stage's, so that a resumed or rolled-back loop goes on
// exactly where the checkpoint's step left it.
StageCounters counters_at(const Loop& l, long long step) {
  StageCounters c;
  c.micro_batch_idx = l.t.micro_batch_idx;
  c.step = step;
  c.last_loss = l.t.last_loss;
  c.batches_drawn = l.data.drawn();
  c.source_spent = l.data.spent();
  c.losses = l.losses;
  c.metrics_step = l.t.metrics.steps.steps_recorded();
  return c;
}

// Takes the counters of a checkpoint just loaded.
void continue_from(Loop& l, const StageCounters& c) {
  l.t.micro_batch_idx = c.micro_batch_idx;
  l.t.last_loss = c.last_loss;
  l.data.reposition(c.batches_drawn, c.source_spent);
  l.losses = c.losses;
  l.total = 0.0;
  for (double v : l.losses) l.total += v;
  l.completed = l.round = c.step;
  l.losses_at_evaluation = l.losses.size();
  l.t.metrics.steps.continue_at(c.metrics_step);  // one step count with the members that went on
}

void go_back_to(Loop& l, long long step) {
  const StageCounters c = restore_checkpoint(l.t, step);
  l.t.recovery.checkpoints->drop_after(step);
  continue_from(l, c);
}

Task<void> save_and_report(LoopPtr l, long long step) {
  save_checkpoint(l->t, counters_at(*l, step));
  co_await report_checkpoint(l->self, step);
}

// Resume (once: a later loop of the same trainer goes on from where this one ends), or
// save step 0, so that a member lost before the first checkpoint rolls everyone back to
// the start.
Task<void> start_from_checkpoint(LoopPtr l) {
  Trainer& t = l->t;
  t.recovery.rollback.take_part();
  const bool resume = std::exchange(t.recovery.resume, false);
  warn_of_strays(t);
  // The latest checkpoint that loads; a newer one that does not is passed over with a warning.
  const std::optional<StageCounters> latest = resume ? restore_latest_intact(t) : std::nullopt;
  if (resume && !latest)
    print_line("  Warning: no checkpoint in " + t.recovery.checkpoints->path() + "; training starts from the beginning");
  if (!latest) {
    co_await save_and_report(l, 0);
    co_return;
  }
  long long target = latest->step;
  const std::optional<training::Rollback> answer = co_await request_rollback(l->self, target);
  if (answer) {
    target = answer->step;
    t.recovery.rollback.set_epoch(answer->epoch);
  }
  if (target == latest->step) {
    t.recovery.checkpoints->drop_after(target);
    continue_from(*l, *latest);
  } else {
    go_back_to(*l, target);
  }
  print_line("Resumed from the checkpoint of step " + std::to_string(l->round) + " (micro-batch " +
             std::to_string(t.micro_batch_idx) + ")");
}

// The step's batches: drawn on the first and last stage only, None where the source has none.
std::vector<Batch> draw_batches(Loop& l) {
  std::vector<Batch> batches(std::max(l.args.micro_batches, 1LL));
  if (!l.data.present()) return batches;
  const LayerAssignment& a = l.t.assignment();
  if (!a.is_first_stage() && !a.is_last_stage()) return batches;
  const Shard shard = data_shard(l.t);
  for (Batch& batch : batches) {
    std::optional<py::object> drawn;
    for (long long i = 0; i <= shard.skip_before() && l.data.present(); ++i) drawn = l.data.next();
    if (!drawn) break;
    batch = l.t.model.split_batch(std::move(*drawn));
    for (long long i = 0; i < shard.skip_after() && l.data.present(); ++i) l.data.next();
  }
  return batches;
}

Task<py::object> run_one_step(LoopPtr l, std::vector<Batch> batches) {
  if (l->args.micro_batches > 1)
    co_return co_await run_step(l->self, std::move(batches), l->args.lr, l->args.max_in_flight, l->memory);
  co_return co_await await_result(l->self.attr("run_pipeline_round")(
      py::arg("input_data") = batches[0].input_data, py::arg("labels") = batches[0].labels, py::arg("lr") = l->args.lr));
}

// The coordinator rolled the run back (a member came back after a loss): reload that
// step in place; whatever this step did belongs to the abandoned future.
bool roll_back_if_asked(Loop& l, const std::exception_ptr& failure) {
  Trainer::Recovery& r = l.t.recovery;
  if (!r.rollback.pending() || !l.checkpoints() || (failure && async::is_cancellation(failure))) return false;
  const training::Rollback rb = *r.rollback.take_pending();  // its epoch is the trainer's from now on
  r.rejoin.present();
  const long long was = l.round;
  go_back_to(l, rb.step);
  print_line("  Rolled back from step " + std::to_string(was) + " to the checkpoint of step " +
             std::to_string(l.round) + " (micro-batch " + std::to_string(l.t.micro_batch_idx) + ")");
  return true;
}

// One line of the metrics file for the step just done.
void record_step(Loop& l, const py::object& loss, const training::StepMetrics::Start& start) {
  Trainer& t = l.t;
  if (!t.metrics.file) return;
  const long long samples = t.metrics.last_samples;
  training::StepRecord record = t.metrics.steps.record(
      start, training::StepMetrics::Clock::now(), t.trainer_id, l.round,
      loss.is_none() ? std::nullopt : std::optional<double>(loss.cast<double>()),
      samples >= 0 ? std::optional<long long>(samples) : std::nullopt);
  if (!l.args.evaluation.is_none()) record.evaluation = json_of(l.args.evaluation(t.metrics.steps.steps_recorded()));
  describe_replicas(t, record);
  append_metrics_record(t, record.to_json());
}

// Totals, the caller's callback and the progress line of the step just done.
void count_step(Loop& l, const py::object& loss) {
  if (!loss.is_none()) {
    const double v = loss.cast<double>();
    l.total += v;
    l.losses.push_back(v);
  }
  ++l.completed;
  if (!l.args.on_round_complete.is_none()) l.args.on_round_complete(l.round, loss);
  if (l.round % 10 == 0)
    print_line("Round " + std::to_string(l.round) + "/" + std::to_string(l.args.num_rounds) +
               ": avg_loss=" + float_fixed(l.total / double(l.round + 1), 4));
  ++l.round;
}

bool evaluation_due(const Loop& l) {
  if (l.args.eval_batches <= 0 || l.evaluated) return false;
  return (l.args.eval_every > 0 && l.round % l.args.eval_every == 0) || l.round >= l.args.num_rounds;
}

// A held-out pass through the whole pipeline; the stage that scores it prints its line,
// appends it to the metrics file and reports it to a coordinator that takes reports.
Task<void> evaluate(LoopPtr l) {
  l->evaluated = true;
  py::object answer = co_await await_result(l->self.attr("run_evaluation")(py::arg("dataloader") = l->args.eval_data,
                                                                          py::arg("num_batches") = l->args.eval_batches));
  py::dict e = answer;
  const size_t since = std::exchange(l->losses_at_evaluation, l->losses.size());
  if (!e.contains("loss")) co_return;
  double piece_loss = 0.0;
  for (size_t i = since; i < l->losses.size(); ++i) piece_loss += l->losses[i];
  if (l->losses.size() > since) piece_loss /= double(l->losses.size() - since);
  std::string line = "  Evaluation at round " + std::to_string(l->round) + ": train_loss=" + float_fixed(piece_loss, 4) +
                     " eval_loss=" + float_fixed(e["loss"].cast<double>(), 4);
  if (e.contains("accuracy")) line += " accuracy=" + float_fixed(e["accuracy"].cast<double>(), 4);
  print_line(line);
  py::dict evaluation;
  for (const char* key : {"accuracy", "loss", "samples"})
    if (e.contains(key)) evaluation[key] = e[key];
  py::dict record;
  record["evaluation"] = evaluation;
  l->self.attr("log_metrics")(record);
  l->held_out = py::dict();
  for (const char* key : {"accuracy", "loss", "samples"})
    if (e.contains(key)) l->held_out[py::str(std::string("eval_") + key)] = e[key];
  co_await report_held_out(l->self, l->round, e);
}

py::dict results(const Loop& l) {
  py::dict metrics;
  metrics["rounds_completed"] = l.completed;
  metrics["total_loss"] = l.total;
  metrics["losses"] = py::cast(l.losses);
  if (l.completed > 0) metrics["avg_loss"] = l.total / double(l.completed);
  for (auto [key, value] : l.held_out) metrics[key] = value;
  if (l.args.micro_batches > 1) {
    metrics["peak_in_flight"] = l.memory->peak_in_flight;
    metrics["in_flight_bytes"] = l.memory->peak_bytes;
    print_line("Pipelined steps: " + std::to_string(l.args.micro_batches) + " micro-batches each, up to " +
               std::to_string(l.memory->peak_in_flight) + " in flight, about " +
               float_fixed(double(l.memory->peak_bytes) / 1e6, 1) + " MB of activations held for them");
  }
  return metrics;
}

bool checkpoint_due(const Loop& l) {
  const long long every = l.t.recovery.checkpoint_every;
  return l.checkpoints() && ((every > 0 && l.round % every == 0) || l.round == l.args.num_rounds);
}

Task<py::object> run_training_loop(py::object self, py::object dataloader, LoopArgs args) {
  auto l = std::make_shared<Loop>(std::move(self), std::move(dataloader), std::move(args));
  Trainer& t = l->t;
  if (l->checkpoints()) co_await start_from_checkpoint(l);
  co_await prepare_replicas(l->self);
  while (l->round < l->args.num_rounds) {
    t.current_round = l->round;
    std::vector<Batch> batches = draw_batches(*l);
    const auto start = t.metrics.steps.begin(training::StepMetrics::Clock::now());
    t.metrics.last_samples = -1;
    py::object loss;
    std::exception_ptr failure;
    try {
      loss = co_await run_one_step(l, std::move(batches));
    } catch (...) {
      failure = std::current_exception();
    }
    if (roll_back_if_asked(*l, failure)) continue;
    if (failure) std::rethrow_exception(failure);
    record_step(*l, loss, start);
    t.metrics.steps.count_step();
    count_step(*l, loss);
    l->averaging.after_step(l->self);
    l->evaluated = false;
    // The held-out pass comes before the checkpoint of its step, so that a resumed stage
    // goes on after it, at the same micro-batch number as the others.
    if (evaluation_due(*l)) {
      try {
        co_await evaluate(l);
      } catch (...) {
        failure = std::current_exception();
      }
      if (roll_back_if_asked(*l, failure)) continue;
      if (failure) std::rethrow_exception(failure);
    }
    if (checkpoint_due(*l)) co_await save_and_report(l, l->round);
  }
  if (l->args.num_rounds <= 0 && evaluation_due(*l)) co_await evaluate(l);  // no step: one pass
  co_await settle_replicas(l->self);
  co_await l->averaging.finish(l->self);
  co_return results(*l);
}
}  // namespace

void bind_training_loop(TrainerClass& cls) {
  cls.def("run_training_loop",
           [](py::object self, py::object dataloader, long long num_rounds, double lr, py::object on_round_complete,
              long long micro_batches, std::optional<long long> max_in_flight, py::object evaluation,
              py::object eval_data, long long eval_every, std::optional<long long> eval_batches) {
             if (micro_batches < 1)
               throw ValueError("micro_batches must be at least 1, got " + std::to_string(micro_batches));
             if (max_in_flight && *max_in_flight < 1)
               throw ValueError("max_in_flight must be at least 1, got " + std::to_string(*max_in_flight));
             if (!evaluation.is_none() && !PyCallable_Check(evaluation.ptr()))
               raise_argument_type("evaluation", "a callable step -> value, or None", evaluation);
             if (eval_every < 0) throw ValueError("eval_every must be 0 or more, got " + std::to_string(eval_every));
             if (eval_batches && *eval_batches < 0)
               throw ValueError("eval_batches must be 0 or more, got " + std::to_string(*eval_batches));
             // Every stage forwards the same number of held-out batches: a middle stage,
             // which reads no data, needs the count.
             long long batches = eval_batches.value_or(0);
             if (!eval_batches && !eval_data.is_none()) {
               if (!py::hasattr(eval_data, "__len__"))
                 throw ValueError("eval_data without __len__ needs eval_batches, the count every stage forwards");
               batches = static_cast<long long>(py::len(eval_data));
             }
             LoopArgs args{num_rounds, lr, std::move(on_round_complete), micro_batches, max_in_flight,
                           std::move(evaluation), std::move(eval_data), eval_every, batches};
             auto run = run_training_loop(self, std::move(dataloader), std::move(args));
             return async::make_op(leaving_on_failure(std::move(self), std::move(run)), "run_training_loop");
           },
           py::arg("dataloader") = py::none(), py::arg("num_rounds") = 100, py::arg("lr") = 0.0001,
           py::arg("on_round_complete") = py::none(), py::kw_only(), py::arg("micro_batches") = 1,
           py::arg("max_in_flight") = py::none(), py::arg("evaluation") = py::none(), py::arg("eval_data") = py::none(),
           py::arg("eval_every") = 0, py::arg("eval_batches") = py::none(),
           "Run num_rounds rounds (or pipelined steps of micro_batches each); returns the metrics dict. With a "
           "metrics file, each round or step appends a line; evaluation(step), when given, adds its value to that "
           "line unless it returns None. With eval_data (or eval_batches on a middle stage), a held-out pass "
           "through the pipeline follows every eval_every steps and the last one; the stage that scores it adds "
           "eval_loss, eval_accuracy and eval_samples to the metrics.");
}

}  // namespace korvane::carrowel
