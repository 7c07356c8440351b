// The rendezvous keys of the stage replicas' process groups, kept per run.
//
// The replicas of a stage meet through a key-value store. It lives here, not in any
// replica, so that losing a replica loses no rendezvous state. Keys are scoped by the
// run's scope (run_scope()), so no other run or task can see them; the scope's keys go
// when the run ends. Every scope is bounded in key count and bytes, and every key and
// value in length.
//
// Blocking reads (get, wait) never block here: they register a waiter, which any write
// to the same scope wakes, and look again when woken.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/coordinator/waiter.hpp"

namespace korvane::coordinator {

class KeyValueStore {
 public:
  struct Limits {
    std::size_t max_key = 1024;
    std::size_t max_value = 16u << 10;
    std::size_t max_keys_per_scope = 4096;
    std::size_t max_bytes_per_scope = 4u << 20;  // keys, values and bookkeeping
    std::size_t max_bytes = 256u << 20;          // over all scopes
  };

  enum class Status {
    ok,
    waiting,       // get and wait: not there yet; the waiter is registered
    key_too_long,  // 413
    value_too_large,
    scope_full,    // 507: the scope's key count or bytes
    store_full,    // 507: all scopes together
    not_integer,   // add: the key holds something else (400)
    overflow,      // add: beyond int64 (400)
    closed,        // the scope was dropped (its run ended) or the store shut down
  };

  struct Result {
    Status status = Status::ok;
    std::string value;       // get, compare_set
    std::int64_t counter = 0;  // add
    bool flag = false;       // check, wait: present; erase: deleted
    std::size_t count = 0;   // num_keys
  };

  explicit KeyValueStore(Limits limits) : limits_(limits) {}

  Result set(const std::string& scope, const std::string& key, std::string value);
  Result get(const std::string& scope, const std::string& key, const std::shared_ptr<Waiter>& waiter);
  Result add(const std::string& scope, const std::string& key, std::int64_t amount);
  // Sets `desired` when the key holds `expected`, or is missing and `expected` is empty.
  // `value` is what the key holds afterwards, or `expected` when it is missing.
  Result compare_set(const std::string& scope, const std::string& key, const std::string& expected,
                     std::string desired);
  Result check(const std::string& scope, const std::vector<std::string>& keys);
  Result wait(const std::string& scope, const std::vector<std::string>& keys, const std::shared_ptr<Waiter>& waiter);
  Result erase(const std::string& scope, const std::string& key);
  Result num_keys(const std::string& scope);
  void cancel_wait(const std::string& scope, const Waiter* waiter);

  // The run of `scope` ended: forget its keys, and wake and close its waiters. A later
  // request for the same scope starts it afresh, so the caller checks the run first.
  void drop_scope(const std::string& scope);
  void shutdown();

  struct Stats {
    std::size_t scopes = 0, keys = 0, bytes = 0, waiting = 0;
  };
  Stats stats() const;
  const Limits& limits() const { return limits_; }

 private:
  struct Scope {
    std::map<std::string, std::string> keys;
    std::size_t bytes = 0;
    std::vector<std::shared_ptr<Waiter>> waiters;
  };
  static std::size_t charge(const std::string& key, const std::string& value) { return key.size() + value.size() + 64; }
  Status check_sizes(const std::string& key, const std::string* value) const;
  // Stores `value` under `key`, within the limits; wakes the scope's waiters.
  Status put(Scope& scope, const std::string& key, std::string value);
  void wake(Scope& scope);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, Scope> scopes_;
  std::size_t bytes_ = 0;
  bool closing_ = false;
};

}  // namespace korvane::coordinator
