// One pipeline stage. Its operations live beside it, one file per concept (provisioning,
// stage, statistics, membership, relays, step, loop, recovery), and take the Python
// object `self`, so that a subclass or a replaced method is honoured at the documented
// override points and the trainer outlives every coroutine that works on it.
#pragma once
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "korvane/carrowel/client/coordinator_client.hpp"
#include "korvane/carrowel/trainer/layer_assignment.hpp"
#include "korvane/carrowel/trainer/stage_model.hpp"
#include "korvane/carrowel/training/checkpoint_directory.hpp"
#include "korvane/carrowel/training/metrics_file.hpp"
#include "korvane/carrowel/training/rejoin_wait.hpp"
#include "korvane/carrowel/training/rollback_state.hpp"
#include "korvane/carrowel/training/step_metrics.hpp"

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

  // The session with the coordinator. The client holds the token and the member secret
  // (never printed); `member`: a coordinator (not the mock) admitted this trainer.
  struct Session {
    explicit Session(client::CoordinatorClient c) : client(std::move(c)) {}
    client::CoordinatorClient client;
    std::optional<long long> pipeline_stages;  // from the ready answer, when it says
    bool member = false;
    // Time limits of the join and of every post (the plain protocol gives them none). The
    // join's is longer than the coordinator's default join wait of 300 s, so that the
    // coordinator answers first.
    double join_timeout_s = 330.0;
    double post_timeout_s = 60.0;
  } session;

  // What crosses the stage boundaries and where the trainer asks to sit (keyword-only
  // activation_codec, gradient_codec, stage), and what the coordinator confirmed at the join.
  struct Boundary {
    std::string activation_codec = "sign";  // forward
    std::string gradient_codec = "sign";    // backward
    bool activation_codec_given = false;    // given ones go into the join body
    bool gradient_codec_given = false;
    std::optional<long long> stage;         // the pipeline position asked for
    bool codecs_confirmed = false;          // X-Codec on every post, checked on every fetch
    bool tensor_lists = false;              // tuples, lists and dicts may cross
  } boundary;

  // Opt-in checkpoints, resume and roll-back (keyword-only constructor arguments), and
  // what the coordinator said about roll-backs.
  struct Recovery {
    std::optional<training::CheckpointDirectory> checkpoints;  // none: nothing is written to disk
    long long checkpoint_every = 0;                            // steps between checkpoints; 0: only at the end
    bool resume = false;                                       // the loop starts from the latest checkpoint
    training::RejoinWait rejoin;                               // how long a missing neighbour is waited for
    training::RollbackState rollback;                          // the relay epoch and a pending roll-back
  } recovery;

  // Opt-in progress records (keyword-only metrics_file): one JSON line per step.
  struct Metrics {
    std::optional<training::MetricsFile> file;
    training::StepMetrics steps;  // step numbers and relay bytes, over the trainer's life
    long long last_samples = -1;  // rows of the last step's inputs; -1 when unknown
  } metrics;

  // Steps whose loss or gradients were not finite apply no update; this many in a row end
  // the run (keyword-only max_nonfinite_steps).
  struct Guard {
    long long max_nonfinite_steps = 3;
    long long nonfinite_in_row = 0;
    // The relay post the coordinator refused since the step began ("the activation post
    // for micro-batch 4 was refused: coordinator answered 413: ..."): the answer it was
    // for cannot come, so the step fails with this rather than wait for it.
    std::optional<std::string> refused_post;
  } guard;

  // Attributes of the Python interface that no part fills; kept for callers that look.
  struct Unused {
    py::object activation_buffer = py::none();
    py::object grad_buffer = py::none();
    py::object client = py::none();  // the lazily created session of _get_client
  } unused;

  // The assignment; throws ValueError("... has not joined ...") when there is none.
  const LayerAssignment& assignment() const;
  // The client, told the coordinator, ids and relay epoch the trainer holds now: callers
  // may replace the URL, the trainer id and the assignment between operations.
  client::CoordinatorClient& coordinator();

  static Trainer& of(py::handle self) { return self.cast<Trainer&>(); }
};

// The TypeError for an argument of the wrong type, worded as every korvane check words it.
[[noreturn]] void raise_argument_type(const std::string& name, const std::string& expected, py::handle given);

using TrainerClass = py::class_<Trainer, std::shared_ptr<Trainer>>;

// Each concept registers its own methods on the class.
void bind_provisioning(TrainerClass& cls);
void bind_stage(TrainerClass& cls);
void bind_statistics(TrainerClass& cls);
void bind_membership(TrainerClass& cls);  // join, ready, leave
void bind_relays(TrainerClass& cls);      // send_* and receive_*
void bind_step(TrainerClass& cls);           // run_pipeline_round (step.cpp)
void bind_training_loop(TrainerClass& cls);
void bind_metrics_file(TrainerClass& cls);
void bind_evaluation(TrainerClass& cls, py::module_& m);  // held-out passes, EpochStream

}  // namespace korvane::carrowel
