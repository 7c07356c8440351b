// How far each pipeline has got, read off the relays it already makes: the micro-batch
// numbers of posts and deliveries, the loss the last stage sends with its gradients and
// the bytes on every link. Trainers send nothing extra for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/coordinator/relay_store.hpp"

namespace korvane::coordinator {

class PipelineProgress {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kLossesKept = 120;     // per trainer
  static constexpr std::size_t kRunsKept = 64;        // the least recently active are forgotten
  static constexpr std::size_t kLinksPerRun = 256;
  static constexpr auto kRateWindow = std::chrono::seconds(5);

  struct Trainer {
    std::optional<std::uint64_t> micro_batch;  // the highest it posted or was handed
    std::deque<std::pair<std::uint64_t, double>> losses;  // (micro-batch, loss) it sent, oldest first
  };
  struct Link {
    std::string from, to;
    RelayKind kind;
    std::uint64_t messages = 0, bytes = 0;
    double bytes_per_second = 0;  // over the last few seconds
  };
  struct Run {
    std::map<std::string, Trainer> trainers;
    std::vector<Link> links;
  };

  // `loss` is the X-Loss text as posted; text that is no number is left out of the chart.
  void posted(const std::string& task_id, std::uint64_t run, RelayKind kind, const std::string& from,
              const std::string& to, std::uint64_t micro_batch, const std::string* loss, std::size_t bytes,
              Clock::time_point now = Clock::now());
  void delivered(const std::string& task_id, std::uint64_t run, const std::string& recipient,
                 std::uint64_t micro_batch, Clock::time_point now = Clock::now());

  std::optional<Run> of(const std::string& task_id, std::uint64_t run, Clock::time_point now = Clock::now()) const;

 private:
  static constexpr auto kBucket = std::chrono::milliseconds(250);
  struct LinkState {
    std::uint64_t messages = 0, bytes = 0;
    Clock::time_point first;
    std::deque<std::pair<std::int64_t, std::uint64_t>> buckets;  // (bucket index, bytes), oldest first
  };
  struct RunState {
    std::map<std::string, Trainer> trainers;
    std::map<std::tuple<std::string, std::string, RelayKind>, LinkState> links;
    Clock::time_point touched;
  };
  RunState& state(const std::string& task_id, std::uint64_t run, Clock::time_point now);
  static void reached(Trainer& t, std::uint64_t micro_batch);

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::uint64_t>, RunState> runs_;
};

}  // namespace korvane::coordinator
