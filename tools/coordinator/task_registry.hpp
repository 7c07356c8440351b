// Admission of trainers into pipeline tasks and the layer slice each one owns.
//
// A task gathers `stages` trainers. Each join waits until the task is complete,
// then every member learns its contiguous slice of the model (split as evenly as
// possible, in join order) and its neighbours.
//
// Once a task is complete:
//  - a member joining again gets its assignment back at once (its first answer may
//    have been lost on the way);
//  - any other trainer starts a new generation of the task, which forms from
//    scratch; the completed generation is forgotten (relayed messages are keyed by
//    task and trainer only, so a pipeline that is running is not disturbed).
// While a generation forms, a trainer id that is already waiting is refused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/coordinator/hold_limiter.hpp"

namespace korvane::coordinator {

struct LayerSlice {
  std::int64_t start;
  std::int64_t end;  // exclusive
  bool operator==(const LayerSlice&) const = default;
};

// Contiguous slices of `layers` layers over `stages` stages; the first
// layers % stages stages get one layer more. Needs stages >= 1 and layers >= 0.
std::vector<LayerSlice> split_layers(std::int64_t layers, std::int64_t stages);

struct Assignment {
  LayerSlice slice;
  std::int64_t pipeline_position = 0;
  std::optional<std::string> upstream;
  std::optional<std::string> downstream;
  std::string layer_weights_hash;
};

struct JoinRequest {
  std::string task_id;
  std::string trainer_id;
  std::uint64_t memory_bytes = 0;
  bool has_gpu = false;
};

class TaskRegistry {
 public:
  using Clock = std::chrono::steady_clock;

  struct Config {
    std::int64_t stages = 3;
    std::int64_t layers = 12;
    std::size_t max_tasks = 1024;
  };

  enum class JoinStatus { assigned, duplicate, timed_out, busy, too_many_tasks, shutting_down };
  struct JoinResult {
    JoinStatus status;
    Assignment assignment;     // when assigned
    std::size_t joined = 0;    // members of the generation when the join arrived (itself included)
    bool rejoined = false;     // a member of a complete task asked again
  };

  enum class ReadyStatus { recorded, unknown_trainer, wrong_position };
  struct ReadyResult {
    ReadyStatus status;
    std::size_t ready = 0;  // members that signalled ready so far
    std::int64_t assigned_position = -1;
  };

  TaskRegistry(Config config, HoldLimiter& holds);

  // Blocks until the task is complete, `deadline` passes or shutdown. A join that
  // gives up leaves the generation, so that its trainer id can join again.
  // `on_admitted` runs (outside the lock) once the join is admitted and counted.
  JoinResult join(const JoinRequest& request, Clock::time_point deadline,
                  const std::function<void(std::size_t joined)>& on_admitted = {});

  ReadyResult ready(const std::string& task_id, const std::string& trainer_id, std::int64_t position);

  void shutdown();

  const Config& config() const { return config_; }

 private:
  struct Generation {
    std::vector<std::string> members;  // join order
    std::vector<Assignment> assignments;  // filled when complete
    std::vector<bool> ready;
    bool complete = false;
  };
  struct Task {
    std::shared_ptr<Generation> current;
    std::list<std::string>::iterator lru;  // position in completed_, valid while complete
  };

  void complete_generation(const std::string& task_id, Task& task);
  bool make_room();

  const Config config_;
  HoldLimiter& holds_;
  const std::vector<LayerSlice> slices_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Task> tasks_;
  std::list<std::string> completed_;  // complete tasks, least recently completed first
  bool closing_ = false;
};

}  // namespace korvane::coordinator
