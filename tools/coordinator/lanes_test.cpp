// Runs of several lanes: formation, neighbours, failures that stay in their lane, and the
// regroups of a stage's replicas, on a clock the tests move by hand.
#include <gtest/gtest.h>

#include "tools/coordinator/task_registry.hpp"

namespace kc = korvane::coordinator;
using namespace std::chrono_literals;
using Clock = kc::TaskRegistry::Clock;
using Join = kc::TaskRegistry::JoinStatus;
using Regroup = kc::TaskRegistry::RegroupStatus;

namespace {

struct Flag : kc::Waiter {
  int wakes = 0;
  void wake() override { ++wakes; }
};

struct Lanes {
  Lanes(std::int64_t stages, std::int64_t replicas)
      : registry(config(stages, replicas), [this](const std::string& scope, bool over) { changes.push_back({scope, over}); },
                 [this] { return now; }) {
    registry.on_run_end([this](const std::string& scope) { ended.push_back(scope); });
  }
  static kc::TaskRegistry::Config config(std::int64_t stages, std::int64_t replicas) {
    kc::TaskRegistry::Config c{stages, 12, 64, 600s};
    c.replicas = replicas;
    c.regroup_window = 3s;
    return c;
  }
  Clock::time_point now = Clock::now();
  std::vector<std::pair<std::string, bool>> changes;
  std::vector<std::string> ended;
  kc::TaskRegistry registry;

