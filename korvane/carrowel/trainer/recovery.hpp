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
// it kept; Error naming the file when it is not on disk, cannot be loaded or holds
// weights that are not finite.
StageCounters restore_checkpoint(Trainer& t, long long step);

// Loads the latest checkpoint that loads, warning of each newer one that does not (a
// corrupt or truncated file) and falling back to the one before it. None when the
// directory holds no checkpoint; Error naming the directory when none of them loads, and
// naming the file when one loads but holds weights that are not finite.
std::optional<StageCounters> restore_latest_intact(Trainer& t);

// A warning line for each entry of the directory that looks like a checkpoint and is ignored.
void warn_of_strays(const Trainer& t);

// Reports a saved checkpoint; best effort (a failure is not the run's), but a
// cancellation always reaches the caller. An answer that says the run was rolled back
// leaves a pending roll-back.
async::Task<void> report_checkpoint(py::object self, long long step);

// Asks the coordinator to roll the run back, this member having `latest` on disk. None
// when the coordinator knows no roll-back (it answered 404); Error when it refused or
// its answer lacks the step or epoch; the transport's errors pass through.
async::Task<std::optional<training::Rollback>> request_rollback(py::object self, long long latest);

}  // namespace korvane::carrowel
