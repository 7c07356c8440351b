// Roll-backs of a run to a consistent cut of its members' checkpoints (see
// task_registry.hpp).
#include <algorithm>

#include "tools/coordinator/constant_time.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

namespace {
bool proves(const std::optional<std::string>& held, const std::optional<std::string>& given) {
  if (!held) return true;  // a member without a secret is known by its id
  return given && same_secret(*held, *given);
}
std::string quoted(const std::string& s) { return "'" + s + "'"; }
}  // namespace

std::string TaskRegistry::scope_of(const std::string& task_id, const Run& run) {
  std::string scope = run_scope(task_id, run.number);
  if (run.epoch > 0) scope += '\x1e' + std::to_string(run.epoch);  // ids hold no control characters
  return scope;
}

std::optional<TaskRegistry::Access> TaskRegistry::stale_epoch(const Run& run, std::optional<std::uint64_t> epoch) const {
  if (!epoch || *epoch >= run.epoch) return std::nullopt;
  Access a;
  a.status = 409;
  a.error = "the run was rolled back to step " + std::to_string(run.rollback_step) + " (epoch " +
            std::to_string(run.epoch) + "); reload that checkpoint";
  a.run = run.number;
  a.rollback_epoch = run.epoch;
  a.rollback_step = run.rollback_step;
  return a;
}

std::optional<TaskRegistry::Access> TaskRegistry::rolled_back_since(const std::string& task_id, std::uint64_t number,
                                                                    std::optional<std::uint64_t> epoch) {
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return std::nullopt;
  return stale_epoch(*run, epoch);
}

int TaskRegistry::checkpointed(const std::string& task_id, const std::string& trainer_id,
                               const std::optional<std::string>& secret, std::int64_t step, std::string& error_out) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  Member* m = it == tasks_.end() || !it->second.complete ? nullptr : find(it->second, trainer_id);
  if (!m) {
    error_out = "trainer " + quoted(trainer_id) + " is not a member of a running task " + quoted(task_id);
    return 403;
  }
  if (!proves(m->secret, secret)) {
    error_out = "the request does not carry the member secret of trainer " + quoted(trainer_id);
    return 403;
  }
  m->checkpoint = step;
  m->last_seen = now_();
  return 0;
}

TaskRegistry::RollbackResult TaskRegistry::rollback(const std::string& task_id, const std::string& trainer_id,
                                                    const std::optional<std::string>& secret, std::int64_t step) {
  std::lock_guard lock(mutex_);
  RollbackResult r;
  auto it = tasks_.find(task_id);
  Member* m = it == tasks_.end() || !it->second.complete ? nullptr : find(it->second, trainer_id);
  if (!m) {
    r.status = 403;
    r.error = "trainer " + quoted(trainer_id) + " is not a member of a running task " + quoted(task_id);
    return r;
  }
  if (!proves(m->secret, secret)) {
    r.status = 403;
    r.error = "the request does not carry the member secret of trainer " + quoted(trainer_id);
    return r;
  }
  Run& run = it->second;
  m->active = true;  // back in the run
  m->last_seen = now_();
  m->checkpoint = step;
  // The latest step every member has kept: each keeps its last two, and no member's
  // latest is more than one checkpoint ahead of another's, so all of them hold it.
  std::optional<std::int64_t> target;
  for (const Member& x : run.members)
    if (x.checkpoint) target = target ? std::min(*target, *x.checkpoint) : *x.checkpoint;
  const std::string old_scope = scope_of(task_id, run);
  run.epoch += 1;
  run.rollback_step = *target;
  run.failure.reset();  // the failure that the roll-back repairs
  if (config_.replicas == 1) run.lost_lanes.clear();
  for (Member& x : run.members)
    if (x.checkpoint) x.checkpoint = std::min(*x.checkpoint, *target);
  // Drop the abandoned epoch's messages and wake its held fetches, which then learn of
  // the roll-back.
  if (on_run_change_) on_run_change_(old_scope, true);
  r.step = *target;
  r.epoch = run.epoch;
  return r;
}

}  // namespace korvane::coordinator
