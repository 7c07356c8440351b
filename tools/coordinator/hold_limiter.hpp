// Bounds how many requests may sit waiting inside the service at once.
//
// Every waiting request (a long-poll fetch, a join waiting for its task to fill)
// occupies one server worker thread. Keeping the number of waiters below the pool
// size leaves threads free for the posts that release them.
#pragma once

#include <atomic>
#include <cstddef>

namespace korvane::coordinator {

class HoldLimiter {
 public:
  explicit HoldLimiter(std::size_t max_held) : max_(max_held) {}

  bool try_acquire() {
    std::size_t cur = held_.load();
    while (cur < max_) {
      if (held_.compare_exchange_weak(cur, cur + 1)) return true;
    }
    return false;
  }
  void release() { held_.fetch_sub(1); }
  std::size_t held() const { return held_.load(); }
  std::size_t limit() const { return max_; }

  // Scoped slot; empty when the limiter was full.
  class Slot {
   public:
    explicit Slot(HoldLimiter& l) : l_(l.try_acquire() ? &l : nullptr) {}
    ~Slot() {
      if (l_) l_->release();
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    explicit operator bool() const { return l_ != nullptr; }

   private:
    HoldLimiter* l_;
  };

 private:
  const std::size_t max_;
  std::atomic<std::size_t> held_{0};
};

}  // namespace korvane::coordinator
