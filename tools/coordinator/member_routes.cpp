// POST /pipeline/norm {"task_id", "trainer_id", "step", "squared_norm"}: held until every
// member of the run has posted its squared gradient norm for that step, then answered
// {"step", "total"} with the sum in pipeline order (norm_exchange.hpp). Like a fetch, it
// waits at most the fetch wait or the client's announced limit (504), wakes with 410 when
// a member has left or failed, counts in the hold limits, and answers 409 with the step
// to reload when the run was rolled back since the request's epoch.
//
// POST /pipeline/report {"task_id", "trainer_id", and any of "step", "heldout_loss",
// "heldout_accuracy", "averaging_seconds", "group_generation"}: the member's latest
// figures, for the live page and /metrics; null clears one. Answered {}.
//
// Both need a member of a formed run, with its member secret when it holds one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <type_traits>
#include <memory>
#include <nlohmann/json.hpp>

#include "tools/coordinator/held_request.hpp"
#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/scope_exit.hpp"
#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {
namespace {
using nlohmann::json;
using Clock = std::chrono::steady_clock;

void answer(HttpResponse& res, int status, const nlohmann::ordered_json& body) {
  res.set_body(status, body.dump(), "application/json");
}
void refuse(HttpResponse& res, int status, const std::string& message) { answer(res, status, {{field::kError, message}}); }

void refuse_access(HttpResponse& res, const TaskRegistry::Access& access) {
  refuse(res, access.status, access.error);
  if (access.rollback_epoch) {
    res.headers.emplace_back(kRollbackEpochHeader, std::to_string(*access.rollback_epoch));
    res.headers.emplace_back(kRollbackStepHeader, std::to_string(access.rollback_step));
  }
}

struct MemberBody {
  json j;
  std::string task_id, trainer_id;
  std::optional<std::string> secret;
};

std::optional<MemberBody> member_body(const HttpRequest& req, HttpResponse& res, const RouteLimits& limits) {
  MemberBody b{json::parse(req.body, nullptr, /*allow_exceptions=*/false), {}, {}, {}};
  if (b.j.is_discarded() || !b.j.is_object()) {
    refuse(res, 400, "body must be a JSON object");
    return std::nullopt;
  }
  for (auto [key, out] : {std::pair{field::kTaskId, &b.task_id}, std::pair{field::kTrainerId, &b.trainer_id}}) {
    const std::string name = std::string("\"") + key + "\"";
    auto it = b.j.find(key);
    if (it == b.j.end() || !it->is_string() || it->get<std::string>().empty()) {
      refuse(res, 400, name + " must be a non-empty string");
      return std::nullopt;
    }
    *out = it->get<std::string>();
    if (out->size() > limits.max_id_length) {
      refuse(res, 400, name + " longer than " + std::to_string(limits.max_id_length) + " bytes");
      return std::nullopt;
    }
    if (std::any_of(out->begin(), out->end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      refuse(res, 400, name + " holds a control character");
      return std::nullopt;
    }
    if (!valid_utf8(*out)) {
      refuse(res, 400, name + " is not valid UTF-8");
      return std::nullopt;
    }
  }
  if (const std::string* s = req.header(kSecretHeader)) b.secret = *s;
  return b;
}

// A whole number from 0 to INT64_MAX.
std::optional<std::int64_t> count_of(const json& v) {
  if (!v.is_number_integer()) return std::nullopt;
  if (v.is_number_unsigned()) {
    if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(v.get<std::uint64_t>());
  }
  const auto n = v.get<std::int64_t>();
  return n < 0 ? std::nullopt : std::optional<std::int64_t>(n);
}

std::string seconds(std::chrono::milliseconds d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(d.count()) / 1000.0);
  return buf;
}

std::string who(const MemberBody& b) { return "task=" + quoted_id(b.task_id) + " trainer=" + quoted_id(b.trainer_id); }

asio::awaitable<void> norm(Service& s, HttpRequest& req, HttpResponse& res, Hold& hold) {
  auto b = member_body(req, res, s.limits);
  if (!b) co_return;
  const json& j = b->j;
  auto step_it = j.find(field::kStep);
  const auto step = step_it == j.end() ? std::nullopt : count_of(*step_it);
  if (!step) {
    refuse(res, 400, "\"step\" must be an integer >= 0");
    co_return;
  }
  auto norm_it = j.find(field::kSquaredNorm);
  if (norm_it == j.end() || !norm_it->is_number() || !std::isfinite(norm_it->get<double>()) ||
      norm_it->get<double>() < 0) {
    refuse(res, 400, "\"squared_norm\" must be a finite number >= 0");
    co_return;
  }
  const double value = norm_it->get<double>();
  auto wait = announced_wait(req, s.limits.fetch_wait, res);
  if (!wait) co_return;
  const std::string* epoch_text = req.header(kRollbackEpochHeader);
  std::optional<std::uint64_t> epoch;
  if (epoch_text && !epoch_text->empty() && epoch_text->size() <= 19 &&
      std::all_of(epoch_text->begin(), epoch_text->end(), [](char c) { return c >= '0' && c <= '9'; }))
    epoch = std::stoull(*epoch_text);

  const auto group = s.registry.norm_group(b->task_id, b->trainer_id, b->secret, epoch);
  if (!group.access.ok()) {
    refuse_access(res, group.access);
    co_return;
  }
  const std::uint64_t run = group.access.run;
  const auto deadline = Clock::now() + *wait;
  auto waiter = hold.waiter();
  s.registry.hold(b->task_id, run, b->trainer_id, +1);
  ScopeExit done{[&] {
    s.norms->cancel_wait(group.key, *step, waiter.get());
    s.registry.hold(b->task_id, run, b->trainer_id, -1);
  }};
  std::optional<HoldLimiter::Slot> slot;
  using S = NormExchange::Status;
  auto r = s.norms->post(group.key, *step, group.size, group.position, value, waiter);
  for (;;) {
    switch (r.status) {
      case S::total:
        answer(res, 200, {{field::kStep, *step}, {field::kTotal, r.total}});
        co_return;
      case S::conflict:
        log_line("norm " + who(*b) + " refused: step " + std::to_string(*step) + " already summed");
        refuse(res, 409, "the norms of step " + std::to_string(*step) + " of task " + quoted_id(b->task_id) +
                             " were already summed with another value from trainer " + quoted_id(b->trainer_id));
        co_return;
      case S::too_many_steps:
        refuse(res, 429, "task " + quoted_id(b->task_id) + " has " + std::to_string(kMaxNormSteps) +
                             " steps whose norms are still gathering");
        co_return;
      case S::shutting_down:
        refuse(res, 503, "coordinator is shutting down");
        co_return;
      case S::waiting:
        break;
    }
    if (auto stale = s.registry.rolled_back_since(b->task_id, run, epoch)) {
      refuse_access(res, *stale);
      co_return;
    }
    if (auto why = s.registry.norm_blocker(b->task_id, run, b->trainer_id)) {
      refuse(res, 410, *why);
      co_return;
    }
    if (Clock::now() >= deadline) {
      refuse(res, 504, "not every member of task " + quoted_id(b->task_id) + " posted its norm of step " +
                           std::to_string(*step) + " within " + seconds(*wait));
      co_return;
    }
    // A client gone leaves its value: a retry replaces it.
    if (!co_await wait_for_change(s.holds, slot, req, b->task_id, res, hold, *waiter, deadline)) co_return;
    r = s.norms->poll(group.key, *step);
  }
}

// Reads one figure of a report: absent (left as it is), null (cleared) or a number that
// `ok` accepts. False after answering 400.
template <class T, class Ok>
bool figure(const json& j, const char* key, FigureUpdate<T>& out, Ok ok, const char* rule, HttpResponse& res) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  out.named = true;
  if (it->is_null()) return true;
  std::optional<T> v;
  if constexpr (std::is_same_v<T, double>) {
    if (it->is_number() && std::isfinite(it->get<double>())) v = it->get<double>();
  } else {
    v = count_of(*it);
  }
  if (!v || !ok(*v)) {
    refuse(res, 400, std::string("\"") + key + "\" must be " + rule + " or null");
    return false;
  }
  out.value = v;
  return true;
}

