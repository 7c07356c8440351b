// A stage's slice of the model and its neighbours, as the coordinator assigned them.
// A plain record: it validates nothing (layer_start may exceed layer_end).
#pragma once
#include <optional>
#include <string>

namespace korvane::carrowel {

struct LayerAssignment {
  std::string task_id;
  std::string trainer;  // the trainer holding this assignment
  long long layer_start = 0;  // inclusive
  long long layer_end = 0;    // exclusive
  long long pipeline_position = 0;
  std::optional<std::string> upstream_trainer;    // absent: first stage ("" is a neighbour id)
  std::optional<std::string> downstream_trainer;  // absent: last stage
  std::string layer_weights_hash;                 // stored, never interpreted

  long long layer_count() const { return layer_end - layer_start; }
  bool is_first_stage() const { return !upstream_trainer.has_value(); }
  bool is_last_stage() const { return !downstream_trainer.has_value(); }
  bool operator==(const LayerAssignment&) const = default;
};

}  // namespace korvane::carrowel
