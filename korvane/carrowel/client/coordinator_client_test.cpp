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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

#include <nlohmann/json.hpp>

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
}

// --- codecs, stages, norms and reports ---------------------------------------------------

namespace {

JoinOptions codecs(std::string activation, std::string gradient, std::optional<long long> stage = std::nullopt) {
  return JoinOptions{std::move(activation), std::move(gradient), stage};
}

// Members of a task forming at the coordinator, as its /status counts them.
std::size_t members_at(const Coordinator& c) {
  http::Request r("GET", c.url() + "/status");
  const auto j = nlohmann::json::parse(blocking_exchange(r).body);
  return j["tasks"].get<std::size_t>() == 0 ? 0 : j["active_members"].get<std::size_t>();
}

void wait_for_members(const Coordinator& c, std::size_t n) {
  for (int i = 0; i < 1000 && members_at(c) < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(members_at(c), n);
}

// `n` members of one task joined at once with `options[i]`; ordered by position.
std::vector<std::pair<CoordinatorClient, Assigned>> members(const Coordinator& c, const std::string& task,
                                                            std::vector<JoinOptions> options) {
  std::vector<std::pair<CoordinatorClient, Assigned>> out;
  for (std::size_t i = 0; i < options.size(); ++i) out.emplace_back(client_of(c), Assigned{});
  std::vector<std::thread> joins;
  for (std::size_t i = 0; i < options.size(); ++i) {
    joins.emplace_back([&, i] {
      JoinResult r = run_sync(out[i].first.join(task, "m" + std::to_string(i), 1, false, 30.0, options[i]));
      if (auto* a = std::get_if<Assigned>(&r)) out[i].second = *a;
    });
    wait_for_members(c, i + 1);  // join order is the order of `options`
  }
  for (auto& t : joins) t.join();
  std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) {
    return x.second.answer.value("pipeline_position", -1) < y.second.answer.value("pipeline_position", -1);
  });
  return out;
}

std::string html_get(const Coordinator& c, const std::string& path) {
  http::Request r("GET", c.url() + path);
  return blocking_exchange(r).body;
}

}  // namespace

TEST(CoordinatorClient, CodecsAreAgreedAtTheJoinAndNamedOnEveryRelay) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  auto m = members(c, "codec-task", {codecs("int8", "int4"), codecs("int8", "int4")});
  for (const auto& [client, a] : m) {
    EXPECT_EQ(a.answer.at("activation_codec"), "int8");
    EXPECT_EQ(a.answer.at("gradient_codec"), "int4");
    for (const char* f : {"codecs", "tensor_lists", "stage", "norms", "reports"})
      EXPECT_NE(std::find(a.answer.at("features").begin(), a.answer.at("features").end(), f),
                a.answer.at("features").end())
          << f;
  }
  auto& [first, a0] = m[0];
  auto& [last, a1] = m[1];
  const std::string to = a0.answer.at("downstream_trainer");
  ASSERT_TRUE(std::holds_alternative<Delivered>(run_sync(first.post(Relay::activation, to, 0, "q8", std::nullopt, 10.0, "int8"))));
  EXPECT_EQ(as<Received>(run_sync(last.fetch(Relay::activation, 0, 10.0))).codec, "int8");
  // A post that names no codec comes back without one: the plain sign record.
  ASSERT_TRUE(std::holds_alternative<Delivered>(run_sync(first.post(Relay::activation, to, 1, "s", std::nullopt, 10.0))));
  EXPECT_EQ(as<Received>(run_sync(last.fetch(Relay::activation, 1, 10.0))).codec, std::nullopt);
  // A name the coordinator does not know is refused, and one that would break the header is the caller's fault.
  EXPECT_EQ(as<Refused>(run_sync(first.post(Relay::activation, to, 2, "x", std::nullopt, 10.0, "int3"))).status, 400);
  EXPECT_THROW(run_sync(first.post(Relay::activation, to, 2, "x", std::nullopt, 10.0, "int8\r\nX-Evil: 1")), ValueError);
}

