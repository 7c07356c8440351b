// The trainer's exchanges with the coordinator: join (join.cpp) and relays (relay.cpp).
#pragma once
#include <optional>
#include <string>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {
void bind_join(TrainerClass& cls);
void bind_relays(TrainerClass& cls);

// The relays for a micro-batch number of the caller's choosing (the pipelined step keeps
// several in flight), with the warnings and failures of the trainer's own relay methods.
// post_relay takes a body already encoded (encode_tensor) and yields True or False;
// fetch_relay yields the tensor of an activation, or (tensor, loss or None) of a gradient;
// with warn false it fails without the warning line (a fetch made ahead of need, which
// the caller may make again).
async::Task<py::object> post_relay(py::object self, bool backward, std::string body, std::optional<double> loss,
                                   long long micro_batch);
async::Task<py::object> fetch_relay(py::object self, bool backward, double timeout, long long micro_batch,
                                    bool warn = true);
}  // namespace korvane::carrowel
