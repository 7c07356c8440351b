// One training step: m micro-batches on the one-forward-one-backward order of
// schedule.hpp, gradients summed over the step, then one update of every layer (the
// flush). A round is a step of one micro-batch. The step calls the stage and relay
// methods through `self`, so a subclass or a replaced method is honoured at every m;
// where the built-in relays are in place and m > 1, it runs them as tasks on the loop
// instead: posts do not hold up the next pass, and the fetches of the next micro-batches
// wait at the coordinator while this one computes.
// A step whose plain layers summed a gradient that is not finite applies none of their
// gradients (int8 layers drop a non-finite update themselves) and warns where the step's
// first non-finite value came from (a relayed tensor, the loss, or computed here); the
// trainer's max_nonfinite_steps of them in a row fail the step that makes the count.
// Thread: the event-loop thread. Errors: whatever a pass or a relay raises, after the
// step's cleanup (relays cancelled, the step's gradients discarded); after a relay post
// the coordinator refused, Error naming that refusal, whatever the step failed on.
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

// One step over the micro-batches numbered micro_batch_idx .. micro_batch_idx + m - 1 on
// the wire, m = batches.size() (None inputs and labels where the loop has none). Returns
// the mean loss of the micro-batches that had one, or None. micro_batch_idx advances by
// m only when the whole step, update included, is done; while a relay method runs for
// micro-batch k it reads micro_batch_idx + k.
async::Task<py::object> run_step(py::object self, std::vector<Batch> batches, double lr,
                                 std::optional<long long> max_in_flight, std::shared_ptr<StepMemory> memory);

void bind_step(TrainerClass& cls);  // run_pipeline_round

}  // namespace korvane::carrowel
