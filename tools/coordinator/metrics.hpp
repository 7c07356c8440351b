// Counters and a histogram for scraping, in the Prometheus text exposition format.
//
// Everything is fed from the server's answer observer, so the routes themselves count
// nothing. Label values come from fixed sets (relay kinds, route names, refusal reasons),
// so no client can grow the number of series.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/coordinator/member_reports.hpp"
#include "tools/coordinator/relay_store.hpp"

namespace korvane::coordinator {

// The route a request path names, as a metric label: "join", "activation", ... or "other".
std::string_view route_label(std::string_view path);
// Why an answer with this status refused its request, as a metric label.
std::string_view refusal_reason(int status);

// The latest figures one member reported, with its task and trainer id as labels.
struct MemberSeries {
  std::string task_id, trainer_id;
  MemberFigures figures;
};
// korvane_heldout_loss{task="...",trainer="..."} and its siblings, one sample per member
// and figure that is set; label values escaped as the exposition format wants.
std::string render_member_figures(const std::vector<MemberSeries>& rows);

class Metrics {
 public:
  // Per-member series: the members of at most this many running tasks, and at most this
  // many members in all, so that clients cannot grow the number of series without bound.
  static constexpr std::size_t kMaxMemberRuns = 64;
  static constexpr std::size_t kMaxMemberSeries = 1024;

  static constexpr std::array<double, 12> kWaitBuckets{0.001, 0.005, 0.01, 0.05, 0.1, 0.25,
                                                       0.5,   1,     2.5,  5,    10,  30};

  void relayed(RelayKind kind, std::size_t bytes);
  void delivered(RelayKind kind, std::size_t bytes, double waited_seconds);
  void joined() { joins_.fetch_add(1, std::memory_order_relaxed); }
  void refused(std::string_view route, int status);

  // Values read at scrape time from the registry, the store and the server.
  struct Gauges {
    std::size_t tasks = 0, members = 0, active_members = 0;
    std::size_t held = 0, max_held = 0;
    std::size_t stored_messages = 0, stored_bytes = 0, max_stored_bytes = 0;
    std::size_t connections = 0;
  };
  std::string render(const Gauges& g) const;

 private:
  struct PerKind {
    std::atomic<std::uint64_t> messages{0}, bytes{0}, delivered{0}, delivered_bytes{0};
    std::array<std::uint64_t, kWaitBuckets.size() + 1> wait_counts{};  // the last is +Inf
    double wait_sum = 0;
  };
  std::array<PerKind, 2> kinds_;
  std::atomic<std::uint64_t> joins_{0};
  mutable std::mutex mutex_;  // the histograms and the refusals
  std::map<std::pair<std::string, std::string>, std::uint64_t> refusals_;
};

}  // namespace korvane::coordinator
