// The trainer's checkpoints and its part in roll-backs. The files are named, listed,
// published and pruned by training::CheckpointDirectory; the tensors are written and
// loaded by the stage model; the coordinator hears of each save and, when a member comes
// back, is asked where the run goes on. Coordinators that know none of this answer 404,
// and the trainer goes on without them.
// Thread: the event-loop thread. Errors: Error "checkpoint: ..." for files; see each.
#pragma once
#include <optional>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/carrowel/training/rollback_state.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

// Writes the stage's state after `counters.step` steps, whole or not at all, and keeps
// the two latest checkpoints; also keeps the member secret beside them when there is one.
void save_checkpoint(Trainer& t, const StageCounters& counters);

// Loads the checkpoint of `step` into the stage model in place and returns the counters
// it kept; Error when it is not on disk.
StageCounters restore_checkpoint(Trainer& t, long long step);

// Reports a saved checkpoint; best effort (a failure is not the run's), but a
// cancellation always reaches the caller. An answer that says the run was rolled back
// leaves a pending roll-back.
async::Task<void> report_checkpoint(py::object self, long long step);

// Asks the coordinator to roll the run back, this member having `latest` on disk. None
// when the coordinator knows no roll-back (it answered 404); Error when it refused or
// its answer lacks the step or epoch; the transport's errors pass through.
async::Task<std::optional<training::Rollback>> request_rollback(py::object self, long long latest);

}  // namespace korvane::carrowel
