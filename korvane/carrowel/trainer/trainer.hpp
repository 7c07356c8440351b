// One pipeline stage. Its operations live beside it, one file per concept (provisioning,
// stage, statistics, step, loop; join and relays in ../coordinator), and take the Python
// object `self`, so that a subclass or a replaced method is honoured at the documented
// override points and the trainer outlives every coroutine that works on it.
#pragma once
#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>
#include <string>

#include "korvane/carrowel/trainer/layer_assignment.hpp"
#include "korvane/carrowel/trainer/stage_model.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

inline constexpr const char* kDefaultCoordinatorUrl = "http://localhost:9545";

// The trainer owns its parts: the stage model (every Python and torch object of the
// slice), the session with the coordinator, the recovery options and state, the progress
// counters. Its operations are free functions over these parts, bound as methods.
// Thread: the event-loop thread; nothing is locked, and operations of one trainer do not
// overlap (the loop runs one step at a time).
class Trainer {
 public:
  Trainer(std::string trainer_id, std::string coordinator_url, std::optional<std::string> device);

  std::string trainer_id;
  std::string coordinator_url;
  StageModel model;
  py::object layer_assignment;  // a LayerAssignment, or None before joining
  long long current_round = 0;
  long long micro_batch_idx = 0;
  std::optional<double> last_loss;  // absent until a round yields a loss

  // What the coordinator told and gave this member. The token is never printed; the
  // member secret belongs to the current task; `member`: a coordinator (not the mock)
  // admitted this trainer.
  struct Session {
    std::optional<long long> pipeline_stages;  // from the ready answer, when it says
    std::optional<std::string> token;
    std::optional<std::string> member_secret;
    bool member = false;
    // Time limits of the join and of every post (the plain protocol gives them none). The
    // join's is longer than the coordinator's default join wait of 300 s, so that the
    // coordinator answers first.
    double join_timeout_s = 330.0;
    double post_timeout_s = 60.0;
  } session;

  // Opt-in checkpoints, resume and roll-back (keyword-only constructor arguments), and
  // what the coordinator said about roll-backs.
  struct Recovery {
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
  } recovery;

  // Opt-in progress records (keyword-only metrics_file): one JSON line per step.
  struct Metrics {
    std::optional<std::string> file;
    long long steps_recorded = 0;       // steps of every loop so far: the records' step numbers
    long long last_samples = -1;        // rows of the last step's inputs; -1 when unknown
    unsigned long long bytes_sent = 0;  // relay bodies posted and fetched, over the trainer's life
    unsigned long long bytes_received = 0;
  } metrics;

  // Attributes of the Python interface that no part fills; kept for callers that look.
  struct Unused {
    py::object activation_buffer = py::none();
    py::object grad_buffer = py::none();
    py::object client = py::none();  // the lazily created session of _get_client
  } unused;

  // The assignment; throws ValueError("... has not joined ...") when there is none.
  const LayerAssignment& assignment() const;

  static Trainer& of(py::handle self) { return self.cast<Trainer&>(); }
};

// The TypeError for an argument of the wrong type, worded as every korvane check words it.
[[noreturn]] void raise_argument_type(const std::string& name, const std::string& expected, py::handle given);

using TrainerClass = py::class_<Trainer, std::shared_ptr<Trainer>>;

// Each concept registers its own methods on the class.
void bind_provisioning(TrainerClass& cls);
void bind_stage(TrainerClass& cls);
void bind_statistics(TrainerClass& cls);
void bind_coordinator(TrainerClass& cls);  // join and relays
void bind_step(TrainerClass& cls);           // run_pipeline_round (step.cpp)
void bind_training_loop(TrainerClass& cls);
void bind_metrics_file(TrainerClass& cls);
// Appends `record` as one JSON line to the trainer's metrics file; nothing without one.
void append_metrics_record(const Trainer& t, py::dict record);
void bind_evaluation(TrainerClass& cls, py::module_& m);  // held-out passes, EpochStream
void bind_facade(py::module_& m);

}  // namespace korvane::carrowel
