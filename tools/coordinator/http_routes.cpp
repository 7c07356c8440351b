#include "tools/coordinator/http_routes.hpp"

#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <strings.h>

#include "tools/coordinator/held_request.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/live_view.hpp"
#include "tools/coordinator/scope_exit.hpp"
#include "tools/coordinator/service_log.hpp"

#include <boost/asio/use_awaitable.hpp>

namespace korvane::coordinator {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates,
// nothing past U+10FFFF. Identifiers are text, and they go back out in JSON.
bool valid_utf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p++;
    if (c < 0x80) continue;
    int n;
    unsigned lo = 0x80, hi = 0xbf;  // the allowed range of the first continuation byte
    if (c >= 0xc2 && c <= 0xdf) {
      n = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      n = 2;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      n = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (end - p < n || *p < lo || *p > hi) return false;
    for (++p, --n; n > 0; --n, ++p)
      if (*p < 0x80 || *p > 0xbf) return false;
  }
  return true;
}

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using asio::awaitable;

void send_json(HttpResponse& res, int status, const nlohmann::ordered_json& body) {
  res.set_body(status, body.dump(), "application/json");
}

void send_error(HttpResponse& res, int status, const std::string& message) {
  send_json(res, status, {{field::kError, message}});
}

std::string seconds_text(std::chrono::milliseconds d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(d.count()) / 1000.0);
  return buf;
}

std::string in_quotes(const std::string& s) {
  std::string out(1, '\'');
  out += printable(s);
  out += '\'';
  return out;
}

// Decimal digits only, as the trainers write micro-batch numbers.
std::optional<std::uint64_t> parse_micro_batch(const std::string& s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s[0] == '-' || s[0] == '+') return std::nullopt;
  return v;
}

class Routes {
 public:
  explicit Routes(Service& s) : s_(s) {}

