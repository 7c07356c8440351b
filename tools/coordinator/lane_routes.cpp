// The routes of stage replicas: POST /pipeline/store, the rendezvous keys of their
// process groups, and POST /pipeline/regroup, the next generation of a stage's group
// after a collective failed. The request and answer shapes are in protocol.hpp.
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "tools/coordinator/base64.hpp"
#include "tools/coordinator/held_request.hpp"
#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/key_value_store.hpp"
#include "tools/coordinator/scope_exit.hpp"
#include "tools/coordinator/service_log.hpp"

namespace korvane::coordinator {
namespace {
using nlohmann::json;
using Clock = std::chrono::steady_clock;

void answer(HttpResponse& res, int status, const json& body) { res.set_body(status, body.dump(), "application/json"); }
void refuse(HttpResponse& res, int status, const std::string& message) { answer(res, status, {{field::kError, message}}); }

std::string in_quotes(const std::string& s) {
  std::string out(1, '\'');  // appended, not "'" + ...: GCC 12 warns falsely on that form
  out += printable(s);
  out += '\'';
  return out;
}
bool has_control(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

struct MemberRequest {
  json j;
  std::string task_id, trainer_id;
  std::optional<std::string> secret;
  std::string who() const { return "task=" + in_quotes(task_id) + " trainer=" + in_quotes(trainer_id); }
};

// The JSON object with its two identifiers; the parser has refused malformed UTF-8.
std::optional<MemberRequest> read_member(const HttpRequest& req, HttpResponse& res, const RouteLimits& limits) {
  MemberRequest m;
  m.j = json::parse(req.body, nullptr, false);
  if (m.j.is_discarded() || !m.j.is_object()) {
    refuse(res, 400, "body must be a JSON object");
    return std::nullopt;
  }
  for (auto [key, out] : {std::pair{field::kTaskId, &m.task_id}, std::pair{field::kTrainerId, &m.trainer_id}}) {
    auto it = m.j.find(key);
    if (it == m.j.end() || !it->is_string() || it->get<std::string>().empty() ||
        it->get<std::string>().size() > limits.max_id_length) {
      refuse(res, 400, std::string("\"") + key + "\" must be a non-empty string of at most " +
                           std::to_string(limits.max_id_length) + " bytes");
      return std::nullopt;
    }
    *out = it->get<std::string>();
    if (has_control(*out)) {
      refuse(res, 400, std::string("\"") + key + "\" holds a control character");
      return std::nullopt;
    }
  }
  if (const std::string* s = req.header(kSecretHeader)) m.secret = *s;
  return m;
}

// How long a held request may wait: its "timeout" (or `fallback`), at most the
// service's cap, and within the client's announced limit less a margin. nullopt after 400.
std::optional<std::chrono::milliseconds> hold_limit(const HttpRequest& req, const json& j, double fallback,
                                                    const RouteLimits& limits, HttpResponse& res) {
  double secs = fallback;
  if (auto t = j.find(field::kTimeout); t != j.end()) {
    if (!t->is_number() || !std::isfinite(t->get<double>()) || t->get<double>() < 0) {
      refuse(res, 400, "\"timeout\" must be a non-negative number of seconds");
      return std::nullopt;
    }
    secs = t->get<double>();
  }
  double ms = std::min(secs * 1000.0, static_cast<double>(limits.max_wait.count()));
  if (const std::string* v = req.header(kClientTimeoutHeader)) {
    char* end = nullptr;
    const double client = std::strtod(v->c_str(), &end);
    if (v->empty() || end != v->c_str() + v->size() || !std::isfinite(client) || client <= 0) {
      refuse(res, 400, std::string(kClientTimeoutHeader) + " must be a positive number of seconds");
      return std::nullopt;
    }
    ms = std::min(ms, (client - std::min(0.5, client / 10.0)) * 1000.0);
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::max(0.0, ms)));
}

class StoreRoute {
 public:
  StoreRoute(Service& s, KeyValueStore& kv) : s_(s), kv_(kv) {}

