#include "tools/coordinator/live_view.hpp"

#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>

#include "tools/coordinator/constant_time.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/live_page.inc"  // kLivePage, generated from live_page.html

namespace korvane::coordinator {

namespace {

using json = nlohmann::ordered_json;

// Standard base64, padding optional; nullopt on any other character.
std::optional<std::string> base64_decode(std::string_view in) {
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  const auto alphabet = [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '/'; };
  if (in.size() % 4 == 1 || !std::all_of(in.begin(), in.end(), alphabet)) return std::nullopt;
  // EVP_DecodeBlock wants whole quads, and counts the padding as decoded zero bytes.
  const std::size_t pad = (4 - in.size() % 4) % 4;
  std::string quads(in);
  quads.append(pad, '=');
  std::string out(quads.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(quads.data()), static_cast<int>(quads.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

std::optional<std::uint64_t> decimal(const std::string* s) {
  if (!s || s->empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), v);
  if (ec != std::errc() || end != s->data() + s->size()) return std::nullopt;
  return v;
}

json optional_text(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }

template <class T>
json figure(const std::optional<T>& v) {
  return v ? json(*v) : json(nullptr);
}

json trainer_json(const TaskRegistry::MemberView& m, bool complete, const PipelineProgress::Trainer* p,
                  const std::optional<MemberFigures>& figures) {
  json t;
  t["trainer_id"] = m.id;
  if (complete) {
    const Assignment& a = m.assignment;
    t["pipeline_position"] = a.pipeline_position;
    t["layer_start"] = a.slice.start;
    t["layer_end"] = a.slice.end;
    t["upstream"] = optional_text(a.upstream);
    t["downstream"] = optional_text(a.downstream);
  } else {
    t["pipeline_position"] = nullptr;
  }
  std::string state = m.ready ? "ready" : "joined";
  json reason = nullptr;
  if (!m.active) {
    if (m.ended.rfind("failed: ", 0) == 0) {
      state = "failed";
      reason = m.ended.substr(8);
    } else {
      state = m.ended.empty() ? "left" : m.ended;
    }
  }
  t["state"] = state;
  t["reason"] = reason;
  t["last_seen_seconds"] = m.idle_seconds;
  t["held_requests"] = m.held;
  t["micro_batch"] = p && p->micro_batch ? json(*p->micro_batch) : json(nullptr);
  json losses = json::array();
  if (p)
    for (const auto& [mb, loss] : p->losses) losses.push_back(json::array({mb, loss}));
  t["losses"] = std::move(losses);
  // What the member reported of itself (POST /pipeline/report).
  const MemberFigures f = figures.value_or(MemberFigures{});
  t["report_step"] = figure(f.step);
  t["heldout_loss"] = figure(f.heldout_loss);
  t["heldout_accuracy"] = figure(f.heldout_accuracy);
  t["averaging_seconds"] = figure(f.averaging_seconds);
  t["group_generation"] = figure(f.group_generation);
  return t;
}

// The reported figures of the members of the runs the live page shows first, at most
// Metrics::kMaxMemberSeries of them: ids come from clients, so their number is capped.
std::vector<MemberSeries> member_series(Service& s) {
  std::vector<MemberSeries> rows;
  const auto snap = s.registry.snapshot(TaskRegistry::PageRequest{Metrics::kMaxMemberRuns, {}});
  for (const auto& run : snap.runs) {
    if (run.over || !run.complete) continue;
    for (const auto& m : run.members) {
      if (rows.size() >= Metrics::kMaxMemberSeries) return rows;
      if (auto f = s.reports->of(run.task_id, run.run, m.id)) rows.push_back({run.task_id, m.id, *f});
    }
  }
  return rows;
}

}  // namespace

bool browser_path(std::string_view path) { return path == kLivePagePath || path == kStatusTasksPath; }

bool presents_token(const HttpRequest& req, const std::string& token) {
  const std::string* auth = req.header(kAuthorizationHeader);
  if (!auth) return false;
  const std::size_t bearer = std::strlen(kBearerPrefix), basic = std::strlen(kBasicPrefix);
  if (auth->size() > bearer && strncasecmp(auth->c_str(), kBearerPrefix, bearer) == 0)
    return same_secret(std::string_view(*auth).substr(bearer), token);
  if (browser_path(req.path) && auth->size() > basic && strncasecmp(auth->c_str(), kBasicPrefix, basic) == 0) {
    auto pair = base64_decode(std::string_view(*auth).substr(basic));
    if (!pair) return false;
    const auto colon = pair->find(':');
    return colon != std::string::npos && same_secret(std::string_view(*pair).substr(colon + 1), token);
  }
  return false;
}

json tasks_json(Service& s, const LiveView& live, const HttpServer& server, const TaskRegistry::PageRequest& page) {
  const auto store = s.store.stats();
  const auto& limits = s.store.limits();
  json out;
  out["stages"] = s.registry.config().stages;
  out["layers"] = s.registry.config().layers;
  out["held_requests"] = s.holds.held();
  out["max_held_requests"] = s.holds.limit();
  out["connections"] = server.connections();
  out["store"] = {{"messages", store.messages},
                  {"bytes", store.bytes},
                  {"max_bytes", limits.max_bytes},
                  {"max_messages_per_task", limits.max_pending_per_task}};
  const auto snap = s.registry.snapshot(page);
  out["total_tasks"] = snap.live_total;
  out["more_tasks"] = snap.more;
  out["next_after"] = optional_text(snap.next);
  json tasks = json::array();
  for (const auto& run : snap.runs) {
    json t;
    t["task_id"] = run.task_id;
    t["run"] = run.run;
    const bool failed = run.failure.has_value();
    t["state"] = run.over ? (failed ? "failed" : "over") : !run.complete ? "forming" : failed ? "failing" : "running";
    t["failure"] = optional_text(run.failure);
    t["ended_seconds_ago"] = run.over ? json(run.ended_seconds_ago) : json(nullptr);
    const auto [messages, bytes] = run.over ? std::pair<std::size_t, std::size_t>{0, 0}
                                            : s.store.use_of(run_scope(run.task_id, run.run));
    t["store"] = {{"messages", messages}, {"bytes", bytes}};
    const auto progress = live.progress.of(run.task_id, run.run);
    json trainers = json::array();
    for (const auto& m : run.members) {
      const PipelineProgress::Trainer* p = nullptr;
      if (progress) {
        auto it = progress->trainers.find(m.id);
        if (it != progress->trainers.end()) p = &it->second;
      }
      std::optional<MemberFigures> figures;
      if (s.reports && run.complete) figures = s.reports->of(run.task_id, run.run, m.id);
      trainers.push_back(trainer_json(m, run.complete, p, figures));
    }
    t["trainers"] = std::move(trainers);
    json links = json::array();
    if (progress)
      for (const auto& l : progress->links)
        links.push_back({{"from", l.from},
                         {"to", l.to},
                         {"kind", relay_kind_name(l.kind)},
                         {"messages", l.messages},
                         {"bytes", l.bytes},
                         {"bytes_per_second", run.over ? 0.0 : l.bytes_per_second}});
    t["links"] = std::move(links);
    tasks.push_back(std::move(t));
  }
  out["tasks"] = std::move(tasks);
  return out;
}

void install_live_view(HttpServer& server, Service& service, LiveView& live) {
  using asio::awaitable;
  server.route("GET", kLivePagePath, 0, [](HttpRequest&, HttpResponse& res, Hold&) -> awaitable<void> {
    res.set_body(200, kLivePage, "text/html; charset=utf-8");
    res.headers.emplace_back("Cache-Control", "no-store");
    co_return;
  });
  server.route("GET", kStatusTasksPath, 0,
               [&service, &live, &server](HttpRequest& req, HttpResponse& res, Hold&) -> awaitable<void> {
                 TaskRegistry::PageRequest page;
                 if (const std::string* limit = req.param(kLimitParam)) {
                   const auto n = decimal(limit);
                   if (!n || *n < 1 || *n > kMaxStatusPage) {
                     res.set_body(400,
                                  json({{field::kError, std::string(kLimitParam) + " must be a whole number from 1 to " +
                                                            std::to_string(kMaxStatusPage)}})
                                      .dump(),
                                  "application/json");
                     co_return;
                   }
                   page.limit = static_cast<std::size_t>(*n);
                 }
                 if (const std::string* after = req.param(kAfterParam)) page.after = *after;
                 // Ids and relay headers are bytes as sent: text that is no UTF-8 is shown
                 // with replacement characters rather than failing the whole answer.
                 res.set_body(200, tasks_json(service, live, server, page).dump(-1, ' ', false, json::error_handler_t::replace),
                              "application/json");
                 res.headers.emplace_back("Cache-Control", "no-store");
                 co_return;
               });
  server.route("GET", kMetricsPath, 0, [&service, &live, &server](HttpRequest&, HttpResponse& res, Hold&) -> awaitable<void> {
    const auto store = service.store.stats();
    const auto reg = service.registry.stats();
    Metrics::Gauges g;
    g.tasks = reg.tasks;
    g.members = reg.members;
    g.active_members = reg.active;
    g.held = service.holds.held();
    g.max_held = service.holds.limit();
    g.stored_messages = store.messages;
    g.stored_bytes = store.bytes;
    g.max_stored_bytes = service.store.limits().max_bytes;
    g.connections = server.connections();
    std::string text = live.metrics.render(g);
    if (service.reports) text += render_member_figures(member_series(service));
    res.set_body(200, text, "text/plain; version=0.0.4; charset=utf-8");
    co_return;
  });

  server.set_observer([&service, &live](const HttpRequest& req, const HttpResponse& res, std::uint64_t body_bytes,
                                        std::chrono::steady_clock::duration elapsed) {
    const std::string_view route = route_label(req.path);
    if (res.status >= 400) {
      live.metrics.refused(route, res.status);
      return;
    }
    if (route == "join") {
      if (req.method == "POST") live.metrics.joined();
      return;
    }
    if (route != "activation" && route != "gradient") return;
    const RelayKind kind = route == "activation" ? RelayKind::activation : RelayKind::gradient;
    if (req.method == "POST") {
      live.metrics.relayed(kind, body_bytes);
      const std::string* task = req.header(kTaskIdHeader);
      const std::string* from = req.header(kFromTrainerHeader);
      const std::string* to = req.header(kToTrainerHeader);
      const auto mb = decimal(req.header(kMicroBatchHeader));
      if (!task || !from || !to || !mb) return;
      if (const auto run = service.registry.run_of(*task))
        live.progress.posted(*task, run, kind, *from, *to, *mb,
                             kind == RelayKind::gradient ? req.header(kLossHeader) : nullptr, body_bytes);
    } else {
      live.metrics.delivered(kind, res.body ? res.body->size() : 0, std::chrono::duration<double>(elapsed).count());
      const std::string* task = req.param(kTaskIdParam);
      const std::string* trainer = req.param(kTrainerIdParam);
      const auto mb = decimal(req.param(kMicroBatchParam));
      if (!task || !trainer || !mb) return;
      if (const auto run = service.registry.run_of(*task)) live.progress.delivered(*task, run, *trainer, *mb);
    }
  });
}

}  // namespace korvane::coordinator
