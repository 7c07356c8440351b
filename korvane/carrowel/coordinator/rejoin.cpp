#include "korvane/carrowel/coordinator/rejoin.hpp"

#include <nlohmann/json.hpp>

#include "korvane/carrowel/coordinator/membership.hpp"
#include "korvane/common/async/awaiters.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel::coordinator {
using json = nlohmann::json;

namespace {

std::vector<std::string> json_headers(const Trainer& t) {
  std::vector<std::string> h = identity_headers(t);  // the token and the member secret
  h.push_back("Content-Type: application/json");
  return h;
}

std::optional<unsigned long long> unsigned_text(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 19) return std::nullopt;
  for (char c : *text)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stoull(*text);
}

std::string answer_error(const http::Response& resp) {
  json body = json::parse(resp.body, nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_string()) return body["error"].get<std::string>();
  return resp.body.substr(0, 200);
}
}  // namespace

void add_rollback_headers(const Trainer& t, std::vector<std::string>& headers) {
  if (!t.recovery.relay_epoch) return;
  headers.push_back(std::string(kRollbackEpochHeader) + ": " + std::to_string(*t.recovery.relay_epoch));
}

bool note_rollback(Trainer& t, const http::Response& resp) {
  if (resp.status != 409 || !t.recovery.relay_epoch) return false;
  auto step = unsigned_text(resp.header(kRollbackStepHeader));
  auto epoch = unsigned_text(resp.header(kRollbackEpochHeader));
  if (!step || !epoch || *epoch <= *t.recovery.relay_epoch) return false;
  if (!t.recovery.pending_rollback || t.recovery.pending_rollback->epoch < *epoch)
    t.recovery.pending_rollback = Trainer::Recovery::Rollback{static_cast<long long>(*step), *epoch};
  return true;
}

async::Task<void> report_checkpoint(py::object self, long long step) {
  Trainer& t = Trainer::of(self);
  if (t.layer_assignment.is_none()) co_return;
  const LayerAssignment& a = t.assignment();
  http::Request req("POST", t.coordinator_url + kCheckpointPath);
  req.headers = json_headers(t);
  add_rollback_headers(t, req.headers);
  req.timeout_s = kNoticeTimeoutS;
  req.body = json{{"task_id", a.task_id}, {"trainer_id", t.trainer_id}, {"step", step}}.dump();
  // The report only narrows a later roll-back, so its failure is not the run's; a
  // cancellation is no failure of the report and always reaches the caller.
  std::exception_ptr failure;
  try {
    http::Response resp = co_await async::http_exchange(std::move(req));
    note_rollback(t, resp);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && async::is_cancellation(failure)) std::rethrow_exception(failure);
}

async::Task<std::optional<RollbackAnswer>> request_rollback(py::object self, long long latest) {
  Trainer& t = Trainer::of(self);
  const LayerAssignment& a = t.assignment();
  http::Request req("POST", t.coordinator_url + kRollbackPath);
  req.headers = json_headers(t);
  req.timeout_s = kNoticeTimeoutS;
  req.body = json{{"task_id", a.task_id}, {"trainer_id", t.trainer_id}, {"step", latest}}.dump();
  http::Response resp = co_await async::http_exchange(std::move(req));
  if (resp.status == 404) co_return std::nullopt;  // a coordinator without roll-backs
  if (resp.status < 200 || resp.status > 299)
    throw Error("the coordinator refused the roll-back (HTTP " + std::to_string(resp.status) + "): " + answer_error(resp));
  json body = json::parse(resp.body, nullptr, false);
  if (!body.is_object() || !body.contains("step") || !body["step"].is_number_integer() || !body.contains("epoch") ||
      !body["epoch"].is_number_unsigned())
    throw Error("the coordinator's roll-back answer lacks its step or epoch: " + resp.body.substr(0, 200));
  co_return RollbackAnswer{body["step"].get<long long>(), body["epoch"].get<unsigned long long>()};
}

}  // namespace korvane::carrowel::coordinator
