// The coordinator's HTTP endpoints over the task registry and the relay store.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "korvane/protocol/protocol.hpp"
#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/member_reports.hpp"
#include "tools/coordinator/norm_exchange.hpp"
#include "tools/coordinator/relay_store.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

// The protocol's names (routes, headers, JSON fields, limits): one header shared with the trainer.
using namespace korvane::protocol;

struct RouteLimits {
  std::chrono::milliseconds join_wait{static_cast<std::int64_t>(kJoinWaitS * 1000)};
  // When a fetch names no `wait`: below the trainers' own 30 s fetch limit, so that they
  // get an answer they can report rather than a time-out of their own.
  std::chrono::milliseconds fetch_wait{static_cast<std::int64_t>(kFetchWaitS * 1000)};
  std::chrono::milliseconds max_wait{600'000};   // cap on a fetch's `wait`
  std::size_t max_body = kMaxRelayBody;          // relay bodies
  std::size_t max_json_body = kMaxJsonBody;      // join, ready and leave bodies
  std::size_t max_id_length = kMaxIdLength;      // task and trainer ids
};


struct Service {
  TaskRegistry& registry;
  RelayStore& store;
  HoldLimiter& holds;
  RouteLimits limits;
  std::optional<std::string> token;  // every request must carry it as a Bearer token
  NormExchange* norms = nullptr;       // set: POST /pipeline/norm is served
  MemberReports* reports = nullptr;    // set: POST /pipeline/report is served
};

class HttpServer;

// Registers every route and the error answers on `server`. `service` must outlive it.
void install_routes(HttpServer& server, Service& service);
// The checkpoint reports and roll-backs (rollback_routes.cpp); install_routes calls it.
void install_rollback_routes(HttpServer& server, Service& service);
// The norm exchange and the members' reports (member_routes.cpp), when the service has them.
void install_member_routes(HttpServer& server, Service& service);

// Shared by the route files.
struct HttpRequest;
struct HttpResponse;
// Well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool valid_utf8(const std::string& s);
// The wait a request may be held: `wait`, shortened to the limit the client announced in
// X-Client-Timeout (less a margin, so that the answer reaches it first). nullopt after
// answering 400 for an announcement that is no positive number.
std::optional<std::chrono::milliseconds> announced_wait(const HttpRequest& req, std::chrono::milliseconds wait,
                                                        HttpResponse& res);
// 'text', with what cannot be shown replaced, for error texts and the log.
std::string quoted_id(const std::string& s);

}  // namespace korvane::coordinator