  asio::awaitable<void> handle(HttpRequest& req, HttpResponse& res, Hold& hold) {
    auto m = read_member(req, res, s_.limits);
    if (!m) co_return;
    const json& j = m->j;
    auto op_it = j.find(field::kOp);
    const std::string op = op_it != j.end() && op_it->is_string() ? op_it->get<std::string>() : std::string();
    namespace so = store_op;
    static const char* const kOps[] = {so::kSet,   so::kGet,  so::kAdd,    so::kCompareSet,
                                       so::kCheck, so::kWait, so::kDelete, so::kNumKeys};
    if (std::none_of(std::begin(kOps), std::end(kOps), [&](const char* o) { return op == o; })) {
      refuse(res, 400, "\"op\" must be one of set, get, add, compare_set, check, wait, delete, num_keys");
      co_return;
    }
    // Read every argument before touching the store, so a malformed request changes nothing.
    std::string key;
    std::vector<std::string> keys;
    std::string value, expected;
    std::int64_t amount = 0;
    const bool one_key = op != so::kCheck && op != so::kWait && op != so::kNumKeys;
    if (one_key && !read_key(j, key, res)) co_return;
    if ((op == so::kCheck || op == so::kWait) && !read_keys(j, keys, res)) co_return;
    if (op == so::kSet && !read_bytes(j, field::kValue, value, res)) co_return;
    if (op == so::kCompareSet &&
        (!read_bytes(j, field::kExpected, expected, res) || !read_bytes(j, field::kDesired, value, res)))
      co_return;
    if (op == so::kAdd) {
      auto a = j.find(field::kAmount);
      if (a == j.end() || !a->is_number_integer() || (a->is_number_unsigned() && a->get<std::uint64_t>() > INT64_MAX)) {
        refuse(res, 400, "\"amount\" must be a 64-bit integer");
        co_return;
      }
      amount = a->get<std::int64_t>();
    }
    std::chrono::milliseconds wait{0};
    if (op == so::kGet || op == so::kWait) {
      auto w = hold_limit(req, j, kStoreWaitS, s_.limits, res);
      if (!w) co_return;
      wait = *w;
    }

    auto access = s_.registry.store_access(m->task_id, m->trainer_id, m->secret);
    if (!access.ok()) {
      refuse(res, access.status, access.error);
      co_return;
    }
    const std::string& scope = access.scope;

    if (op == so::kGet || op == so::kWait) {
      co_await held(op == so::kGet, *m, access, key, keys, wait, req, res, hold);
      co_return;
    }
    KeyValueStore::Result r;
    if (op == so::kSet) r = kv_.set(scope, key, std::move(value));
    else if (op == so::kAdd) r = kv_.add(scope, key, amount);
    else if (op == so::kCompareSet) r = kv_.compare_set(scope, key, expected, std::move(value));
    else if (op == so::kCheck) r = kv_.check(scope, keys);
    else if (op == so::kDelete) r = kv_.erase(scope, key);
    else r = kv_.num_keys(scope);
    if (!s_.registry.run_live(m->task_id, access.run)) {
      kv_.drop_scope(scope);  // the run ended while this one wrote: leave nothing behind
      refuse(res, 410, "the run of task " + in_quotes(m->task_id) + " is over");
      co_return;
    }
    if (failed(r.status, key, amount, res)) co_return;
    if (op == so::kSet) answer(res, 200, {{field::kStored, true}});
    else if (op == so::kAdd) answer(res, 200, {{field::kCounter, r.counter}});
    else if (op == so::kCompareSet) answer(res, 200, {{field::kValue, base64_encode(r.value)}});
    else if (op == so::kCheck) answer(res, 200, {{field::kPresent, r.flag}});
    else if (op == so::kDelete) answer(res, 200, {{field::kDeleted, r.flag}});
    else answer(res, 200, {{field::kCount, r.count}});
  }

