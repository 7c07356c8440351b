#include "tools/coordinator/norm_exchange.hpp"

#include <gtest/gtest.h>

namespace kc = korvane::coordinator;
using S = kc::NormExchange::Status;

namespace {

struct Flag : kc::Waiter {
  int wakes = 0;
  void wake() override { ++wakes; }
};

TEST(NormExchange, TheTotalIsSummedInPipelineOrderAndHandedToEveryMember) {
  kc::NormExchange norms;
  auto w0 = std::make_shared<Flag>(), w2 = std::make_shared<Flag>();
  // 1e16 + 1 + 1 in pipeline order is 1e16; summed in arrival order it would be 1e16 + 2.
  EXPECT_EQ(norms.post("g", 0, 3, 2, 1.0, w2).status, S::waiting);
  EXPECT_EQ(norms.post("g", 0, 3, 1, 1.0).status, S::waiting);
  EXPECT_EQ(norms.poll("g", 0).status, S::waiting);
  const auto last = norms.post("g", 0, 3, 0, 1e16, w0);
  ASSERT_EQ(last.status, S::total);
  EXPECT_EQ(last.total, 1e16);
  EXPECT_EQ(w2->wakes, 1);
  EXPECT_EQ(norms.poll("g", 0).total, 1e16);
  // Another group's step of the same number is its own.
  EXPECT_EQ(norms.post("h", 0, 2, 0, 1.0).status, S::waiting);
}

TEST(NormExchange, ARepostReplacesWhileGatheringAndMustMatchOnceSummed) {
  kc::NormExchange norms;
  EXPECT_EQ(norms.post("g", 4, 2, 0, 5.0).status, S::waiting);
  EXPECT_EQ(norms.post("g", 4, 2, 0, 3.0).status, S::waiting);  // a retry: the latest word counts
  EXPECT_EQ(norms.post("g", 4, 2, 1, 1.0).total, 4.0);
  EXPECT_EQ(norms.post("g", 4, 2, 0, 3.0).total, 4.0);  // the lost answer, asked again
  EXPECT_EQ(norms.post("g", 4, 2, 1, 2.0).status, S::conflict);
}

TEST(NormExchange, GatheringStepsAreBoundedAndOldTotalsForgotten) {
  kc::NormExchange norms({/*max_steps=*/3, /*kept_totals=*/2});
  for (int step = 0; step < 3; ++step) EXPECT_EQ(norms.post("g", step, 2, 0, 1.0).status, S::waiting);
  EXPECT_EQ(norms.post("g", 3, 2, 0, 1.0).status, S::too_many_steps);
  for (int step = 0; step < 3; ++step) EXPECT_EQ(norms.post("g", step, 2, 1, 1.0).status, S::total);
  EXPECT_EQ(norms.poll("g", 0).status, S::waiting);  // only the newest two totals stay
  EXPECT_EQ(norms.poll("g", 2).status, S::total);
  EXPECT_EQ(norms.post("g", 3, 2, 0, 1.0).status, S::waiting);
}

TEST(NormExchange, DroppingAGroupWakesItsWaitersAndShutdownRefusesPosts) {
  kc::NormExchange norms;
  auto w = std::make_shared<Flag>();
  EXPECT_EQ(norms.post("g", 0, 2, 0, 1.0, w).status, S::waiting);
  norms.wake_group("g");
  EXPECT_EQ(w->wakes, 1);
  norms.drop_group("g");
  EXPECT_EQ(w->wakes, 2);
  EXPECT_EQ(norms.groups(), 0u);
  EXPECT_EQ(norms.post("g", 0, 2, 1, 1.0).status, S::waiting);  // the step starts over
  norms.shutdown();
  EXPECT_EQ(norms.post("g", 0, 2, 0, 1.0).status, S::shutting_down);
}

}  // namespace
