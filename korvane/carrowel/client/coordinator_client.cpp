#include "korvane/carrowel/client/coordinator_client.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "korvane/carrowel/client/assignment_record.hpp"
#include "korvane/carrowel/client/messages.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel::client {
using async::Task;
using nlohmann::json;
namespace field = protocol::field;

struct CoordinatorClient::State {
  std::string base_url;
  std::optional<std::string> token;
  Transport transport;
  Member member;
};

namespace {
using State = CoordinatorClient::State;
constexpr const char* kJsonContent = "Content-Type: application/json";

bool holds_line_break(const std::string& s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos; }

bool in_2xx(const http::Response& r) { return r.status >= 200 && r.status < 300; }

std::string error_text(const http::Response& r) {
  const auto j = json::parse(r.body, nullptr, /*allow_exceptions=*/false);
  if (j.is_object() && j.contains(field::kError) && j[field::kError].is_string()) return j[field::kError].get<std::string>();
  return r.body.substr(0, 200);
}

// The token, and the member secret once one is held.
std::vector<std::string> identity_headers(const State& s) {
  std::vector<std::string> h;
  if (s.token) h.push_back(std::string(protocol::kAuthorizationHeader) + ": " + protocol::kBearerPrefix + *s.token);
  if (s.member.secret) h.push_back(std::string(protocol::kSecretHeader) + ": " + *s.member.secret);
  return h;
}

http::Request json_request(const State& s, const char* path, std::string body, std::optional<double> timeout_s) {
  http::Request req("POST", s.base_url + path);
  req.headers = identity_headers(s);
  req.headers.push_back(kJsonContent);
  req.body = std::move(body);
  req.timeout_s = timeout_s;
  return req;
}

void add_rollback_epoch(const State& s, std::vector<std::string>& headers) {
  if (s.member.rollback_epoch)
    headers.push_back(std::string(protocol::kRollbackEpochHeader) + ": " + std::to_string(*s.member.rollback_epoch));
}

std::optional<unsigned long long> unsigned_text(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 19) return std::nullopt;
  for (char c : *text)
    if (c < '0' || c > '9') return std::nullopt;
  return std::stoull(*text);
}

// A 409 that names a roll-back newer than the epoch this member relays in.
std::optional<RolledBack> rollback_answer(const State& s, const http::Response& r) {
  if (r.status != protocol::kStatusRefused || !s.member.rollback_epoch) return std::nullopt;
  const auto step = unsigned_text(r.header(protocol::kRollbackStepHeader));
  const auto epoch = unsigned_text(r.header(protocol::kRollbackEpochHeader));
  if (!step || !epoch || *epoch <= *s.member.rollback_epoch) return std::nullopt;
  return RolledBack{static_cast<long long>(*step), *epoch};
}

// A secret goes back out in a header: one that could break the header block is not kept.
std::optional<std::string> usable_secret(const json& value) {
  if (!value.is_string()) return std::nullopt;
  std::string s = value.get<std::string>();
  if (holds_line_break(s)) return std::nullopt;
  return s;
}

const char* json_kind(const json& j) {
  switch (j.type()) {
    case json::value_t::array: return "an array";
    case json::value_t::string: return "a string";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: return "a number";
    default: return "something else";
  }
}

// The join answer as an assignment; Unavailable when it is no JSON object (or null).
std::variant<json, Unavailable> join_answer(const std::string& body) {
  json answer;
  try {
    answer = json::parse(body);
  } catch (const json::parse_error& e) {
    return Unavailable{e.what()};
  }
  if (!answer.is_object() && !answer.is_null())
    return Unavailable{std::string("coordinator answered with ") + json_kind(answer) + ", not a JSON object"};
  return answer;
}

void forget_membership(State& s) {
  s.member.joined = false;
  s.member.secret.reset();
}

JoinResult read_join(State& s, const http::Response& resp, std::string task_id, std::string trainer_id) {
  // An error status with an assignment in its body is still an assignment.
  auto refused = refusal(resp);
  if (refused) {
    const auto j = json::parse(resp.body, nullptr, /*allow_exceptions=*/false);
    if (!(j.is_object() && j.contains(field::kLayerStart))) return *refused;
  }
  auto parsed = join_answer(resp.body);
  if (auto* u = std::get_if<Unavailable>(&parsed)) {
    forget_membership(s);
    return *u;
  }
  json answer = std::move(std::get<json>(parsed));
  s.member.secret.reset();
  if (answer.is_object()) {
    if (auto it = answer.find(field::kMemberSecret); it != answer.end()) {
      s.member.secret = usable_secret(*it);
      answer.erase(it);  // the secret stays here, out of the caller's map
    }
  }
  s.member.task_id = std::move(task_id);
  s.member.trainer_id = std::move(trainer_id);
  s.member.joined = true;
  return Assigned{std::move(answer)};
}

