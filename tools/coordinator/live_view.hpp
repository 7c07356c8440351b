// The live view of the coordinator: a page for people (GET /), the JSON it polls
// (GET /status/tasks) and the metrics for scrapers (GET /metrics).
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/metrics.hpp"
#include "tools/coordinator/pipeline_progress.hpp"

namespace korvane::coordinator {

class HttpServer;

struct LiveView {
  Metrics metrics;
  PipelineProgress progress;
};

// Paths a browser opens. A browser cannot send a bearer header, so these also take the
// token as the password of HTTP Basic authentication (any user name).
bool browser_path(std::string_view path);
// Does the request carry `token`: as a bearer token, or on a browser path as the Basic password?
bool presents_token(const HttpRequest& req, const std::string& token);

// The tasks as the page shows them: one page of them, with how many there are in all.
nlohmann::ordered_json tasks_json(Service& service, const LiveView& live, const HttpServer& server,
                                  const TaskRegistry::PageRequest& page = {});

// Adds the three routes and counts every answer of `server`. Both must outlive it.
void install_live_view(HttpServer& server, Service& service, LiveView& live);

}  // namespace korvane::coordinator
