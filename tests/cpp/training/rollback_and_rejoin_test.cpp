// The roll-back state read from coordinator answers, and the rejoin wait over simulated time.
#include <gtest/gtest.h>

#include "korvane/carrowel/training/rejoin_wait.hpp"
#include "korvane/carrowel/training/rollback_state.hpp"

namespace korvane::carrowel::training {
namespace {
using namespace std::chrono_literals;

TEST(RollbackState, OnlyALaterEpochFromATakingPartTrainerIsARollBack) {
  RollbackState s;
  EXPECT_FALSE(s.note_answer(409, "4", "1"));  // not taking part: headers mean nothing
  EXPECT_EQ(s.relay_epoch(), std::nullopt);
  s.take_part();
  EXPECT_EQ(s.relay_epoch(), 0u);
  EXPECT_FALSE(s.note_answer(200, "4", "1"));
  EXPECT_FALSE(s.note_answer(409, std::nullopt, "1"));
  EXPECT_FALSE(s.note_answer(409, "4", "0"));  // not later than ours
  for (const char* bad : {"", "-1", "+4", " 4", "4x", "0x4", "99999999999999999999"}) {
    EXPECT_FALSE(s.note_answer(409, bad, "1")) << bad;
    EXPECT_FALSE(s.note_answer(409, "4", bad)) << bad;
  }
  // A step beyond long long is no step (it once turned into a negative one).
  EXPECT_FALSE(s.note_answer(409, "9223372036854775808", "1"));
  EXPECT_EQ(s.pending(), std::nullopt);

  EXPECT_TRUE(s.note_answer(409, "4", "2"));
  EXPECT_TRUE(s.note_answer(409, "9", "1"));  // an older roll-back does not replace a newer one
  EXPECT_EQ(s.pending()->step, 4);
  EXPECT_TRUE(s.note_answer(409, "3", "5"));
  auto rb = s.take_pending();
  ASSERT_TRUE(rb);
  EXPECT_EQ(rb->step, 3);
  EXPECT_EQ(s.relay_epoch(), 5u);
  EXPECT_EQ(s.pending(), std::nullopt);
  EXPECT_EQ(s.take_pending(), std::nullopt);
  EXPECT_FALSE(s.note_answer(409, "2", "5"));  // the epoch we are in now

  s.take_part();  // a loop that starts again keeps the epoch it knows
  EXPECT_EQ(s.relay_epoch(), 5u);
}

// The trainer hands over roll-backs its coordinator client already read: the same rules
// as for the raw answer, so a stale or repeated one never reloads a checkpoint twice.
TEST(RollbackState, ARollBackReadByTheClientFollowsTheSameRules) {
  RollbackState s;
  EXPECT_FALSE(s.note({4, 1}));  // not taking part
  s.take_part();
  EXPECT_FALSE(s.note({4, 0}));
  EXPECT_TRUE(s.note({4, 2}));
  EXPECT_TRUE(s.note({9, 1}));  // older than the pending one: kept out
  EXPECT_EQ(s.pending()->step, 4);
  ASSERT_TRUE(s.take_pending());
  EXPECT_EQ(s.relay_epoch(), 2u);
  EXPECT_FALSE(s.note({4, 2}));  // the same roll-back again, now the epoch we are in
  EXPECT_FALSE(s.pending());
}

TEST(RejoinWait, WithoutATimeoutTheFailureIsTheRunsAtOnce) {
  RejoinWait w(0.0);
  auto d = w.missing("t", "HTTP 410: gone", RejoinWait::Clock::time_point{});
  EXPECT_EQ(d.action, RejoinWait::Action::fail_now);
  EXPECT_FALSE(d.warning);
  EXPECT_FALSE(w.waiting());
}

TEST(RejoinWait, WarnsOnceWaitsAndGivesUpAfterTheTimeout) {
  RejoinWait w(3.0);
  const auto t0 = RejoinWait::Clock::time_point{} + 100s;
  auto first = w.missing("task-a", "HTTP 410: member left", t0);
  EXPECT_EQ(first.action, RejoinWait::Action::wait);
  EXPECT_EQ(first.warning,
            "  Warning: a neighbour in task 'task-a' is missing (HTTP 410: member left); waiting up to 3.0 s for it to "
            "rejoin");
  auto later = w.missing("task-a", "timed out", t0 + 3s);  // exactly the timeout: still waiting
  EXPECT_EQ(later.action, RejoinWait::Action::wait);
  EXPECT_FALSE(later.warning);
  auto end = w.missing("task-a", "timed out", t0 + 3001ms);
  EXPECT_EQ(end.action, RejoinWait::Action::give_up);
  EXPECT_EQ(end.error,
            "no member of task 'task-a' came back within the rejoin timeout of 3.0 s; the run ends (timed out)");
}

TEST(RejoinWait, ANeighbourThatCameBackStartsANewWait) {
  RejoinWait w(1.5);
  const auto t0 = RejoinWait::Clock::time_point{};
  w.missing("t", "r", t0);
  w.present();
  EXPECT_FALSE(w.waiting());
  auto again = w.missing("t", "r", t0 + 10s);  // long after the first absence: a new one
  EXPECT_EQ(again.action, RejoinWait::Action::wait);
  EXPECT_TRUE(again.warning);
  EXPECT_EQ(w.missing("t", "r", t0 + 11500ms).action, RejoinWait::Action::wait);
  EXPECT_EQ(w.missing("t", "r", t0 + 11501ms).action, RejoinWait::Action::give_up);
}

}  // namespace
}  // namespace korvane::carrowel::training
