// The figures members report about themselves (held-out loss and accuracy, time spent
// averaging, their group's generation), kept for the live page and /metrics.
//
// Only members of a formed run may report (the route checks), so the trainers per run
// are bounded by the run's size; the runs kept are bounded like the pipeline progress,
// the least recently reported forgotten first. A report replaces the figures it names,
// keeps the others, and a null clears one.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace korvane::coordinator {

struct MemberFigures {
  std::optional<std::int64_t> step;
  std::optional<double> heldout_loss;
  std::optional<double> heldout_accuracy;
  std::optional<double> averaging_seconds;
  std::optional<std::int64_t> group_generation;
};

// What one report says about each figure: leave it, clear it, or set it.
template <class T>
struct FigureUpdate {
  bool named = false;
  std::optional<T> value;  // nullopt when named: cleared
};

struct ReportUpdate {
  FigureUpdate<std::int64_t> step;
  FigureUpdate<double> heldout_loss;
  FigureUpdate<double> heldout_accuracy;
  FigureUpdate<double> averaging_seconds;
  FigureUpdate<std::int64_t> group_generation;
};

class MemberReports {
 public:
  static constexpr std::size_t kRunsKept = 64;

  void report(const std::string& task_id, std::uint64_t run, const std::string& trainer_id, const ReportUpdate& update);
  std::optional<MemberFigures> of(const std::string& task_id, std::uint64_t run, const std::string& trainer_id) const;

 private:
  struct RunFigures {
    std::map<std::string, MemberFigures> trainers;
    std::uint64_t touched = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::uint64_t>, RunFigures> runs_;
  std::uint64_t clock_ = 0;  // orders the runs by their latest report
};

}  // namespace korvane::coordinator