 private:
  // A get or a wait: answered when the keys are there, 504 when `wait` runs out first,
  // 410 when the run ends meanwhile.
  asio::awaitable<void> held(bool get, const MemberRequest& m, const TaskRegistry::Access& access,
                             const std::string& key, const std::vector<std::string>& keys,
                             std::chrono::milliseconds wait, HttpRequest& req, HttpResponse& res, Hold& hold) {
    const auto deadline = Clock::now() + wait;
    auto waiter = hold.waiter();
    s_.registry.hold(m.task_id, access.run, m.trainer_id, +1);
    ScopeExit done{[&] {
      kv_.cancel_wait(access.scope, waiter.get());
      s_.registry.hold(m.task_id, access.run, m.trainer_id, -1);
    }};
    std::optional<HoldLimiter::Slot> slot;
    for (;;) {
      auto r = get ? kv_.get(access.scope, key, waiter) : kv_.wait(access.scope, keys, waiter);
      if (r.status != KeyValueStore::Status::waiting) {
        if (failed(r.status, key, 0, res)) co_return;
        if (get)
          answer(res, 200, {{field::kValue, base64_encode(r.value)}});
        else
          answer(res, 200, {{field::kPresent, true}});
        co_return;
      }
      if (!s_.registry.run_live(m.task_id, access.run)) {
        refuse(res, 410, "the run of task " + in_quotes(m.task_id) + " is over");
        co_return;
      }
      if (Clock::now() >= deadline) {
        refuse(res, 504, get ? "key " + in_quotes(key) + " was not set within the wait"
                             : "the keys were not all set within the wait");
        co_return;
      }
      if (!co_await wait_for_change(s_.holds, slot, req, m.task_id, res, hold, *waiter, deadline)) co_return;
    }
  }

  bool read_key(const json& j, std::string& out, HttpResponse& res) const {
    auto k = j.find(field::kKey);
    if (k == j.end() || !k->is_string()) {
      refuse(res, 400, "\"key\" must be a string");
      return false;
    }
    return check_key(k->get<std::string>(), out, res);
  }
  bool check_key(std::string key, std::string& out, HttpResponse& res) const {
    if (key.empty() || has_control(key)) {
      refuse(res, 400, "a key must be non-empty and hold no control character");
      return false;
    }
    if (key.size() > kv_.limits().max_key) {
      refuse(res, 413, "key longer than " + std::to_string(kv_.limits().max_key) + " bytes");
      return false;
    }
    out = std::move(key);
    return true;
  }
  bool read_keys(const json& j, std::vector<std::string>& out, HttpResponse& res) const {
    auto k = j.find(field::kKeys);
    if (k == j.end() || !k->is_array() || k->empty()) {
      refuse(res, 400, "\"keys\" must be a non-empty array of strings");
      return false;
    }
    if (k->size() > kMaxStoreKeysPerRequest) {
      refuse(res, 413, "more than " + std::to_string(kMaxStoreKeysPerRequest) + " keys in one request");
      return false;
    }
    for (const auto& e : *k) {
      if (!e.is_string()) {
        refuse(res, 400, "\"keys\" must be a non-empty array of strings");
        return false;
      }
      std::string key;
      if (!check_key(e.get<std::string>(), key, res)) return false;
      out.push_back(std::move(key));
    }
    return true;
  }
  bool read_bytes(const json& j, const char* name, std::string& out, HttpResponse& res) const {
    auto v = j.find(name);
    std::optional<std::string> bytes;
    if (v != j.end() && v->is_string()) bytes = base64_decode(v->get_ref<const std::string&>());
    if (!bytes) {
      refuse(res, 400, std::string("\"") + name + "\" must be base64 text");
      return false;
    }
    if (bytes->size() > kv_.limits().max_value) {
      refuse(res, 413, std::string("\"") + name + "\" longer than " + std::to_string(kv_.limits().max_value) +
                           " bytes");
      return false;
    }
    out = std::move(*bytes);
    return true;
  }

