#include "korvane/carrowel/training/rejoin_wait.hpp"

#include "korvane/common/float_format.hpp"

namespace korvane::carrowel::training {

RejoinWait::Decision RejoinWait::missing(const std::string& task_id, const std::string& reason,
                                         Clock::time_point now) {
  Decision d;
  if (!waits()) return d;
  if (!missing_since_) {
    missing_since_ = now;
    d.warning = "  Warning: a neighbour in task '" + task_id + "' is missing (" + reason + "); waiting up to " +
                float_repr(timeout_s_) + " s for it to rejoin";
  }
  if (now - *missing_since_ > std::chrono::duration<double>(timeout_s_)) {
    d.action = Action::give_up;
    d.error = "no member of task '" + task_id + "' came back within the rejoin timeout of " + float_repr(timeout_s_) +
              " s; the run ends (" + reason + ")";
  } else {
    d.action = Action::wait;
  }
  return d;
}

}  // namespace korvane::carrowel::training
