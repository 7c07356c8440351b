// Messages relayed between neighbouring trainers (activations downstream,
// gradients upstream), kept per (kind, task, recipient, micro-batch).
//
// A fetch is not destructive. A client that gives up after the answer left the
// server must find the message again when it retries, so a delivered message stays
// until its time-to-live passes or until the same recipient asks for a later
// micro-batch of the same kind. Posting to a key that already holds a message
// replaces it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "tools/coordinator/hold_limiter.hpp"

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

  enum class PostStatus { stored, replaced, task_full, store_full, too_many_tasks, shutting_down };
  enum class FetchStatus { delivered, timed_out, busy, shutting_down };

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
  RelayStore(Limits limits, HoldLimiter& holds, std::function<Clock::time_point()> now = Clock::now);

  PostStatus post(const RelayKey& key, RelayMessage message);

  // Answers at once when the message is there; otherwise waits until `deadline`
  // (steady clock), taking a hold slot for the wait. Dropping delivered messages of
  // earlier micro-batches of the same recipient happens before the wait.
  FetchResult fetch(const RelayKey& key, Clock::time_point deadline);

  // Removes expired messages; returns how many went.
  std::size_t sweep();

  // Wakes every waiter with shutting_down and refuses later posts and fetches.
  void shutdown();

  Stats stats() const;

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
  };

  static std::size_t charge_for(const RelayKey& key, const RelayMessage& message);
  void erase_entry(std::map<std::string, TaskBox>::iterator task, std::map<SlotKey, Entry>::iterator it);
  std::size_t sweep_locked(Clock::time_point now);
  void drop_passed(const RelayKey& key);
  std::optional<RelayMessage> take(const RelayKey& key, Clock::time_point now);

  const Limits limits_;
  HoldLimiter& holds_;
  std::function<Clock::time_point()> now_;

  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::map<std::string, TaskBox> tasks_;
  std::size_t messages_ = 0;
  std::size_t bytes_ = 0;
  std::size_t waiting_ = 0;
  bool closing_ = false;
};

}  // namespace korvane::coordinator
