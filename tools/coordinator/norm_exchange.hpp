// The squared gradient norms that the members of a group post for each step, summed
// once all of them have posted, so that every member clips with the same global factor.
//
// The sum is taken in the group's pipeline order, once, and the same double is handed to
// every member: each stage divides by the identical number.
//
// A member posting again for a step (its client retried after a lost answer): while the
// step gathers, the new value replaces the old one; once the step is summed, the same
// value is answered with the total, and a different one is refused (`conflict`), since
// the other members may already have clipped with the total.
//
// Bounds: at most `max_steps` steps of one group are gathering at once (a member can run
// at most that far ahead of the slowest); the totals of the last `kept_totals` summed
// steps stay for members that ask again. Groups are dropped with their run (drop_group).
//
// Thread-safe; never blocks. Waiters are woken with the lock held (waiter.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "korvane/protocol/protocol.hpp"
#include "tools/coordinator/waiter.hpp"

namespace korvane::coordinator {

struct NormLimits {
  std::size_t max_steps = protocol::kMaxNormSteps;
  std::size_t kept_totals = 8;
};

class NormExchange {
 public:
  using Limits = NormLimits;
  enum class Status { total, waiting, conflict, too_many_steps, shutting_down };
  struct Result {
    Status status = Status::waiting;
    double total = 0;  // when `total`
  };

  explicit NormExchange(Limits limits = {}) : limits_(limits) {}

  // Records `value` for member `position` (of `size`) of `group` at `step`. When that
  // completes the step, every waiter of it is woken. Otherwise, with `waiter` given, it
  // is registered (until cancel_wait) and the answer is `waiting`.
  Result post(const std::string& group, std::int64_t step, std::size_t size, std::size_t position, double value,
              const std::shared_ptr<Waiter>& waiter = nullptr);
  // The total of `step`, once summed.
  Result poll(const std::string& group, std::int64_t step) const;
  void cancel_wait(const std::string& group, std::int64_t step, const Waiter* waiter);

  // Wakes the group's waiters (its members changed), or forgets the group (its run or
  // epoch is over), waking them too.
  void wake_group(const std::string& group);
  void drop_group(const std::string& group);
  void shutdown();

  std::size_t groups() const;

 private:
  struct Step {
    std::vector<std::optional<double>> values;  // by position
    std::optional<double> total;
    std::vector<std::shared_ptr<Waiter>> waiters;
  };
  struct Group {
    std::map<std::int64_t, Step> steps;
  };
  static void wake_all(Group& g);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, Group> groups_;
  bool closing_ = false;
};

}  // namespace korvane::coordinator