Task<JoinResult> join_task(std::shared_ptr<State> s, std::string task_id, std::string trainer_id, long long memory_bytes,
                           bool has_gpu, double timeout_s, JoinOptions options) {
  http::Request req =
      json_request(*s, protocol::kJoinPath, join_body(task_id, trainer_id, memory_bytes, has_gpu, options), timeout_s);
  req.headers.push_back(std::string(protocol::kSecretRequestHeader) + ": " + protocol::kSecretRequestValue);
  req.headers.push_back(std::string(protocol::kClientTimeoutHeader) + ": " + float_repr(timeout_s));
  std::optional<http::Response> resp;
  std::string failure;
  try {
    resp = co_await s->transport(std::move(req));
  } catch (const Error& e) {
    failure = e.what();
  }
  if (!resp) {
    forget_membership(*s);
    co_return Unavailable{failure};
  }
  co_return read_join(*s, *resp, std::move(task_id), std::move(trainer_id));
}

// One notice exchange: the response, or the transport's failure as Unavailable.
Task<std::variant<http::Response, Unavailable>> exchange(std::shared_ptr<State> s, http::Request req) {
  std::string failure;
  try {
    co_return co_await s->transport(std::move(req));
  } catch (const Error& e) {
    failure = e.what();
  }
  co_return Unavailable{failure};
}

Task<NoticeResult> ready_task(std::shared_ptr<State> s, long long pipeline_position) {
  const Member& m = s->member;
  http::Request req = json_request(*s, protocol::kReadyPath, ready_body(m.task_id, m.trainer_id, pipeline_position),
                                   protocol::kNoticeTimeoutS);
  auto answer = co_await exchange(s, std::move(req));
  if (auto* u = std::get_if<Unavailable>(&answer)) co_return *u;
  const http::Response& resp = std::get<http::Response>(answer);
  if (auto refused = refusal(resp)) co_return *refused;
  co_return Noted{ready_answer_stages(resp.body)};
}

Task<LeaveResult> leave_task(std::shared_ptr<State> s, std::optional<std::string> error) {
  if (!s->member.joined) co_return NotMember{};
  const Member& m = s->member;
  http::Request req = json_request(*s, protocol::kLeavePath, leave_body(m.task_id, m.trainer_id, error),
                                   protocol::kNoticeTimeoutS);
  auto answer = co_await exchange(s, std::move(req));
  if (auto* u = std::get_if<Unavailable>(&answer)) co_return *u;
  s->member.joined = false;
  if (auto refused = refusal(std::get<http::Response>(answer))) co_return *refused;
  co_return Noted{};
}

const char* relay_path(Relay relay) {
  return relay == Relay::gradient ? protocol::kGradientPath : protocol::kActivationPath;
}

Task<PostResult> post_task(std::shared_ptr<State> s, Relay relay, std::string to, long long micro_batch, std::string body,
                           std::optional<double> loss, std::optional<double> timeout_s, std::optional<std::string> codec) {
  http::Request req("POST", s->base_url + relay_path(relay));
  req.headers = relay_headers(s->member.task_id, s->member.trainer_id, to, micro_batch, loss, codec);
  for (auto& h : identity_headers(*s)) req.headers.push_back(std::move(h));
  add_rollback_epoch(*s, req.headers);
  const std::size_t size = body.size();
  req.body = std::move(body);
  req.timeout_s = timeout_s;
  auto answer = co_await exchange(s, std::move(req));
  if (auto* u = std::get_if<Unavailable>(&answer)) co_return *u;
  const http::Response& resp = std::get<http::Response>(answer);
  if (auto rb = rollback_answer(*s, resp)) co_return *rb;
  if (auto refused = refusal(resp)) co_return *refused;
  co_return Delivered{size};
}

std::optional<double> loss_of(const http::Response& resp) {
  std::optional<std::string> text = resp.header(protocol::kLossHeader);
  if (!text || text->empty()) return std::nullopt;
  auto loss = parse_float(*text);
  if (!loss) throw ValueError("could not convert string to float: " + python_repr(json(*text)));
  return loss;
}

FetchResult read_fetch(const State& s, Relay relay, http::Response resp) {
  if (auto rb = rollback_answer(s, resp)) return *rb;
  if (resp.status == protocol::kStatusNeighbourGone || resp.status == protocol::kStatusNeighbourLate)
    return NeighbourMissing{resp.status, "HTTP " + std::to_string(resp.status) + ": " + resp.body.substr(0, 200),
                            refusal(resp)->text};
  if (auto refused = refusal(resp)) return *refused;
  Received r;
  if (relay == Relay::gradient) r.loss = loss_of(resp);
  r.codec = resp.header(protocol::kCodecHeader);
  r.bytes = resp.body.size();
  r.body = std::move(resp.body);
  return r;
}

