// Clipping the plain layers' gradients to one global norm over every stage, as
// torch.nn.utils.clip_grad_norm_ does over a whole model in one process: after a step's
// flush each stage posts the squared norm of its own gradients to the coordinator, which
// answers every stage the same sum (added in pipeline order, so the same double), and
// each stage scales its gradients by the same factor. int8 layers keep their own update.
// Thread: the event-loop thread.
#pragma once
#include <pybind11/pybind11.h>

#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// Exchanges the squared norm of the step that began at micro-batch `step` and clips to
// the trainer's clip_grad_norm. `locally_finite`: whether this stage's gradients are
// finite; a stage whose are not posts a sentinel, so that every stage learns of it and
// skips the step together. Returns false when the global norm is not finite (the step
// applies no update). Errors: ConnectionError or TimeoutError when the exchange fails
// (a member left, the wait ended, the coordinator refused), Error when the run was
// rolled back (left pending for the loop).
async::Task<bool> clip_to_global_norm(py::object self, long long step, bool locally_finite);

}  // namespace korvane::carrowel
