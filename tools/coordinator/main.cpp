// korvane-coordinator: the HTTP service that admits trainers into pipeline tasks,
// assigns their layer slices and relays activations and gradients between them.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "korvane/common/cli/style.hpp"
#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/relay_store.hpp"
#include "tools/coordinator/service_log.hpp"
#include "tools/coordinator/task_registry.hpp"

namespace kc = korvane::coordinator;
using namespace std::chrono;

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int port = 9545;
  std::int64_t stages = 3;
  std::int64_t layers = 12;
  double join_wait = 300, fetch_wait = 60, max_wait = 600, message_ttl = 120;
  double read_timeout = 5, keep_alive_timeout = 2;
  std::size_t max_body = 64u << 20, max_json_body = 64u << 10;
  std::size_t max_pending = 1024, max_store_bytes = std::size_t{1} << 30, max_tasks = 1024;
  std::size_t threads = 128, max_held = 0;  // 0: threads less a reserve for posts
};

milliseconds ms(double seconds) { return milliseconds(static_cast<std::int64_t>(seconds * 1000.0)); }

int finish(const korvane::cli::Stop& stop) {
  std::cout << stop.out << std::flush;
  std::cerr << stop.err << std::flush;
  return stop.status;
}

int usage_error(const CLI::App& app, const std::string& message) {
  return finish(korvane::cli::usage_error(app, message));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Coordinator for pipeline training tasks: join, layer assignment and tensor relay",
               "korvane-coordinator"};
  korvane::cli::configure(app, KORVANE_VERSION);
  app.add_option("--host", o.host, "address to listen on")->capture_default_str();
  app.add_option("--port", o.port, "port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--stages", o.stages, "trainers per task")->check(CLI::Range(1, 4096))->capture_default_str();
  app.add_option("--layers", o.layers, "layers of the model, split over the stages")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--join-wait", o.join_wait, "seconds a join waits for its task to fill")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--fetch-wait", o.fetch_wait, "seconds a fetch waits when it names no `wait`")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--max-wait", o.max_wait, "cap on a fetch's `wait`, seconds")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--message-ttl", o.message_ttl, "seconds a relayed message is kept after its post or last fetch")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--max-body", o.max_body, "largest relayed body (bytes; suffixes like KiB, MiB)")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
  app.add_option("--max-json-body", o.max_json_body, "largest join or ready body (bytes)")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
  app.add_option("--max-pending", o.max_pending, "messages kept per task")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--max-store-bytes", o.max_store_bytes, "bytes kept over all tasks")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
  app.add_option("--max-tasks", o.max_tasks, "tasks known at once (joins and relay each)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--threads", o.threads, "server worker threads")->check(CLI::Range(4, 4096))->capture_default_str();
  app.add_option("--max-held", o.max_held,
                 "requests allowed to wait at once (fetches and joins); default: threads less a quarter")
      ->capture_default_str();
  app.add_option("--read-timeout", o.read_timeout, "seconds a client may stay silent while sending a request")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--keep-alive-timeout", o.keep_alive_timeout, "seconds an idle connection is kept")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return finish(korvane::cli::stop(app, e));
  }
  if (o.layers < o.stages) return usage_error(app, "--layers must be at least --stages (every stage needs a layer)");
  const std::size_t reserve = std::max<std::size_t>(4, o.threads / 4);
  if (o.max_held == 0) o.max_held = o.threads - reserve;
  if (o.max_held + 4 > o.threads) return usage_error(app, "--max-held must leave at least 4 of --threads free");
  if (o.max_body == 0 || o.max_json_body == 0) return usage_error(app, "body limits must be positive");

  // Signals are taken by one thread with sigwait; a write to a client that went
  // away must fail with EPIPE rather than kill the service.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  kc::HoldLimiter holds(o.max_held);
  kc::TaskRegistry registry({o.stages, o.layers, o.max_tasks}, holds);
  kc::RelayStore::Limits store_limits;
  store_limits.max_pending_per_task = o.max_pending;
  store_limits.max_bytes = o.max_store_bytes;
  store_limits.max_tasks = o.max_tasks;
  store_limits.ttl = ms(o.message_ttl);
  kc::RelayStore store(store_limits, holds);
  kc::RouteLimits route_limits;
  route_limits.join_wait = ms(o.join_wait);
  route_limits.fetch_wait = ms(std::min(o.fetch_wait, o.max_wait));
  route_limits.max_wait = ms(o.max_wait);
  route_limits.max_body = o.max_body;
  route_limits.max_json_body = o.max_json_body;
  kc::Service service{registry, store, holds, route_limits};

  kc::HttpServer::Options server_options;
  server_options.threads = o.threads;
  server_options.io_timeout = ms(o.read_timeout);
  server_options.keep_alive = ms(o.keep_alive_timeout);
  kc::HttpServer server(server_options);
  kc::install_routes(server, service);

  const int port = server.listen(o.host, o.port);
  if (port < 0) {
    std::cerr << "korvane-coordinator: cannot listen on " << o.host << ":" << o.port << ": " << std::strerror(errno)
              << "\n";
    return 1;
  }
  kc::log_line("korvane-coordinator listening on " + o.host + ":" + std::to_string(port));
  kc::log_line("stages=" + std::to_string(o.stages) + " layers=" + std::to_string(o.layers) +
               " threads=" + std::to_string(o.threads) + " max_held=" + std::to_string(o.max_held) +
               " max_body=" + std::to_string(o.max_body) + " max_pending=" + std::to_string(o.max_pending) +
               " message_ttl=" + CLI::detail::to_string(o.message_ttl) + "s");

  std::mutex janitor_mutex;
  std::condition_variable janitor_cv;
  bool janitor_stop = false;

  std::thread janitor([&] {
    std::unique_lock lock(janitor_mutex);
    while (!janitor_cv.wait_for(lock, seconds(1), [&] { return janitor_stop; })) store.sweep();
  });

  std::thread signals([&] {
    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0 || (sig != SIGINT && sig != SIGTERM)) {
    }
    kc::log_line(std::string("shutting down on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    registry.shutdown();  // held joins and fetches answer 503 and their threads come free
    store.shutdown();
    server.stop();
  });

  server.run();
  {
    std::lock_guard lock(janitor_mutex);
    janitor_stop = true;
  }
  janitor_cv.notify_all();
  janitor.join();
  signals.join();
  kc::log_line("korvane-coordinator stopped");
  return 0;
}
