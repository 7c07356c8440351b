#include "tools/coordinator/http_routes.hpp"

#include <httplib.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

void send_json(httplib::Response& res, int status, const nlohmann::ordered_json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
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
                                      httplib::Response& res) const {
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
                                                        httplib::Response& res) {
    auto mb = value ? parse_micro_batch(*value) : std::nullopt;
    if (!mb) send_error(res, 400, what + " must be a decimal integer");
    return mb;
  }

  std::optional<json> json_object(const httplib::Request& req, httplib::Response& res) const {
    if (req.body.size() > s_.limits.max_json_body) {
      send_error(res, 413, "body larger than " + std::to_string(s_.limits.max_json_body) + " bytes");
      return std::nullopt;
    }
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

  std::optional<std::string> json_id(const json& j, const char* key, httplib::Response& res) const {
    auto it = j.find(key);
    if (it == j.end()) return id_field(std::string("\"") + key + "\"", std::nullopt, res);
    if (!it->is_string()) {
      send_error(res, 400, std::string("\"") + key + "\" must be a string");
      return std::nullopt;
    }
    return id_field(std::string("\"") + key + "\"", it->get<std::string>(), res);
  }

  void join(const httplib::Request& req, httplib::Response& res) {
    auto j = json_object(req, res);
    if (!j) return;
    auto task_id = json_id(*j, "task_id", res);
    if (!task_id) return;
    auto trainer_id = json_id(*j, "trainer_id", res);
    if (!trainer_id) return;
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

  void ready(const httplib::Request& req, httplib::Response& res) {
    auto j = json_object(req, res);
    if (!j) return;
    auto task_id = json_id(*j, "task_id", res);
    if (!task_id) return;
    auto trainer_id = json_id(*j, "trainer_id", res);
    if (!trainer_id) return;
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

  static std::optional<std::string> header(const httplib::Request& req, const char* name) {
    if (!req.has_header(name)) return std::nullopt;
    return req.get_header_value(name);
  }
  static std::optional<std::string> param(const httplib::Request& req, const char* name) {
    if (!req.has_param(name)) return std::nullopt;
    return req.get_param_value(name);
  }

  void post_message(RelayKind kind, const httplib::Request& req, httplib::Response& res) {
    auto task_id = id_field("X-Task-ID header", header(req, "X-Task-ID"), res);
    if (!task_id) return;
    auto from = id_field("X-From-Trainer header", header(req, "X-From-Trainer"), res);
    if (!from) return;
    auto to = id_field("X-To-Trainer header", header(req, "X-To-Trainer"), res);
    if (!to) return;
    auto mb = micro_batch_field("X-Micro-Batch header", header(req, "X-Micro-Batch"), res);
    if (!mb) return;
    if (req.body.size() > s_.limits.max_body) {  // httplib enforces it too; kept for clarity
      send_error(res, 413, "body larger than " + std::to_string(s_.limits.max_body) + " bytes");
      return;
    }
    RelayMessage m{*from, std::nullopt, std::make_shared<const std::string>(req.body)};
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

  void fetch_message(RelayKind kind, const httplib::Request& req, httplib::Response& res) {
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
        res.set_header("X-From-Trainer", r.message.sender);
        if (r.message.loss) res.set_header("X-Loss", *r.message.loss);
        auto body = r.message.body;
        if (body->empty()) {
          res.set_content("", "application/octet-stream");
        } else {
          // Shares the stored bytes: repeated and concurrent fetches copy nothing.
          res.set_content_provider(body->size(), "application/octet-stream",
                                   [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset, length);
                                   });
        }
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

  void status(httplib::Response& res) const {
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

void install_routes(httplib::Server& server, Service& service) {
  auto routes = std::make_shared<Routes>(service);
  const RouteLimits limits = service.limits;

  // Runs before the body is read: refuse what would otherwise be read or expanded.
  server.set_pre_routing_handler([limits](const httplib::Request& req, httplib::Response& res) {
    const auto enc = req.get_header_value("Content-Encoding");
    if (!enc.empty() && enc != "identity") {
      // Relayed bytes are stored as sent; a compressed body could also expand without bound.
      res.set_header("Connection", "close");
      send_error(res, 415, "Content-Encoding is not accepted");
      return httplib::Server::HandlerResponse::Handled;
    }
    if ((req.path == "/pipeline/join" || req.path == "/pipeline/ready") && req.has_header("Content-Length")) {
      const auto n = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
      if (n > limits.max_json_body) {
        res.set_header("Connection", "close");
        send_error(res, 413, "body larger than " + std::to_string(limits.max_json_body) + " bytes");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Post("/pipeline/join", [routes](const auto& req, auto& res) { routes->join(req, res); });
  server.Post("/pipeline/ready", [routes](const auto& req, auto& res) { routes->ready(req, res); });
  server.Post("/pipeline/activation",
              [routes](const auto& req, auto& res) { routes->post_message(RelayKind::activation, req, res); });
  server.Post("/pipeline/gradient",
              [routes](const auto& req, auto& res) { routes->post_message(RelayKind::gradient, req, res); });
  server.Get("/pipeline/activation",
             [routes](const auto& req, auto& res) { routes->fetch_message(RelayKind::activation, req, res); });
  server.Get("/pipeline/gradient",
             [routes](const auto& req, auto& res) { routes->fetch_message(RelayKind::gradient, req, res); });
  server.Get("/status", [routes](const auto&, auto& res) { routes->status(res); });

  // Errors raised by the HTTP layer itself (unknown path, oversized body, bad
  // request line) get a JSON body like the handlers' own errors.
  server.set_error_handler(httplib::Server::HandlerWithResponse([limits](const httplib::Request& req,
                                                                         httplib::Response& res) {
    if (!res.body.empty() || res.content_length_ != 0) return httplib::Server::HandlerResponse::Unhandled;
    std::string message;
    switch (res.status) {
      case 404: message = "no such endpoint: " + req.method + " " + printable(req.path); break;
      case 405: message = "method not allowed"; break;
      case 413: message = "body larger than " + std::to_string(limits.max_body) + " bytes"; break;
      case 414: message = "request URI too long"; break;
      default: message = "request failed with status " + std::to_string(res.status); break;
    }
    res.set_content(nlohmann::ordered_json{{"error", message}}.dump(), "application/json");
    return httplib::Server::HandlerResponse::Handled;
  }));
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    send_error(res, 500, what);
  });
}

}  // namespace korvane::coordinator
