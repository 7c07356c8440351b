// The client against the real stand-in coordinator on 127.0.0.1, through a blocking curl
// transport; Tasks are run to completion by a plain trampoline loop.
#include "korvane/carrowel/client/coordinator_client.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "korvane/carrowel/client/assignment_record.hpp"
#include "korvane/common/errors.hpp"

using namespace korvane;
using namespace korvane::carrowel::client;

namespace {

// Every leaf here completes without suspending, so the trampoline alone finishes a Task.
template <class T>
T run_sync(async::Task<T> task) {
  async::trampoline_next() = task.handle();
  while (auto next = std::exchange(async::trampoline_next(), {})) next.resume();
  EXPECT_TRUE(task.handle().done());
  return task.await_resume();
}

size_t append_body(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

size_t append_header(char* data, size_t size, size_t n, void* out) {
  auto& headers = *static_cast<std::vector<std::pair<std::string, std::string>>*>(out);
  std::string line(data, size * n);
  if (line.rfind("HTTP/", 0) == 0) headers.clear();  // a new response (after 100 Continue)
  const auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of("\r\n") + 1);
    headers.emplace_back(line.substr(0, colon), value);
  }
  return size * n;
}

http::Response blocking_exchange(const http::Request& r) {
  CURL* e = curl_easy_init();
  http::Response resp;
  curl_slist* list = nullptr;
  for (const auto& h : r.headers) list = curl_slist_append(list, h.c_str());
  list = curl_slist_append(list, "Expect:");
  curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
  if (r.method == "POST") {
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
  }
  if (r.timeout_s) curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(*r.timeout_s * 1000));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, append_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &resp.body);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, append_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &resp.headers);
  const CURLcode code = curl_easy_perform(e);
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &resp.status);
  curl_slist_free_all(list);
  curl_easy_cleanup(e);
  if (code == CURLE_OPERATION_TIMEDOUT) throw TimeoutError(curl_easy_strerror(code));
  if (code != CURLE_OK) throw ConnectionError(curl_easy_strerror(code));
  return resp;
}

async::Task<http::Response> blocking_transport(http::Request r) { co_return blocking_exchange(r); }

// Stands for asyncio's CancelledError: no korvane error, so it must pass through.
struct Cancelled : std::exception {};
async::Task<http::Response> cancelled_transport(http::Request) {
  throw Cancelled();
  co_return http::Response();
}

// The stand-in coordinator as a child process on a free port.
class Coordinator {
 public:
  explicit Coordinator(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    args.insert(args.begin(), {KORVANE_COORDINATOR_BIN, "--host", "127.0.0.1", "--port", "0"});
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
    const std::string prefix = "korvane-coordinator listening on 127.0.0.1:";
    char line[4096];
    while (port_ == 0 && fgets(line, sizeof line, out_))
      if (std::string(line).rfind(prefix, 0) == 0) port_ = std::stoi(std::string(line).substr(prefix.size()));
    // The log goes on; keep the pipe drained so that the service never blocks on it.
    drain_ = std::thread([f = out_] {
      char buf[4096];
      while (fgets(buf, sizeof buf, f)) {}
    });
  }
  ~Coordinator() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    drain_.join();
    fclose(out_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  int port_ = 0;
  std::thread drain_;
};

CoordinatorClient client_of(const Coordinator& c, std::optional<std::string> token = std::nullopt) {
  return CoordinatorClient(c.url(), std::move(token), blocking_transport);
}

Assigned joined(CoordinatorClient& client, const std::string& task, const std::string& trainer) {
  JoinResult r = run_sync(client.join(task, trainer, 1 << 30, false, 30.0));
  EXPECT_TRUE(std::holds_alternative<Assigned>(r)) << (std::holds_alternative<Refused>(r) ? std::get<Refused>(r).text : "");
  return std::holds_alternative<Assigned>(r) ? std::get<Assigned>(r) : Assigned{};
}

// Two members of one task, joined at once (a join is answered when the task is full);
// `first` holds position 0.
struct Pair {
  CoordinatorClient first, last;
  std::string first_id = "a", last_id = "b";
};
Pair two_members(const Coordinator& c, const std::string& task) {
  Pair p{client_of(c), client_of(c)};
  Assigned b;
  std::thread other([&] { b = joined(p.last, task, "b"); });
  joined(p.first, task, "a");
  other.join();
  if (read_assignment(b.answer).pipeline_position == 0) {
    std::swap(p.first, p.last);
    std::swap(p.first_id, p.last_id);
  }
  return p;
}

// The outcome a test expects, by value (the result is a temporary).
template <class R, class V>
R as(V result) {
  EXPECT_TRUE(std::holds_alternative<R>(result)) << "the result holds alternative " << result.index();
  return std::holds_alternative<R>(result) ? std::get<R>(std::move(result)) : R{};
}

}  // namespace

