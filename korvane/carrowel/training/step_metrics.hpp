// Per-step progress records for plotting and scraping. Each training step makes one
// record (step, round, loss, step time, samples per second, relay bytes, an optional
// evaluation), numbered by a step counter that goes on across loops of one trainer; the
// relays count the body bytes they move.
//
// Owns the counters; records are plain values. Errors: none. Thread: the event loop's.
#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace korvane::carrowel::training {

struct StepRecord {
  std::string trainer_id;
  long long step = 0;   // this trainer's step number, counted across loops
  long long round = 0;  // the loop's round
  std::optional<double> loss;
  double step_time_s = 0.0;
  std::optional<long long> samples;  // the first dimension of the step's input, when it has one
  std::uint64_t bytes_sent = 0, bytes_received = 0;
  std::optional<nlohmann::ordered_json> evaluation;  // the caller's value for this step

  std::optional<double> samples_per_s() const;
  // The record's line: these keys in this order, "evaluation" only when given.
  nlohmann::ordered_json to_json() const;
};

class StepMetrics {
 public:
  using Clock = std::chrono::steady_clock;

  void add_sent(std::uint64_t bytes) { bytes_sent_ += bytes; }
  void add_received(std::uint64_t bytes) { bytes_received_ += bytes; }
  std::uint64_t bytes_sent() const { return bytes_sent_; }
  std::uint64_t bytes_received() const { return bytes_received_; }

  // Steps recorded so far: the number the next record gets.
  long long steps_recorded() const { return steps_recorded_; }
  // The step a record of the caller's own follows (-1 before the first).
  long long latest_step() const { return steps_recorded_ - 1; }

  // Where a step began: its time and the byte counters then.
  struct Start {
    Clock::time_point time;
    std::uint64_t sent = 0, received = 0;
  };
  Start begin(Clock::time_point now) const { return {now, bytes_sent_, bytes_received_}; }
  // The record of the step begun at `start`, numbered steps_recorded(); the caller adds
  // an evaluation if it has one, then calls count_step().
  StepRecord record(const Start& start, Clock::time_point now, std::string trainer_id, long long round,
                    std::optional<double> loss, std::optional<long long> samples) const;
  void count_step() { ++steps_recorded_; }
  // A resumed or rolled-back trainer numbers its next record as the checkpoint says.
  void continue_at(long long steps) { steps_recorded_ = steps; }

 private:
  std::uint64_t bytes_sent_ = 0, bytes_received_ = 0;
  long long steps_recorded_ = 0;
};

}  // namespace korvane::carrowel::training
