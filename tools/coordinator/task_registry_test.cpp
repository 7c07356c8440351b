#include "tools/coordinator/task_registry.hpp"

#include <gtest/gtest.h>


namespace kc = korvane::coordinator;
using namespace std::chrono_literals;
using Clock = kc::TaskRegistry::Clock;
using Join = kc::TaskRegistry::JoinStatus;
using Ready = kc::TaskRegistry::ReadyStatus;

namespace {

TEST(SplitLayers, SlicesAreContiguousCoverAllLayersAndDifferByAtMostOne) {
  EXPECT_EQ(kc::split_layers(12, 3), (std::vector<kc::LayerSlice>{{0, 4}, {4, 8}, {8, 12}}));
  EXPECT_EQ(kc::split_layers(10, 3), (std::vector<kc::LayerSlice>{{0, 4}, {4, 7}, {7, 10}}));
  EXPECT_EQ(kc::split_layers(5, 1), (std::vector<kc::LayerSlice>{{0, 5}}));
  for (std::int64_t stages = 1; stages <= 9; ++stages) {
    for (std::int64_t layers = stages; layers <= 40; ++layers) {
      auto s = kc::split_layers(layers, stages);
      ASSERT_EQ(static_cast<std::int64_t>(s.size()), stages);
      EXPECT_EQ(s.front().start, 0);
      EXPECT_EQ(s.back().end, layers);
      for (std::size_t i = 1; i < s.size(); ++i) {
        EXPECT_EQ(s[i].start, s[i - 1].end);
        const auto prev = s[i - 1].end - s[i - 1].start, cur = s[i].end - s[i].start;
        EXPECT_TRUE(prev == cur || prev == cur + 1) << layers << "/" << stages;  // larger slices first
      }
    }
  }
  EXPECT_THROW(kc::split_layers(4, 0), std::invalid_argument);
}

struct Flag : kc::Waiter {
  int wakes = 0;
  void wake() override { ++wakes; }
};

// A registry whose clock the test moves by hand; run changes are recorded.
struct Registry {
  explicit Registry(std::int64_t stages, std::int64_t layers = 12, std::size_t tasks = 64)
      : registry({stages, layers, tasks, 10s}, [this](const std::string& scope, bool over) { changes.push_back({scope, over}); },
                 [this] { return now; }) {}
  Clock::time_point now = Clock::now();
  std::vector<std::pair<std::string, bool>> changes;
  kc::TaskRegistry registry;

