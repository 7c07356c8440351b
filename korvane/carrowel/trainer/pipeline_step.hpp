// A pipelined step: m micro-batches on the one-forward-one-backward order of schedule.hpp,
// gradients summed over the step, then one update of every layer (the flush). The
// training loop runs steps in place of rounds when it is given micro_batches > 1.
#pragma once
#include <memory>
#include <optional>
#include <vector>

#include "korvane/carrowel/trainer/trainer.hpp"
#include "korvane/common/coro/task.hpp"

namespace korvane::carrowel {

// What the loop reports about the micro-batches a stage kept in flight.
struct StepMemory {
  long long peak_in_flight = 0;
  long long peak_bytes = 0;  // an estimate: the stage's input, once per layer and once more, per micro-batch
};

// One step over m micro-batches numbered micro_batch_idx .. micro_batch_idx + m - 1 on
// the wire. `inputs` and `labels` hold m entries (None where the loop has none). Returns
// the mean loss of the micro-batches that had one, or None. micro_batch_idx advances by
// m only when the whole step, update included, is done; a failure ends the step with
// its error after cancelling the relays still in flight and dropping what the layers
// kept for micro-batches that will not come back.
async::Task<py::object> run_pipeline_step(py::object self, std::vector<py::object> inputs,
                                          std::vector<py::object> labels, double lr, long long m,
                                          std::optional<long long> max_in_flight,
                                          std::shared_ptr<StepMemory> memory);

// Makes layers that keep state between their forward, backward and update (the int8
// stand-in's discard_pending) forget what is left of an unfinished step: nothing is in
// flight when a round or a step begins.
void discard_pending(py::handle layers);

}  // namespace korvane::carrowel
