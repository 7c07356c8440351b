// Something a held request waits on. The registry and the relay store keep waiters and
// wake them when what they wait for may have changed; the waiter looks again itself.
// They know nothing of how the wait is carried out (an Asio timer in the server, a
// flag in the unit tests).
#pragma once

namespace korvane::coordinator {

class Waiter {
 public:
  virtual ~Waiter() = default;
  // Called with the owner's lock held: must only record the wake-up, never block.
  virtual void wake() = 0;
};

}  // namespace korvane::coordinator