  kc::TaskRegistry::JoinResult join(const std::string& task, const std::string& trainer, bool wants_secret = false,
                                    std::optional<std::string> secret = std::nullopt,
                                    std::shared_ptr<Flag> waiter = std::make_shared<Flag>()) {
    kc::JoinRequest req{task, trainer, 1, false, wants_secret, std::move(secret), true};
    return registry.join(req, waiter);
  }
  // A formed two-stage run "t" of members a and b, with secrets when asked.
  std::pair<kc::TaskRegistry::JoinResult, kc::TaskRegistry::JoinResult> formed(bool secrets) {
    auto a = join("t", "a", secrets);
    EXPECT_EQ(a.status, Join::waiting);
    auto b = join("t", "b", secrets);
    EXPECT_EQ(b.status, Join::assigned);
    return {registry.poll_join("t", "a", a.run), b};
  }
};

TEST(TaskRegistry, SingleStageTaskAnswersAtOnceWithoutNeighbours) {
  Registry r(1, 6);
  auto res = r.join("t", "solo");
  ASSERT_EQ(res.status, Join::assigned);
  EXPECT_EQ(res.assignment.slice, (kc::LayerSlice{0, 6}));
  EXPECT_EQ(res.assignment.pipeline_position, 0);
  EXPECT_FALSE(res.assignment.upstream);
  EXPECT_FALSE(res.assignment.downstream);
  EXPECT_FALSE(res.assignment.layer_weights_hash.empty());
  EXPECT_FALSE(res.secret);  // not asked for
}

TEST(TaskRegistry, JoinsWaitForTheWholeTaskAndGetSlicesAndNeighboursInJoinOrder) {
  Registry r(3);
  auto wa = std::make_shared<Flag>(), wb = std::make_shared<Flag>();
  auto a = r.join("t", "a", false, std::nullopt, wa);
  auto b = r.join("t", "b", false, std::nullopt, wb);
  ASSERT_EQ(a.status, Join::waiting);
  EXPECT_EQ(r.registry.poll_join("t", "a", a.run).status, Join::waiting);
  EXPECT_EQ(wa->wakes, 0);
  auto c = r.join("t", "c");
  ASSERT_EQ(c.status, Join::assigned);
  EXPECT_EQ(wa->wakes, 1);
  EXPECT_EQ(wb->wakes, 1);
  auto ra = r.registry.poll_join("t", "a", a.run), rb = r.registry.poll_join("t", "b", b.run);
  ASSERT_EQ(ra.status, Join::assigned);
  ASSERT_EQ(rb.status, Join::assigned);

  EXPECT_EQ(ra.assignment.slice, (kc::LayerSlice{0, 4}));
  EXPECT_EQ(rb.assignment.slice, (kc::LayerSlice{4, 8}));
  EXPECT_EQ(c.assignment.slice, (kc::LayerSlice{8, 12}));
  EXPECT_EQ(rb.assignment.pipeline_position, 1);
  EXPECT_FALSE(ra.assignment.upstream);
  EXPECT_EQ(ra.assignment.downstream, "b");
  EXPECT_EQ(rb.assignment.upstream, "a");
  EXPECT_EQ(rb.assignment.downstream, "c");
  EXPECT_EQ(c.assignment.upstream, "b");
  EXPECT_FALSE(c.assignment.downstream);
  EXPECT_NE(ra.assignment.layer_weights_hash, rb.assignment.layer_weights_hash);
}

TEST(TaskRegistry, DuplicateIdWhileFormingIsRefusedAndFreedWhenItsJoinGivesUp) {
  Registry r(2);
  auto w = std::make_shared<Flag>();
  auto first = r.join("t", "a", false, std::nullopt, w);
  EXPECT_EQ(r.join("t", "a").status, Join::refused);
  r.registry.abandon_join("t", "a", first.run, w.get());
  EXPECT_EQ(r.registry.stats().tasks, 0u);  // nobody left: the forming task is gone

  auto again = r.join("t", "a");
  EXPECT_EQ(r.join("t", "b").status, Join::assigned);
  auto res = r.registry.poll_join("t", "a", again.run);
  ASSERT_EQ(res.status, Join::assigned);
  EXPECT_EQ(res.assignment.pipeline_position, 0);
}

TEST(TaskRegistry, AFormedRunAnswersItsMembersAgainAndRefusesNewcomers) {
  Registry r(2, 8);
  auto [a, b] = r.formed(false);
  auto again = r.join("t", "a");  // lost answer: the same slice, at once
  ASSERT_EQ(again.status, Join::assigned);
  EXPECT_TRUE(again.rejoined);
  EXPECT_EQ(again.assignment.slice, a.assignment.slice);
  auto c = r.join("t", "c");
  EXPECT_EQ(c.status, Join::refused);
  EXPECT_NE(c.error.find("already formed"), std::string::npos);
}

TEST(TaskRegistry, MemberSecretsAreNeededToRejoinAndToActForTheMember) {
  Registry r(2, 8);
  auto [a, b] = r.formed(true);
  ASSERT_TRUE(a.secret && b.secret);
  EXPECT_NE(*a.secret, *b.secret);
  EXPECT_GE(a.secret->size(), 32u);

  EXPECT_EQ(r.join("t", "a").status, Join::refused);
  EXPECT_EQ(r.join("t", "a", true, *b.secret).status, Join::refused);  // another member's secret
  auto re = r.join("t", "a", true, *a.secret);
  ASSERT_EQ(re.status, Join::assigned);
  EXPECT_EQ(re.secret, a.secret);

  EXPECT_EQ(r.registry.ready("t", "a", 0, std::nullopt).status, Ready::forbidden);
  EXPECT_EQ(r.registry.ready("t", "a", 0, a.secret).status, Ready::recorded);

  // Posts: only a member, proven, and only to its neighbour.
  EXPECT_EQ(r.registry.check_post("t", "a", "b", std::nullopt, false).status, 403);
  EXPECT_EQ(r.registry.check_post("t", "x", "b", std::nullopt, false).status, 403);
  EXPECT_EQ(r.registry.check_post("t", "a", "a", a.secret, false).status, 403);
  auto ok = r.registry.check_post("t", "a", "b", a.secret, false);
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.scope, kc::run_scope("t", re.run));
  EXPECT_TRUE(ok.exclusive);
  // Activations go downstream only, gradients upstream only.
  using Flow = kc::TaskRegistry::Flow;
  EXPECT_TRUE(r.registry.check_post("t", "a", "b", a.secret, false, std::nullopt, Flow::downstream).ok());
  EXPECT_EQ(r.registry.check_post("t", "a", "b", a.secret, false, std::nullopt, Flow::upstream).status, 403);
  EXPECT_TRUE(r.registry.check_post("t", "b", "a", b.secret, false, std::nullopt, Flow::upstream).ok());
  EXPECT_EQ(r.registry.check_post("t", "b", "a", b.secret, false, std::nullopt, Flow::downstream).status, 403);
  // Fetches: only the recipient itself.
  EXPECT_EQ(r.registry.check_fetch("t", "b", a.secret, false).status, 403);
  EXPECT_TRUE(r.registry.check_fetch("t", "b", b.secret, false).ok());
}