TEST(CoordinatorClient, JoinAssignsKeepsTheSecretAndSendsIt) {
  Coordinator c({"--stages", "1", "--layers", "4"});
  auto client = client_of(c);
  Assigned a = joined(client, "task-1", "a");
  EXPECT_FALSE(a.answer.contains("member_secret"));  // kept by the client, out of the caller's map
  const AssignmentRecord r = read_assignment(a.answer);
  EXPECT_EQ(r.layer_start, 0);
  EXPECT_EQ(r.layer_end, 4);
  EXPECT_EQ(r.upstream_trainer, std::nullopt);
  ASSERT_TRUE(client.member().secret.has_value());
  EXPECT_TRUE(client.member().joined);
  EXPECT_EQ(client.member().task_id, "task-1");
  EXPECT_EQ(as<Noted>(run_sync(client.ready(0))).stages, 1);

  // The coordinator accepts the notice only with the secret: so it was sent.
  const std::string secret = *client.member().secret;
  client.set_secret("not-the-secret");
  EXPECT_EQ(as<Refused>(run_sync(client.ready(0))).status, 403);
  client.set_secret(secret);
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(client.ready(0))));
  EXPECT_THROW(client.set_secret(std::string("x\r\nX-Evil: 1")), ValueError);
}

TEST(CoordinatorClient, JoinRefusedByAFormedTaskOrAWrongToken) {
  Coordinator c({"--stages", "1", "--layers", "4", "--token", "tok"});
  auto member = client_of(c, "tok");
  joined(member, "task-1", "a");

  auto late = client_of(c, "tok");
  const Refused full = as<Refused>(run_sync(late.join("task-1", "b", 1, false, 30.0)));
  EXPECT_EQ(full.status, 409);
  EXPECT_EQ(full.text, "coordinator answered 409: " + full.reason);
  EXPECT_FALSE(late.member().joined);

  auto stranger = client_of(c, "wrong");
  const Refused unauthorised = as<Refused>(run_sync(stranger.join("task-2", "c", 1, false, 30.0)));
  EXPECT_EQ(unauthorised.status, 401);
  EXPECT_NE(unauthorised.text.find("bearer token"), std::string::npos);
}

TEST(CoordinatorClient, UnreachableCoordinatorIsUnavailableAndForgetsTheSecret) {
  int port;
  {
    Coordinator gone({"--stages", "1"});
    port = gone.port();
  }
  CoordinatorClient client("http://127.0.0.1:" + std::to_string(port), std::nullopt, blocking_transport);
  client.set_secret("kept-from-before");
  const Unavailable u = as<Unavailable>(run_sync(client.join("t", "a", 1, false, 5.0)));
  EXPECT_FALSE(u.why.empty());
  EXPECT_FALSE(client.member().secret.has_value());
  EXPECT_FALSE(client.member().joined);
  EXPECT_TRUE(std::holds_alternative<NotMember>(run_sync(client.leave(std::nullopt))));
}

