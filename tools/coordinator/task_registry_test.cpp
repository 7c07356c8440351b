#include "tools/coordinator/task_registry.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace kc = korvane::coordinator;
using namespace std::chrono_literals;
using Clock = kc::TaskRegistry::Clock;
using Join = kc::TaskRegistry::JoinStatus;

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

struct Registry {
  explicit Registry(std::int64_t stages, std::int64_t layers = 12, std::size_t holds = 16, std::size_t tasks = 64)
      : holds(holds), registry({stages, layers, tasks}, this->holds) {}
  kc::HoldLimiter holds;
  kc::TaskRegistry registry;

  kc::TaskRegistry::JoinResult join(const std::string& task, const std::string& trainer,
                                    std::chrono::milliseconds wait = 5s) {
    return registry.join({task, trainer, 1, false}, Clock::now() + wait);
  }
  // Starts a join and returns once it has been counted, so join order is fixed.
  std::future<kc::TaskRegistry::JoinResult> join_async(const std::string& task, const std::string& trainer,
                                                       std::chrono::milliseconds wait = 5s) {
    auto admitted = std::make_shared<std::promise<void>>();
    auto f = std::async(std::launch::async, [=, this] {
      return registry.join({task, trainer, 1, false}, Clock::now() + wait,
                           [admitted](std::size_t) { admitted->set_value(); });
    });
    admitted->get_future().wait();
    return f;
  }
};

TEST(TaskRegistry, SingleStageTaskAnswersAtOnceWithoutNeighbours) {
  Registry r(1, 6, /*holds=*/0);  // needs no wait, so no hold slot either
  auto res = r.join("t", "solo", 0ms);
  ASSERT_EQ(res.status, Join::assigned);
  EXPECT_EQ(res.assignment.slice, (kc::LayerSlice{0, 6}));
  EXPECT_EQ(res.assignment.pipeline_position, 0);
  EXPECT_FALSE(res.assignment.upstream);
  EXPECT_FALSE(res.assignment.downstream);
  EXPECT_FALSE(res.assignment.layer_weights_hash.empty());
}

TEST(TaskRegistry, JoinsWaitForTheWholeTaskAndGetSlicesAndNeighboursInJoinOrder) {
  Registry r(3);
  auto a = r.join_async("t", "a");
  auto b = r.join_async("t", "b");
  EXPECT_EQ(r.holds.held(), 2u);
  EXPECT_EQ(a.wait_for(20ms), std::future_status::timeout);  // still waiting for the third
  auto c = r.join("t", "c");
  auto ra = a.get(), rb = b.get();
  ASSERT_EQ(ra.status, Join::assigned);
  ASSERT_EQ(rb.status, Join::assigned);
  ASSERT_EQ(c.status, Join::assigned);
  EXPECT_EQ(r.holds.held(), 0u);

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
  auto first = r.join_async("t", "a", 100ms);
  EXPECT_EQ(r.join("t", "a").status, Join::duplicate);
  EXPECT_EQ(first.get().status, Join::timed_out);
  EXPECT_EQ(r.holds.held(), 0u);

  // The timed-out join left the task, so the same id can form it again.
  auto again = r.join_async("t", "a");
  EXPECT_EQ(r.join("t", "b").status, Join::assigned);
  auto res = again.get();
  ASSERT_EQ(res.status, Join::assigned);
  EXPECT_EQ(res.assignment.pipeline_position, 0);
}

TEST(TaskRegistry, CompleteTaskAnswersAMemberAgainAndStartsANewGenerationForOthers) {
  Registry r(2, 8);
  auto a = r.join_async("t", "a");
  ASSERT_EQ(r.join("t", "b").status, Join::assigned);
  const auto first = a.get().assignment;

  auto again = r.join("t", "a", 0ms);  // lost answer: the same slice, at once
  ASSERT_EQ(again.status, Join::assigned);
  EXPECT_TRUE(again.rejoined);
  EXPECT_EQ(again.assignment.slice, first.slice);
  EXPECT_EQ(again.assignment.downstream, "b");

  // A newcomer forms generation two: it waits for a partner and goes first.
  auto c = r.join_async("t", "c");
  auto d = r.join("t", "a");
  ASSERT_EQ(d.status, Join::assigned);
  EXPECT_FALSE(d.rejoined);
  EXPECT_EQ(d.assignment.pipeline_position, 1);
  EXPECT_EQ(d.assignment.upstream, "c");
  EXPECT_EQ(c.get().assignment.downstream, "a");
}

TEST(TaskRegistry, WaitingJoinsAreBoundedByHoldSlots) {
  Registry r(2, 12, /*holds=*/1);
  auto a = r.join_async("t1", "a", 2s);
  EXPECT_EQ(r.join("t2", "x").status, Join::busy);
  EXPECT_EQ(r.join("t1", "b").status, Join::assigned);  // completing needs no slot
  EXPECT_EQ(a.get().status, Join::assigned);
  // The refused join left no half-made task behind.
  auto x = r.join_async("t2", "x", 2s);
  EXPECT_EQ(r.join("t2", "y").status, Join::assigned);
  EXPECT_EQ(x.get().assignment.downstream, "y");
}

TEST(TaskRegistry, TaskCapEvictsCompletedTasksButNeverFormingOnes) {
  Registry r(2, 12, 16, /*tasks=*/2);
  auto a = r.join_async("done", "a");
  ASSERT_EQ(r.join("done", "b").status, Join::assigned);
  ASSERT_EQ(a.get().status, Join::assigned);
  auto f = r.join_async("forming", "a", 1s);
  auto g = r.join_async("evicts-done", "a", 1s);  // takes the completed task's place
  EXPECT_EQ(r.join("third", "a", 1s).status, Join::too_many_tasks);
  EXPECT_EQ(r.registry.ready("done", "a", 0).status, kc::TaskRegistry::ReadyStatus::unknown_trainer);
  r.join("forming", "b");
  r.join("evicts-done", "b");
  EXPECT_EQ(f.get().status, Join::assigned);
  EXPECT_EQ(g.get().status, Join::assigned);
}

TEST(TaskRegistry, ShutdownWakesWaitingJoins) {
  Registry r(3);
  auto a = r.join_async("t", "a", 30s);
  r.registry.shutdown();
  EXPECT_EQ(a.get().status, Join::shutting_down);
  EXPECT_EQ(r.join("t", "b").status, Join::shutting_down);
}

TEST(TaskRegistry, ReadyIsRecordedForMembersAtTheirOwnPosition) {
  using Ready = kc::TaskRegistry::ReadyStatus;
  Registry r(2);
  auto a = r.join_async("t", "a");
  EXPECT_EQ(r.registry.ready("t", "a", 0).status, Ready::unknown_trainer);  // no assignment yet
  r.join("t", "b");
  a.get();
  EXPECT_EQ(r.registry.ready("t", "b", 0).status, Ready::wrong_position);
  EXPECT_EQ(r.registry.ready("t", "zz", 0).status, Ready::unknown_trainer);
  EXPECT_EQ(r.registry.ready("t", "a", 0).ready, 1u);
  EXPECT_EQ(r.registry.ready("t", "a", 0).ready, 1u);  // repeated notice counts once
  EXPECT_EQ(r.registry.ready("t", "b", 1).ready, 2u);
}

}  // namespace
