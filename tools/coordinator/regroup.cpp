// The replica groups of a run's stages, and the lanes they lose (see task_registry.hpp).
//
// A stage's replicas average in a group of one generation at a time. When a collective
// fails, each replica that saw it asks for the next generation. The first ask opens a
// round; the round ends when every live lane's replica of the stage has asked, or when
// the regroup window has passed. A replica that did not ask by then is taken for dead:
// its lane is lost, for every stage, and its partners in that lane learn it through their
// fetches. The new generation meets the lanes that asked.
#include <algorithm>

#include "tools/coordinator/constant_time.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

namespace {
std::string quoted(const std::string& s) { return "'" + s + "'"; }
bool has(const std::vector<std::int64_t>& v, std::int64_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }
}  // namespace

GroupView TaskRegistry::group_of(const Run& run, std::int64_t lane, std::int64_t stage) const {
  GroupView v;
  if (stage < 0 || static_cast<std::size_t>(stage) >= run.groups.size()) return v;
  const auto& g = run.groups[static_cast<std::size_t>(stage)];
  v.generation = g.generation;
  v.lanes = g.lanes;
  const auto at = std::find(g.lanes.begin(), g.lanes.end(), lane);
  v.rank = at == g.lanes.end() ? -1 : static_cast<std::int64_t>(at - g.lanes.begin());
  return v;
}

TaskRegistry::Member* TaskRegistry::culprit(Run& run, std::int64_t lane, std::int64_t stage) {
  // The replica that did not ask may itself be alive, held in a fetch that waits on a dead
  // partner (the last stage reaches its collective first). A member waiting at the
  // coordinator is alive; of the others, the one silent longest is taken for the dead one.
  // Ties go to the stage's own member.
  Member* best = nullptr;
  const auto better = [](const Member& x, const Member& y) {
    return std::make_pair(x.held > 0, x.last_seen) < std::make_pair(y.held > 0, y.last_seen);
  };
  for (std::int64_t i = 0; i < config_.stages; ++i) {
    Member* y = member_at(run, lane, (stage + i) % config_.stages);
    if (y && y->active && (!best || better(*y, *best))) best = y;
  }
  return best ? best : member_at(run, lane, stage);
}

void TaskRegistry::lose_lane(Tasks::iterator task, std::int64_t lane, const std::string& why) {
  Run& run = task->second;
  if (!run.lost_lanes.emplace(lane, why).second) return;
  // Its members' held fetches look again and find their lane lost.
  if (on_run_change_) on_run_change_(scope_of(task->first, run), false);
}

bool TaskRegistry::settle_round(Tasks::iterator task, std::int64_t stage) {
  Run& run = task->second;
  auto& g = run.groups[static_cast<std::size_t>(stage)];
  if (!g.round) return true;
  std::vector<std::int64_t> live, missing;
  for (std::int64_t lane : g.lanes)
    if (!run.lost_lanes.count(lane)) (has(g.round->asked, lane) ? live : missing).push_back(lane);
  if (!missing.empty() && now_() < g.round->deadline) return true;

  g.generation += 1;
  g.lanes = live;  // g.lanes was ascending, so this is too
  for (auto& w : g.round->waiters) w->wake();
  g.round.reset();

  for (std::int64_t lane : missing) {
    Member* x = culprit(run, lane, stage);
    const std::int64_t at = x ? x->assignment.pipeline_position : stage;
    const std::string place = "lost from the replica group of stage " + std::to_string(at);
    lose_lane(task, lane, "trainer " + quoted(x ? x->id : "lane " + std::to_string(lane)) + " failed: " + place);
    if (x && x->active) {
      x->ended = "failed: " + place;
      if (deactivate(task, *x)) return false;
    }
  }
  return true;
}

void TaskRegistry::settle_all(const std::string& task_id, std::uint64_t number) {
  for (bool again = true; again;) {
    again = false;
    for (std::int64_t stage = 0; stage < config_.stages; ++stage) {
      auto it = tasks_.find(task_id);
      if (it == tasks_.end() || it->second.number != number) return;
      const std::size_t lost = it->second.lost_lanes.size();
      if (!settle_round(it, stage)) return;
      // A lane lost here may be one that another stage's round still waits for.
      if (auto now = tasks_.find(task_id); now != tasks_.end() && now->second.lost_lanes.size() != lost) again = true;
    }
  }
}

TaskRegistry::RegroupResult TaskRegistry::regroup(const std::string& task_id, const std::string& trainer_id,
                                                  const std::optional<std::string>& secret, std::uint64_t generation,
                                                  const std::optional<std::string>& error,
                                                  const std::shared_ptr<Waiter>& waiter) {
  (void)error;  // the route logs it; the decision needs only who asked
  std::lock_guard lock(mutex_);
  RegroupResult r;
  const auto refuse = [&r](int status, std::string why) {
    r.status = RegroupStatus::refused;
    r.http_status = status;
    r.error = std::move(why);
    return r;
  };
  auto it = tasks_.find(task_id);
  Member* m = it == tasks_.end() || !it->second.complete ? nullptr : find(it->second, trainer_id);
  if (!m) return refuse(403, "trainer " + quoted(trainer_id) + " is not a member of a running task " + quoted(task_id));
  Run& run = it->second;
  r.run = run.number;
  const std::int64_t lane = m->assignment.lane, stage = m->assignment.pipeline_position;
  r.stage = stage;
  if (m->secret && !(secret && same_secret(*m->secret, *secret)))
    return refuse(403, "the request does not carry the member secret of trainer " + quoted(trainer_id));
  if (auto lost = run.lost_lanes.find(lane); lost != run.lost_lanes.end()) return refuse(410, lost->second);
  Access a = identify(run, task_id, trainer_id, secret, m);
  if (!a.ok()) return refuse(a.status, a.error);
  if (config_.replicas == 1)
    return refuse(400, "task " + quoted(task_id) + " runs without replicas: its stages have no group to regroup");

  auto& g = run.groups[static_cast<std::size_t>(stage)];
  if (generation > g.generation)
    return refuse(409, "generation " + std::to_string(generation) + " is ahead of the replica group of stage " +
                           std::to_string(stage) + ", which is at generation " + std::to_string(g.generation));
  if (generation == g.generation) {
    if (!g.round) g.round = Run::Round{now_() + config_.regroup_window, {}, {}};
    if (!has(g.round->asked, lane)) g.round->asked.push_back(lane);
    if (waiter && std::find(g.round->waiters.begin(), g.round->waiters.end(), waiter) == g.round->waiters.end())
      g.round->waiters.push_back(waiter);
    settle_all(task_id, r.run);
  }

  Run* now = live_run(task_id, r.run);
  if (!now) return refuse(410, "the run of task " + quoted(task_id) + " is over");
  if (auto lost = now->lost_lanes.find(lane); lost != now->lost_lanes.end()) return refuse(410, lost->second);
  const auto& group = now->groups[static_cast<std::size_t>(stage)];
  if (group.generation > generation) {
    r.status = RegroupStatus::formed;
    r.group = group_of(*now, lane, stage);
    return r;
  }
  r.status = RegroupStatus::waiting;
  r.deadline = group.round->deadline;
  return r;
}

void TaskRegistry::abandon_regroup(const std::string& task_id, std::uint64_t number, const Waiter* waiter) {
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return;
  for (auto& g : run->groups)
    if (g.round) std::erase_if(g.round->waiters, [&](const auto& w) { return w.get() == waiter; });
}

}  // namespace korvane::coordinator
