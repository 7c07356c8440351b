// The command-line program: one trainer from joining to the end of training.
//   python3 -m korvane.carrowel --task-id T [--trainer-id ID] [--coordinator URL] [--rounds N] [--lr LR]
//       [--autograd-backward] [--model MODULE:FUNCTION [--eval-every N]] [--micro-batches M [--max-in-flight K]]
//       [--token TOKEN | --token-file PATH] [--metrics-file PATH] [--progress]
//       [--checkpoint-dir DIR [--checkpoint-every K] [--resume]] [--rejoin-timeout S] [--max-nonfinite-steps N]
//       [--activation-codec CODEC] [--gradient-codec CODEC] [--stage N] [--seed N]
// Option errors print a usage line and the error on stderr and give exit status 2 (the
// style is common/cli/style.hpp); any error after parsing propagates (the interpreter
// reports it on stderr with status 1).
#include <CLI/CLI.hpp>
#include <pybind11/stl.h>

#include <algorithm>
#include <csignal>
#include <charconv>
#include <limits>
#include <string_view>

#include "korvane/carrowel/cli/bindings.hpp"
#include "korvane/carrowel/cli/user_model.hpp"
#include "korvane/carrowel/compression/codec.hpp"
#include "korvane/carrowel/trainer/membership.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/carrowel/training/trainer_options.hpp"
#include "korvane/common/async/op.hpp"
#include "korvane/common/cli/style.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {

