// Activation and gradient relays: a tensor leaves compressed (signs plus a binary16 scale
// per group), is posted through the coordinator for a neighbour, and is fetched by it.
// The trainer's coordinator client carries the exchanges; this part decides what their
// outcomes mean: warnings, failures, byte counts, waiting for a missing neighbour
// (RejoinWait) and roll-backs (RollbackState).
// Thread: the event-loop thread. Cancellation is never caught: it reaches the caller
// without a warning.
#pragma once
#include <optional>
#include <string>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

// A relay body: a tensor, or a tuple, list or dict of them where the coordinator confirmed
// lists, coded with the direction's codec (a gradient in the backward form). One tensor in
// the sign codec is today's compressed record. ValueError for a structure the coordinator
// cannot relay, or a value the codec cannot represent.
std::string encode_relay_body(const Trainer& t, py::handle value, bool backward);

// The relays for a micro-batch number of the caller's choosing (the pipelined step keeps
// several in flight), with the warnings and failures of the trainer's own relay methods.
// post_relay takes a body already encoded and yields True, or False after a warning (or,
// silently, when the run was rolled back); fetch_relay yields the tensor of an activation,
// or (tensor, loss or None) of a gradient; with warn false it fails without the warning
// line (a fetch made ahead of need, which the caller may make again).
async::Task<py::object> post_relay(py::object self, bool backward, std::string body, std::optional<double> loss,
                                   long long micro_batch);
async::Task<py::object> fetch_relay(py::object self, bool backward, double timeout, long long micro_batch,
                                    bool warn = true);

}  // namespace korvane::carrowel
