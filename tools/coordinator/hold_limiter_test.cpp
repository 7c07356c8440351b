#include "tools/coordinator/hold_limiter.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kc = korvane::coordinator;
using Slot = kc::HoldLimiter::Slot;
using Refusal = kc::HoldLimiter::Refusal;

namespace {

TEST(HoldLimiter, OneClientOrOneTaskGetsItsShareAndTheRestStaysForOthers) {
  kc::HoldLimiter holds(9, 4, 4);
  std::vector<std::unique_ptr<Slot>> held;
  for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Slot>(holds, "10.0.0.1", "ghost-" + std::to_string(i)));
  Slot over(holds, "10.0.0.1", "ghost-9");
  EXPECT_FALSE(over);
  EXPECT_EQ(over.refusal(), Refusal::client);
  for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Slot>(holds, "10.0.1." + std::to_string(i), "ghost"));
  Slot crowd(holds, "10.0.2.1", "ghost");
  EXPECT_EQ(crowd.refusal(), Refusal::task);
  EXPECT_EQ(holds.held(), 8u);
  Slot last(holds, "10.0.3.1", "real");
  EXPECT_TRUE(last);
  Slot full(holds, "10.0.3.2", "other");
  EXPECT_EQ(full.refusal(), Refusal::pool);

  // Given back, the slots count for their sources no more.
  held.clear();
  EXPECT_EQ(holds.held(), 1u);
  for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Slot>(holds, "10.0.0.1", "ghost"));
  for (auto& s : held) EXPECT_TRUE(*s);
}

TEST(HoldLimiter, SharesAreHalfThePoolUnlessSet) {
  EXPECT_EQ(kc::HoldLimiter(16384).client_limit(), 8192u);
  EXPECT_EQ(kc::HoldLimiter(1).task_limit(), 1u);
  kc::HoldLimiter holds(4, 4, 4);
  std::vector<std::unique_ptr<Slot>> held;
  for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Slot>(holds, "a", "t"));
  for (auto& s : held) EXPECT_TRUE(*s);
  EXPECT_EQ(Slot(holds, "b", "u").refusal(), Refusal::pool);
}

}  // namespace
