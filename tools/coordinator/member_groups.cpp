// Who a member's norm exchange is summed with, and who may report figures (see
// task_registry.hpp).
#include <algorithm>

#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

namespace {
std::string quoted(const std::string& s) { return "'" + s + "'"; }
}  // namespace

TaskRegistry::Access TaskRegistry::check_member(const std::string& task_id, const std::string& trainer_id,
                                                const std::optional<std::string>& secret) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end() || !it->second.complete) {
    Access a;
    a.status = 403;
    a.error = "task " + quoted(task_id) + " has no running pipeline";
    return a;
  }
  Member* m = nullptr;
  return identify(it->second, task_id, trainer_id, secret, m);
}

TaskRegistry::NormGroup TaskRegistry::norm_group(const std::string& task_id, const std::string& trainer_id,
                                                 const std::optional<std::string>& secret,
                                                 std::optional<std::uint64_t> epoch) {
  std::lock_guard lock(mutex_);
  NormGroup g;
  auto it = tasks_.find(task_id);
  if (it == tasks_.end() || !it->second.complete) {
    g.access.status = 403;
    g.access.error = "task " + quoted(task_id) + " has no running pipeline";
    return g;
  }
  Run& run = it->second;
  if (auto stale = stale_epoch(run, epoch)) {
    g.access = *stale;
    return g;
  }
  Member* m = nullptr;
  g.access = identify(run, task_id, trainer_id, secret, m);
  if (!g.access.ok()) return g;
  g.key = g.access.scope;
  g.size = run.members.size();
  g.position = static_cast<std::size_t>(m - run.members.data());  // members are in pipeline order
  return g;
}

std::optional<std::string> TaskRegistry::norm_blocker(const std::string& task_id, std::uint64_t number,
                                                      const std::string& trainer_id) {
  std::lock_guard lock(mutex_);
  Run* run = live_run(task_id, number);
  if (!run) return "the run of task " + quoted(task_id) + " is over";
  if (run->failure) return *run->failure;
  for (const Member& m : run->members) {
    if (m.active || m.id == trainer_id) continue;
    const std::string why = m.ended.empty() || m.ended == "left" ? "it ended its part of the run" : m.ended;
    return "trainer " + quoted(m.id) + " left: " + why;
  }
  return std::nullopt;
}

}  // namespace korvane::coordinator
