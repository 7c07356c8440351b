#include "tools/coordinator/relay_store.hpp"

#include <utility>

namespace korvane::coordinator {

namespace {
// Map nodes, strings and the shared body's control block: charged per message so
// that a flood of empty bodies is bounded by max_bytes too.
constexpr std::size_t kEntryOverhead = 256;
}  // namespace

const char* relay_kind_name(RelayKind kind) {
  return kind == RelayKind::activation ? "activation" : "gradient";
}

RelayStore::RelayStore(Limits limits, std::function<Clock::time_point()> now)
    : limits_(limits), now_(std::move(now)) {}

std::size_t RelayStore::charge_for(const RelayKey& key, const RelayMessage& message) {
  std::size_t n = kEntryOverhead + key.task_id.size() + key.recipient.size() + message.sender.size();
  if (message.loss) n += message.loss->size();
  if (message.codec) n += message.codec->size();
  if (message.body) n += message.body->size();
  return n;
}

void RelayStore::erase_entry(std::map<std::string, TaskBox>::iterator task,
                             std::map<SlotKey, Entry>::iterator it) {
  bytes_ -= it->second.charged;
  --messages_;
  task->second.entries.erase(it);
  if (task->second.entries.empty()) erase_task(task);
}

std::map<std::string, RelayStore::TaskBox>::iterator RelayStore::erase_task(std::map<std::string, TaskBox>::iterator task) {
  if (task->second.open) --open_tasks_;
  return tasks_.erase(task);
}

RelayStore::PostStatus RelayStore::post(const RelayKey& key, RelayMessage message, bool in_run, bool exclusive) {
  if (!message.body) message.body = std::make_shared<const std::string>();
  const std::size_t charge = charge_for(key, message);
  const auto now = now_();

  std::lock_guard lock(mutex_);
  if (closing_) return PostStatus::shutting_down;

  auto task = tasks_.find(key.task_id);
  if (task == tasks_.end() && !in_run) {
    if (open_tasks_ >= limits_.max_tasks) {
      sweep_locked(now);
      if (open_tasks_ >= limits_.max_tasks) return PostStatus::too_many_tasks;
    }
  }

  const SlotKey slot{key.kind, key.recipient, key.micro_batch};
  std::size_t replaced_charge = 0;
  bool replacing = false;
  if (task != tasks_.end()) {
    auto it = task->second.entries.find(slot);
    if (it != task->second.entries.end()) {
      if (exclusive && it->second.expires > now && it->second.message.sender != message.sender)
        return PostStatus::conflict;
      replacing = true;
      replaced_charge = it->second.charged;
    } else if (task->second.entries.size() >= limits_.max_pending_per_task) {
      sweep_locked(now);
      task = tasks_.find(key.task_id);
      if (task != tasks_.end() && task->second.entries.size() >= limits_.max_pending_per_task)
        return PostStatus::task_full;
    }
  }
  if (bytes_ - replaced_charge + charge > limits_.max_bytes) {
    sweep_locked(now);
    // The sweep may have removed the entry being replaced.
    task = tasks_.find(key.task_id);
    replacing = task != tasks_.end() && task->second.entries.count(slot) != 0;
    replaced_charge = replacing ? task->second.entries.at(slot).charged : 0;
    if (bytes_ - replaced_charge + charge > limits_.max_bytes) return PostStatus::store_full;
  }

  if (task == tasks_.end()) {
    task = tasks_.try_emplace(key.task_id).first;
    task->second.open = !in_run;
    open_tasks_ += !in_run;
  }
  Entry& e = task->second.entries[slot];
  if (replacing) {
    bytes_ -= e.charged;
  } else {
    ++messages_;
  }
  e.message = std::move(message);
  e.charged = charge;
  e.expires = now + limits_.ttl;
  e.delivered = false;
  bytes_ += charge;
  for (auto [w, end] = waits_.equal_range(wait_key(key)); w != end; ++w) w->second->wake();
  return replacing ? PostStatus::replaced : PostStatus::stored;
}

void RelayStore::drop_passed(const RelayKey& key) {
  auto task = tasks_.find(key.task_id);
  if (task == tasks_.end()) return;
  auto& entries = task->second.entries;
  auto it = entries.lower_bound(SlotKey{key.kind, key.recipient, 0});
  const auto end = entries.lower_bound(SlotKey{key.kind, key.recipient, key.micro_batch});
  while (it != end) {
    auto next = std::next(it);
    if (it->second.delivered) {
      const bool last = entries.size() == 1;
      erase_entry(task, it);
      if (last) return;  // the task box itself is gone
    }
    it = next;
  }
}

std::optional<RelayMessage> RelayStore::take(const RelayKey& key, Clock::time_point now) {
  auto task = tasks_.find(key.task_id);
  if (task == tasks_.end()) return std::nullopt;
  auto it = task->second.entries.find(SlotKey{key.kind, key.recipient, key.micro_batch});
  if (it == task->second.entries.end()) return std::nullopt;
  if (it->second.expires <= now) {
    erase_entry(task, it);
    return std::nullopt;
  }
  it->second.delivered = true;
  // A repeat fetch after a lost answer must still find it a full TTL later.
  it->second.expires = now + limits_.ttl;
  return it->second.message;
}

RelayStore::FetchResult RelayStore::fetch(const RelayKey& key, const std::shared_ptr<Waiter>& waiter) {
  std::lock_guard lock(mutex_);
  if (closing_) return {FetchStatus::shutting_down, {}};
  drop_passed(key);
  if (auto m = take(key, now_())) return {FetchStatus::delivered, std::move(*m)};
  if (waiter) {
    const WaitKey wk = wait_key(key);
    bool known = false;
    for (auto [w, end] = waits_.equal_range(wk); w != end && !known; ++w) known = w->second == waiter;
    if (!known) waits_.emplace(wk, waiter);
  }
  return {FetchStatus::waiting, {}};
}

void RelayStore::cancel_wait(const RelayKey& key, const Waiter* waiter) {
  std::lock_guard lock(mutex_);
  for (auto [w, end] = waits_.equal_range(wait_key(key)); w != end; ++w) {
    if (w->second.get() == waiter) {
      waits_.erase(w);
      return;
    }
  }
}

void RelayStore::wake_task(const std::string& task_id) {
  std::lock_guard lock(mutex_);
  for (auto w = waits_.lower_bound(WaitKey{task_id, RelayKind::activation, std::string(), 0});
       w != waits_.end() && std::get<0>(w->first) == task_id; ++w)
    w->second->wake();
}

void RelayStore::drop_task(const std::string& task_id) {
  {
    std::lock_guard lock(mutex_);
    auto task = tasks_.find(task_id);
    if (task != tasks_.end()) {
      for (auto& [slot, e] : task->second.entries) {
        bytes_ -= e.charged;
        --messages_;
      }
      erase_task(task);
    }
  }
  wake_task(task_id);
}

std::size_t RelayStore::sweep_locked(Clock::time_point now) {
  std::size_t removed = 0;
  for (auto task = tasks_.begin(); task != tasks_.end();) {
    auto& entries = task->second.entries;
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->second.expires <= now) {
        bytes_ -= it->second.charged;
        --messages_;
        it = entries.erase(it);
        ++removed;
      } else {
        ++it;
      }
    }
    task = entries.empty() ? erase_task(task) : std::next(task);
  }
  return removed;
}

std::size_t RelayStore::sweep() {
  const auto now = now_();
  std::lock_guard lock(mutex_);
  return sweep_locked(now);
}

void RelayStore::shutdown() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  for (auto& [k, w] : waits_) w->wake();
}

RelayStore::Stats RelayStore::stats() const {
  std::lock_guard lock(mutex_);
  return {messages_, bytes_, tasks_.size(), waits_.size()};
}

std::pair<std::size_t, std::size_t> RelayStore::use_of(const std::string& task_id) const {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(task_id);
  if (it == tasks_.end()) return {0, 0};
  std::size_t bytes = 0;
  for (const auto& [slot, e] : it->second.entries) bytes += e.charged;
  return {it->second.entries.size(), bytes};
}

}  // namespace korvane::coordinator
