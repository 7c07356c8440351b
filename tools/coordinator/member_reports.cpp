#include "tools/coordinator/member_reports.hpp"

#include <algorithm>

namespace korvane::coordinator {

namespace {
template <class T>
void apply(std::optional<T>& figure, const FigureUpdate<T>& update) {
  if (update.named) figure = update.value;
}
}  // namespace

void MemberReports::report(const std::string& task_id, std::uint64_t run, const std::string& trainer_id,
                           const ReportUpdate& u) {
  std::lock_guard lock(mutex_);
  const auto key = std::make_pair(task_id, run);
  if (!runs_.count(key) && runs_.size() >= kRunsKept) {
    auto oldest = std::min_element(runs_.begin(), runs_.end(),
                                   [](const auto& a, const auto& b) { return a.second.touched < b.second.touched; });
    runs_.erase(oldest);
  }
  RunFigures& r = runs_[key];
  r.touched = ++clock_;
  MemberFigures& f = r.trainers[trainer_id];
  apply(f.step, u.step);
  apply(f.heldout_loss, u.heldout_loss);
  apply(f.heldout_accuracy, u.heldout_accuracy);
  apply(f.averaging_seconds, u.averaging_seconds);
  apply(f.group_generation, u.group_generation);
}

std::optional<MemberFigures> MemberReports::of(const std::string& task_id, std::uint64_t run,
                                               const std::string& trainer_id) const {
  std::lock_guard lock(mutex_);
  auto r = runs_.find({task_id, run});
  if (r == runs_.end()) return std::nullopt;
  auto t = r->second.trainers.find(trainer_id);
  if (t == r->second.trainers.end()) return std::nullopt;
  return t->second;
}

}  // namespace korvane::coordinator
