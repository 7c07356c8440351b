#include "tools/coordinator/task_registry.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace korvane::coordinator {

std::vector<LayerSlice> split_layers(std::int64_t layers, std::int64_t stages) {
  if (stages < 1 || layers < 0) throw std::invalid_argument("split_layers: need stages >= 1 and layers >= 0");
  std::vector<LayerSlice> out;
  out.reserve(static_cast<std::size_t>(stages));
  const std::int64_t base = layers / stages, extra = layers % stages;
  std::int64_t start = 0;
  for (std::int64_t i = 0; i < stages; ++i) {
    const std::int64_t n = base + (i < extra ? 1 : 0);
    out.push_back({start, start + n});
    start += n;
  }
  return out;
}

namespace {

// Names the weights of one slice of one task's model. Nothing interprets it beyond
// equality, so a stable 64-bit FNV-1a digest is enough.
std::string weights_hash(const std::string& task_id, const LayerSlice& slice, std::int64_t layers) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](const std::string& s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 0x100000001b3ull;
    }
  };
  mix(task_id);
  mix(std::string(1, '\0') + std::to_string(slice.start) + ":" + std::to_string(slice.end) + "/" +
      std::to_string(layers));
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::ptrdiff_t index_of(const std::vector<std::string>& v, const std::string& s) {
  auto it = std::find(v.begin(), v.end(), s);
  return it == v.end() ? -1 : it - v.begin();
}

}  // namespace

TaskRegistry::TaskRegistry(Config config, HoldLimiter& holds)
    : config_(config), holds_(holds), slices_(split_layers(config.layers, config.stages)) {}

bool TaskRegistry::make_room() {
  if (completed_.empty()) return false;
  tasks_.erase(completed_.front());
  completed_.pop_front();
  return true;
}

void TaskRegistry::complete_generation(const std::string& task_id, Task& task) {
  Generation& g = *task.current;
  const std::size_t n = g.members.size();
  g.assignments.resize(n);
  g.ready.assign(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    Assignment& a = g.assignments[i];
    a.slice = slices_[i];
    a.pipeline_position = static_cast<std::int64_t>(i);
    if (i > 0) a.upstream = g.members[i - 1];
    if (i + 1 < n) a.downstream = g.members[i + 1];
    a.layer_weights_hash = weights_hash(task_id, a.slice, config_.layers);
  }
  g.complete = true;
  task.lru = completed_.insert(completed_.end(), task_id);
  changed_.notify_all();
}

TaskRegistry::JoinResult TaskRegistry::join(const JoinRequest& req, Clock::time_point deadline,
                                            const std::function<void(std::size_t)>& on_admitted) {
  std::unique_lock lock(mutex_);
  if (closing_) return {JoinStatus::shutting_down, {}, 0, false};

  auto it = tasks_.find(req.task_id);
  if (it == tasks_.end()) {
    if (tasks_.size() >= config_.max_tasks && !make_room()) return {JoinStatus::too_many_tasks, {}, 0, false};
    it = tasks_.try_emplace(req.task_id).first;
    it->second.current = std::make_shared<Generation>();
  }
  Task& task = it->second;

  if (task.current->complete) {
    const auto idx = index_of(task.current->members, req.trainer_id);
    if (idx >= 0) {
      completed_.splice(completed_.end(), completed_, task.lru);  // recently used
      const JoinResult r{JoinStatus::assigned, task.current->assignments[static_cast<std::size_t>(idx)],
                         task.current->members.size(), true};
      lock.unlock();
      if (on_admitted) on_admitted(r.joined);
      return r;
    }
    // Another trainer: a new generation of this task forms from scratch.
    completed_.erase(task.lru);
    task.current = std::make_shared<Generation>();
  } else if (index_of(task.current->members, req.trainer_id) >= 0) {
    return {JoinStatus::duplicate, {}, task.current->members.size(), false};
  }

  const std::shared_ptr<Generation> gen = task.current;
  const bool completes = static_cast<std::int64_t>(gen->members.size()) + 1 == config_.stages;
  std::optional<HoldLimiter::Slot> slot;
  if (!completes) {
    slot.emplace(holds_);
    if (!*slot) {
      if (gen->members.empty()) tasks_.erase(it);  // created for this join alone
      return {JoinStatus::busy, {}, 0, false};
    }
  }
  gen->members.push_back(req.trainer_id);
  const std::size_t joined = gen->members.size();
  if (completes) complete_generation(req.task_id, task);

  lock.unlock();
  if (on_admitted) on_admitted(joined);
  lock.lock();

  changed_.wait_until(lock, deadline, [&] { return gen->complete || closing_; });
  if (gen->complete) {
    const auto idx = index_of(gen->members, req.trainer_id);
    return {JoinStatus::assigned, gen->assignments[static_cast<std::size_t>(idx)], joined, false};
  }
  // Leave the forming generation so the id is free for a retry.
  gen->members.erase(gen->members.begin() + index_of(gen->members, req.trainer_id));
  if (gen->members.empty()) {
    auto cur = tasks_.find(req.task_id);
    if (cur != tasks_.end() && cur->second.current == gen) tasks_.erase(cur);
  }
  return {closing_ ? JoinStatus::shutting_down : JoinStatus::timed_out, {}, joined, false};
}

TaskRegistry::ReadyResult TaskRegistry::ready(const std::string& task_id, const std::string& trainer_id,
                                              std::int64_t position) {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end() || !it->second.current->complete) return {ReadyStatus::unknown_trainer};
  Generation& g = *it->second.current;
  const auto idx = index_of(g.members, trainer_id);
  if (idx < 0) return {ReadyStatus::unknown_trainer};
  const auto i = static_cast<std::size_t>(idx);
  const std::size_t count = static_cast<std::size_t>(std::count(g.ready.begin(), g.ready.end(), true));
  if (g.assignments[i].pipeline_position != position)
    return {ReadyStatus::wrong_position, count, g.assignments[i].pipeline_position};
  if (!g.ready[i]) g.ready[i] = true;
  return {ReadyStatus::recorded, static_cast<std::size_t>(std::count(g.ready.begin(), g.ready.end(), true)),
          position};
}

void TaskRegistry::shutdown() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  changed_.notify_all();
}

}  // namespace korvane::coordinator
