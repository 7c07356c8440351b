// Bounds how many requests may sit waiting inside the service at once, in all and per
// source.
//
// A waiting request (a long-poll fetch, a join waiting for its task to fill) costs a
// connection, a descriptor and a suspended coroutine. The pool is shared by everyone,
// so no single source may take all of it: each client address, and each task id, may
// hold at most its share. One client holding long-polls to a task that does not exist
// therefore leaves the rest of the pool to everyone else's joins and fetches.
//
// Thread-safe.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace korvane::coordinator {

class HoldLimiter {
 public:
  // `per_client` and `per_task` of 0 mean half the pool (at least one).
  explicit HoldLimiter(std::size_t max_held, std::size_t per_client = 0, std::size_t per_task = 0)
      : max_(max_held), per_client_(share(max_held, per_client)), per_task_(share(max_held, per_task)) {}

  // Why a slot was not given.
  enum class Refusal { none, pool, client, task };

  std::size_t held() const { return held_.load(); }
  std::size_t limit() const { return max_; }
  std::size_t client_limit() const { return per_client_; }
  std::size_t task_limit() const { return per_task_; }

  // Scoped slot of one source; empty (with `refusal()` set) when a limit was reached.
  class Slot {
   public:
    Slot(HoldLimiter& l, std::string client, std::string task)
        : client_(std::move(client)), task_(std::move(task)) {
      refusal_ = l.acquire(client_, task_);
      if (refusal_ == Refusal::none) l_ = &l;
    }
    ~Slot() {
      if (l_) l_->release(client_, task_);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    explicit operator bool() const { return l_ != nullptr; }
    Refusal refusal() const { return refusal_; }

   private:
    HoldLimiter* l_ = nullptr;
    std::string client_, task_;
    Refusal refusal_ = Refusal::none;
  };

 private:
  static std::size_t share(std::size_t max_held, std::size_t given) {
    return given ? given : std::max<std::size_t>(1, max_held / 2);
  }

  Refusal acquire(const std::string& client, const std::string& task) {
    std::lock_guard lock(mutex_);
    if (held_.load() >= max_) return Refusal::pool;
    const auto c = clients_.find(client);
    if (c != clients_.end() && c->second >= per_client_) return Refusal::client;
    const auto t = tasks_.find(task);
    if (t != tasks_.end() && t->second >= per_task_) return Refusal::task;
    ++(c != clients_.end() ? c->second : clients_[client]);
    ++(t != tasks_.end() ? t->second : tasks_[task]);
    held_.fetch_add(1);
    return Refusal::none;
  }

  void release(const std::string& client, const std::string& task) {
    std::lock_guard lock(mutex_);
    if (auto c = clients_.find(client); c != clients_.end() && --c->second == 0) clients_.erase(c);
    if (auto t = tasks_.find(task); t != tasks_.end() && --t->second == 0) tasks_.erase(t);
    held_.fetch_sub(1);
  }

  const std::size_t max_, per_client_, per_task_;
  std::atomic<std::size_t> held_{0};
  std::mutex mutex_;
  std::unordered_map<std::string, std::size_t> clients_;  // only sources that hold something
  std::unordered_map<std::string, std::size_t> tasks_;
};

}  // namespace korvane::coordinator
