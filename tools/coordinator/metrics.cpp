#include "tools/coordinator/metrics.hpp"

#include <charconv>

#include "korvane/protocol/protocol.hpp"

namespace korvane::coordinator {
using namespace korvane::protocol;

std::string_view route_label(std::string_view path) {
  if (path == kJoinPath) return "join";
  if (path == kReadyPath) return "ready";
  if (path == kLeavePath) return "leave";
  if (path == kActivationPath) return "activation";
  if (path == kGradientPath) return "gradient";
  if (path == kStatusPath || path == kStatusTasksPath) return "status";
  if (path == kLivePagePath || path == kIndexPath) return "page";
  if (path == kMetricsPath) return "metrics";
  if (path == kNormPath) return "norm";
  if (path == kReportPath) return "report";
  return "other";
}

std::string_view refusal_reason(int status) {
  switch (status) {
    case 400: return "bad_request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not_found";
    case 405: return "method_not_allowed";
    case 409: return "conflict";
    case 410: return "gone";
    case 411: return "length_required";
    case 413: return "too_large";
    case 414: return "uri_too_long";
    case 415: return "unsupported_encoding";
    case 429: return "task_full";
    case 431: return "head_too_large";
    case 503: return "unavailable";
    case 504: return "timed_out";
    case 507: return "store_full";
    default: return status >= 500 ? "server_error" : "client_error";
  }
}

namespace {
std::size_t index_of(RelayKind kind) { return kind == RelayKind::activation ? 0 : 1; }

// The shortest text that reads back as the same double.
std::string number(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, ec == std::errc() ? end : buf);
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const std::string& name, const std::string& labels, const std::string& value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += value;
  out += '\n';
}
// A label value: backslash, double quote and line feed escaped.
std::string label_value(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}
}  // namespace

std::string render_member_figures(const std::vector<MemberSeries>& rows) {
  std::string out;
  const auto family = [&](const char* name, const char* help, auto get) {
    bool any = false;
    for (const MemberSeries& r : rows) {
      const auto v = get(r.figures);
      if (!v) continue;
      if (!any) header(out, name, "gauge", help);
      any = true;
      sample(out, name, "task=\"" + label_value(r.task_id) + "\",trainer=\"" + label_value(r.trainer_id) + "\"",
             number(static_cast<double>(*v)));
    }
  };
  family("korvane_heldout_loss", "Held-out loss a member reported last.",
         [](const MemberFigures& f) { return f.heldout_loss; });
  family("korvane_heldout_accuracy", "Held-out accuracy a member reported last.",
         [](const MemberFigures& f) { return f.heldout_accuracy; });
  family("korvane_reported_step", "The step of a member's latest report.", [](const MemberFigures& f) { return f.step; });
  family("korvane_averaging_seconds", "Seconds a member spent averaging with its stage's replicas in its last step.",
         [](const MemberFigures& f) { return f.averaging_seconds; });
  family("korvane_group_generation", "Generation of the replica group a member averages in.",
         [](const MemberFigures& f) { return f.group_generation; });
  return out;
}

void Metrics::relayed(RelayKind kind, std::size_t bytes) {
  PerKind& k = kinds_[index_of(kind)];
  k.messages.fetch_add(1, std::memory_order_relaxed);
  k.bytes.fetch_add(bytes, std::memory_order_relaxed);
}

void Metrics::delivered(RelayKind kind, std::size_t bytes, double waited_seconds) {
  PerKind& k = kinds_[index_of(kind)];
  k.delivered.fetch_add(1, std::memory_order_relaxed);
  k.delivered_bytes.fetch_add(bytes, std::memory_order_relaxed);
  std::size_t b = 0;
  while (b < kWaitBuckets.size() && waited_seconds > kWaitBuckets[b]) ++b;
  std::lock_guard lock(mutex_);
  ++k.wait_counts[b];
  k.wait_sum += waited_seconds;
}

void Metrics::refused(std::string_view route, int status) {
  std::lock_guard lock(mutex_);
  ++refusals_[{std::string(route), std::string(refusal_reason(status))}];
}

std::string Metrics::render(const Gauges& g) const {
  std::string out;
  out.reserve(8192);
  const RelayKind kinds[] = {RelayKind::activation, RelayKind::gradient};
  auto per_kind = [&](const char* name, const char* help, auto field) {
    header(out, name, "counter", help);
    for (RelayKind kind : kinds)
      sample(out, name, std::string("kind=\"") + relay_kind_name(kind) + "\"",
             std::to_string((kinds_[index_of(kind)].*field).load(std::memory_order_relaxed)));
  };
  per_kind("korvane_coordinator_relayed_messages_total", "Relay messages stored for a neighbour.", &PerKind::messages);
  per_kind("korvane_coordinator_relayed_bytes_total", "Body bytes of the relay messages stored.", &PerKind::bytes);
  per_kind("korvane_coordinator_delivered_messages_total", "Relay messages handed to their recipient.",
           &PerKind::delivered);
  per_kind("korvane_coordinator_delivered_bytes_total", "Body bytes of the relay messages handed out.",
           &PerKind::delivered_bytes);

  header(out, "korvane_coordinator_joins_total", "counter", "Joins answered with an assignment.");
  sample(out, "korvane_coordinator_joins_total", "", std::to_string(joins_.load(std::memory_order_relaxed)));

  std::lock_guard lock(mutex_);
  header(out, "korvane_coordinator_refusals_total", "counter", "Requests refused, by route and reason.");
  for (const auto& [key, n] : refusals_)
    sample(out, "korvane_coordinator_refusals_total", "route=\"" + key.first + "\",reason=\"" + key.second + "\"",
           std::to_string(n));

  const char* wait = "korvane_coordinator_relay_wait_seconds";
  header(out, wait, "histogram", "Time a delivered fetch waited at the coordinator for its message.");
  for (RelayKind kind : kinds) {
    const PerKind& k = kinds_[index_of(kind)];
    const std::string kl = std::string("kind=\"") + relay_kind_name(kind) + "\"";
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b <= kWaitBuckets.size(); ++b) {
      cumulative += k.wait_counts[b];
      const std::string le = b < kWaitBuckets.size() ? number(kWaitBuckets[b]) : "+Inf";
      sample(out, std::string(wait) + "_bucket", kl + ",le=\"" + le + "\"", std::to_string(cumulative));
    }
    sample(out, std::string(wait) + "_sum", kl, number(k.wait_sum));
    sample(out, std::string(wait) + "_count", kl, std::to_string(cumulative));
  }

  auto gauge = [&](const char* name, const char* help, std::size_t v) {
    header(out, name, "gauge", help);
    sample(out, name, "", std::to_string(v));
  };
  gauge("korvane_coordinator_tasks", "Tasks forming or running.", g.tasks);
  gauge("korvane_coordinator_members", "Trainers in tasks forming or running.", g.members);
  gauge("korvane_coordinator_active_members", "Trainers still active in their task.", g.active_members);
  gauge("korvane_coordinator_held_requests", "Joins and fetches waiting at the coordinator.", g.held);
  gauge("korvane_coordinator_held_requests_limit", "Requests allowed to wait at once.", g.max_held);
  gauge("korvane_coordinator_stored_messages", "Relay messages held in the store.", g.stored_messages);
  gauge("korvane_coordinator_stored_bytes", "Bytes held in the relay store, bookkeeping included.", g.stored_bytes);
  gauge("korvane_coordinator_stored_bytes_limit", "Bytes the relay store may hold.", g.max_stored_bytes);
  gauge("korvane_coordinator_connections", "Client connections open.", g.connections);
  return out;
}

}  // namespace korvane::coordinator
