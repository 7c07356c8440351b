// The state of one pipeline stage. Its operations live beside it, one file per concept
// (provisioning, stage, statistics, round, loop; join and relays in ../coordinator), and
// take the Python object `self` so that a subclass or a replaced method is honoured and
// the trainer outlives every coroutine that works on it.
#pragma once
#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>
#include <string>

#include "korvane/carrowel/trainer/layer_assignment.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

inline constexpr const char* kDefaultCoordinatorUrl = "http://localhost:9545";

class Trainer {
 public:
  Trainer(std::string trainer_id, std::string coordinator_url, std::optional<std::string> device);

  std::string trainer_id;
  std::string coordinator_url;
  std::string device;
  py::object layers;            // a list, then the nn.ModuleList of the slice
  py::object layer_assignment;  // a LayerAssignment, or None before joining
  long long current_round = 0;
  long long micro_batch_idx = 0;
  std::optional<long long> pipeline_stages;  // from the coordinator's ready answer, when it says
  py::object activation_buffer;  // never filled; kept for callers that look at it
  py::object grad_buffer;
  py::object client;             // the lazily created session of _get_client
  std::optional<double> last_loss;  // absent until a round yields a loss
  // Coordinator access: the bearer token (never printed), the member secret of the
  // current task, and whether a coordinator (not the mock) admitted this trainer.
  std::optional<std::string> token;
  std::optional<std::string> member_secret;
  bool member = false;
  // Time limits of the join and of every post (the plain protocol gives them none). The
  // join's is longer than the coordinator's default join wait of 300 s, so that the
  // coordinator answers first.
  double join_timeout_s = 330.0;
  double post_timeout_s = 60.0;

  // Opt-in training of plain layers (keyword-only constructor arguments).
  bool autograd_backward = false;  // true vector-Jacobian products for plain layers
  py::object optimizer;            // factory params -> torch.optim optimizer, or None for plain SGD
  py::object plain_optimizer;      // what the factory built, for the parameters in plain_params
  py::object plain_params;         // the plain layers' parameters the optimizer was built for
  py::object stage_tape;           // autograd_backward: the segments of the last forward_stage, or None

  // Opt-in progress records (keyword-only metrics_file): one JSON line per step.
  py::object metrics_file;             // the path as text, or None
  long long steps_recorded = 0;        // steps of every loop so far: the records' step numbers
  long long last_samples = -1;         // rows of the last round's activation; -1 when unknown
  unsigned long long bytes_sent = 0;   // relay bodies posted and fetched, over the trainer's life
  unsigned long long bytes_received = 0;
  // Opt-in checkpoints, resume and roll-back (keyword-only constructor arguments).
  std::optional<std::string> checkpoint_dir;  // none: nothing is written to disk
  long long checkpoint_every = 0;             // steps between checkpoints; 0: only at the end
  bool resume = false;                        // the loop starts from the latest checkpoint
  double rejoin_timeout = 0.0;                // > 0: wait that long for a missing member instead of failing
  // The roll-back epoch the relays carry once the trainer takes part in roll-backs; a
  // coordinator that knows none ignores it.
  std::optional<unsigned long long> relay_epoch;
  struct Rollback {
    long long step;
    unsigned long long epoch;
  };
  std::optional<Rollback> pending_rollback;  // the coordinator rolled the run back; the loop acts on it
  std::optional<std::chrono::steady_clock::time_point> missing_since;  // a neighbour went missing then

  // The assignment; throws ValueError("... has not joined ...") when there is none.
  const LayerAssignment& assignment() const;

  static Trainer& of(py::handle self) { return self.cast<Trainer&>(); }
};

// Python's name for the type of a value (NoneType, int, ...), for TypeError messages.
std::string python_type_name(py::handle value);
// The last stage's loss of its output: the cross entropy with `labels`, else the output's mean.
py::object last_stage_loss(py::object output, py::object labels);
// The TypeError for an argument of the wrong type, worded as every korvane check words it.
[[noreturn]] void raise_argument_type(const std::string& name, const std::string& expected, py::handle given);

using TrainerClass = py::class_<Trainer, std::shared_ptr<Trainer>>;

// Each concept registers its own methods on the class.
void bind_provisioning(TrainerClass& cls);
void bind_stage(TrainerClass& cls);
void bind_statistics(TrainerClass& cls);
void bind_coordinator(TrainerClass& cls);  // join and relays
void bind_round_and_loop(TrainerClass& cls);
void bind_metrics_file(TrainerClass& cls);
// Appends `record` as one JSON line to the trainer's metrics file; nothing without one.
void append_metrics_record(const Trainer& t, py::dict record);
void bind_evaluation(TrainerClass& cls, py::module_& m);  // held-out passes, EpochStream
void bind_facade(py::module_& m);

}  // namespace korvane::carrowel
