// A request the coordinator holds until what it waits for happens (a relay to fetch, a
// task to fill, a key to be set, every norm to arrive). Each route loops: look; answer if
// it is there; otherwise wait_for_change and look again.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/http_server.hpp"

namespace korvane::coordinator {

// Why a request may not wait: the pool is full, or its source has its share of it.
std::string busy_text(HoldLimiter::Refusal why, const std::string& task_id);

// Sleeps until `waiter` is woken or `deadline` passes; true: look again. The first call
// takes `slot` from `holds` for the request's client and task, so that no source takes
// the whole pool. False when the request is settled: refused with 503 (no slot to wait
// in, or the coordinator stopping), or dropped because its client went away.
asio::awaitable<bool> wait_for_change(HoldLimiter& holds, std::optional<HoldLimiter::Slot>& slot,
                                      const HttpRequest& req, const std::string& task_id, HttpResponse& res,
                                      Hold& hold, Wakeup& waiter, std::chrono::steady_clock::time_point deadline);

}  // namespace korvane::coordinator