Task<FetchResult> fetch_task(std::shared_ptr<State> s, Relay relay, long long micro_batch, std::optional<double> timeout_s) {
  const Member& m = s->member;
  http::Request req("GET", s->base_url + relay_path(relay) + relay_query(m.task_id, m.trainer_id, micro_batch));
  req.headers = identity_headers(*s);
  // The coordinator answers just before this limit, so a missing message comes back as
  // its own answer rather than as a time-out here.
  const bool limited = timeout_s && std::isfinite(*timeout_s) && *timeout_s > 0;
  if (limited) req.headers.push_back(std::string(protocol::kClientTimeoutHeader) + ": " + float_repr(*timeout_s));
  req.timeout_s = timeout_s;
  add_rollback_epoch(*s, req.headers);
  std::optional<http::Response> resp;
  std::string timed_out;
  try {
    resp = co_await s->transport(std::move(req));
  } catch (const TimeoutError& e) {
    timed_out = e.what();
  }
  if (!resp) co_return NeighbourMissing{0, timed_out, ""};
  co_return read_fetch(*s, relay, std::move(*resp));
}

Task<CheckpointResult> checkpoint_task(std::shared_ptr<State> s, long long step) {
  const Member& m = s->member;
  http::Request req = json_request(*s, protocol::kCheckpointPath, step_body(m.task_id, m.trainer_id, step),
                                   protocol::kNoticeTimeoutS);
  add_rollback_epoch(*s, req.headers);
  auto answer = co_await exchange(s, std::move(req));
  if (auto* u = std::get_if<Unavailable>(&answer)) co_return *u;
  const http::Response& resp = std::get<http::Response>(answer);
  if (auto rb = rollback_answer(*s, resp)) co_return *rb;
  if (auto refused = refusal(resp)) co_return *refused;
  co_return Noted{};
}

RollbackResult read_rollback(const http::Response& resp) {
  if (auto refused = refusal(resp)) return *refused;
  const json body = json::parse(resp.body, nullptr, /*allow_exceptions=*/false);
  const bool complete = body.is_object() && body.contains(field::kStep) && body[field::kStep].is_number_integer() &&
                        body.contains(field::kEpoch) && body[field::kEpoch].is_number_unsigned();
  if (!complete) return Unavailable{"the coordinator's roll-back answer lacks its step or epoch: " + resp.body.substr(0, 200)};
  return RolledBack{body[field::kStep].get<long long>(), body[field::kEpoch].get<unsigned long long>()};
}

Task<RollbackResult> rollback_task(std::shared_ptr<State> s, long long latest_step) {
  const Member& m = s->member;
  http::Request req = json_request(*s, protocol::kRollbackPath, step_body(m.task_id, m.trainer_id, latest_step),
                                   protocol::kNoticeTimeoutS);
  http::Response resp = co_await s->transport(std::move(req));  // its failures are the caller's
  co_return read_rollback(resp);
}

// The wait an exchange announces to the coordinator, so that it answers first.
void announce_limit(std::vector<std::string>& headers, std::optional<double> timeout_s) {
  if (timeout_s && std::isfinite(*timeout_s) && *timeout_s > 0)
    headers.push_back(std::string(protocol::kClientTimeoutHeader) + ": " + float_repr(*timeout_s));
}

NormResult read_norm(const State& s, const http::Response& resp) {
  if (auto rb = rollback_answer(s, resp)) return *rb;
  if (resp.status == protocol::kStatusNeighbourGone || resp.status == protocol::kStatusNeighbourLate)
    return NeighbourMissing{resp.status, "HTTP " + std::to_string(resp.status) + ": " + resp.body.substr(0, 200),
                            refusal(resp)->text};
  if (auto refused = refusal(resp)) return *refused;
  if (auto total = norm_answer_total(resp.body)) return NormTotal{*total};
  return Unavailable{"the coordinator's norm answer lacks its total: " + resp.body.substr(0, 200)};
}

