// A stage's training state on disk, so that a lost trainer costs the steps since its last
// checkpoint and not the run. Every stage saves after the same step numbers, so the files
// of one step number form a consistent cut of the pipeline. Files are written whole or
// not at all (temporary file, fsync, rename, fsync of the directory), the last two are
// kept, and each loads with torch.load(path, weights_only=True) (stage_checkpoint.cpp).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "korvane/carrowel/trainer/trainer.hpp"

namespace korvane::carrowel {

// Writes the stage's state after `counters.step` steps and prunes all but the two latest
// checkpoints. Also keeps the member secret beside them (mode 0600) when there is one.
void save_checkpoint(Trainer& t, const StageCounters& counters);

// The step numbers of the checkpoints in `dir`, ascending; a missing directory has none.
std::vector<long long> checkpoint_steps(const std::string& dir);
std::string checkpoint_path(const std::string& dir, long long step);

// Loads the checkpoint of `step` into the stage model in place (layers, optimizer state,
// layer counters, random generator states) and returns the counters it kept.
StageCounters restore_checkpoint(Trainer& t, long long step);

// Removes checkpoints after `step` (a roll-back makes them a future that will not happen).
void drop_checkpoints_after(const std::string& dir, long long step);

// The member secret kept beside the checkpoints, if any.
std::optional<std::string> read_member_secret(const std::string& dir);

}  // namespace korvane::carrowel
