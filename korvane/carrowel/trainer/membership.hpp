// Membership of a pipeline task: the join (the coordinator's assignment, or the mock one
// when it cannot be asked), the ready notice and the leave. The trainer decides what each
// answer of its coordinator client means; the client only words and reads the exchanges.
// Thread: the event-loop thread. Errors: see each function; cancellation always passes.
#pragma once
#include <optional>
#include <string>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

// Best effort: tells the coordinator that this member leaves its task, with `error` when
// its run failed, so that neighbours waiting on it stop at once. Never fails (except on
// cancellation); does nothing for a trainer that did not join through a coordinator.
async::Task<void> leave_task(py::object self, std::optional<std::string> error);

// Runs a training loop; after a failure, leaves the task with the error's text (then
// passes the failure on). A loop that succeeds stays a member: the caller may train and
// evaluate again, and leaves with `leave_pipeline` once its whole run is over.
async::Task<py::object> leaving_on_failure(py::object self, async::Task<py::object> run);

}  // namespace korvane::carrowel
