// The coordinator's HTTP endpoints over the task registry and the relay store.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/relay_store.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

struct RouteLimits {
  std::chrono::milliseconds join_wait{300'000};
  // When a fetch names no `wait`: below the trainers' own 30 s fetch limit, so that they
  // get an answer they can report rather than a time-out of their own.
  std::chrono::milliseconds fetch_wait{25'000};
  std::chrono::milliseconds max_wait{600'000};   // cap on a fetch's `wait`
  std::size_t max_body = 64u << 20;              // relay bodies
  std::size_t max_json_body = 64u << 10;         // join, ready and leave bodies
  std::size_t max_id_length = 1024;              // task and trainer ids
};

// Request headers beyond the plain protocol.
inline constexpr const char* kSecretRequestHeader = "X-Member-Secret-Request";  // join: "1" asks for a secret
inline constexpr const char* kSecretHeader = "X-Member-Secret";                 // proves a member
inline constexpr const char* kClientTimeoutHeader = "X-Client-Timeout";        // seconds the client will wait
inline constexpr const char* kRollbackEpochHeader = "X-Rollback-Epoch";  // relays: the roll-back epoch of the sender
inline constexpr const char* kRollbackStepHeader = "X-Rollback-Step";    // 409 answers: the step to reload

struct Service {
  TaskRegistry& registry;
  RelayStore& store;
  HoldLimiter& holds;
  RouteLimits limits;
  std::optional<std::string> token;  // every request must carry it as a Bearer token
};

class HttpServer;

// Registers every route and the error answers on `server`. `service` must outlive it.
void install_routes(HttpServer& server, Service& service);
// The checkpoint reports and roll-backs (rollback_routes.cpp); install_routes calls it.
void install_rollback_routes(HttpServer& server, Service& service);

}  // namespace korvane::coordinator