  // Reads a required identifier; on failure answers 400 and returns nullopt.
  std::optional<std::string> id_field(const std::string& what, const std::optional<std::string>& value,
                                      HttpResponse& res) const {
    if (!value || value->empty()) {
      send_error(res, 400, "missing " + what);
      return std::nullopt;
    }
    if (value->size() > s_.limits.max_id_length) {
      send_error(res, 400, what + " longer than " + std::to_string(s_.limits.max_id_length) + " bytes");
      return std::nullopt;
    }
    if (std::any_of(value->begin(), value->end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      send_error(res, 400, what + " holds a control character");
      return std::nullopt;
    }
    if (!valid_utf8(*value)) {
      send_error(res, 400, what + " is not valid UTF-8");
      return std::nullopt;
    }
    return value;
  }

  static std::optional<std::uint64_t> micro_batch_field(const std::string& what,
                                                        const std::optional<std::string>& value,
                                                        HttpResponse& res) {
    auto mb = value ? parse_micro_batch(*value) : std::nullopt;
    if (!mb) send_error(res, 400, what + " must be a decimal integer");
    return mb;
  }

  std::optional<json> json_object(const HttpRequest& req, HttpResponse& res) const {
    // The server has already refused bodies over the route's limit.
    json j = json::parse(req.body, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) {
      send_error(res, 400, "body is not valid JSON");
      return std::nullopt;
    }
    if (!j.is_object()) {
      send_error(res, 400, "body must be a JSON object");
      return std::nullopt;
    }
    return j;
  }

  std::optional<std::string> json_id(const json& j, const char* key, HttpResponse& res) const {
    auto it = j.find(key);
    if (it == j.end()) return id_field(std::string("\"") + key + "\"", std::nullopt, res);
    if (!it->is_string()) {
      send_error(res, 400, std::string("\"") + key + "\" must be a string");
      return std::nullopt;
    }
    return id_field(std::string("\"") + key + "\"", it->get<std::string>(), res);
  }

  // The JSON object of a join or ready body with its two identifiers.
  struct MemberBody {
    json j;
    std::string task_id, trainer_id;
  };
  std::optional<MemberBody> member_body(const HttpRequest& req, HttpResponse& res) const {
    auto j = json_object(req, res);
    if (!j) return std::nullopt;
    auto task_id = json_id(*j, field::kTaskId, res);
    if (!task_id) return std::nullopt;
    auto trainer_id = json_id(*j, field::kTrainerId, res);
    if (!trainer_id) return std::nullopt;
    return MemberBody{std::move(*j), std::move(*task_id), std::move(*trainer_id)};
  }

  // The roll-back epoch a relay request names, if it names one it can be read as.
  static std::optional<std::uint64_t> rollback_epoch(const HttpRequest& req) {
    const std::string* v = req.header(kRollbackEpochHeader);
    return v ? parse_micro_batch(*v) : std::nullopt;
  }

  // A refused access; a roll-back the request missed also says which step to reload.
  static void send_refusal(HttpResponse& res, const TaskRegistry::Access& access) {
    send_error(res, access.status, access.error);
    if (access.rollback_epoch) {
      res.headers.emplace_back(kRollbackEpochHeader, std::to_string(*access.rollback_epoch));
      res.headers.emplace_back(kRollbackStepHeader, std::to_string(access.rollback_step));
    }
  }

  static std::optional<std::string> header(const HttpRequest& req, const char* name) {
    const std::string* v = req.header(name);
    return v ? std::optional<std::string>(*v) : std::nullopt;
  }
  static std::optional<std::string> param(const HttpRequest& req, const char* name) {
    const std::string* v = req.param(name);
    return v ? std::optional<std::string>(*v) : std::nullopt;
  }
  bool strict() const { return s_.token.has_value(); }

  // The longest wait a client will see out: its own announced limit, less a margin so
  // that our answer reaches it before it gives up. nullopt after answering 400.
  static std::optional<std::chrono::milliseconds> client_limit(const HttpRequest& req, std::chrono::milliseconds wait,
                                                               HttpResponse& res) {
    return announced_wait(req, wait, res);
  }

  // What this coordinator offers beyond the plain protocol, for the join answer.
  nlohmann::ordered_json features() const {
    nlohmann::ordered_json f = {kFeatureCodecs, kFeatureTensorLists, kFeatureStage};
    if (s_.norms) f.push_back(kFeatureNorms);
    if (s_.reports) f.push_back(kFeatureReports);
    f.push_back(kFeatureLanes);
    if (s_.keys) f.push_back(kFeatureStore);
    f.push_back(kFeatureRegroup);
    return f;
  }

  // A codec name of a join body or an X-Codec header: one the protocol knows.
  static bool codec_name(const std::string& what, const std::string& name, HttpResponse& res) {
    if (known_codec(name)) return true;
    std::string known;
    for (const char* c : kCodecNames) known += (known.empty() ? "" : ", ") + std::string(c);
    // Shown cut short and as plain ASCII: the name may be any bytes a client sent.
    std::string shown = name.substr(0, kMaxCodecNameLength);
    for (char& c : shown)
      if (c < 0x20 || c > 0x7e) c = '?';
    if (name.size() > kMaxCodecNameLength) shown += "...";
    send_error(res, 400, what + " names an unknown codec " + in_quotes(shown) + " (known: " + known + ")");
    return false;
  }

  // The codecs and stage a join body asks for, each optional; nullopt after answering 400.
  struct JoinTerms {
    CodecPair codecs = default_codecs();
    std::optional<std::int64_t> stage;
    bool named = false;  // the body named any of them
  };
  std::optional<JoinTerms> join_terms(const json& j, HttpResponse& res) const {
    JoinTerms t;
    for (auto [key, out] : {std::pair{field::kActivationCodec, &t.codecs.activation},
                            std::pair{field::kGradientCodec, &t.codecs.gradient}}) {
      auto it = j.find(key);
      if (it == j.end()) continue;
      t.named = true;
      if (!it->is_string()) {
        send_error(res, 400, std::string("\"") + key + "\" must be a string");
        return std::nullopt;
      }
      if (!codec_name(std::string("\"") + key + "\"", it->get<std::string>(), res)) return std::nullopt;
      *out = it->get<std::string>();
    }
    if (auto it = j.find(field::kStage); it != j.end()) {
      t.named = true;
      const auto stages = s_.registry.config().stages;
      if (!it->is_number_integer()) {
        send_error(res, 400, "\"stage\" must be an integer");
        return std::nullopt;
      }
      const bool in_range = it->is_number_unsigned() ? it->get<std::uint64_t>() < static_cast<std::uint64_t>(stages)
                                                     : it->get<std::int64_t>() >= 0 && it->get<std::int64_t>() < stages;
      if (!in_range) {
        send_error(res, 400, "\"stage\" is out of range: this coordinator's tasks have stages 0 to " +
                                 std::to_string(stages - 1));
        return std::nullopt;
      }
      t.stage = it->get<std::int64_t>();
    }
    return t;
  }

  awaitable<void> join(HttpRequest& req, HttpResponse& res, Hold& hold) {
    auto body = member_body(req, res);
    if (!body) co_return;
    const json& j = body->j;
    auto mem = j.find(field::kMemoryBytes);
    if (mem == j.end() || !mem->is_number_integer() || (!mem->is_number_unsigned() && mem->get<std::int64_t>() < 0)) {
      send_error(res, 400, "\"memory_bytes\" must be a non-negative integer");
      co_return;
    }
    auto gpu = j.find(field::kHasGpu);
    if (gpu == j.end() || !gpu->is_boolean()) {
      send_error(res, 400, "\"has_gpu\" must be a boolean");
      co_return;
    }
    auto terms = join_terms(j, res);
    if (!terms) co_return;
    auto wait = client_limit(req, s_.limits.join_wait, res);
    if (!wait) co_return;
    JoinRequest jr;
    jr.codecs = terms->codecs;
    jr.stage = terms->stage;
    jr.task_id = body->task_id;
    jr.trainer_id = body->trainer_id;
    jr.memory_bytes = mem->get<std::uint64_t>();
    jr.has_gpu = gpu->get<bool>();
    const std::string* want = req.header(kSecretRequestHeader);
    jr.wants_secret = want && *want == kSecretRequestValue;
    jr.secret = header(req, kSecretHeader);
    HoldLimiter::Slot slot(s_.holds, req.peer, jr.task_id);
    jr.may_wait = static_cast<bool>(slot);

    const auto stages = s_.registry.config().stages * s_.registry.config().replicas;
    const std::string who = "task=" + in_quotes(jr.task_id) + " trainer=" + in_quotes(jr.trainer_id);
    const auto deadline = Clock::now() + *wait;
    auto waiter = hold.waiter();
    auto r = s_.registry.join(jr, waiter);
    using S = TaskRegistry::JoinStatus;
    if (r.status == S::assigned || r.status == S::waiting)
      log_line("join " + who + " memory_bytes=" + std::to_string(jr.memory_bytes) +
               " has_gpu=" + (jr.has_gpu ? "true" : "false") + ": " + std::to_string(r.joined) + "/" +
               std::to_string(stages) + " joined");
    while (r.status == S::waiting) {
      const Hold::End end = co_await hold.wait(*waiter, deadline);
      r = s_.registry.poll_join(jr.task_id, jr.trainer_id, r.run);
      if (r.status != S::waiting || end == Hold::End::woken) continue;
      s_.registry.abandon_join(jr.task_id, jr.trainer_id, r.run, waiter.get());
      r = s_.registry.poll_join(jr.task_id, jr.trainer_id, r.run);  // it may have formed meanwhile
      if (r.status == S::assigned) break;
      if (end == Hold::End::client_gone) {
        log_line("join " + who + " abandoned: the client went away");
        res.drop = true;
        co_return;
      }
      r.status = end == Hold::End::timed_out ? S::refused : S::shutting_down;
      if (end == Hold::End::timed_out) {
        log_line("join " + who + " gave up: task incomplete");
        send_error(res, 504, "task " + in_quotes(jr.task_id) + " did not gather its " + std::to_string(stages) +
                                 " trainers within " + seconds_text(*wait));
        co_return;
      }
    }
    switch (r.status) {
      case S::assigned: {
        const Assignment& a = r.assignment;
        if (!r.rejoined && static_cast<std::int64_t>(r.joined) == stages)
          log_line("task " + in_quotes(jr.task_id) + " complete with " + std::to_string(stages) + " trainers");
        nlohmann::ordered_json out = {
            {field::kLayerStart, a.slice.start},
            {field::kLayerEnd, a.slice.end},
            {field::kPipelinePosition, a.pipeline_position},
            {field::kUpstreamTrainer, a.upstream ? json(*a.upstream) : json(nullptr)},
            {field::kDownstreamTrainer, a.downstream ? json(*a.downstream) : json(nullptr)},
            {field::kLayerWeightsHash, a.layer_weights_hash},
        };
        if (r.secret) out[field::kMemberSecret] = *r.secret;
        // A join that speaks beyond the plain protocol (it asks for or presents a member
        // secret, as korvane's trainers do, or names a codec or a stage) learns the
        // task's codecs (an assigned member asked for them) and what else is offered; a
        // plain join gets the plain answer, unless the task has lanes: then every member
        // must learn its lane and group.
        const bool lanes = s_.registry.config().replicas > 1;
        if (jr.wants_secret || jr.secret || terms->named || lanes) {
          out[field::kActivationCodec] = jr.codecs.activation;
          out[field::kGradientCodec] = jr.codecs.gradient;
          out[field::kFeatures] = features();
          out[field::kLane] = a.lane;
          out[field::kLanes] = a.lanes;
        }
        if (r.group)
          out[field::kGroup] = {{field::kGeneration, r.group->generation},
                                {field::kRank, r.group->rank},
                                {field::kWorldSize, r.group->lanes.size()}};
        send_json(res, 200, out);
        co_return;
      }
      case S::refused:
        log_line("join " + who + " refused: " + printable(r.error));
        send_error(res, 409, r.error);
        co_return;
      case S::busy:
        log_line("join " + who + " refused: " + busy_text(slot.refusal(), jr.task_id));
        send_error(res, 503, busy_text(slot.refusal(), jr.task_id));
        co_return;
      case S::too_many_tasks:
        log_line("join " + who + " refused: too many tasks");
        send_error(res, 503, "too many tasks are forming or running");
        co_return;
      case S::waiting:
      case S::shutting_down:
        send_error(res, 503, "coordinator is shutting down");
        co_return;
    }
  }

  void ready(HttpRequest& req, HttpResponse& res) {
    auto body = member_body(req, res);
    if (!body) return;
    const json* j = &body->j;
    const std::string* task_id = &body->task_id;
    const std::string* trainer_id = &body->trainer_id;
    auto pos = j->find(field::kPipelinePosition);
    if (pos == j->end() || !pos->is_number_integer()) {
      send_error(res, 400, "\"pipeline_position\" must be an integer");
      return;
    }
    const auto position = pos->is_number_unsigned() && pos->get<std::uint64_t>() > INT64_MAX
                              ? std::int64_t{-1}
                              : pos->get<std::int64_t>();
    const auto stages = s_.registry.config().stages;
    const std::string who = "task=" + in_quotes(*task_id) + " trainer=" + in_quotes(*trainer_id) +
                            " position=" + std::to_string(position);
    auto r = s_.registry.ready(*task_id, *trainer_id, position, header(req, kSecretHeader));
    using S = TaskRegistry::ReadyStatus;
    switch (r.status) {
      case S::recorded:
        log_line("ready " + who + ": " + std::to_string(r.ready) + "/" + std::to_string(stages) + " ready");
        send_json(res, 200, {{field::kStatus, "ready"}, {field::kReady, r.ready}, {field::kStages, stages}});
        return;
      case S::unknown_trainer:
        log_line("ready " + who + " refused: not a member of a complete task");
        send_error(res, 404, "trainer " + in_quotes(*trainer_id) + " holds no assignment in task " + in_quotes(*task_id));
        return;
      case S::forbidden:
        log_line("ready " + who + " refused: no member secret");
        send_error(res, 403, "the request does not carry the member secret of trainer " + in_quotes(*trainer_id));
        return;
      case S::wrong_position:
        log_line("ready " + who + " refused: assigned position is " + std::to_string(r.assigned_position));
        send_error(res, 409, "trainer " + in_quotes(*trainer_id) + " was assigned position " +
                                 std::to_string(r.assigned_position));
        return;
    }
  }

  void leave(HttpRequest& req, HttpResponse& res) {
    auto body = member_body(req, res);
    if (!body) return;
    std::optional<std::string> error;
    if (auto e = body->j.find(field::kError); e != body->j.end() && !e->is_null()) {
      if (!e->is_string()) {
        send_error(res, 400, "\"error\" must be a string");
        return;
      }
      error = printable(e->get<std::string>());
    }
    std::string why;
    const int status = s_.registry.leave(body->task_id, body->trainer_id, header(req, kSecretHeader), error, why);
    const std::string who = "task=" + in_quotes(body->task_id) + " trainer=" + in_quotes(body->trainer_id);
    if (status != 0) {
      log_line("leave " + who + " refused: " + printable(why));
      send_error(res, status, why);
      return;
    }
    log_line("leave " + who + (error ? " failed: " + *error : std::string()));
    send_json(res, 200, {{"status", "left"}});
  }

  void post_message(RelayKind kind, HttpRequest& req, HttpResponse& res) {
    auto task_id = id_field(std::string(kTaskIdHeader) + " header", header(req, kTaskIdHeader), res);
    if (!task_id) return;
    auto from = id_field(std::string(kFromTrainerHeader) + " header", header(req, kFromTrainerHeader), res);
    if (!from) return;
    auto to = id_field(std::string(kToTrainerHeader) + " header", header(req, kToTrainerHeader), res);
    if (!to) return;
    auto mb = micro_batch_field(std::string(kMicroBatchHeader) + " header", header(req, kMicroBatchHeader), res);
    if (!mb) return;
    const auto flow = kind == RelayKind::activation ? TaskRegistry::Flow::downstream : TaskRegistry::Flow::upstream;
    auto access = s_.registry.check_post(*task_id, *from, *to, header(req, kSecretHeader), strict(),
                                         rollback_epoch(req), flow);
    if (!access.ok()) {
      send_refusal(res, access);
      return;
    }
    auto codec = header(req, kCodecHeader);
    if (codec && !codec_name(std::string(kCodecHeader) + " header", *codec, res)) return;
    RelayMessage m{*from, std::nullopt, std::make_shared<const std::string>(std::move(req.body))};
    if (kind == RelayKind::gradient) m.loss = header(req, kLossHeader);
    m.codec = std::move(codec);

    using S = RelayStore::PostStatus;
    switch (s_.store.post({kind, access.scope, *to, *mb}, std::move(m), access.run != 0, access.exclusive)) {
      case S::stored:
        send_json(res, 200, {{"status", "stored"}});
        return;
      case S::replaced:
        send_json(res, 200, {{"status", "replaced"}});
        return;
      case S::conflict:
        send_error(res, 409, std::string("another trainer's ") + relay_kind_name(kind) + " for trainer " + in_quotes(*to) +
                                 " micro-batch " + std::to_string(*mb) + " is already held");
        return;
      case S::task_full:
        send_error(res, 429, "task " + in_quotes(*task_id) + " holds too many messages");
        return;
      case S::store_full:
        send_error(res, 507, "relay store is full");
        return;
      case S::too_many_tasks:
        send_error(res, 503, "too many tasks hold messages");
        return;
      case S::shutting_down:
        send_error(res, 503, "coordinator is shutting down");
        return;
    }
  }

  awaitable<void> fetch_message(RelayKind kind, HttpRequest& req, HttpResponse& res, Hold& hold) {
    auto task_id = id_field(std::string(kTaskIdParam) + " parameter", param(req, kTaskIdParam), res);
    if (!task_id) co_return;
    auto trainer_id = id_field(std::string(kTrainerIdParam) + " parameter", param(req, kTrainerIdParam), res);
    if (!trainer_id) co_return;
    auto mb = micro_batch_field(std::string(kMicroBatchParam) + " parameter", param(req, kMicroBatchParam), res);
    if (!mb) co_return;
    auto wait = s_.limits.fetch_wait;
    if (auto w = param(req, kWaitParam)) {
      char* end = nullptr;
      const double secs = std::strtod(w->c_str(), &end);
      if (w->empty() || end != w->c_str() + w->size() || !std::isfinite(secs) || secs < 0) {
        send_error(res, 400, "wait parameter must be a non-negative number of seconds");
        co_return;
      }
      const double capped = std::min(secs * 1000.0, static_cast<double>(s_.limits.max_wait.count()));
      wait = std::chrono::milliseconds(static_cast<std::int64_t>(capped));
    }
    auto limit = client_limit(req, wait, res);
    if (!limit) co_return;
    wait = *limit;
    const auto epoch = rollback_epoch(req);
    auto access = s_.registry.check_fetch(*task_id, *trainer_id, header(req, kSecretHeader), strict(), epoch);
    if (!access.ok()) {
      send_refusal(res, access);
      co_return;
    }

    const RelayKey key{kind, access.scope, *trainer_id, *mb};
    const auto deadline = Clock::now() + wait;
    auto waiter = hold.waiter();
    s_.registry.hold(*task_id, access.run, *trainer_id, +1);
    ScopeExit done{[&] {
      s_.store.cancel_wait(key, waiter.get());
      s_.registry.hold(*task_id, access.run, *trainer_id, -1);
    }};
    std::optional<HoldLimiter::Slot> slot;
    for (;;) {
      auto r = s_.store.fetch(key, waiter);
      using S = RelayStore::FetchStatus;
      if (r.status == S::delivered) {
        res.status = 200;
        res.headers.emplace_back(kFromTrainerHeader, r.message.sender);
        if (r.message.loss) res.headers.emplace_back(kLossHeader, *r.message.loss);
        if (r.message.codec) res.headers.emplace_back(kCodecHeader, *r.message.codec);
        res.content_type = "application/octet-stream";
        res.body = r.message.body;  // shared: repeated and concurrent fetches copy nothing
        co_return;
      }
      if (r.status == S::shutting_down) {
        send_error(res, 503, "coordinator is shutting down");
        co_return;
      }
      if (auto stale = s_.registry.rolled_back_since(*task_id, access.run, epoch)) {
        send_refusal(res, *stale);
        co_return;
      }
      if (auto why = s_.registry.fetch_blocker(*task_id, access.run, *trainer_id, kind == RelayKind::gradient)) {
        send_error(res, 410, *why);
        co_return;
      }
      if (Clock::now() >= deadline) {
        send_error(res, 504, std::string("no ") + relay_kind_name(kind) + " for trainer " + in_quotes(*trainer_id) +
                                 " micro-batch " + std::to_string(*mb) + " within " + seconds_text(wait));
        co_return;
      }
      if (!co_await wait_for_change(s_.holds, slot, req, *task_id, res, hold, *waiter, deadline)) co_return;
    }
  }

  void status(HttpResponse& res, const HttpServer& server) const {
    const auto st = s_.store.stats();
    const auto reg = s_.registry.stats();
    send_json(res, 200,
              {{"messages", st.messages},
               {"bytes", st.bytes},
               {"relay_tasks", st.tasks},
               {"waiting_fetches", st.waiting},
               {"held_requests", s_.holds.held()},
               {"max_held_requests", s_.holds.limit()},
               {"tasks", reg.tasks},
               {"active_members", reg.active},
               {"connections", server.connections()},
               {"body_bytes_in_transit", server.body_bytes()}});
  }

 private:
  Service& s_;
};

}  // namespace

