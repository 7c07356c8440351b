#include "tools/coordinator/pipeline_progress.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace korvane::coordinator {

namespace {
std::optional<double> loss_value(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;  // NaN and infinities stay: a diverging run should show as one
}
}  // namespace

PipelineProgress::RunState& PipelineProgress::state(const std::string& task_id, std::uint64_t run,
                                                    Clock::time_point now) {
  auto key = std::make_pair(task_id, run);
  auto it = runs_.find(key);
  if (it == runs_.end()) {
    if (runs_.size() >= kRunsKept) {
      auto oldest = std::min_element(runs_.begin(), runs_.end(),
                                     [](const auto& a, const auto& b) { return a.second.touched < b.second.touched; });
      runs_.erase(oldest);
    }
    it = runs_.emplace(std::move(key), RunState{}).first;
  }
  it->second.touched = now;
  return it->second;
}

void PipelineProgress::reached(Trainer& t, std::uint64_t micro_batch) {
  if (!t.micro_batch || *t.micro_batch < micro_batch) t.micro_batch = micro_batch;
}

void PipelineProgress::posted(const std::string& task_id, std::uint64_t run, RelayKind kind, const std::string& from,
                              const std::string& to, std::uint64_t micro_batch, const std::string* loss,
                              std::size_t bytes, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  RunState& r = state(task_id, run, now);
  Trainer& sender = r.trainers[from];
  reached(sender, micro_batch);
  if (loss) {
    if (auto v = loss_value(*loss)) {
      // A re-sent message carries the same micro-batch: keep one point for it.
      if (!sender.losses.empty() && sender.losses.back().first == micro_batch)
        sender.losses.back().second = *v;
      else
        sender.losses.emplace_back(micro_batch, *v);
      if (sender.losses.size() > kLossesKept) sender.losses.pop_front();
    }
  }
  auto key = std::make_tuple(from, to, kind);
  auto link = r.links.find(key);
  if (link == r.links.end()) {
    if (r.links.size() >= kLinksPerRun) return;
    link = r.links.emplace(std::move(key), LinkState{}).first;
    link->second.first = now;
  }
  LinkState& l = link->second;
  ++l.messages;
  l.bytes += bytes;
  const std::int64_t bucket = now.time_since_epoch() / kBucket;
  if (!l.buckets.empty() && l.buckets.back().first == bucket)
    l.buckets.back().second += bytes;
  else
    l.buckets.emplace_back(bucket, bytes);
  const std::int64_t window = kRateWindow / kBucket;
  while (!l.buckets.empty() && l.buckets.front().first <= bucket - window) l.buckets.pop_front();
}

void PipelineProgress::delivered(const std::string& task_id, std::uint64_t run, const std::string& recipient,
                                 std::uint64_t micro_batch, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  reached(state(task_id, run, now).trainers[recipient], micro_batch);
}

std::optional<PipelineProgress::Run> PipelineProgress::of(const std::string& task_id, std::uint64_t run,
                                                          Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  auto it = runs_.find({task_id, run});
  if (it == runs_.end()) return std::nullopt;
  Run out;
  out.trainers = it->second.trainers;
  const std::int64_t bucket = now.time_since_epoch() / kBucket;
  const std::int64_t window = kRateWindow / kBucket;
  for (const auto& [key, l] : it->second.links) {
    Link link{std::get<0>(key), std::get<1>(key), std::get<2>(key), l.messages, l.bytes, 0};
    std::uint64_t recent = 0;
    for (const auto& [b, n] : l.buckets)
      if (b > bucket - window) recent += n;
    // A link younger than the window is measured over its own age.
    const double span = std::clamp(std::chrono::duration<double>(now - l.first).count(), 0.25,
                                   std::chrono::duration<double>(kRateWindow).count());
    link.bytes_per_second = static_cast<double>(recent) / span;
    out.links.push_back(std::move(link));
  }
  return out;
}

}  // namespace korvane::coordinator