Task<NormResult> norm_task(std::shared_ptr<State> s, long long step, double squared_norm, std::optional<double> timeout_s) {
  const Member& m = s->member;
  const bool limited = timeout_s && std::isfinite(*timeout_s) && *timeout_s > 0;
  http::Request req = json_request(*s, protocol::kNormPath, norm_body(m.task_id, m.trainer_id, step, squared_norm),
                                   limited ? timeout_s : std::nullopt);
  announce_limit(req.headers, timeout_s);
  add_rollback_epoch(*s, req.headers);
  std::optional<http::Response> resp;
  std::string failure;
  bool timed_out = false;
  try {
    resp = co_await s->transport(std::move(req));
  } catch (const TimeoutError& e) {
    failure = e.what();
    timed_out = true;
  } catch (const Error& e) {
    failure = e.what();
  }
  if (!resp) {
    if (timed_out) co_return NeighbourMissing{0, failure, ""};
    co_return Unavailable{failure};
  }
  co_return read_norm(*s, *resp);
}

Task<NoticeResult> report_task(std::shared_ptr<State> s, ProgressReport progress) {
  const Member& m = s->member;
  http::Request req = json_request(*s, protocol::kReportPath, report_body(m.task_id, m.trainer_id, progress),
                                   protocol::kNoticeTimeoutS);
  auto answer = co_await exchange(s, std::move(req));
  if (auto* u = std::get_if<Unavailable>(&answer)) co_return *u;
  if (auto refused = refusal(std::get<http::Response>(answer))) co_return *refused;
  co_return Noted{};
}

}  // namespace

std::optional<Refused> refusal(const http::Response& response) {
  if (in_2xx(response)) return std::nullopt;
  const std::string reason = error_text(response);
  std::string text = reason;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // one warning line stays one line
  return Refused{response.status,
                 "coordinator answered " + std::to_string(response.status) + (text.empty() ? "" : ": " + text), reason};
}

CoordinatorClient::CoordinatorClient(std::string base_url, std::optional<std::string> token, Transport transport)
    : state_(std::make_shared<State>()) {
  if (token && holds_line_break(*token)) throw ValueError("token must not contain a line break or NUL");
  if (!transport) throw ValueError("a coordinator client needs a transport");
  state_->base_url = std::move(base_url);
  state_->token = std::move(token);
  state_->transport = std::move(transport);
}

CoordinatorClient::~CoordinatorClient() = default;

const Member& CoordinatorClient::member() const { return state_->member; }

void CoordinatorClient::set_base_url(std::string base_url) { state_->base_url = std::move(base_url); }

void CoordinatorClient::adopt(std::string task_id, std::string trainer_id) {
  state_->member.task_id = std::move(task_id);
  state_->member.trainer_id = std::move(trainer_id);
}

void CoordinatorClient::set_secret(std::optional<std::string> secret) {
  if (secret && holds_line_break(*secret)) throw ValueError("a member secret must not contain a line break or NUL");
  state_->member.secret = std::move(secret);
}

void CoordinatorClient::set_rollback_epoch(std::optional<unsigned long long> epoch) { state_->member.rollback_epoch = epoch; }

Task<JoinResult> CoordinatorClient::join(std::string task_id, std::string trainer_id, long long memory_bytes, bool has_gpu,
                                         double timeout_s, JoinOptions options) {
  return join_task(state_, std::move(task_id), std::move(trainer_id), memory_bytes, has_gpu, timeout_s,
                   std::move(options));
}

Task<NoticeResult> CoordinatorClient::ready(long long pipeline_position) { return ready_task(state_, pipeline_position); }

Task<LeaveResult> CoordinatorClient::leave(std::optional<std::string> error) { return leave_task(state_, std::move(error)); }

Task<PostResult> CoordinatorClient::post(Relay relay, std::string to, long long micro_batch, std::string body,
                                         std::optional<double> loss, std::optional<double> timeout_s,
                                         std::optional<std::string> codec) {
  return post_task(state_, relay, std::move(to), micro_batch, std::move(body), loss, timeout_s, std::move(codec));
}

Task<FetchResult> CoordinatorClient::fetch(Relay relay, long long micro_batch, std::optional<double> timeout_s) {
  return fetch_task(state_, relay, micro_batch, timeout_s);
}

Task<CheckpointResult> CoordinatorClient::report_checkpoint(long long step) { return checkpoint_task(state_, step); }

Task<RollbackResult> CoordinatorClient::request_rollback(long long latest_step) {
  return rollback_task(state_, latest_step);
}

Task<NormResult> CoordinatorClient::exchange_norm(long long step, double squared_norm, std::optional<double> timeout_s) {
  // Checked here, not in the Task: the caller learns of its mistake at the call.
  if (!std::isfinite(squared_norm) || squared_norm < 0)
    throw ValueError("a squared gradient norm must be finite and not negative, got " + float_repr(squared_norm));
  return norm_task(state_, step, squared_norm, timeout_s);
}

Task<NoticeResult> CoordinatorClient::report(ProgressReport progress) { return report_task(state_, std::move(progress)); }

}  // namespace korvane::carrowel::client