TEST(TaskRegistry, WithoutSecretsTheRelayStaysOpenUnlessStrict) {
  Registry r(2, 8);
  EXPECT_TRUE(r.registry.check_post("nobody", "x", "y", std::nullopt, false).ok());
  EXPECT_EQ(r.registry.check_post("nobody", "x", "y", std::nullopt, true).status, 403);
  auto [a, b] = r.formed(false);
  EXPECT_TRUE(r.registry.check_post("t", "x", "b", std::nullopt, false).ok());
  // The plain protocol keeps its open relay: any sender, either way, replacing freely.
  const auto open = r.registry.check_post("t", "b", "a", std::nullopt, false, std::nullopt,
                                          kc::TaskRegistry::Flow::downstream);
  EXPECT_TRUE(open.ok());
  EXPECT_FALSE(open.exclusive);
  EXPECT_EQ(r.registry.check_post("t", "x", "b", std::nullopt, true).status, 403);
  EXPECT_TRUE(r.registry.check_post("t", "a", "b", std::nullopt, true).ok());
  EXPECT_EQ(r.registry.check_fetch("t", "x", std::nullopt, true).status, 403);
}

TEST(TaskRegistry, RunEndsWhenEveryMemberIsInactiveAndTheNextJoinStartsANewOne) {
  Registry r(2, 8);
  auto [a, b] = r.formed(true);
  const std::string scope = kc::run_scope("t", a.run);
  std::string why;
  EXPECT_EQ(r.registry.leave("t", "a", std::nullopt, std::nullopt, why), 403);
  EXPECT_EQ(r.registry.leave("t", "a", a.secret, std::string("out of memory"), why), 0);
  ASSERT_EQ(r.changes.size(), 1u);
  EXPECT_EQ(r.changes[0], std::make_pair(scope, false));  // waiting fetches of the run look again
  auto blocker = r.registry.fetch_blocker("t", a.run, "b", true);
  ASSERT_TRUE(blocker);
  EXPECT_NE(blocker->find("out of memory"), std::string::npos);

  // b falls silent; a held request would have kept it.
  r.registry.hold("t", a.run, "b", +1);
  r.now += 11s;
  EXPECT_EQ(r.registry.sweep(), 0u);
  r.registry.hold("t", a.run, "b", -1);
  r.now += 11s;
  EXPECT_EQ(r.registry.sweep(), 1u);
  ASSERT_EQ(r.changes.size(), 2u);
  EXPECT_EQ(r.changes[1], std::make_pair(scope, true));  // the run is over: its messages go
  EXPECT_EQ(r.registry.stats().tasks, 0u);

  auto c = r.join("t", "c");
  ASSERT_EQ(c.status, Join::waiting);
  EXPECT_NE(c.run, a.run);
  EXPECT_EQ(r.registry.fetch_blocker("t", a.run, "b", false), "the run of task 't' is over");
}

TEST(TaskRegistry, JoinsThatMayNotWaitAreRefusedWithoutLeavingATask) {
  Registry r(2, 12);
  kc::JoinRequest req{"t2", "x", 1, false, false, std::nullopt, false};
  EXPECT_EQ(r.registry.join(req, nullptr).status, Join::busy);
  EXPECT_EQ(r.registry.stats().tasks, 0u);
  r.join("t1", "a");
  req.task_id = "t1";
  EXPECT_EQ(r.registry.join(req, nullptr).status, Join::assigned);  // completing needs no wait
}

TEST(TaskRegistry, TaskCapCountsFormingAndRunningTasks) {
  Registry r(2, 12, /*tasks=*/2);
  r.formed(false);
  r.join("forming", "a");
  EXPECT_EQ(r.join("third", "a").status, Join::too_many_tasks);
  std::string why;
  r.registry.leave("t", "a", std::nullopt, std::nullopt, why);
  r.registry.leave("t", "b", std::nullopt, std::nullopt, why);
  EXPECT_EQ(r.join("third", "a").status, Join::waiting);  // the finished run made room
}

TEST(TaskRegistry, ShutdownWakesWaitingJoins) {
  Registry r(3);
  auto w = std::make_shared<Flag>();
  auto a = r.join("t", "a", false, std::nullopt, w);
  r.registry.shutdown();
  EXPECT_EQ(w->wakes, 1);
  EXPECT_EQ(r.registry.poll_join("t", "a", a.run).status, Join::shutting_down);
  EXPECT_EQ(r.join("t", "b").status, Join::shutting_down);
}

TEST(TaskRegistry, ReadyIsRecordedForMembersAtTheirOwnPosition) {
  Registry r(2);
  r.join("t", "a");
  EXPECT_EQ(r.registry.ready("t", "a", 0, std::nullopt).status, Ready::unknown_trainer);  // no assignment yet
  r.join("t", "b");
  EXPECT_EQ(r.registry.ready("t", "b", 0, std::nullopt).status, Ready::wrong_position);
  EXPECT_EQ(r.registry.ready("t", "zz", 0, std::nullopt).status, Ready::unknown_trainer);
  EXPECT_EQ(r.registry.ready("t", "a", 0, std::nullopt).ready, 1u);
  EXPECT_EQ(r.registry.ready("t", "a", 0, std::nullopt).ready, 1u);  // repeated notice counts once
  EXPECT_EQ(r.registry.ready("t", "b", 1, std::nullopt).ready, 2u);
}

}  // namespace