void report(Service& s, HttpRequest& req, HttpResponse& res) {
  auto b = member_body(req, res, s.limits);
  if (!b) return;
  const auto any = [](auto) { return true; };
  const auto non_negative = [](double v) { return v >= 0; };
  ReportUpdate u;
  if (!figure(b->j, field::kStep, u.step, any, "an integer >= 0", res) ||
      !figure(b->j, field::kHeldoutLoss, u.heldout_loss, any, "a finite number", res) ||
      !figure(b->j, field::kHeldoutAccuracy, u.heldout_accuracy, [](double v) { return v >= 0 && v <= 1; },
              "a number from 0 to 1", res) ||
      !figure(b->j, field::kAveragingSeconds, u.averaging_seconds, non_negative, "a finite number >= 0", res) ||
      !figure(b->j, field::kGroupGeneration, u.group_generation, any, "an integer >= 0", res))
    return;
  const auto access = s.registry.check_member(b->task_id, b->trainer_id, b->secret);
  if (!access.ok()) {
    refuse_access(res, access);
    return;
  }
  s.reports->report(b->task_id, access.run, b->trainer_id, u);
  answer(res, 200, nlohmann::ordered_json::object());
}

}  // namespace

void install_member_routes(HttpServer& server, Service& service) {
  Service* s = &service;
  if (service.norms)
    server.route("POST", kNormPath, service.limits.max_json_body,
                 [s](HttpRequest& req, HttpResponse& res, Hold& hold) { return norm(*s, req, res, hold); });
  if (service.reports)
    server.route("POST", kReportPath, service.limits.max_json_body,
                 [s](HttpRequest& req, HttpResponse& res, Hold&) -> asio::awaitable<void> {
                   report(*s, req, res);
                   co_return;
                 });
}

}  // namespace korvane::coordinator
