// The coordinator's HTTP endpoints over the task registry and the relay store.
#pragma once

#include <chrono>
#include <cstddef>

#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/relay_store.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace korvane::coordinator {

struct RouteLimits {
  std::chrono::milliseconds join_wait{300'000};
  std::chrono::milliseconds fetch_wait{60'000};  // when a fetch names no `wait`
  std::chrono::milliseconds max_wait{600'000};   // cap on a fetch's `wait`
  std::size_t max_body = 64u << 20;              // relay bodies
  std::size_t max_json_body = 64u << 10;         // join and ready bodies
  std::size_t max_id_length = 1024;              // task and trainer ids
};

struct Service {
  TaskRegistry& registry;
  RelayStore& store;
  HoldLimiter& holds;
  RouteLimits limits;
};

class HttpServer;

// Registers every route and the error answers on `server`. `service` must outlive it.
void install_routes(HttpServer& server, Service& service);

}  // namespace korvane::coordinator
