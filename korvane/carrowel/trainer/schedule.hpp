// The order in which one stage runs the forward and backward passes of a step of m
// micro-batches: one forward, one backward, with a flush at the end of the step.
// Plain data, no tensors: the step (pipeline_step.cpp) follows it.
#pragma once
#include <optional>
#include <vector>

namespace korvane::carrowel {

struct PassAction {
  enum Kind { forward, backward };
  Kind kind;
  long long micro_batch;  // 0-based within the step
  bool operator==(const PassAction&) const = default;
};

// Warm-up forwards (depth - 1 of them), then forward and backward alternately, then the
// cool-down backwards. Backwards follow forwards in micro-batch order, and at most
// `depth` micro-batches are forwarded but not yet carried back at any time.
// depth >= 1 and m >= 0; depth is capped at m.
std::vector<PassAction> one_forward_one_backward(long long m, long long depth);

// How many micro-batches a stage keeps in flight. The last stage carries each back at
// once (1). Without `max_in_flight`, a stage keeps as many as there are stages from it to
// the end (stages - position), or 2 when the number of stages is unknown. With it, every
// stage but the last keeps max_in_flight: a deeper warm-up that hides a long link (a
// middle stage that kept fewer would hold the step's last micro-batches back by a round
// trip to the end and back). The depth never grows from one stage to the next, so no
// stage waits for a gradient whose activation it has not sent. The result is capped at
// m (and at least 1).
long long in_flight_depth(long long m, long long position, bool is_last, std::optional<long long> stages,
                          std::optional<long long> max_in_flight);

}  // namespace korvane::carrowel