  // Answers a store refusal; false when `status` is ok.
  bool failed(KeyValueStore::Status status, const std::string& key, std::int64_t amount, HttpResponse& res) const {
    using S = KeyValueStore::Status;
    const auto& l = kv_.limits();
    switch (status) {
      case S::ok:
      case S::waiting:
        return false;
      case S::key_too_long:
        refuse(res, 413, "key longer than " + std::to_string(l.max_key) + " bytes");
        return true;
      case S::value_too_large:
        refuse(res, 413, "value longer than " + std::to_string(l.max_value) + " bytes");
        return true;
      case S::scope_full:
        refuse(res, 507, "the run's store is full (" + std::to_string(l.max_keys_per_scope) + " keys, " +
                             std::to_string(l.max_bytes_per_scope) + " bytes)");
        return true;
      case S::store_full:
        refuse(res, 507, "the coordinator's store is full");
        return true;
      case S::not_integer:
        refuse(res, 400, "key " + in_quotes(key) + " holds a value that is not a decimal integer");
        return true;
      case S::overflow:
        refuse(res, 400, "adding " + std::to_string(amount) + " to key " + in_quotes(key) + " overflows 64 bits");
        return true;
      case S::closed:
        refuse(res, 503, "coordinator is shutting down");
        return true;
    }
    return true;
  }

  Service& s_;
  KeyValueStore& kv_;
};

asio::awaitable<void> regroup(Service& s, HttpRequest& req, HttpResponse& res, Hold& hold) {
  auto m = read_member(req, res, s.limits);
  if (!m) co_return;
  auto g = m->j.find(field::kGeneration);
  if (g == m->j.end() || !g->is_number_integer() || (!g->is_number_unsigned() && g->get<std::int64_t>() < 0)) {
    refuse(res, 400, "\"generation\" must be an integer >= 0");
    co_return;
  }
  const auto generation = g->get<std::uint64_t>();
  std::optional<std::string> error;
  if (auto e = m->j.find(field::kError); e != m->j.end() && !e->is_null()) {
    if (!e->is_string()) {
      refuse(res, 400, "\"error\" must be a string");
      co_return;
    }
    error = printable(e->get<std::string>());
  }
  auto waiter = hold.waiter();
  std::uint64_t run = 0;
  bool holding = false;
  ScopeExit done{[&] {
    if (!run) return;
    s.registry.abandon_regroup(m->task_id, run, waiter.get());
    if (holding) s.registry.hold(m->task_id, run, m->trainer_id, -1);
  }};
  std::optional<HoldLimiter::Slot> slot;
  const std::string who = m->who() + " generation=" + std::to_string(generation);
  for (bool first = true;; first = false) {
    auto r = s.registry.regroup(m->task_id, m->trainer_id, m->secret, generation, error, waiter);
    run = r.run;
    using S = TaskRegistry::RegroupStatus;
    if (first && r.status != S::refused)
      log_line("regroup " + who + " stage=" + std::to_string(r.stage) + (error ? ": " + *error : std::string()));
    if (r.status == S::refused) {
      log_line("regroup " + who + " refused: " + printable(r.error));
      refuse(res, r.http_status, r.error);
      co_return;
    }
    if (r.status == S::formed) {
      log_line("regroup " + who + ": generation " + std::to_string(r.group.generation) + " rank " +
                 std::to_string(r.group.rank) + " of " + std::to_string(r.group.lanes.size()));
      answer(res, 200,
             {{field::kGeneration, r.group.generation},
              {field::kRank, r.group.rank},
              {field::kWorldSize, r.group.lanes.size()},
              {field::kLanes, r.group.lanes}});
      co_return;
    }
    if (!holding) {
      s.registry.hold(m->task_id, run, m->trainer_id, +1);
      holding = true;
    }
    // Woken when the round ends; at its deadline the next ask ends it.
    if (!co_await wait_for_change(s.holds, slot, req, m->task_id, res, hold, *waiter, r.deadline)) co_return;
  }
}

}  // namespace

void install_lane_routes(HttpServer& server, Service& service) {
  Service* s = &service;
  if (service.keys) {
    auto store = std::make_shared<StoreRoute>(service, *service.keys);
    server.route("POST", kStorePath, service.limits.max_json_body,
                 [store](HttpRequest& req, HttpResponse& res, Hold& hold) { return store->handle(req, res, hold); });
  }
  server.route("POST", kRegroupPath, service.limits.max_json_body,
               [s](HttpRequest& req, HttpResponse& res, Hold& hold) { return regroup(*s, req, res, hold); });
}

}  // namespace korvane::coordinator
