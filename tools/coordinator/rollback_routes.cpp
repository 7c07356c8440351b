// POST /pipeline/checkpoint {"task_id", "trainer_id", "step"}: a member has saved the
// checkpoint of that step. POST /pipeline/rollback {"task_id", "trainer_id", "step"}: a
// member is back after a loss with `step` as its latest checkpoint; the answer
// {"step", "epoch"} names the step the whole run goes back to. Both need the member
// secret of a member that holds one.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {
namespace {
using nlohmann::json;

void answer(HttpResponse& res, int status, const json& body) { res.set_body(status, body.dump(), "application/json"); }
void refuse(HttpResponse& res, int status, const std::string& message) { answer(res, status, {{field::kError, message}}); }

struct Report {
  std::string task_id, trainer_id;
  std::int64_t step = 0;
  std::optional<std::string> secret;
};

std::optional<Report> read_report(const HttpRequest& req, HttpResponse& res, const RouteLimits& limits) {
  json j = json::parse(req.body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    refuse(res, 400, "body must be a JSON object");
    return std::nullopt;
  }
  Report r;
  for (auto [key, out] : {std::pair{field::kTaskId, &r.task_id}, std::pair{field::kTrainerId, &r.trainer_id}}) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string() || it->get<std::string>().empty() ||
        it->get<std::string>().size() > limits.max_id_length) {
      refuse(res, 400, std::string("\"") + key + "\" must be a non-empty string");
      return std::nullopt;
    }
    *out = it->get<std::string>();
    if (std::any_of(out->begin(), out->end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      refuse(res, 400, std::string("\"") + key + "\" holds a control character");
      return std::nullopt;
    }
  }
  auto step = j.find(field::kStep);
  if (step == j.end() || !step->is_number_integer() || step->get<std::int64_t>() < 0) {
    refuse(res, 400, "\"step\" must be an integer >= 0");
    return std::nullopt;
  }
  r.step = step->get<std::int64_t>();
  if (const std::string* s = req.header(kSecretHeader)) r.secret = *s;
  return r;
}

std::string who(const Report& r) {
  return "task='" + printable(r.task_id) + "' trainer='" + printable(r.trainer_id) + "'";
}
}  // namespace

void install_rollback_routes(HttpServer& server, Service& service) {
  Service* s = &service;
  server.route("POST", kCheckpointPath, service.limits.max_json_body,
               [s](HttpRequest& req, HttpResponse& res, Hold&) -> asio::awaitable<void> {
                 auto r = read_report(req, res, s->limits);
                 if (!r) co_return;
                 std::string why;
                 if (int status = s->registry.checkpointed(r->task_id, r->trainer_id, r->secret, r->step, why)) {
                   refuse(res, status, why);
                   co_return;
                 }
                 answer(res, 200, {{field::kStatus, "recorded"}, {field::kStep, r->step}});
               });
  server.route("POST", kRollbackPath, service.limits.max_json_body,
               [s](HttpRequest& req, HttpResponse& res, Hold&) -> asio::awaitable<void> {
                 auto r = read_report(req, res, s->limits);
                 if (!r) co_return;
                 auto result = s->registry.rollback(r->task_id, r->trainer_id, r->secret, r->step);
                 if (result.status) {
                   log_line("rollback " + who(*r) + " refused: " + printable(result.error));
                   refuse(res, result.status, result.error);
                   co_return;
                 }
                 log_line("rollback " + who(*r) + ": the run goes back to step " + std::to_string(result.step) +
                          " (epoch " + std::to_string(result.epoch) + ")");
                 answer(res, 200, {{field::kStep, result.step}, {field::kEpoch, result.epoch}});
               });
}

}  // namespace korvane::coordinator