namespace {
struct Options {
  std::string task_id;
  std::string trainer_id = "trainer_1";
  std::string coordinator = kDefaultCoordinatorUrl;
  std::string model;  // "module:function", or empty for the demo layers
  bool progress = false;
  training::TrainerOptions run;  // what the trainer and its loop are given
};

// The loop's keyword arguments for pipelined steps.
py::dict step_kwargs(const Options& o) {
  py::dict kw;
  kw["micro_batches"] = o.run.micro_batches;
  kw["max_in_flight"] = o.run.max_in_flight ? py::object(py::int_(*o.run.max_in_flight)) : py::object(py::none());
  return kw;
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal integer as a standard option parser reads one: an optional sign and digits,
// leading zeros meaning nothing. CLI11 reads integers with base prefixes (010 octal, 0x10
// hexadecimal) and saturates what overflows, so the text is checked here and handed on in
// its plain form. No description: the help text stays as it is.
const CLI::Validator decimal_integer(
    [](std::string& text) -> std::string {
      std::string_view digits = text;
      const bool negative = !digits.empty() && digits.front() == '-';
      if (!digits.empty() && (digits.front() == '+' || negative)) digits.remove_prefix(1);
      if (!all_digits(digits)) return "invalid int value: '" + text + "'";
      unsigned long long magnitude = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
      const unsigned long long limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + negative;
      if (ec != std::errc() || magnitude > limit) return "int value out of range: '" + text + "'";
      text = (negative && magnitude ? "-" : "") + std::to_string(magnitude);
      return "";
    },
    "", "DECIMAL");

const CLI::Validator module_function(
    [](std::string& text) -> std::string {
      if (text.empty() || text.find(':') != std::string::npos) return "";
      return "expected MODULE:FUNCTION, got '" + text + "'";
    },
    "", "MODULE:FUNCTION");

// "--opt=" is the option with the empty text as its value. CLI11 2.1 reads it as "--opt"
// and takes the next argument as the value (so "--trainer-id= --rounds=2" would name the
// trainer "--rounds=2"); the empty value of a declared option is handed to it on its own.
std::vector<std::string> empty_inline_values_apart(const CLI::App& app, const std::vector<std::string>& argv) {
  std::vector<std::string> out;
  for (const std::string& arg : argv) {
    std::string name, value;
    if (!arg.empty() && arg.back() == '=' && CLI::detail::split_long(arg, name, value) && value.empty() &&
        app.get_option_no_throw("--" + name)) {
      out.push_back("--" + name);
      out.emplace_back();
    } else {
      out.push_back(arg);
    }
  }
  return out;
}

std::string codec_names() {
  std::string names;
  for (Codec c : kAllCodecs) names += std::string(names.empty() ? "" : ", ") + codec_name(c);
  return names;
}

void add_options(CLI::App& app, Options& o, std::string& metrics_file, std::string& checkpoint_dir) {
  training::TrainerOptions& r = o.run;
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--task-id", o.task_id, "Pipeline task ID")->required();
  app.add_option("--trainer-id", o.trainer_id, "Trainer ID")->capture_default_str();
  app.add_option("--coordinator", o.coordinator, "Coordinator URL")->capture_default_str();
  app.add_option("--rounds", r.rounds, "Training rounds")->transform(decimal_integer)->capture_default_str();
  // A NaN or infinite rate would turn every weight into NaN while the run reports success.
  app.add_option("--lr", r.lr, "Learning rate")->check(cli::finite_number)->capture_default_str();
  app.add_flag("--autograd-backward", r.autograd_backward,
               "Train plain layers of every stage through autograd (true vector-Jacobian products)");
  app.add_option("--model", o.model,
                 "Python callable MODULE:FUNCTION that returns this stage's layers (and data on first and last stages)")
      ->check(module_function);
  app.add_option("--eval-every", r.eval_every, "With --model: evaluate the held-out data every N rounds")
      ->transform(decimal_integer)
      ->capture_default_str();
  app.add_option("--token", r.token, "Bearer token the coordinator requires (visible in the process list)");
  app.add_option("--token-file", r.token_file, "File whose first line is the coordinator's bearer token");
  app.add_option("--micro-batches", r.micro_batches,
                 "Micro-batches per round; more than 1 runs each round as a pipelined step")
      ->transform(decimal_integer)
      ->capture_default_str();
  app.add_option("--max-in-flight", r.max_in_flight,
                 "With --micro-batches: micro-batches every stage but the last keeps in flight "
                 "(default: as many as stages from it to the end)")
      ->type_name("INT")
      ->transform(decimal_integer);
  app.add_option("--metrics-file", metrics_file, "Append one JSON line per training step to this file");
  app.add_flag("--progress", o.progress, "Draw a live progress bar while stdout is a terminal");
  app.add_option("--checkpoint-dir", checkpoint_dir, "Save this stage's training state in DIR (keeps the last two)");
  app.add_option("--checkpoint-every", r.checkpoint_every, "With --checkpoint-dir: save every K steps, and at the end")
      ->transform(decimal_integer)
      ->capture_default_str();
  app.add_flag("--resume", r.resume, "With --checkpoint-dir: rejoin the run from the latest checkpoint");
  app.add_option("--rejoin-timeout", r.rejoin_timeout,
                 "Seconds to wait for a missing member to rejoin before the run ends; 0 fails at once")
      ->capture_default_str();
  const std::string codecs = codec_names();
  app.add_option("--activation-codec", r.activation_codec,
                 "Codec of the activations between stages: " + codecs + " (default: sign, 1 bit per element)")
      ->type_name("CODEC");
  app.add_option("--gradient-codec", r.gradient_codec,
                 "Codec of the gradients between stages: " + codecs + " (default: sign)")
      ->type_name("CODEC");
  app.add_option("--stage", r.stage, "Ask the coordinator for this pipeline position (default: by join order)")
      ->type_name("INT")
      ->transform(decimal_integer);
  app.add_option("--seed", r.seed, "Seed torch's generators and Python's random, for a repeatable run")
      ->type_name("INT")
      ->transform(decimal_integer);
  app.add_option("--max-nonfinite-steps", r.max_nonfinite_steps,
                 "Steps in a row with non-finite gradients (each applies no update) that end the run")
      ->transform(decimal_integer)
      ->capture_default_str();
}

// Parses argv; returns an exit status when the program must stop here (help, version, error).
std::optional<int> parse(const std::vector<std::string>& argv, Options& o) {
  CLI::App app("ORVYN Pipeline Trainer", module_program_name("korvane.carrowel"));
  cli::configure(app, py::module_::import("korvane").attr("__version__").cast<std::string>());
  std::string metrics_file, checkpoint_dir;  // empty: none
  add_options(app, o, metrics_file, checkpoint_dir);
  // The values together, by the trainer's own rules, once every option is read.
  app.callback([&] {
    if (!metrics_file.empty()) o.run.metrics_file = metrics_file;
    if (!checkpoint_dir.empty()) o.run.checkpoint_dir = checkpoint_dir;
    try {
      o.run.check(training::Spelling::flag);
    } catch (const training::OptionError& e) {
      throw CLI::ValidationError(e.what());
    }
  });
  std::vector<std::string> split = empty_inline_values_apart(app, argv);
  std::vector<std::string> reversed(split.rbegin(), split.rend());  // CLI11 takes them last-first
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const cli::Stop stop = cli::stop(app, e);
    write_text("stdout", stop.out);
    write_text("stderr", stop.err);
    return stop.status;
  }
  return std::nullopt;
}

// Training with --model: the stage's own data read as one stream, in pieces of
// --eval-every rounds with a held-out pass through the whole pipeline after each piece
// and at the end. Every stage runs the same schedule, so their relays stay paired.
py::dict train_user_model(py::object trainer, const UserStage& user, const Options& o, bool last,
                          py::object on_round_complete) {
  py::module_ carrowel = py::module_::import("korvane.carrowel");
  // With checkpoints in one piece the loop reads the data source itself: it restarts a
  // spent source just as the stream does, and can start it again to reach a checkpoint's place.
  const bool own_source = o.run.checkpoint_dir.has_value() && o.run.eval_every == 0;
  py::object stream = user.train_data.is_none() || own_source ? user.train_data
                                                              : py::object(carrowel.attr("EpochStream")(user.train_data));
  const long long piece = o.run.eval_every > 0 ? o.run.eval_every : std::max<long long>(o.run.rounds, 1);
  long long done = 0;
  double total = 0.0;
  py::list losses;
  py::dict result;
  for (long long start = 0; start < o.run.rounds || (start == 0 && o.run.rounds <= 0); start += piece) {
    const long long n = std::max<long long>(0, std::min(piece, o.run.rounds - start));
    py::dict m = trainer.attr("run_training_loop")(py::arg("dataloader") = stream, py::arg("num_rounds") = n,
                                                   py::arg("lr") = o.run.lr, py::arg("on_round_complete") = on_round_complete,
                                                   **step_kwargs(o));
    done += m["rounds_completed"].cast<long long>();
    total += m["total_loss"].cast<double>();
    py::list piece_losses = m["losses"];
    for (py::handle l : piece_losses) losses.append(l);
    if (user.eval_batches > 0) {
      py::dict e = trainer.attr("run_evaluation")(py::arg("dataloader") = user.eval_data,
                                                  py::arg("num_batches") = user.eval_batches);
      if (last && e.contains("accuracy")) {
        double piece_loss = 0.0;
        for (py::handle l : piece_losses) piece_loss += l.cast<double>();
        if (py::len(piece_losses)) piece_loss /= double(py::len(piece_losses));
        print_line("  Evaluation at round " + std::to_string(done) + ": train_loss=" + float_fixed(piece_loss, 4) +
                   " eval_loss=" + float_fixed(e["loss"].cast<double>(), 4) +
                   " accuracy=" + float_fixed(e["accuracy"].cast<double>(), 4));
        py::dict evaluation;
        for (const char* key : {"accuracy", "loss", "samples"}) evaluation[key] = e[key];
        py::dict record;
        record["evaluation"] = evaluation;
        trainer.attr("_trainer").attr("log_metrics")(record);
        result["eval_accuracy"] = e["accuracy"];
        result["eval_loss"] = e["loss"];
        result["eval_samples"] = e["samples"];
      }
    }
    if (o.run.rounds <= 0) break;
  }
  result["rounds_completed"] = done;
  result["total_loss"] = total;
  result["losses"] = losses;
  if (done > 0) result["avg_loss"] = total / double(done);
  return result;
}

// --progress: a tqdm bar on the terminal, or None when stdout is no terminal (a pipe, a
// file, a test) or tqdm is missing. The specified lines are printed either way.
py::object progress_bar(const Options& o) {
  py::object out = py::module_::import("sys").attr("stdout");
  if (out.is_none() || !py::hasattr(out, "isatty") || !out.attr("isatty")().cast<bool>()) return py::none();
  py::object tqdm;
  try {
    tqdm = py::module_::import("tqdm").attr("tqdm");
  } catch (const py::error_already_set&) {
    print_line("  Warning: --progress needs the tqdm package (Debian: python3-tqdm)");
    return py::none();
  }
  return tqdm(py::arg("total") = o.run.rounds, py::arg("desc") = o.trainer_id, py::arg("unit") = "round",
              py::arg("dynamic_ncols") = true, py::arg("leave") = false);
}

// SIGINT and SIGTERM while the trainer runs: the handler raises KeyboardInterrupt inside
// the trainer's private loop, which unwinds the operation under way; the caller then
// leaves the task with the reason "interrupted" and exits 128 + the signal's number.
// Outside the main thread no handler can be set, and the defaults stay.
class Interruptions {
 public:
  explicit Interruptions(py::object loop) : loop_(std::move(loop)) {
    caught_ = 0;
    for (int signum : {SIGINT, SIGTERM}) {
      try {
        loop_.attr("add_signal_handler")(signum, py::cpp_function([signum] {
          caught_ = signum;
          PyErr_SetNone(PyExc_KeyboardInterrupt);
          throw py::error_already_set();
        }));
        installed_.push_back(signum);
      } catch (py::error_already_set&) {
      }
    }
  }
  ~Interruptions() {
    for (int signum : installed_) {
      try {
        loop_.attr("remove_signal_handler")(signum);
      } catch (py::error_already_set&) {
      }
    }
  }
  Interruptions(const Interruptions&) = delete;
  Interruptions& operator=(const Interruptions&) = delete;

