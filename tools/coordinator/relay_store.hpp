// Messages relayed between neighbouring trainers (activations downstream,
// gradients upstream), kept per (kind, task, recipient, micro-batch).
//
// A fetch is not destructive. A client that gives up after the answer left the
// server must find the message again when it retries, so a delivered message stays
// until its time-to-live passes or until the same recipient asks for a later
// micro-batch of the same kind. Posting to a key that already holds a message
// replaces it, unless the post is exclusive and comes from another sender.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/coordinator/waiter.hpp"

namespace korvane::coordinator {

enum class RelayKind { activation, gradient };
const char* relay_kind_name(RelayKind kind);

struct RelayKey {
  RelayKind kind;
  std::string task_id;
  std::string recipient;
  std::uint64_t micro_batch;
};

struct RelayMessage {
  std::string sender;
  std::optional<std::string> loss;  // the X-Loss text exactly as posted
  std::shared_ptr<const std::string> body;
  std::optional<std::string> codec = std::nullopt;  // the X-Codec name as posted
};

class RelayStore {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    std::size_t max_pending_per_task = 1024;
    std::size_t max_bytes = std::size_t{1} << 30;  // over all tasks, bookkeeping included
    std::size_t max_tasks = 1024;
    Clock::duration ttl = std::chrono::seconds(120);
  };

  enum class PostStatus { stored, replaced, conflict, task_full, store_full, too_many_tasks, shutting_down };
  enum class FetchStatus { delivered, waiting, shutting_down };

  struct FetchResult {
    FetchStatus status;
    RelayMessage message;  // set when delivered
  };

  struct Stats {
    std::size_t messages = 0;
    std::size_t bytes = 0;
    std::size_t tasks = 0;
    std::size_t waiting = 0;
  };

  // `now` is injectable so that expiry can be tested without sleeping; blocking
  // waits always run on the steady clock.
  explicit RelayStore(Limits limits, std::function<Clock::time_point()> now = Clock::now);

  // Stores the message and wakes the fetches waiting for its key. `max_tasks` bounds
  // only the tasks of the open relay (`in_run` false); a run's scope is bounded by the
  // registry, so a flood of posts to made-up task ids cannot crowd out a running pipeline.
  // `exclusive`: a message held for the key (not yet expired) is replaced only by its own
  // sender; another sender gets `conflict` and the message stays.
  PostStatus post(const RelayKey& key, RelayMessage message, bool in_run = false, bool exclusive = false);

  // Never blocks. Delivers the message when it is there (after dropping delivered
  // messages of earlier micro-batches of the same recipient); otherwise, when `waiter`
  // is given, registers it to be woken by a post to this key and answers `waiting`.
  // A registered waiter stays until cancel_wait, also after it has been woken.
  FetchResult fetch(const RelayKey& key, const std::shared_ptr<Waiter>& waiter = nullptr);
  void cancel_wait(const RelayKey& key, const Waiter* waiter);

  // Wakes every waiter of a task, so that each one looks again (its run changed).
  void wake_task(const std::string& task_id);
  // Forgets every message of a task (its run is over) and wakes its waiters.
  void drop_task(const std::string& task_id);

  // Removes expired messages; returns how many went.
  std::size_t sweep();

  // Wakes every waiter; later posts and fetches answer shutting_down.
  void shutdown();

  Stats stats() const;
  const Limits& limits() const { return limits_; }
  // Messages and bytes (as charged against max_bytes) held for one task scope.
  std::pair<std::size_t, std::size_t> use_of(const std::string& task_id) const;

 private:
  using SlotKey = std::tuple<RelayKind, std::string, std::uint64_t>;  // kind, recipient, micro-batch
  struct Entry {
    RelayMessage message;
    std::size_t charged = 0;  // bytes counted against max_bytes
    Clock::time_point expires;
    bool delivered = false;
  };
  struct TaskBox {
    std::map<SlotKey, Entry> entries;
    bool open = true;  // counted against max_tasks
  };
  using WaitKey = std::tuple<std::string, RelayKind, std::string, std::uint64_t>;  // task first
  static WaitKey wait_key(const RelayKey& key) { return {key.task_id, key.kind, key.recipient, key.micro_batch}; }

  static std::size_t charge_for(const RelayKey& key, const RelayMessage& message);
  void erase_entry(std::map<std::string, TaskBox>::iterator task, std::map<SlotKey, Entry>::iterator it);
  std::map<std::string, TaskBox>::iterator erase_task(std::map<std::string, TaskBox>::iterator task);
  std::size_t sweep_locked(Clock::time_point now);
  void drop_passed(const RelayKey& key);
  std::optional<RelayMessage> take(const RelayKey& key, Clock::time_point now);

  const Limits limits_;
  std::function<Clock::time_point()> now_;

  mutable std::mutex mutex_;
  std::map<std::string, TaskBox> tasks_;
  std::multimap<WaitKey, std::shared_ptr<Waiter>> waits_;
  std::size_t messages_ = 0;
  std::size_t bytes_ = 0;
  std::size_t open_tasks_ = 0;
  bool closing_ = false;
};

}  // namespace korvane::coordinator
