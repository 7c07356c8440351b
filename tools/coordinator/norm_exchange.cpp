#include "tools/coordinator/norm_exchange.hpp"

#include <algorithm>
#include <cstring>

namespace korvane::coordinator {

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

NormExchange::Result NormExchange::post(const std::string& group, std::int64_t step, std::size_t size,
                                        std::size_t position, double value, const std::shared_ptr<Waiter>& waiter) {
  std::lock_guard lock(mutex_);
  if (closing_) return {Status::shutting_down};
  Group& g = groups_[group];
  auto it = g.steps.find(step);
  if (it == g.steps.end()) {
    const auto gathering = std::count_if(g.steps.begin(), g.steps.end(), [](const auto& s) { return !s.second.total; });
    if (static_cast<std::size_t>(gathering) >= limits_.max_steps) {
      if (g.steps.empty()) groups_.erase(group);
      return {Status::too_many_steps};
    }
    it = g.steps.emplace(step, Step{std::vector<std::optional<double>>(size), std::nullopt, {}}).first;
  }
  Step& s = it->second;
  if (position >= s.values.size()) return {Status::conflict};  // the group changed size: cannot happen in a run
  if (s.total) {
    if (s.values[position] && same_bits(*s.values[position], value)) return {Status::total, *s.total};
    return {Status::conflict};
  }
  s.values[position] = value;
  if (std::all_of(s.values.begin(), s.values.end(), [](const auto& v) { return v.has_value(); })) {
    double total = 0;
    for (const auto& v : s.values) total += *v;  // pipeline order, once: every member gets these bits
    s.total = total;
    for (auto& w : s.waiters) w->wake();
    s.waiters.clear();
    // Keep only the newest few totals, for members that ask again.
    std::size_t summed = 0;
    for (auto r = g.steps.rbegin(); r != g.steps.rend();) {
      if (r->second.total && ++summed > limits_.kept_totals) {
        r = std::make_reverse_iterator(g.steps.erase(std::next(r).base()));
      } else {
        ++r;
      }
    }
    return {Status::total, total};
  }
  if (waiter) s.waiters.push_back(waiter);
  return {Status::waiting};
}

NormExchange::Result NormExchange::poll(const std::string& group, std::int64_t step) const {
  std::lock_guard lock(mutex_);
  if (closing_) return {Status::shutting_down};
  auto g = groups_.find(group);
  if (g == groups_.end()) return {Status::waiting};
  auto s = g->second.steps.find(step);
  if (s == g->second.steps.end() || !s->second.total) return {Status::waiting};
  return {Status::total, *s->second.total};
}

void NormExchange::cancel_wait(const std::string& group, std::int64_t step, const Waiter* waiter) {
  std::lock_guard lock(mutex_);
  auto g = groups_.find(group);
  if (g == groups_.end()) return;
  auto s = g->second.steps.find(step);
  if (s == g->second.steps.end()) return;
  std::erase_if(s->second.waiters, [&](const auto& w) { return w.get() == waiter; });
}

void NormExchange::wake_all(Group& g) {
  for (auto& [step, s] : g.steps)
    for (auto& w : s.waiters) w->wake();
}

void NormExchange::wake_group(const std::string& group) {
  std::lock_guard lock(mutex_);
  if (auto g = groups_.find(group); g != groups_.end()) wake_all(g->second);
}

void NormExchange::drop_group(const std::string& group) {
  std::lock_guard lock(mutex_);
  auto g = groups_.find(group);
  if (g == groups_.end()) return;
  wake_all(g->second);
  groups_.erase(g);
}

void NormExchange::shutdown() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  for (auto& [key, g] : groups_) wake_all(g);
}

std::size_t NormExchange::groups() const {
  std::lock_guard lock(mutex_);
  return groups_.size();
}

}  // namespace korvane::coordinator