  // The signal that interrupted the run; SIGINT for a KeyboardInterrupt of Python's own.
  static int signal_number() { return caught_ ? caught_ : SIGINT; }

 private:
  static inline int caught_ = 0;
  py::object loop_;
  std::vector<int> installed_;
};

int train(py::object trainer, const Options& o);

int run_main(std::optional<std::vector<std::string>> argv_opt) {
  std::vector<std::string> argv;
  if (argv_opt) {
    argv = std::move(*argv_opt);
  } else {
    py::list sys_argv = py::module_::import("sys").attr("argv");
    for (size_t i = 1; i < sys_argv.size(); ++i) argv.push_back(sys_argv[i].cast<std::string>());
  }
  Options o;
  if (auto status = parse(argv, o)) return *status;

  const std::string rule(60, '=');
  print_line(rule);
  print_line("ORVYN Pipeline Parallelism Trainer");
  print_line(rule);

  py::module_ carrowel = py::module_::import("korvane.carrowel");
  py::dict kwargs;
  kwargs["trainer_id"] = o.trainer_id;
  kwargs["coordinator_url"] = o.coordinator;
  const training::TrainerOptions& r = o.run;
  kwargs["autograd_backward"] = r.autograd_backward;
  if (r.token) kwargs["token"] = *r.token;
  if (r.token_file) kwargs["token_file"] = *r.token_file;
  if (r.metrics_file) kwargs["metrics_file"] = *r.metrics_file;
  if (r.checkpoint_dir) kwargs["checkpoint_dir"] = *r.checkpoint_dir;
  kwargs["checkpoint_every"] = r.checkpoint_every;
  kwargs["resume"] = r.resume;
  kwargs["rejoin_timeout"] = r.rejoin_timeout;
  kwargs["max_nonfinite_steps"] = r.max_nonfinite_steps;
  if (r.activation_codec) kwargs["activation_codec"] = *r.activation_codec;
  if (r.gradient_codec) kwargs["gradient_codec"] = *r.gradient_codec;
  if (r.stage) kwargs["stage"] = *r.stage;
  if (r.seed) kwargs["seed"] = *r.seed;
  py::object trainer = carrowel.attr("OrvynPipelineTrainerSync")(**kwargs);
  Interruptions interruptions(trainer.attr("_loop"));
  try {
    return train(trainer, o);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_KeyboardInterrupt)) throw;
  }
  const int signum = Interruptions::signal_number();
  py::object inner = trainer.attr("_trainer");
  trainer.attr("_run")(py::cast(async::make_op(leave_task(inner, std::string("interrupted")), "leave_pipeline")));
  print_line("\nInterrupted (signal " + std::to_string(signum) + "): left the task");
  return 128 + signum;
}

