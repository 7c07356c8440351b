#include "tools/coordinator/held_request.hpp"

#include <nlohmann/json.hpp>

#include "korvane/protocol/protocol.hpp"
#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {
namespace {
void refuse(HttpResponse& res, int status, const std::string& message) {
  res.set_body(status, nlohmann::json{{protocol::field::kError, message}}.dump(), "application/json");
}
}  // namespace

std::string busy_text(HoldLimiter::Refusal why, const std::string& task_id) {
  switch (why) {
    case HoldLimiter::Refusal::client:
      return "too many requests waiting from this client address";
    case HoldLimiter::Refusal::task: {
      std::string text = "too many requests waiting for task '";
      text += printable(task_id);
      text += '\'';
      return text;
    }
    default:
      return "too many requests waiting at the coordinator";
  }
}

asio::awaitable<bool> wait_for_change(HoldLimiter& holds, std::optional<HoldLimiter::Slot>& slot,
                                      const HttpRequest& req, const std::string& task_id, HttpResponse& res,
                                      Hold& hold, Wakeup& waiter, std::chrono::steady_clock::time_point deadline) {
  if (!slot) {
    slot.emplace(holds, req.peer, task_id);
    if (!*slot) {
      refuse(res, 503, busy_text(slot->refusal(), task_id));
      co_return false;
    }
  }
  // Named, not switched on directly: g++ 12 miscompiles a co_await in a switch's condition.
  const Hold::End end = co_await hold.wait(waiter, deadline);
  if (end == Hold::End::client_gone) {
    res.drop = true;
    co_return false;
  }
  if (end == Hold::End::stopping) {
    refuse(res, 503, "coordinator is shutting down");
    co_return false;
  }
  co_return true;
}

}  // namespace korvane::coordinator
