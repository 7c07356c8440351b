// The trainer's side of checkpoints and roll-backs at the coordinator. A trainer that
// keeps checkpoints reports each one; a trainer that comes back after a loss asks the
// coordinator to roll the run back to the latest step every member has kept; relays
// carry the roll-back epoch they belong to, and an answer that says the run was rolled
// back since makes the loop reload that step in place. Coordinators that know none of
// this ignore the header and answer 404 to the two requests; the trainer then goes on
// without them.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"
#include "korvane/common/http/exchange.hpp"

namespace korvane::carrowel::coordinator {

inline constexpr const char* kRollbackPath = "/pipeline/rollback";
inline constexpr const char* kCheckpointPath = "/pipeline/checkpoint";
inline constexpr const char* kRollbackEpochHeader = "X-Rollback-Epoch";
inline constexpr const char* kRollbackStepHeader = "X-Rollback-Step";

// Adds the epoch header to a relay request when the trainer
// takes part in roll-backs.
void add_rollback_headers(const Trainer& t, std::vector<std::string>& headers);

// True, with t.pending_rollback set, when the answer says the run was rolled back.
bool note_rollback(Trainer& t, const http::Response& resp);

// Reports a saved checkpoint; best effort (a failure is not the run's).
async::Task<void> report_checkpoint(py::object self, long long step);

struct RollbackAnswer {
  long long step;
  unsigned long long epoch;
};
// Asks the coordinator to roll the run back, this member having `latest` on disk. None
// when the coordinator knows no roll-back (it answered 404).
async::Task<std::optional<RollbackAnswer>> request_rollback(py::object self, long long latest);

}  // namespace korvane::carrowel::coordinator
