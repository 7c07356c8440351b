// The command-line program: one trainer from joining to the end of training.
//   python3 -m korvane.carrowel --task-id T [--trainer-id ID] [--coordinator URL] [--rounds N] [--lr LR]
//                               [--token TOKEN | --token-file PATH]
// Option errors print a usage line and the error on stderr and give exit status 2; any
// error after parsing propagates (the interpreter reports it on stderr with status 1).
#include <CLI/CLI.hpp>
#include <pybind11/stl.h>

#include "korvane/carrowel/bindings.hpp"
#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/common/python/output.hpp"

namespace korvane::carrowel {

namespace {
constexpr const char* kProgram = "python3 -m korvane.carrowel";
constexpr const char* kUsage =
    "usage: python3 -m korvane.carrowel [-h] --task-id TASK_ID [--trainer-id TRAINER_ID] "
    "[--coordinator COORDINATOR] [--rounds ROUNDS] [--lr LR]";

struct Options {
  std::string task_id;
  std::string trainer_id = "trainer_1";
  std::string coordinator = kDefaultCoordinatorUrl;
  long long rounds = 10;
  double lr = 0.0001;
  std::optional<std::string> token, token_file;
};

void write_stream(const char* name, const std::string& text) {
  py::object stream = py::module_::import("sys").attr(name);
  if (stream.is_none()) return;
  stream.attr("write")(py::str(text));
  stream.attr("flush")();
}

// Parses argv; returns an exit status when the program must stop here (help or error).
std::optional<int> parse(const std::vector<std::string>& argv, Options& o) {
  CLI::App app("ORVYN Pipeline Trainer", kProgram);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--task-id", o.task_id, "Pipeline task ID")->required();
  app.add_option("--trainer-id", o.trainer_id, "Trainer ID")->capture_default_str();
  app.add_option("--coordinator", o.coordinator, "Coordinator URL")->capture_default_str();
  app.add_option("--rounds", o.rounds, "Training rounds")->capture_default_str();
  app.add_option("--lr", o.lr, "Learning rate")->capture_default_str();
  app.add_option("--token", o.token, "Bearer token the coordinator requires (visible in the process list)");
  app.add_option("--token-file", o.token_file, "File whose first line is the coordinator's bearer token");
  std::vector<std::string> reversed(argv.rbegin(), argv.rend());  // CLI11 takes them last-first
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    write_stream("stdout", app.help());
    return 0;
  } catch (const CLI::ParseError& e) {
    write_stream("stderr", std::string(kUsage) + "\n" + kProgram + ": error: " + e.what() + "\n");
    return 2;
  }
  return std::nullopt;
}

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
  if (o.token) kwargs["token"] = *o.token;
  if (o.token_file) kwargs["token_file"] = *o.token_file;
  py::object trainer = carrowel.attr("OrvynPipelineTrainerSync")(**kwargs);
  py::object assignment = trainer.attr("join_pipeline")(o.task_id);
  const LayerAssignment& a = assignment.cast<const LayerAssignment&>();
  print_line("\nJoined pipeline:");
  print_line("  Layers: " + std::to_string(a.layer_start) + "-" + std::to_string(a.layer_end));
  print_line("  Position: " + std::to_string(a.pipeline_position));

  py::object inner = trainer.attr("_trainer");
  const double memory_mb = inner.attr("get_memory_usage")().cast<double>() / 1048576.0;
  print_line("  Memory: " + float_fixed(memory_mb, 1) + " MB");
  py::dict stats = inner.attr("get_compression_stats")();
  if (stats.size() > 0) print_line("  Compression: " + float_fixed(stats["compression_ratio"].cast<double>(), 1) + "x");

  print_line("\nStarting training (" + std::to_string(o.rounds) + " rounds)...");
  py::dict metrics = trainer.attr("run_training_loop")(py::arg("num_rounds") = o.rounds, py::arg("lr") = o.lr);

  print_line("\nTraining complete!");
  print_line("  Rounds: " + py::str(metrics["rounds_completed"]).cast<std::string>());
  const std::string avg = metrics.contains("avg_loss") ? float_repr(metrics["avg_loss"].cast<double>()) : "N/A";
  print_line("  Avg loss: " + avg);
  return 0;
}
}  // namespace

void bind_cli(py::module_& m) {
  m.def("main", &run_main, py::arg("argv") = py::none(),
        "Run one trainer from the command line; returns the exit status.");
}

}  // namespace korvane::carrowel
