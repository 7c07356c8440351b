// Held-out figures for the people watching a run: after each held-out pass the stage that
// scored it reports them to a coordinator that takes reports (its join answer lists
// "reports"), which shows them on its live page and in /metrics. Best effort: a report
// that fails prints a warning and the run goes on. Thread: the event-loop thread.
#pragma once
#include <pybind11/pybind11.h>

#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// `figures`: run_evaluation's answer ("loss", and "accuracy" where it has one).
async::Task<void> report_held_out(py::object self, long long step, py::dict figures);

}  // namespace korvane::carrowel
