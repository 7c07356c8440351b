// The built-in relays of one pipelined step, as asyncio tasks on the trainer's loop.
// Fetches run ahead in micro-batch order: while micro-batch k computes, the fetches of
// the next `window` ones wait at the coordinator, so a fetch never costs a round trip of
// its own once the link is long (the coordinator's "consumed once the recipient has
// moved on" rule allows this). Posts run beside the passes. Whatever is still pending
// when the step lets go of this object is cancelled.
// Thread: the event-loop thread, inside a running loop.
#pragma once
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

class StepRelays {
 public:
  StepRelays(py::object self, long long base, long long m, long long window);
  ~StepRelays() { cancel_all(); }
  StepRelays(const StepRelays&) = delete;
  StepRelays& operator=(const StepRelays&) = delete;

  // Starts the first fetches of a direction.
  void open(bool backward) { top_up(backward, window_); }
  // The fetch of micro-batch k, handed over after the next ones are on their way. It was
  // made ahead of need, so it fails silently: the step makes it again if it has to.
  py::object take_fetch(bool backward, long long k);
  // A fetch made again, now that the stage waits for it: it warns when it fails.
  py::object refetch(bool backward, long long k, double timeout);
  // Posts micro-batch k's tensor; the body is encoded now, so a compression error is the caller's.
  void post(bool backward, py::handle tensor, std::optional<double> loss, long long k);
  // Every task still pending, for the step to wait on.
  py::list pending();
  void cancel_all() noexcept;

 private:
  struct Window {
    std::deque<std::pair<long long, py::object>> pending;  // started, not yet taken
    long long next = 0;                                     // the next micro-batch to start
  };
  void top_up(bool backward, long long end);

  py::object self_;
  long long base_, m_, window_;
  Window windows_[2];  // [activation, gradient]
  std::vector<py::object> posts_;
  std::vector<py::object> retries_;
};

// Waits for micro-batch k of a direction. A fetch made ahead of need may have run out of
// time (or been answered with an error by a coordinator that bounds its waits) before
// the stage even began to wait; then it is made once more, with what is left of the
// relay's time limit counted from when the stage began to wait, and fails with the
// relay's own warning.
async::Task<py::object> await_fetch(std::shared_ptr<StepRelays> relays, bool backward, long long k);

}  // namespace korvane::carrowel
