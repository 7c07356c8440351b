#include <gtest/gtest.h>

#include <map>

#include "tools/coordinator/task_registry.hpp"

namespace kc = korvane::coordinator;
using namespace std::chrono_literals;

namespace {

struct Flag : kc::Waiter {
  void wake() override {}
};

// A formed three-stage run "t" of a, b, c, with secrets; run changes are recorded.
struct FormedRun {
  FormedRun()
      : registry({3, 6, 64, 10s}, [this](const std::string& scope, bool over) { changes.push_back({scope, over}); }) {
    for (const char* id : {"a", "b", "c"}) {
      kc::JoinRequest req{"t", id, 1, false, true, std::nullopt, true};
      last = registry.join(req, std::make_shared<Flag>());
    }
    for (const char* id : {"a", "b", "c"}) secrets[id] = *registry.poll_join("t", id, last.run).secret;
  }
  std::vector<std::pair<std::string, bool>> changes;
  kc::TaskRegistry registry;
  kc::TaskRegistry::JoinResult last;
  std::map<std::string, std::string> secrets;
};

TEST(Rollback, GoesBackToTheLatestStepEveryMemberHasKept) {
  FormedRun r;
  std::string why;
  EXPECT_EQ(r.registry.checkpointed("t", "a", r.secrets["a"], 10, why), 0);
  EXPECT_EQ(r.registry.checkpointed("t", "c", r.secrets["c"], 5, why), 0);
  // b comes back with 10 on disk: c has only 5.
  auto rb = r.registry.rollback("t", "b", r.secrets["b"], 10);
  ASSERT_EQ(rb.status, 0) << rb.error;
  EXPECT_EQ(rb.step, 5);
  EXPECT_EQ(rb.epoch, 1u);
  // The abandoned epoch's messages go, and its held fetches are woken.
  ASSERT_FALSE(r.changes.empty());
  EXPECT_EQ(r.changes.back(), std::make_pair(kc::run_scope("t", r.last.run), true));
}

TEST(Rollback, RequestsOfAnEarlierEpochLearnTheStepAndNewOnesUseANewScope) {
  FormedRun r;
  std::string why;
  for (const char* id : {"a", "b", "c"}) r.registry.checkpointed("t", id, r.secrets[id], 5, why);
  const auto before = r.registry.check_fetch("t", "b", r.secrets["b"], false, 0);
  ASSERT_TRUE(before.ok());
  ASSERT_EQ(r.registry.rollback("t", "a", r.secrets["a"], 5).status, 0);

  auto stale = r.registry.check_post("t", "a", "b", r.secrets["a"], false, 0);
  EXPECT_EQ(stale.status, 409);
  ASSERT_TRUE(stale.rollback_epoch);
  EXPECT_EQ(*stale.rollback_epoch, 1u);
  EXPECT_EQ(stale.rollback_step, 5);
  EXPECT_TRUE(r.registry.rolled_back_since("t", before.run, 0));

  const auto now = r.registry.check_fetch("t", "b", r.secrets["b"], false, 1);
  ASSERT_TRUE(now.ok());
  EXPECT_NE(now.scope, before.scope);  // nothing of the old epoch can be fetched
  EXPECT_FALSE(r.registry.rolled_back_since("t", now.run, 1));
  // A trainer that names no epoch keeps the plain protocol.
  EXPECT_TRUE(r.registry.check_post("t", "a", "b", r.secrets["a"], false).ok());
}

TEST(Rollback, NeedsTheMemberSecretAndAFormedRun) {
  FormedRun r;
  std::string why;
  EXPECT_EQ(r.registry.rollback("t", "b", std::string("wrong"), 0).status, 403);
  EXPECT_EQ(r.registry.rollback("t", "b", std::nullopt, 0).status, 403);
  EXPECT_EQ(r.registry.rollback("t", "zed", std::nullopt, 0).status, 403);
  EXPECT_EQ(r.registry.rollback("other", "b", r.secrets["b"], 0).status, 403);
  EXPECT_EQ(r.registry.checkpointed("t", "b", std::string("wrong"), 5, why), 403);
}

TEST(Rollback, BringsAnInactiveMemberBackAndClearsTheRunsFailure) {
  FormedRun r;
  std::string why;
  // c fails: b's fetch of gradients is blocked.
  ASSERT_EQ(r.registry.leave("t", "c", r.secrets["c"], std::string("killed"), why), 0);
  EXPECT_TRUE(r.registry.fetch_blocker("t", r.last.run, "b", true));
  auto rb = r.registry.rollback("t", "c", r.secrets["c"], 0);
  ASSERT_EQ(rb.status, 0) << rb.error;
  EXPECT_EQ(rb.step, 0);
  EXPECT_FALSE(r.registry.fetch_blocker("t", r.last.run, "b", true));
}

}  // namespace
