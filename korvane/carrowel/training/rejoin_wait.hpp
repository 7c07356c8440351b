// How long a trainer waits for a neighbour that went missing (the coordinator says it
// left, or its message does not come in time). With a rejoin timeout above 0 the trainer
// warns once and asks again until the neighbour is back or the timeout has passed since
// it went missing; with 0 the failure is the run's at once.
//
// Owns the time the neighbour went missing. Time is given by the caller, so the policy
// holds no clock of its own. Errors: none; it decides, the caller prints and throws.
// Thread: the event loop's.
#pragma once
#include <chrono>
#include <optional>
#include <string>

namespace korvane::carrowel::training {

class RejoinWait {
 public:
  using Clock = std::chrono::steady_clock;
  // Between two asks for a missing neighbour's message.
  static constexpr double kRetryPauseS = 0.2;

  explicit RejoinWait(double timeout_s = 0.0) : timeout_s_(timeout_s) {}
  double timeout_s() const { return timeout_s_; }
  bool waits() const { return timeout_s_ > 0; }

  enum class Action {
    fail_now,  // no waiting: the caller's own error is the run's
    wait,      // pause, then ask again
    give_up,   // missing longer than the timeout: the run ends with `error`
  };
  struct Decision {
    Action action = Action::fail_now;
    std::optional<std::string> warning;  // the line to print, once when the wait begins
    std::string error;                   // give_up: the run's error message
  };

  // A neighbour in `task_id` looks missing at `now`, for `reason`.
  Decision missing(const std::string& task_id, const std::string& reason, Clock::time_point now);
  // The neighbour answered: a later absence starts a new wait.
  void present() { missing_since_.reset(); }
  bool waiting() const { return missing_since_.has_value(); }

 private:
  double timeout_s_;
  std::optional<Clock::time_point> missing_since_;
};

}  // namespace korvane::carrowel::training