std::optional<std::chrono::milliseconds> announced_wait(const HttpRequest& req, std::chrono::milliseconds wait,
                                                        HttpResponse& res) {
  const std::string* v = req.header(kClientTimeoutHeader);
  if (!v) return wait;
  char* end = nullptr;
  const double secs = std::strtod(v->c_str(), &end);
  if (v->empty() || end != v->c_str() + v->size() || !std::isfinite(secs) || secs <= 0) {
    send_error(res, 400, std::string(kClientTimeoutHeader) + " must be a positive number of seconds");
    return std::nullopt;
  }
  const double margin = std::min(0.5, secs / 10.0);
  const double ms = std::min((secs - margin) * 1000.0, static_cast<double>(wait.count()));
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::max(0.0, ms)));
}

std::string quoted_id(const std::string& s) { return in_quotes(s); }

void install_routes(HttpServer& server, Service& service) {
  auto routes = std::make_shared<Routes>(service);
  const RouteLimits limits = service.limits;
  const std::optional<std::string> token = service.token;

  // Runs before the body is read: a request without the token never gets its body read.
  // Relayed bytes are stored as sent, and a compressed body could expand without bound.
  server.set_head_check([token](const HttpRequest& req, HttpResponse& res) {
    if (token && !presents_token(req, *token)) {
      send_error(res, 401, "this coordinator needs a bearer token (Authorization: Bearer ...)");
      // A browser asks its user for a password only when offered Basic.
      res.headers.emplace_back("WWW-Authenticate",
                               browser_path(req.path) ? "Basic realm=\"korvane-coordinator\", charset=\"UTF-8\"" : "Bearer");
      return true;
    }
    const std::string* enc = req.header("Content-Encoding");
    if (!enc || enc->empty() || *enc == "identity") return false;
    send_error(res, 415, "Content-Encoding is not accepted");
    res.close = true;
    return true;
  });
  server.set_error_writer([](HttpResponse& res, int status, const std::string& message) {
    send_error(res, status, printable(message));
  });

  using Handler = HttpServer::Handler;
  const auto sync = [routes](void (Routes::*handler)(HttpRequest&, HttpResponse&)) -> Handler {
    return [routes, handler](HttpRequest& req, HttpResponse& res, Hold&) -> awaitable<void> {
      ((*routes).*handler)(req, res);
      co_return;
    };
  };
  server.route("POST", kJoinPath, limits.max_json_body,
               [routes](HttpRequest& req, HttpResponse& res, Hold& hold) { return routes->join(req, res, hold); });
  server.route("POST", kReadyPath, limits.max_json_body, sync(&Routes::ready));
  server.route("POST", kLeavePath, limits.max_json_body, sync(&Routes::leave));
  for (RelayKind kind : {RelayKind::activation, RelayKind::gradient}) {
    const std::string path = kind == RelayKind::activation ? kActivationPath : kGradientPath;
    server.route("POST", path, limits.max_body,
                 [routes, kind](HttpRequest& req, HttpResponse& res, Hold&) -> awaitable<void> {
                   routes->post_message(kind, req, res);
                   co_return;
                 });
    server.route("GET", path, 0, [routes, kind](HttpRequest& req, HttpResponse& res, Hold& hold) {
      return routes->fetch_message(kind, req, res, hold);
    });
  }
  install_rollback_routes(server, service);
  install_lane_routes(server, service);
  install_member_routes(server, service);
  server.route("GET", kStatusPath, 0, [routes, &server](HttpRequest&, HttpResponse& res, Hold&) -> awaitable<void> {
    routes->status(res, server);
    co_return;
  });
}

}  // namespace korvane::coordinator