int train(py::object trainer, const Options& o) {
  py::object assignment = trainer.attr("join_pipeline")(o.task_id);
  const LayerAssignment& a = assignment.cast<const LayerAssignment&>();
  UserStage user;
  if (!o.model.empty()) {
    user = load_user_stage(o.model, assignment);
    py::object inner = trainer.attr("_trainer");
    for (py::handle layer : user.layers) layer.attr("to")(inner.attr("device"));
    inner.attr("layers") = user.layers;
    if (!user.optimizer.is_none()) inner.attr("optimizer") = user.optimizer;
    print_line("  Model: " + o.model + " (" + std::to_string(py::len(user.layers)) + " layers)");
  }
  print_line("\nJoined pipeline:");
  print_line("  Layers: " + std::to_string(a.layer_start) + "-" + std::to_string(a.layer_end));
  print_line("  Position: " + std::to_string(a.pipeline_position));

  py::object inner = trainer.attr("_trainer");
  const double memory_mb = inner.attr("get_memory_usage")().cast<double>() / 1048576.0;
  print_line("  Memory: " + float_fixed(memory_mb, 1) + " MB");
  py::dict stats = inner.attr("get_compression_stats")();
  if (stats.size() > 0) print_line("  Compression: " + float_fixed(stats["compression_ratio"].cast<double>(), 1) + "x");

  print_line("\nStarting training (" + std::to_string(o.run.rounds) + " rounds)...");
  py::object bar = o.progress ? progress_bar(o) : py::object(py::none());
  py::object on_round = py::none();
  if (!bar.is_none())
    on_round = py::cpp_function([bar](py::object, py::object loss) {
      if (!loss.is_none()) bar.attr("set_postfix")(py::arg("loss") = float_fixed(loss.cast<double>(), 4), py::arg("refresh") = false);
      bar.attr("update")(1);
    });
  py::dict metrics;
  try {
    if (o.model.empty()) {
      metrics = trainer.attr("run_training_loop")(py::arg("num_rounds") = o.run.rounds, py::arg("lr") = o.run.lr,
                                                  py::arg("on_round_complete") = on_round, **step_kwargs(o));
    } else {
      metrics = train_user_model(trainer, user, o, a.is_last_stage(), on_round);
    }
  } catch (...) {
    if (!bar.is_none()) bar.attr("close")();
    throw;
  }
  if (!bar.is_none()) {
    bar.attr("refresh")();  // the final count is drawn even when the last rounds came faster than tqdm redraws
    bar.attr("close")();
  }
  trainer.attr("leave_pipeline")();  // the whole run is over: the coordinator may end it

  print_line("\nTraining complete!");
  print_line("  Rounds: " + py::str(metrics["rounds_completed"]).cast<std::string>());
  const std::string avg = metrics.contains("avg_loss") ? float_repr(metrics["avg_loss"].cast<double>()) : "N/A";
  print_line("  Avg loss: " + avg);
  if (metrics.contains("eval_accuracy"))
    print_line("  Held-out accuracy: " + float_fixed(metrics["eval_accuracy"].cast<double>(), 4) + " (" +
               py::str(metrics["eval_samples"]).cast<std::string>() + " samples)");
  return 0;
}
}  // namespace

void bind_cli(py::module_& m) {
  m.def("main", &run_main, py::arg("argv") = py::none(),
        "Run one trainer from the command line; returns the exit status.");
}

}  // namespace korvane::carrowel
