// libFuzzer target over the coordinator's request handling: the HTTP parsing, routing,
// headers, queries, JSON bodies and ids. The server is the real one with every route
// installed; each input is sent as raw bytes over one loopback connection, half-closed,
// and the answer read until the server closes. The state (tasks, members, stored
// messages) carries over from input to input, as it does for a running service.
//
// A request that gets no end within a few seconds is reported as a hang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/live_view.hpp"
#include "tools/coordinator/relay_store.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace kc = korvane::coordinator;
using namespace std::chrono_literals;

namespace {

struct Coordinator {
  kc::HoldLimiter holds{64, 16, 16};
  kc::RelayStore store{[] {
    kc::RelayStore::Limits l;
    l.max_pending_per_task = 64;
    l.max_bytes = 64u << 20;
    l.max_tasks = 32;
    l.ttl = 2s;
    return l;
  }()};
  kc::NormExchange norms;
  kc::MemberReports reports;
  kc::TaskRegistry registry{kc::TaskRegistry::Config{3, 6, 32, std::chrono::seconds(5)},
                            [this](const std::string& scope, bool over) {
                              if (over) {
                                store.drop_task(scope);
                                norms.drop_group(scope);
                              } else {
                                store.wake_task(scope);
                                norms.wake_group(scope);
                              }
                            }};
  kc::Service service{registry, store, holds, [] {
                        kc::RouteLimits r;
                        r.join_wait = 20ms;
                        r.fetch_wait = 20ms;
                        r.max_wait = 50ms;
                        r.max_body = 1u << 20;
                        return r;
                      }(),
                      std::nullopt};
  kc::HttpServer server{[] {
    kc::HttpServer::Options o;
    o.threads = 1;
    o.request_timeout = 500ms;
    o.keep_alive = 200ms;
    o.body_budget = 16u << 20;
    return o;
  }()};
  kc::LiveView live;
  int port = -1;
  std::thread thread;

  Coordinator() {
    service.norms = &norms;
    service.reports = &reports;
    kc::install_routes(server, service);
    kc::install_live_view(server, service, live);
    std::string error;
    port = server.listen("127.0.0.1", 0, error);
    if (port < 0) {
      std::fprintf(stderr, "coordinator_fuzz: cannot listen: %s\n", error.c_str());
      std::abort();
    }
    thread = std::thread([this] { server.run(); });
  }
};

Coordinator* coordinator = nullptr;

void send_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server may close early (413, 400): not a fault
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  coordinator = new Coordinator();  // lives until the process ends
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(coordinator->port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("coordinator_fuzz: connect");
    std::abort();
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  send_all(fd, data, size);
  ::shutdown(fd, SHUT_WR);
  char buf[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      std::fprintf(stderr, "coordinator_fuzz: no end to the answer within 5 s\n");
      std::abort();
    }
    break;  // closed or reset
  }
  ::close(fd);
  return 0;
}