TEST(CoordinatorClient, AJoinAskingAnotherCodecPairIsRefusedWithBothPairs) {
  Coordinator c({"--stages", "2", "--layers", "4"});
  auto first = client_of(c);
  std::thread forming([&] { joined(first, "pair-task", "a"); });
  wait_for_members(c, 1);
  // The first member asked for nothing: the task relays sign/sign.
  auto other = client_of(c);
  const Refused r = as<Refused>(run_sync(other.join("pair-task", "b", 1, false, 30.0, codecs("int4", "int4"))));
  EXPECT_EQ(r.status, 409);
  EXPECT_NE(r.reason.find("activation=sign gradient=sign"), std::string::npos) << r.reason;
  EXPECT_NE(r.reason.find("activation=int4 gradient=int4"), std::string::npos) << r.reason;
  EXPECT_FALSE(other.member().joined);
  const Refused unknown = as<Refused>(run_sync(other.join("pair-task", "b", 1, false, 30.0, codecs("int4", "zip"))));
  EXPECT_EQ(unknown.status, 400);
  EXPECT_NE(unknown.reason.find("'zip'"), std::string::npos) << unknown.reason;
  const Assigned plain = joined(other, "pair-task", "b");  // the default pair agrees
  EXPECT_EQ(plain.answer.at("gradient_codec"), "sign");
  forming.join();
}

TEST(CoordinatorClient, PinnedStagesArePlacedAndATakenOrMissingStageIsRefused) {
  Coordinator c({"--stages", "3", "--layers", "6"});
  auto m = members(c, "pin-task", {codecs("sign", "sign", 2), JoinOptions{}, JoinOptions{std::nullopt, std::nullopt, 0}});
  // m is in position order: the member that pinned 0 joined third, the unpinned one second.
  EXPECT_EQ(m[0].first.member().trainer_id, "m2");
  EXPECT_EQ(m[1].first.member().trainer_id, "m1");
  EXPECT_EQ(m[2].first.member().trainer_id, "m0");
  EXPECT_EQ(m[0].second.answer.at("downstream_trainer"), "m1");
  EXPECT_EQ(m[2].second.answer.at("upstream_trainer"), "m1");
  EXPECT_EQ(m[2].second.answer.at("layer_start"), 4);

  Coordinator d({"--stages", "2", "--layers", "2"});
  auto holder = client_of(d);
  std::thread hold([&] { (void)run_sync(holder.join("t", "h", 1, false, 30.0, JoinOptions{std::nullopt, std::nullopt, 1})); });
  wait_for_members(d, 1);
  auto late = client_of(d);
  const Refused taken = as<Refused>(run_sync(late.join("t", "x", 1, false, 30.0, JoinOptions{std::nullopt, std::nullopt, 1})));
  EXPECT_EQ(taken.status, 409);
  EXPECT_NE(taken.reason.find("stage 1 of task 't' is taken by trainer 'h'"), std::string::npos) << taken.reason;
  const Refused out = as<Refused>(run_sync(late.join("t", "x", 1, false, 30.0, JoinOptions{std::nullopt, std::nullopt, 2})));
  EXPECT_EQ(out.status, 400);
  EXPECT_NE(out.reason.find("out of range"), std::string::npos) << out.reason;
  EXPECT_EQ(as<Assigned>(run_sync(late.join("t", "x", 1, false, 30.0, JoinOptions{std::nullopt, std::nullopt, 0})))
                .answer.at("pipeline_position"),
            0);
  hold.join();
}

