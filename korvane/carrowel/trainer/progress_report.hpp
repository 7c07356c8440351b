// Figures for the people watching a run, reported to a coordinator that takes reports (its
// join answer lists "reports"), which shows them on its live page and in /metrics. Best
// effort: a report that fails prints a warning and the run goes on.
//  - Held-out figures: after each held-out pass, from the stage that scored it.
//  - Averaging, from a trainer with replicas: what its last step spent averaging and its
//    group's generation. These cross the wide-area link while the steps go on, so they
//    never hold a step up: one at most in flight, about one a second, one as soon as the
//    generation changed, and a failing coordinator gets one warning per loop.
// Thread: the event-loop thread.
#pragma once
#include <pybind11/pybind11.h>

#include <chrono>
#include <memory>
#include <optional>

#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// `figures`: run_evaluation's answer ("loss", and "accuracy" where it has one).
async::Task<void> report_held_out(py::object self, long long step, py::dict figures);

// One training loop's averaging reports. Destroyed (with the GIL held, as the loop's
// other Python objects are), it cancels a report still in flight.
class AveragingReports {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kEvery{1000};

  AveragingReports() = default;
  AveragingReports(const AveragingReports&) = delete;
  AveragingReports& operator=(const AveragingReports&) = delete;
  ~AveragingReports();

  // After a step: starts a report as a task on the running loop when one is due, and
  // returns at once.
  void after_step(const py::object& self);
  // At the end of the loop: waits for the report in flight, then reports the last step's
  // figures if they have not gone yet, so that the page ends with the run's last figures.
  async::Task<void> finish(py::object self);

  struct Shared {
    bool warned = false;  // a failure was warned of: later ones are not
  };

 private:
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  py::object in_flight_;  // the asyncio task of the report on its way, if any
  std::optional<long long> sent_generation_;
  std::optional<Clock::time_point> sent_at_;
  bool unsent_ = false;  // a step's figures are newer than the last report's
};

}  // namespace korvane::carrowel
