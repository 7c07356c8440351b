#include "korvane/carrowel/trainer/schedule.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace korvane::carrowel;

namespace {
std::string text(const std::vector<PassAction>& order) {
  std::string s;
  for (const auto& a : order) {
    s += a.kind == PassAction::forward ? 'F' : 'B';
    s += std::to_string(a.micro_batch);
    s += ' ';
  }
  return s;
}

// Plays the stages of one pipeline against each other, each following its own order and
// blocking where a real stage would wait for a neighbour. True when every stage finishes.
bool runs_to_the_end(long long m, const std::vector<long long>& depths) {
  const size_t n = depths.size();
  std::vector<std::vector<PassAction>> orders;
  for (long long d : depths) orders.push_back(one_forward_one_backward(m, d));
  std::vector<size_t> at(n, 0);
  std::vector<long long> forwarded(n, 0), carried_back(n, 0);
  for (bool moved = true; moved;) {
    moved = false;
    for (size_t s = 0; s < n; ++s) {
      if (at[s] == orders[s].size()) continue;
      const PassAction a = orders[s][at[s]];
      const bool ready = a.kind == PassAction::forward ? (s == 0 || forwarded[s - 1] > a.micro_batch)
                                                       : (s + 1 == n || carried_back[s + 1] > a.micro_batch);
      if (!ready) continue;
      (a.kind == PassAction::forward ? forwarded : carried_back)[s] = a.micro_batch + 1;
      ++at[s];
      moved = true;
    }
  }
  for (size_t s = 0; s < n; ++s)
    if (at[s] != orders[s].size()) return false;
  return true;
}
}  // namespace

TEST(Schedule, WarmUpThenAlternateThenCoolDown) {
  EXPECT_EQ(text(one_forward_one_backward(4, 3)), "F0 F1 F2 B0 F3 B1 B2 B3 ");
  EXPECT_EQ(text(one_forward_one_backward(4, 1)), "F0 B0 F1 B1 F2 B2 F3 B3 ");
  EXPECT_EQ(text(one_forward_one_backward(1, 1)), "F0 B0 ");
  EXPECT_EQ(text(one_forward_one_backward(3, 9)), "F0 F1 F2 B0 B1 B2 ");  // capped at m
  EXPECT_EQ(text(one_forward_one_backward(2, 0)), "F0 B0 F1 B1 ");       // at least one
  EXPECT_TRUE(one_forward_one_backward(0, 3).empty());
}

TEST(Schedule, EveryMicroBatchOnceEachWayInOrderAndNeverMoreInFlightThanTheDepth) {
  for (long long m = 1; m <= 17; ++m)
    for (long long depth = 1; depth <= 20; ++depth) {
      const auto order = one_forward_one_backward(m, depth);
      ASSERT_EQ(order.size(), size_t(2 * m));
      long long next_f = 0, next_b = 0, peak = 0;
      for (const auto& a : order) {
        if (a.kind == PassAction::forward) {
          ASSERT_EQ(a.micro_batch, next_f++);
        } else {
          ASSERT_EQ(a.micro_batch, next_b++);
          ASSERT_LT(a.micro_batch, next_f);  // a micro-batch goes back only after it went forward
        }
        peak = std::max(peak, next_f - next_b);
      }
      EXPECT_EQ(peak, std::min(m, depth)) << "m=" << m << " depth=" << depth;
    }
}

TEST(Schedule, DepthPerStage) {
  // The usual schedule: as many in flight as there are stages from here to the end.
  EXPECT_EQ(in_flight_depth(8, 0, false, 3, std::nullopt), 3);
  EXPECT_EQ(in_flight_depth(8, 1, false, 3, std::nullopt), 2);
  EXPECT_EQ(in_flight_depth(8, 2, true, 3, std::nullopt), 1);
  EXPECT_EQ(in_flight_depth(2, 0, false, 4, std::nullopt), 2);  // never more than m
  EXPECT_EQ(in_flight_depth(8, 0, true, 1, std::nullopt), 1);   // alone
  EXPECT_EQ(in_flight_depth(8, 0, false, std::nullopt, std::nullopt), 2);  // stage count unknown
  // Deeper warm-up on every stage but the last, which still carries back at once.
  EXPECT_EQ(in_flight_depth(16, 0, false, 3, 16), 16);
  EXPECT_EQ(in_flight_depth(16, 1, false, 3, 16), 16);
  EXPECT_EQ(in_flight_depth(16, 2, true, 3, 16), 1);
  EXPECT_EQ(in_flight_depth(4, 0, false, 3, 16), 4);
  EXPECT_EQ(in_flight_depth(16, 5, false, std::nullopt, 3), 3);
  EXPECT_EQ(in_flight_depth(16, 1, false, 3, 2), 2);  // shallower than usual: allowed, less memory
  EXPECT_EQ(in_flight_depth(16, 0, false, 3, 0), 1);
}

TEST(Schedule, PipelinesOfEveryShapeRunToTheEndWithoutDeadlock) {
  for (long long stages = 1; stages <= 5; ++stages)
    for (long long m = 1; m <= 9; ++m)
      for (std::optional<long long> max_in_flight : {std::optional<long long>{}, std::optional<long long>{1},
                                                      std::optional<long long>{3}, std::optional<long long>{m}}) {
        for (std::optional<long long> known : {std::optional<long long>{stages}, std::optional<long long>{}}) {
          std::vector<long long> depths;
          for (long long p = 0; p < stages; ++p)
            depths.push_back(in_flight_depth(m, p, p + 1 == stages, known, max_in_flight));
          EXPECT_TRUE(runs_to_the_end(m, depths)) << "stages=" << stages << " m=" << m;
        }
      }
  // The simulation does notice a schedule that cannot finish: a later stage that holds
  // more in flight than the one before it waits for an activation that is never sent.
  EXPECT_FALSE(runs_to_the_end(4, {1, 3}));
}