TEST(CoordinatorClient, NormsAreSummedInPipelineOrderAndEveryMemberGetsTheSameDouble) {
  Coordinator c({"--stages", "3", "--layers", "3"});
  auto m = members(c, "norm-task", {JoinOptions{}, JoinOptions{}, JoinOptions{}});
  // 1e16 + 1 + 1 is 1e16 in pipeline order and 1e16 + 2 in any order that adds the ones first.
  const double norms[] = {1e16, 1.0, 1.0};
  std::vector<NormResult> got(3);
  std::vector<std::thread> posts;
  for (int i = 2; i >= 0; --i) posts.emplace_back([&, i] { got[i] = run_sync(m[i].first.exchange_norm(0, norms[i], 30.0)); });
  for (auto& t : posts) t.join();
  for (const auto& r : got) EXPECT_EQ(as<NormTotal>(r).total, 1e16);
  // The answer of a step, asked again with the same value, is the same total; another value is refused.
  EXPECT_EQ(as<NormTotal>(run_sync(m[1].first.exchange_norm(0, 1.0, 30.0))).total, 1e16);
  EXPECT_EQ(as<Refused>(run_sync(m[1].first.exchange_norm(0, 2.0, 30.0))).status, 409);
  // What no coordinator could sum is refused before anything is sent.
  EXPECT_THROW(run_sync(m[0].first.exchange_norm(1, -1.0, 30.0)), ValueError);
  EXPECT_THROW(run_sync(m[0].first.exchange_norm(1, std::numeric_limits<double>::infinity(), 30.0)), ValueError);
  EXPECT_THROW(run_sync(m[0].first.exchange_norm(1, std::nan(""), 30.0)), ValueError);
}

TEST(CoordinatorClient, ANormExchangeEndsWhenAMemberLeavesOrTheWaitRunsOut) {
  Coordinator c({"--stages", "2", "--layers", "2"});
  Pair p = two_members(c, "norm-gone");
  // The coordinator answers just before the announced limit.
  const NeighbourMissing late = as<NeighbourMissing>(run_sync(p.first.exchange_norm(0, 1.0, 0.5)));
  EXPECT_EQ(late.status, 504);
  std::thread leaving([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    (void)run_sync(p.last.leave(std::string("lost its GPU")));
  });
  const NeighbourMissing gone = as<NeighbourMissing>(run_sync(p.first.exchange_norm(1, 1.0, 30.0)));
  leaving.join();
  EXPECT_EQ(gone.status, 410);
  EXPECT_NE(gone.refusal.find("lost its GPU"), std::string::npos) << gone.refusal;
  // A stranger is refused; so is a member whose secret is not sent.
  auto stranger = client_of(c);
  stranger.adopt("norm-gone", "z");
  EXPECT_EQ(as<Refused>(run_sync(stranger.exchange_norm(0, 1.0, 5.0))).status, 403);
}

TEST(CoordinatorClient, ANormExchangeOfAStaleEpochLearnsOfTheRollback) {
  Coordinator c({"--stages", "2", "--layers", "2"});
  Pair p = two_members(c, "norm-rollback");
  p.first.set_rollback_epoch(0);
  p.last.set_rollback_epoch(0);
  ASSERT_TRUE(std::holds_alternative<Noted>(run_sync(p.first.report_checkpoint(4))));
  ASSERT_TRUE(std::holds_alternative<Noted>(run_sync(p.last.report_checkpoint(4))));
  ASSERT_TRUE(std::holds_alternative<RolledBack>(run_sync(p.first.request_rollback(4))));
  const RolledBack back = as<RolledBack>(run_sync(p.last.exchange_norm(5, 1.0, 10.0)));
  EXPECT_EQ(back.step, 4);
  EXPECT_EQ(back.epoch, 1u);
}