TEST(CoordinatorClient, RelaysRoundTripWithTheLoss) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  Pair p = two_members(c, "relay-task");
  const std::string body("\x00\x01 compressed \xff", 15);
  EXPECT_EQ(as<Delivered>(run_sync(p.first.post(Relay::activation, p.last_id, 0, body, std::nullopt, 10.0))).bytes, body.size());
  const Received act = as<Received>(run_sync(p.last.fetch(Relay::activation, 0, 10.0)));
  EXPECT_EQ(act.body, body);
  EXPECT_EQ(act.loss, std::nullopt);

  const std::string grad = "gradient bytes";
  ASSERT_TRUE(std::holds_alternative<Delivered>(run_sync(p.last.post(Relay::gradient, p.first_id, 0, grad, 2.302585092994046, 10.0))));
  const Received g = as<Received>(run_sync(p.first.fetch(Relay::gradient, 0, 10.0)));
  EXPECT_EQ(g.body, grad);
  EXPECT_EQ(g.bytes, grad.size());
  EXPECT_EQ(g.loss, 2.302585092994046);  // the exact double, through its shortest text
}

TEST(CoordinatorClient, ErrorAnswersAreRefusalsWithTheCoordinatorsText) {
  Coordinator c({"--stages", "1"});
  auto client = client_of(c);
  client.adopt("task\x01", "a");
  const Refused r = as<Refused>(run_sync(client.post(Relay::activation, "b", 0, "x", std::nullopt, 10.0)));
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.text, "coordinator answered 400: malformed header value or control character in a header");
  // An identifier that would break the header block is the caller's fault.
  client.adopt("task\r\n", "a");
  EXPECT_THROW(run_sync(client.post(Relay::activation, "b", 0, "x", std::nullopt, 10.0)), ValueError);
}

TEST(CoordinatorClient, LeaveEndsTheNeighboursWait) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  Pair p = two_members(c, "leave-task");
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(p.last.leave(std::string("out of memory")))));
  EXPECT_FALSE(p.last.member().joined);
  EXPECT_TRUE(std::holds_alternative<NotMember>(run_sync(p.last.leave(std::nullopt))));
  const NeighbourMissing m = as<NeighbourMissing>(run_sync(p.first.fetch(Relay::gradient, 0, 30.0)));
  EXPECT_EQ(m.status, 410);
  EXPECT_EQ(m.why.rfind("HTTP 410: ", 0), 0u);
  EXPECT_EQ(m.refusal.rfind("coordinator answered 410: ", 0), 0u);
}

TEST(CoordinatorClient, RollbackAnswersReachEveryMember) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  Pair p = two_members(c, "rollback-task");
  p.first.set_rollback_epoch(0);
  p.last.set_rollback_epoch(0);
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(p.first.report_checkpoint(3))));
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(p.last.report_checkpoint(2))));
  const RolledBack back = as<RolledBack>(run_sync(p.first.request_rollback(3)));
  EXPECT_EQ(back.step, 2);  // the latest step both members kept
  EXPECT_EQ(back.epoch, 1u);
  // The other member learns of it from its next relay or fetch.
  const RolledBack seen = as<RolledBack>(run_sync(p.last.post(Relay::gradient, p.first_id, 0, "g", 1.0, 10.0)));
  EXPECT_EQ(seen.step, 2);
  EXPECT_EQ(seen.epoch, 1u);
  EXPECT_EQ(as<RolledBack>(run_sync(p.last.fetch(Relay::activation, 0, 10.0))).step, 2);
  // Relaying in the new epoch works again.
  p.last.set_rollback_epoch(1);
  EXPECT_TRUE(std::holds_alternative<Delivered>(run_sync(p.last.post(Relay::gradient, p.first_id, 0, "g", 1.0, 10.0))));
}

TEST(CoordinatorClient, AFetchsTimeLimitMeansTheNeighbourIsMissing) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  Pair p = two_members(c, "slow-task");
  // The coordinator answers just before the announced limit.
  EXPECT_EQ(as<NeighbourMissing>(run_sync(p.first.fetch(Relay::gradient, 0, 0.5))).status, 504);

  // A peer that accepts the connection and never answers: the fetch's own limit runs out.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  CoordinatorClient silent("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), std::nullopt, blocking_transport);
  silent.adopt("slow-task", "a");
  const NeighbourMissing m = as<NeighbourMissing>(run_sync(silent.fetch(Relay::gradient, 0, 0.3)));
  EXPECT_EQ(m.status, 0);
  EXPECT_FALSE(m.why.empty());
  EXPECT_TRUE(m.refusal.empty());
  close(listener);
}

