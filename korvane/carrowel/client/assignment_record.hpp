// The typed record of a join answer. The answer is JSON as the coordinator sent it; the
// record takes the fields the trainer relies on, with the checks the join has always
// made. Python-free; any thread.
#pragma once
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace korvane::carrowel::client {

struct AssignmentRecord {
  long long layer_start = 0;
  long long layer_end = 0;
  long long pipeline_position = 0;
  std::optional<std::string> upstream_trainer;    // absent or null: the first stage
  std::optional<std::string> downstream_trainer;  // absent or null: the last stage
  std::string layer_weights_hash;                 // empty when not given
};

// Integer fields take integers and integral floats (4.0). Throws TypeError for a null
// answer or a field of the wrong type, and KeyError for a missing integer field, worded
// as Python words the same checks.
AssignmentRecord read_assignment(const nlohmann::json& answer);

// A JSON value as Python's repr() writes the value json.loads makes of it ('abc', 4.0,
// True, None, [1, 2]); for error messages.
std::string python_repr(const nlohmann::json& value);

}  // namespace korvane::carrowel::client
