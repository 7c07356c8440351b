// The trainer's side of stage replicas: the stage's group averages the step's gradients
// after the flush, before anything reads them (the non-finite check, the update), and
// the loop records what that cost and a digest of the parameters after the step. The
// group itself (process groups, store, regrouping) is Python: replica_group.py.
// Thread: the event-loop thread. Errors: the group's own (a ReplicaGroupError when the
// replicas could not average), as py::error_already_set.
#pragma once
#include <optional>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/carrowel/training/step_metrics.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

// Whether the trainer averages with replicas.
bool has_replicas(const Trainer& t);

// Takes the join answer's lane, lane count and stage group (none of them: one lane, no
// group). The group meets through the coordinator's store, as this member. ValueError
// for a lane outside the lanes, or a group that is not an object.
void take_lanes(Trainer& t, const py::object& answer);

// Meets the other replicas and starts from rank 0's parameters (once per group).
async::Task<void> prepare_replicas(py::object self);
// At the end of a training loop, after its last step: meets the other replicas once more,
// so that a last all-reduce that completed on some and failed on others is mended
// before any of them ends with its parameters.
async::Task<void> settle_replicas(py::object self);

// Averages the step's gradients over the replicas; returns the replicas' mean loss.
// `step`: the number of the step's first micro-batch, the same on every replica.
async::Task<std::optional<double>> average_with_replicas(py::object self, std::optional<double> loss,
                                                         long long step);

// The group's figures of the step just done, and the parameters' digest, in `record`.
void describe_replicas(const Trainer& t, training::StepRecord& record);

// Leaves the group, so that peers in a collective with this trainer fail at once.
void close_replicas(Trainer& t) noexcept;

// Of every `lanes` batches of the data source, lane `lane` trains on one: the batches
// lane, lane + lanes, lane + 2*lanes, ... (the first and last stage of a lane agree).
struct Shard {
  long long lane = 0, lanes = 1;
  long long skip_before() const { return lane; }
  long long skip_after() const { return lanes - 1 - lane; }
};
Shard data_shard(const Trainer& t);

void bind_replicas(TrainerClass& cls);  // lane, lanes, replica_group

}  // namespace korvane::carrowel
