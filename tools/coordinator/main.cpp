// korvane-coordinator: the HTTP service that admits trainers into pipeline tasks,
// assigns their layer slices and relays activations and gradients between them.
#include <algorithm>
#include <cctype>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "korvane/common/cli/style.hpp"
#include "tools/coordinator/hold_limiter.hpp"
#include "tools/coordinator/http_routes.hpp"
#include "tools/coordinator/http_server.hpp"
#include "tools/coordinator/live_view.hpp"
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
  double join_wait = 300, fetch_wait = 25, max_wait = 600, message_ttl = 120, member_timeout = 600;
  double read_timeout = 10, keep_alive_timeout = 2;
  std::size_t max_body = 64u << 20, max_json_body = 64u << 10, max_body_memory = std::size_t{1} << 30;
  std::size_t max_pending = 1024, max_store_bytes = std::size_t{1} << 30, max_tasks = 1024;
  std::size_t threads = 1, max_held = 16384, max_connections = 20000;
  std::size_t max_held_per_client = 0, max_held_per_task = 0;  // 0: half of --max-held
  std::string token, token_file;
};

// The soft limit on open descriptors up to the hard one: every held request is a socket,
// and Debian's soft default of 1024 would cap the service far below its other limits.
void raise_descriptor_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// The first line of the file, without surrounding blanks; nullopt when unreadable or empty.
std::optional<std::string> read_token_file(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  const auto first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::nullopt;
  return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
}

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
  app.add_option("--threads", o.threads, "I/O threads (one serves thousands of connections; more cost thread hand-offs)")->check(CLI::Range(1, 256))->capture_default_str();
  app.add_option("--max-held", o.max_held, "requests allowed to wait at once (fetches and joins)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--max-held-per-client", o.max_held_per_client,
                 "requests one client address may have waiting at once (0: half of --max-held)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--max-held-per-task", o.max_held_per_task,
                 "requests for one task id allowed to wait at once (0: half of --max-held)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--max-connections", o.max_connections, "client connections open at once")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--max-body-memory", o.max_body_memory, "bytes of request bodies being received, all together")
      ->transform(CLI::AsSizeValue(false))
      ->capture_default_str();
  app.add_option("--read-timeout", o.read_timeout, "seconds a client has to send a whole request, head and body")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--member-timeout", o.member_timeout,
                 "seconds without a request after which a member of a running task counts as gone")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  auto* token_opt = app.add_option("--token", o.token, "require 'Authorization: Bearer TOKEN' on every request");
  app.add_option("--token-file", o.token_file, "like --token, with the token read from the file's first line")
      ->check(CLI::ExistingFile)
      ->excludes(token_opt);
  app.add_option("--keep-alive-timeout", o.keep_alive_timeout, "seconds an idle connection is kept")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return finish(korvane::cli::stop(app, e));
  }
  if (o.layers < o.stages) return usage_error(app, "--layers must be at least --stages (every stage needs a layer)");
  if (o.max_body == 0 || o.max_json_body == 0) return usage_error(app, "body limits must be positive");
  std::optional<std::string> token;
  if (!o.token_file.empty()) {
    token = read_token_file(o.token_file);
    if (!token) return usage_error(app, "--token-file: no token in " + o.token_file);
  } else if (app.count("--token")) {
    if (o.token.find_first_not_of(" \t\r\n") == std::string::npos)
      return usage_error(app, "--token must not be empty or blank");
    token = o.token;
  }
  // A client sends the token in a header, whose value loses blanks at its ends and may
  // hold no control character: such a token could never be presented.
  if (token && (std::isspace(static_cast<unsigned char>(token->front())) ||
                std::isspace(static_cast<unsigned char>(token->back())) ||
                std::any_of(token->begin(), token->end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })))
    return usage_error(app, "the token must not begin or end with a blank or hold a control character");

  ::signal(SIGPIPE, SIG_IGN);  // a write to a client that went away fails with EPIPE instead
  raise_descriptor_limit();
  // Relay bodies come and go by the hundred kilobytes. Giving freed heap back to the
  // kernel after each one, and faulting it in again for the next, costs more than the
  // relay itself; a few tens of megabytes stay mapped instead.
  ::mallopt(M_TRIM_THRESHOLD, 64 << 20);
  ::mallopt(M_MMAP_THRESHOLD, 16 << 20);

  kc::HoldLimiter holds(o.max_held, o.max_held_per_client, o.max_held_per_task);
  kc::RelayStore::Limits store_limits;
  store_limits.max_pending_per_task = o.max_pending;
  store_limits.max_bytes = o.max_store_bytes;
  store_limits.max_tasks = o.max_tasks;
  store_limits.ttl = ms(o.message_ttl);
  kc::RelayStore store(store_limits);
  kc::NormExchange norms;
  kc::MemberReports reports;
  kc::TaskRegistry::Config registry_config{o.stages, o.layers, o.max_tasks, ms(o.member_timeout)};
  kc::TaskRegistry registry(registry_config, [&store, &norms](const std::string& scope, bool over) {
    if (over) {
      store.drop_task(scope);
      norms.drop_group(scope);
    } else {
      store.wake_task(scope);
      norms.wake_group(scope);
    }
  });
  kc::RouteLimits route_limits;
  route_limits.join_wait = ms(o.join_wait);
  route_limits.fetch_wait = ms(std::min(o.fetch_wait, o.max_wait));
  route_limits.max_wait = ms(o.max_wait);
  route_limits.max_body = o.max_body;
  route_limits.max_json_body = o.max_json_body;
  kc::Service service{registry, store, holds, route_limits, token};
  service.norms = &norms;
  service.reports = &reports;

  kc::HttpServer::Options server_options;
  server_options.threads = o.threads;
  server_options.request_timeout = ms(o.read_timeout);
  server_options.keep_alive = ms(o.keep_alive_timeout);
  server_options.max_connections = o.max_connections;
  server_options.body_budget = o.max_body_memory;
  kc::HttpServer server(server_options);
  kc::install_routes(server, service);
  kc::LiveView live;
  kc::install_live_view(server, service, live);

  std::string listen_error;
  const int port = server.listen(o.host, o.port, listen_error);
  if (port < 0) {
    std::cerr << "korvane-coordinator: cannot listen on " << o.host << ":" << o.port << ": " << listen_error << "\n";
    return 1;
  }
  kc::log_line("korvane-coordinator listening on " + o.host + ":" + std::to_string(port));
  kc::log_line("stages=" + std::to_string(o.stages) + " layers=" + std::to_string(o.layers) +
               " threads=" + std::to_string(o.threads) + " max_held=" + std::to_string(o.max_held) +
               " max_body=" + std::to_string(o.max_body) + " max_pending=" + std::to_string(o.max_pending) +
               " message_ttl=" + CLI::detail::to_string(o.message_ttl) + "s" +
               " member_timeout=" + CLI::detail::to_string(o.member_timeout) + "s" +
               (token ? " token=required" : ""));

  auto& ioc = server.context();
  // Expired messages and silent members are looked for once a second.
  boost::asio::steady_timer janitor(ioc);
  boost::asio::co_spawn(
      ioc,
      [&]() -> boost::asio::awaitable<void> {
        for (;;) {
          janitor.expires_after(seconds(1));
          auto [ec] = co_await janitor.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
          if (ec) co_return;
          store.sweep();
          registry.sweep();
        }
      },
      boost::asio::detached);

  boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int sig) {
    if (ec) return;
    kc::log_line(std::string("shutting down on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    registry.shutdown();  // held joins and fetches answer 503
    store.shutdown();
    norms.shutdown();
    server.stop();
    janitor.cancel();
  });

  server.run();
  kc::log_line("korvane-coordinator stopped");
  return 0;
}
