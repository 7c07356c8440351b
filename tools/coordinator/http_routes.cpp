#include "tools/coordinator/http_routes.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

void send_json(HttpResponse& res, int status, const nlohmann::ordered_json& body) {
  res.set_body(status, body.dump(), "application/json");
}

void send_error(HttpResponse& res, int status, const std::string& message) {
  send_json(res, status, {{"error", message}});
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
    auto task_id = json_id(*j, "task_id", res);
    if (!task_id) return std::nullopt;
    auto trainer_id = json_id(*j, "trainer_id", res);
    if (!trainer_id) return std::nullopt;
    return MemberBody{std::move(*j), std::move(*task_id), std::move(*trainer_id)};
  }

  void join(const HttpRequest& req, HttpResponse& res) {
    auto body = member_body(req, res);
    if (!body) return;
    const json* j = &body->j;
    const std::string* task_id = &body->task_id;
    const std::string* trainer_id = &body->trainer_id;
    auto mem = j->find("memory_bytes");
    if (mem == j->end() || !mem->is_number_integer() || (!mem->is_number_unsigned() && mem->get<std::int64_t>() < 0)) {
      send_error(res, 400, "\"memory_bytes\" must be a non-negative integer");
      return;
    }
    auto gpu = j->find("has_gpu");
    if (gpu == j->end() || !gpu->is_boolean()) {
      send_error(res, 400, "\"has_gpu\" must be a boolean");
      return;
    }
    JoinRequest jr{*task_id, *trainer_id, mem->get<std::uint64_t>(), gpu->get<bool>()};
    const auto stages = s_.registry.config().stages;
    const std::string who = "task=" + in_quotes(jr.task_id) + " trainer=" + in_quotes(jr.trainer_id);

    auto r = s_.registry.join(jr, Clock::now() + s_.limits.join_wait, [&](std::size_t joined) {
      log_line("join " + who + " memory_bytes=" + std::to_string(jr.memory_bytes) +
               " has_gpu=" + (jr.has_gpu ? "true" : "false") + ": " + std::to_string(joined) + "/" +
               std::to_string(stages) + " joined");
    });
    using S = TaskRegistry::JoinStatus;
    switch (r.status) {
      case S::assigned: {
        const Assignment& a = r.assignment;
        if (!r.rejoined && static_cast<std::int64_t>(r.joined) == stages)
          log_line("task " + in_quotes(jr.task_id) + " complete with " + std::to_string(stages) + " trainers");
        nlohmann::ordered_json body = {
            {"layer_start", a.slice.start},
            {"layer_end", a.slice.end},
            {"pipeline_position", a.pipeline_position},
            {"upstream_trainer", a.upstream ? json(*a.upstream) : json(nullptr)},
            {"downstream_trainer", a.downstream ? json(*a.downstream) : json(nullptr)},
            {"layer_weights_hash", a.layer_weights_hash},
        };
        send_json(res, 200, body);
        return;
      }
      case S::duplicate:
        log_line("join " + who + " refused: id already joined");
        send_error(res, 409, "trainer " + in_quotes(jr.trainer_id) + " has already joined task " + in_quotes(jr.task_id));
        return;
      case S::timed_out:
        log_line("join " + who + " gave up: task incomplete");
        send_error(res, 504, "task " + in_quotes(jr.task_id) + " did not gather its " + std::to_string(stages) +
                                 " trainers within " + seconds_text(s_.limits.join_wait));
        return;
      case S::busy:
        log_line("join " + who + " refused: too many waiting requests");
        send_error(res, 503, "too many requests waiting at the coordinator");
        return;
      case S::too_many_tasks:
        log_line("join " + who + " refused: too many tasks");
        send_error(res, 503, "too many tasks are forming");
        return;
      case S::shutting_down:
        send_error(res, 503, "coordinator is shutting down");
        return;
    }
  }

  void ready(const HttpRequest& req, HttpResponse& res) {
    auto body = member_body(req, res);
    if (!body) return;
    const json* j = &body->j;
    const std::string* task_id = &body->task_id;
    const std::string* trainer_id = &body->trainer_id;
    auto pos = j->find("pipeline_position");
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
    auto r = s_.registry.ready(*task_id, *trainer_id, position);
    using S = TaskRegistry::ReadyStatus;
    switch (r.status) {
      case S::recorded:
        log_line("ready " + who + ": " + std::to_string(r.ready) + "/" + std::to_string(stages) + " ready");
        send_json(res, 200, {{"status", "ready"}, {"ready", r.ready}, {"stages", stages}});
        return;
      case S::unknown_trainer:
        log_line("ready " + who + " refused: not a member of a complete task");
        send_error(res, 404, "trainer " + in_quotes(*trainer_id) + " holds no assignment in task " + in_quotes(*task_id));
        return;
      case S::wrong_position:
        log_line("ready " + who + " refused: assigned position is " + std::to_string(r.assigned_position));
        send_error(res, 409, "trainer " + in_quotes(*trainer_id) + " was assigned position " +
                                 std::to_string(r.assigned_position));
        return;
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

  void post_message(RelayKind kind, HttpRequest& req, HttpResponse& res) {
    auto task_id = id_field("X-Task-ID header", header(req, "X-Task-ID"), res);
    if (!task_id) return;
    auto from = id_field("X-From-Trainer header", header(req, "X-From-Trainer"), res);
    if (!from) return;
    auto to = id_field("X-To-Trainer header", header(req, "X-To-Trainer"), res);
    if (!to) return;
    auto mb = micro_batch_field("X-Micro-Batch header", header(req, "X-Micro-Batch"), res);
    if (!mb) return;
    RelayMessage m{*from, std::nullopt, std::make_shared<const std::string>(std::move(req.body))};
    if (kind == RelayKind::gradient) m.loss = header(req, "X-Loss");

    using S = RelayStore::PostStatus;
    switch (s_.store.post({kind, *task_id, *to, *mb}, std::move(m))) {
      case S::stored:
        send_json(res, 200, {{"status", "stored"}});
        return;
      case S::replaced:
        send_json(res, 200, {{"status", "replaced"}});
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

  void fetch_message(RelayKind kind, const HttpRequest& req, HttpResponse& res) {
    auto task_id = id_field("task_id parameter", param(req, "task_id"), res);
    if (!task_id) return;
    auto trainer_id = id_field("trainer_id parameter", param(req, "trainer_id"), res);
    if (!trainer_id) return;
    auto mb = micro_batch_field("micro_batch parameter", param(req, "micro_batch"), res);
    if (!mb) return;
    auto wait = s_.limits.fetch_wait;
    if (auto w = param(req, "wait")) {
      char* end = nullptr;
      const double secs = std::strtod(w->c_str(), &end);
      if (w->empty() || end != w->c_str() + w->size() || !std::isfinite(secs) || secs < 0) {
        send_error(res, 400, "wait parameter must be a non-negative number of seconds");
        return;
      }
      const double capped = std::min(secs * 1000.0, static_cast<double>(s_.limits.max_wait.count()));
      wait = std::chrono::milliseconds(static_cast<std::int64_t>(capped));
    }

    const RelayKey key{kind, *task_id, *trainer_id, *mb};
    auto r = s_.store.fetch(key, Clock::now() + wait);
    using S = RelayStore::FetchStatus;
    switch (r.status) {
      case S::delivered: {
        res.status = 200;
        res.headers.emplace_back("X-From-Trainer", r.message.sender);
        if (r.message.loss) res.headers.emplace_back("X-Loss", *r.message.loss);
        res.content_type = "application/octet-stream";
        res.body = r.message.body;  // shared: repeated and concurrent fetches copy nothing
        return;
      }
      case S::timed_out:
        send_error(res, 504, std::string("no ") + relay_kind_name(kind) + " for trainer " + in_quotes(*trainer_id) +
                                 " micro-batch " + std::to_string(*mb) + " within " + seconds_text(wait));
        return;
      case S::busy:
        send_error(res, 503, "too many requests waiting at the coordinator");
        return;
      case S::shutting_down:
        send_error(res, 503, "coordinator is shutting down");
        return;
    }
  }

  void status(HttpResponse& res) const {
    const auto st = s_.store.stats();
    send_json(res, 200,
              {{"messages", st.messages},
               {"bytes", st.bytes},
               {"relay_tasks", st.tasks},
               {"waiting_fetches", st.waiting},
               {"held_requests", s_.holds.held()},
               {"max_held_requests", s_.holds.limit()}});
  }

 private:
  Service& s_;
};

}  // namespace

void install_routes(HttpServer& server, Service& service) {
  auto routes = std::make_shared<Routes>(service);
  const RouteLimits limits = service.limits;

  // Runs before the body is read. Relayed bytes are stored as sent, and a compressed
  // body could also expand without bound.
  server.set_head_check([](const HttpRequest& req, HttpResponse& res) {
    const std::string* enc = req.header("Content-Encoding");
    if (!enc || enc->empty() || *enc == "identity") return false;
    send_error(res, 415, "Content-Encoding is not accepted");
    res.close = true;
    return true;
  });
  server.set_error_writer([](HttpResponse& res, int status, const std::string& message) {
    send_error(res, status, printable(message));
  });

  const auto json_route = [&](const char* path, void (Routes::*handler)(const HttpRequest&, HttpResponse&)) {
    server.route("POST", path, limits.max_json_body,
                 [routes, handler](HttpRequest& req, HttpResponse& res) { ((*routes).*handler)(req, res); });
  };
  json_route("/pipeline/join", &Routes::join);
  json_route("/pipeline/ready", &Routes::ready);
  for (RelayKind kind : {RelayKind::activation, RelayKind::gradient}) {
    const std::string path = std::string("/pipeline/") + relay_kind_name(kind);
    server.route("POST", path, limits.max_body,
                 [routes, kind](HttpRequest& req, HttpResponse& res) { routes->post_message(kind, req, res); });
    server.route("GET", path, 0,
                 [routes, kind](HttpRequest& req, HttpResponse& res) { routes->fetch_message(kind, req, res); });
  }
  server.route("GET", "/status", 0, [routes](HttpRequest&, HttpResponse& res) { routes->status(res); });
}

}  // namespace korvane::coordinator