TEST(CoordinatorClient, CancellationAlwaysPassesThrough) {
  CoordinatorClient client("http://127.0.0.1:1", std::nullopt, cancelled_transport);
  client.adopt("t", "a");
  EXPECT_THROW(run_sync(client.join("t", "a", 1, false, 1.0)), Cancelled);
  EXPECT_THROW(run_sync(client.ready(0)), Cancelled);
  EXPECT_THROW(run_sync(client.post(Relay::gradient, "b", 0, "x", 1.0, 1.0)), Cancelled);
  EXPECT_THROW(run_sync(client.fetch(Relay::gradient, 0, 1.0)), Cancelled);
  EXPECT_THROW(run_sync(client.report_checkpoint(1)), Cancelled);
  EXPECT_THROW(run_sync(client.request_rollback(1)), Cancelled);
  EXPECT_THROW(run_sync(client.store(StoreOp::get("k", 1.0), 2.0)), Cancelled);
  EXPECT_THROW(run_sync(client.regroup(0, std::nullopt, 2.0)), Cancelled);
}

TEST(CoordinatorClient, ReplicasShareTheirRunsStoreAndRegroupWithoutASilentLane) {
  Coordinator c({"--stages", "1", "--layers", "2", "--replicas", "3", "--regroup-window", "0.3", "--token", "tok"});
  CoordinatorClient a = client_of(c, "tok"), b = client_of(c, "tok"), dead = client_of(c, "tok");
  std::thread tb([&] { joined(b, "t", "b"); });
  std::thread td([&] { joined(dead, "t", "dead"); });
  const auto answer = joined(a, "t", "a").answer;
  tb.join();
  td.join();
  EXPECT_EQ(answer["lanes"], 3);
  EXPECT_EQ(answer["group"]["world_size"], 3);

  EXPECT_TRUE(as<StoreAnswer>(run_sync(a.store(StoreOp::set("addr", std::string("\0ip", 3)), 5.0))).value == std::nullopt);
  EXPECT_EQ(as<StoreAnswer>(run_sync(b.store(StoreOp::get("addr", 1.0), 5.0))).value, std::string("\0ip", 3));
  EXPECT_EQ(as<StoreAnswer>(run_sync(b.store(StoreOp::add("n", 3), 5.0))).counter, 3);
  EXPECT_EQ(as<StoreAnswer>(run_sync(a.store(StoreOp::compare_set("n", "3", "x"), 5.0))).value, "x");
  EXPECT_EQ(as<StoreAnswer>(run_sync(a.store(StoreOp::check({"addr", "n"}), 5.0))).flag, true);
  EXPECT_EQ(as<StoreAnswer>(run_sync(a.store(StoreOp::num_keys(), 5.0))).count, 2);
  EXPECT_EQ(as<StoreAnswer>(run_sync(a.store(StoreOp::erase("n"), 5.0))).flag, true);
  EXPECT_EQ(as<Refused>(run_sync(a.store(StoreOp::wait({"never"}, 0.1), 5.0))).status, 504);
  CoordinatorClient stranger = client_of(c, "tok");
  stranger.adopt("t", "x");
  EXPECT_EQ(as<Refused>(run_sync(stranger.store(StoreOp::num_keys(), 5.0))).status, 403);

  // "dead" never asks: after the window a and b meet in generation 1 without it.
  Regrouped rb;
  std::thread other([&] { rb = as<Regrouped>(run_sync(b.regroup(0, std::string("gloo: timed out"), 10.0))); });
  const Regrouped ra = as<Regrouped>(run_sync(a.regroup(0, std::nullopt, 10.0)));
  other.join();
  EXPECT_EQ(ra.generation, 1u);
  EXPECT_EQ(ra.world_size, 2);
  EXPECT_EQ(ra.lanes, rb.lanes);
  EXPECT_EQ(ra.rank + rb.rank, 1);  // lanes join in any order here; the two ranks are 0 and 1
  const Refused lost = as<Refused>(run_sync(dead.regroup(0, std::nullopt, 10.0)));
  EXPECT_EQ(lost.status, 410);
  EXPECT_EQ(lost.reason, "trainer 'dead' failed: lost from the replica group of stage 0");
}