TEST(CoordinatorClient, ReportsReachTheLivePageAndTheMetrics) {
  Coordinator c({"--stages", "1", "--layers", "2"});
  auto client = client_of(c);
  joined(client, "report-task", "a");
  ProgressReport r;
  r.step = 300;
  r.heldout_loss = 2.014;
  r.heldout_accuracy = 0.5;
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(client.report(r))));
  const auto tasks = nlohmann::json::parse(html_get(c, "/status/tasks"));
  const auto& t = tasks.at("tasks").at(0).at("trainers").at(0);
  EXPECT_EQ(t.at("heldout_loss"), 2.014);
  EXPECT_EQ(t.at("heldout_accuracy"), 0.5);
  EXPECT_EQ(t.at("report_step"), 300);
  EXPECT_TRUE(t.at("averaging_seconds").is_null());
  const std::string metrics = html_get(c, "/metrics");
  EXPECT_NE(metrics.find("korvane_heldout_loss{task=\"report-task\",trainer=\"a\"} 2.014\n"), std::string::npos)
      << metrics;
  // A figure that is not finite clears it (JSON has no NaN); the others stay.
  ProgressReport cleared;
  cleared.heldout_loss = std::nan("");
  EXPECT_TRUE(std::holds_alternative<Noted>(run_sync(client.report(cleared))));
  const auto after = nlohmann::json::parse(html_get(c, "/status/tasks")).at("tasks").at(0).at("trainers").at(0);
  EXPECT_TRUE(after.at("heldout_loss").is_null());
  EXPECT_EQ(after.at("heldout_accuracy"), 0.5);
  EXPECT_EQ(html_get(c, "/metrics").find("korvane_heldout_loss{"), std::string::npos);

  auto stranger = client_of(c);
  stranger.adopt("report-task", "z");
  EXPECT_EQ(as<Refused>(run_sync(stranger.report(r))).status, 403);
}

TEST(CoordinatorClient, AgainstAPlainCoordinatorTheExtrasAreVisiblyAbsent) {
  // A coordinator that knows only the plain protocol: its join answer has no codecs or
  // features, its fetch answers carry no X-Codec, and it has no norm or report route.
  std::vector<http::Request> seen;
  Transport plain = [&seen](http::Request r) -> async::Task<http::Response> {
    seen.push_back(r);
    http::Response resp;
    resp.status = 200;
    if (r.url.find("/pipeline/join") != std::string::npos) {
      resp.body = R"({"layer_start": 0, "layer_end": 2, "pipeline_position": 1, "upstream_trainer": "a",
                      "downstream_trainer": null, "layer_weights_hash": ""})";
    } else if (r.url.find("/pipeline/activation") != std::string::npos) {
      resp.body = r.method == "GET" ? "bytes" : "{}";
    } else {
      resp.status = 404;
      resp.body = R"({"error": "no such route"})";
    }
    co_return resp;
  };
  CoordinatorClient client("http://plain", std::nullopt, plain);
  const Assigned a = as<Assigned>(run_sync(client.join("t", "b", 1, false, 5.0, codecs("int4", "int4", 1))));
  EXPECT_FALSE(a.answer.contains("features"));
  EXPECT_FALSE(a.answer.contains("activation_codec"));
  EXPECT_EQ(seen.back().body,
            R"({"task_id":"t","trainer_id":"b","memory_bytes":1,"has_gpu":false,"activation_codec":"int4","gradient_codec":"int4","stage":1})");
  EXPECT_EQ(as<Received>(run_sync(client.fetch(Relay::activation, 0, 5.0))).codec, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<Delivered>(run_sync(client.post(Relay::activation, "c", 0, "x", std::nullopt, 5.0, "int4"))));
  EXPECT_EQ(seen.back().headers.at(4), "X-Codec: int4");
  EXPECT_EQ(as<Refused>(run_sync(client.exchange_norm(0, 1.0, 5.0))).status, 404);
  EXPECT_EQ(as<Refused>(run_sync(client.report(ProgressReport{}))).status, 404);
  // Without options the join body is the plain one, byte for byte.
  (void)run_sync(client.join("t", "b", 1, false, 5.0));
  EXPECT_EQ(seen.back().body, R"({"task_id":"t","trainer_id":"b","memory_bytes":1,"has_gpu":false})");
}

TEST(CoordinatorClient, NormsAndReportsPassCancellationThrough) {
  CoordinatorClient client("http://127.0.0.1:1", std::nullopt, cancelled_transport);
  client.adopt("t", "a");
  EXPECT_THROW(run_sync(client.exchange_norm(0, 1.0, 1.0)), Cancelled);
  EXPECT_THROW(run_sync(client.report(ProgressReport{})), Cancelled);
  EXPECT_THROW(run_sync(client.join("t", "a", 1, false, 1.0, codecs("int8", "int8", 0))), Cancelled);
}