  // Joins `ids` in order into task "t"; returns every member's answer once formed.
  std::map<std::string, kc::TaskRegistry::JoinResult> form(const std::vector<std::string>& ids) {
    std::vector<std::uint64_t> runs;
    for (const auto& id : ids) {
      auto r = registry.join({"t", id, 1, false, false, std::nullopt, true}, std::make_shared<Flag>());
      runs.push_back(r.run);
    }
    std::map<std::string, kc::TaskRegistry::JoinResult> out;
    for (std::size_t i = 0; i < ids.size(); ++i) out[ids[i]] = registry.poll_join("t", ids[i], runs[i]);
    return out;
  }
  kc::TaskRegistry::RegroupResult ask(const std::string& id, std::uint64_t generation,
                                      std::shared_ptr<Flag> w = std::make_shared<Flag>()) {
    return registry.regroup("t", id, std::nullopt, generation, std::nullopt, w);
  }
};

TEST(Lanes, ARunFormsWhenEveryLaneIsFullAndNeighboursStayInTheirLane) {
  Lanes l(2, 2);
  auto first = l.registry.join({"t", "a", 1, false, false, std::nullopt, true}, std::make_shared<Flag>());
  EXPECT_EQ(first.status, Join::waiting);
  auto m = l.form({"b", "c", "d"});
  m["a"] = l.registry.poll_join("t", "a", first.run);
  for (auto& [id, r] : m) ASSERT_EQ(r.status, Join::assigned) << id;

  const auto& a = m["a"].assignment;
  const auto& b = m["b"].assignment;
  const auto& c = m["c"].assignment;
  const auto& d = m["d"].assignment;
  EXPECT_EQ(std::make_tuple(a.lane, a.pipeline_position, a.lanes), std::make_tuple(0, 0, 2));
  EXPECT_EQ(std::make_tuple(d.lane, d.pipeline_position, d.lanes), std::make_tuple(1, 1, 2));
  EXPECT_EQ(a.downstream, "b");
  EXPECT_EQ(b.upstream, "a");
  EXPECT_FALSE(b.downstream);  // the end of lane 0, not c's upstream
  EXPECT_FALSE(c.upstream);
  EXPECT_EQ(c.downstream, "d");
  EXPECT_EQ(a.slice, c.slice);  // replicas of one stage hold the same layers
  EXPECT_EQ(a.layer_weights_hash, c.layer_weights_hash);
  ASSERT_TRUE(m["c"].group);
  EXPECT_EQ(m["c"].group->generation, 0u);
  EXPECT_EQ(m["c"].group->rank, 1);
  EXPECT_EQ(m["c"].group->lanes, (std::vector<std::int64_t>{0, 1}));

  // Relays go only between neighbours of one lane.
  EXPECT_TRUE(l.registry.check_post("t", "a", "b", std::nullopt, true, std::nullopt,
                                    kc::TaskRegistry::Flow::downstream).ok());
  EXPECT_EQ(l.registry.check_post("t", "a", "d", std::nullopt, true).status, 403);
}

TEST(Lanes, APinnedStageTakesTheFirstFreeLaneUntilEveryLaneHoldsIt) {
  // Places lane after lane: (0,0) (0,1) (1,0) (1,1). Two members pin stage 1.
  const std::vector<std::optional<std::int64_t>> pins{std::nullopt, 1, 1, std::nullopt};
  EXPECT_EQ(kc::lane_order(pins, 2), (std::vector<std::size_t>{0, 1, 3, 2}));
  EXPECT_THROW(kc::lane_order({1, 1, 1, std::nullopt}, 2), std::invalid_argument);

  Lanes l(2, 2);
  auto join = [&](const std::string& id, std::int64_t stage) {
    kc::JoinRequest req{"t", id, 1, false, false, std::nullopt, true};
    req.stage = stage;
    return l.registry.join(req, std::make_shared<Flag>());
  };
  ASSERT_EQ(join("x", 1).status, Join::waiting);
  ASSERT_EQ(join("y", 1).status, Join::waiting);
  auto third = join("z", 1);
  EXPECT_EQ(third.status, Join::refused);
  EXPECT_NE(third.error.find("taken in all 2 lanes"), std::string::npos) << third.error;
  auto m = l.form({"p", "q"});
  EXPECT_EQ(m["p"].assignment.lane, 0);
  EXPECT_EQ(m["p"].assignment.pipeline_position, 0);
  EXPECT_EQ(m["p"].assignment.downstream, "x");
  EXPECT_EQ(m["q"].assignment.downstream, "y");
}

TEST(Lanes, AMemberLeavingWithAnErrorEndsItsLaneOnly) {
  Lanes l(2, 2);
  auto m = l.form({"a", "b", "c", "d"});
  std::string why;
  ASSERT_EQ(l.registry.leave("t", "d", std::nullopt, std::string("out of memory"), why), 0);
  const auto run = m["a"].run;
  EXPECT_EQ(l.registry.fetch_blocker("t", run, "c", true), "trainer 'd' failed: out of memory");
  EXPECT_FALSE(l.registry.fetch_blocker("t", run, "a", true));
  EXPECT_FALSE(l.registry.fetch_blocker("t", run, "b", false));
  EXPECT_FALSE(l.registry.fetch_blocker("t", run, "stranger", false));
  // The surviving lane's replicas regroup without lane 1, at once: it is known lost.
  auto r = l.ask("a", 0);
  ASSERT_EQ(r.status, Regroup::formed);
  EXPECT_EQ(r.group.generation, 1u);
  EXPECT_EQ(r.group.lanes, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(l.ask("c", 0).http_status, 410);
}

TEST(Lanes, ARegroupWaitsForEveryLiveLaneThenLosesTheSilentOneForEveryStage) {
  Lanes l(2, 3);  // lanes: (a b) (c d) (e f); f is killed
  auto m = l.form({"a", "b", "c", "d", "e", "f"});
  const auto run = m["a"].run;
  auto wb = std::make_shared<Flag>(), wd = std::make_shared<Flag>();
  auto rb = l.ask("b", 0, wb);
  ASSERT_EQ(rb.status, Regroup::waiting);
  EXPECT_EQ(rb.deadline, l.now + 3s);
  ASSERT_EQ(l.ask("d", 0, wd).status, Regroup::waiting);  // f has not asked
  l.now += 2999ms;
  ASSERT_EQ(l.ask("b", 0, wb).status, Regroup::waiting);

  l.now += 1ms;  // the window has passed: the next ask ends the round
  rb = l.ask("b", 0, wb);
  ASSERT_EQ(rb.status, Regroup::formed);
  EXPECT_EQ(rb.group.generation, 1u);
  EXPECT_EQ(rb.group.rank, 0);
  EXPECT_EQ(rb.group.lanes, (std::vector<std::int64_t>{0, 1}));
  EXPECT_GE(wd->wakes, 1);  // d learns it without waiting out its own deadline
  auto rd = l.ask("d", 0, wd);
  ASSERT_EQ(rd.status, Regroup::formed);
  EXPECT_EQ(rd.group.rank, 1);

  // f's partner hears who was lost; f is no longer an active member.
  const std::string lost = "trainer 'f' failed: lost from the replica group of stage 1";
  EXPECT_EQ(l.registry.fetch_blocker("t", run, "e", true), lost);
  EXPECT_FALSE(l.registry.fetch_blocker("t", run, "a", true));
  auto e = l.ask("e", 0);
  EXPECT_EQ(e.status, Regroup::refused);
  EXPECT_EQ(e.http_status, 410);
  EXPECT_EQ(e.error, lost);
  bool woke_fetches = false;
  for (const auto& [scope, over] : l.changes) woke_fetches |= !over;
  EXPECT_TRUE(woke_fetches);
  auto view = l.registry.snapshot().front();
  EXPECT_EQ(view.lost_lanes.at(2), lost);
  EXPECT_EQ(view.members[5].ended, "failed: lost from the replica group of stage 1");
  EXPECT_FALSE(view.failure);  // the run itself goes on

  // Stage 0 regroups later and meets the same live lanes, without waiting for lane 2.
  ASSERT_EQ(l.ask("a", 0).status, Regroup::waiting);
  auto rc = l.ask("c", 0);
  ASSERT_EQ(rc.status, Regroup::formed);
  EXPECT_EQ(rc.group.lanes, (std::vector<std::int64_t>{0, 1}));
  EXPECT_EQ(rc.group.generation, 1u);
}

TEST(Lanes, AMissingReplicaHeldInAFetchIsAliveSoItsSilentPartnerIsNamed) {
  Lanes l(2, 2);  // lanes (a b) (c d); c is killed, d waits at the coordinator for its activation
  auto m = l.form({"a", "b", "c", "d"});
  const auto run = m["a"].run;
  l.now += 1s;
  l.registry.hold("t", run, "d", +1);
  ASSERT_EQ(l.ask("b", 0).status, Regroup::waiting);  // the last stage's collective fails first
  l.now += 3s;
  ASSERT_EQ(l.ask("b", 0).status, Regroup::formed);
  const std::string lost = "trainer 'c' failed: lost from the replica group of stage 0";
  EXPECT_EQ(l.registry.fetch_blocker("t", run, "d", false), lost);
  auto view = l.registry.snapshot().front();
  EXPECT_TRUE(view.members[3].active);   // d leaves by itself, with the reason
  EXPECT_FALSE(view.members[2].active);  // c is taken for dead
}

TEST(Lanes, GenerationsAreCheckedAndAnsweredAgain) {
  Lanes l(1, 2);
  l.form({"a", "b"});
  EXPECT_EQ(l.ask("a", 1).http_status, 409);  // ahead of the group
  ASSERT_EQ(l.ask("a", 0).status, Regroup::waiting);
  auto b = l.ask("b", 0);
  ASSERT_EQ(b.status, Regroup::formed);  // everyone asked: no need to wait out the window
  EXPECT_EQ(b.group.lanes, (std::vector<std::int64_t>{0, 1}));
  // A lost answer is asked for again with the old generation: the same group.
  auto again = l.ask("a", 0);
  ASSERT_EQ(again.status, Regroup::formed);
  EXPECT_EQ(again.group.generation, 1u);
  EXPECT_EQ(again.group.rank, 0);
  // The next failure starts the next round.
  EXPECT_EQ(l.ask("a", 1).status, Regroup::waiting);
  EXPECT_EQ(l.registry.regroup("t", "stranger", std::nullopt, 0, std::nullopt, nullptr).http_status, 403);
}

TEST(Lanes, ALeaveWithAnErrorEndsARoundThatWaitedForItsLane) {
  Lanes l(2, 2);
  l.form({"a", "b", "c", "d"});
  auto wa = std::make_shared<Flag>();
  ASSERT_EQ(l.ask("a", 0, wa).status, Regroup::waiting);
  std::string why;
  l.registry.leave("t", "c", std::nullopt, std::string("collective timed out"), why);
  EXPECT_GE(wa->wakes, 1);
  auto r = l.ask("a", 0, wa);
  ASSERT_EQ(r.status, Regroup::formed);
  EXPECT_EQ(r.group.lanes, (std::vector<std::int64_t>{0}));
}

TEST(Lanes, WithoutReplicasThereIsNoGroupAndTheStoreIsForMembersOfAFormedRun) {
  Lanes l(2, 1);
  auto first = l.registry.join({"t", "a", 1, false, false, std::nullopt, true}, std::make_shared<Flag>());
  EXPECT_EQ(l.registry.store_access("t", "a", std::nullopt).status, 409);  // not formed yet
  auto m = l.form({"b"});
  EXPECT_FALSE(m["b"].group);
  EXPECT_EQ(m["b"].assignment.lanes, 1);
  EXPECT_EQ(l.ask("b", 0).http_status, 400);
  auto access = l.registry.store_access("t", "a", std::nullopt);
  ASSERT_TRUE(access.ok());
  EXPECT_EQ(access.scope, kc::run_scope("t", first.run));
  EXPECT_EQ(l.registry.store_access("t", "x", std::nullopt).status, 403);
  EXPECT_EQ(l.registry.store_access("u", "a", std::nullopt).status, 403);

  std::string why;
  l.registry.leave("t", "a", std::nullopt, std::nullopt, why);
  EXPECT_TRUE(l.ended.empty());
  EXPECT_TRUE(l.registry.run_live("t", first.run));
  l.registry.leave("t", "b", std::nullopt, std::nullopt, why);
  EXPECT_EQ(l.ended, (std::vector<std::string>{kc::run_scope("t", first.run)}));
  EXPECT_FALSE(l.registry.run_live("t", first.run));
}

}  // namespace
