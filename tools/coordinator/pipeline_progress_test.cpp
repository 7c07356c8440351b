#include "tools/coordinator/pipeline_progress.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace korvane::coordinator {
namespace {

using namespace std::chrono_literals;
using Clock = PipelineProgress::Clock;

TEST(PipelineProgress, MicroBatchLossAndLinksFromRelays) {
  PipelineProgress p;
  const auto t0 = Clock::time_point{} + 1000s;
  const std::string loss0 = "2.5", loss1 = "1.25", junk = "not-a-number", nan = "nan";
  p.posted("t", 1, RelayKind::activation, "a", "b", 0, nullptr, 1000, t0);
  p.posted("t", 1, RelayKind::gradient, "b", "a", 0, &loss0, 400, t0 + 100ms);
  p.posted("t", 1, RelayKind::gradient, "b", "a", 0, &loss1, 400, t0 + 150ms);  // a re-send replaces
  p.posted("t", 1, RelayKind::gradient, "b", "a", 1, &junk, 400, t0 + 300ms);
  p.posted("t", 1, RelayKind::gradient, "b", "a", 2, &nan, 400, t0 + 400ms);
  p.delivered("t", 1, "a", 2, t0 + 500ms);
  p.delivered("t", 1, "a", 1, t0 + 600ms);  // a later, lower number does not move it back

  auto run = p.of("t", 1, t0 + 1s);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->trainers.at("a").micro_batch, 2u);
  EXPECT_EQ(run->trainers.at("b").micro_batch, 2u);
  const auto& losses = run->trainers.at("b").losses;
  ASSERT_EQ(losses.size(), 2u);
  EXPECT_EQ(losses[0].first, 0u);
  EXPECT_DOUBLE_EQ(losses[0].second, 1.25);
  EXPECT_EQ(losses[1].first, 2u);
  EXPECT_TRUE(std::isnan(losses[1].second));
  EXPECT_TRUE(run->trainers.at("a").losses.empty());

  ASSERT_EQ(run->links.size(), 2u);
  for (const auto& l : run->links) {
    if (l.kind == RelayKind::activation) {
      EXPECT_EQ(l.from, "a");
      EXPECT_EQ(l.bytes, 1000u);
      EXPECT_NEAR(l.bytes_per_second, 1000.0, 1e-9);  // over the link's own second of age
    } else {
      EXPECT_EQ(l.messages, 4u);
      EXPECT_EQ(l.bytes, 1600u);
    }
  }
  EXPECT_FALSE(p.of("t", 2, t0));  // another run of the same task shares nothing
}

TEST(PipelineProgress, RateFallsToZeroWhenALinkGoesQuiet) {
  PipelineProgress p;
  const auto t0 = Clock::time_point{} + 1000s;
  for (int i = 0; i < 20; ++i) p.posted("t", 1, RelayKind::activation, "a", "b", i, nullptr, 500, t0 + i * 250ms);
  auto busy = p.of("t", 1, t0 + 5s);
  ASSERT_TRUE(busy);
  EXPECT_NEAR(busy->links.at(0).bytes_per_second, 2000.0, 200.0);  // 500 B every 250 ms, in 250 ms steps
  auto quiet = p.of("t", 1, t0 + 30s);
  EXPECT_EQ(quiet->links.at(0).bytes_per_second, 0.0);
  EXPECT_EQ(quiet->links.at(0).bytes, 10000u);
}

TEST(PipelineProgress, BoundedInRunsAndLosses) {
  PipelineProgress p;
  const auto t0 = Clock::time_point{} + 1000s;
  // g++ 12 at -O2 sees an overlapping memcpy inside "t" + std::to_string(r), where there
  // is none (GCC bug 105651); the warning is about the library's inlined code, not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (std::uint64_t r = 1; r <= PipelineProgress::kRunsKept + 10; ++r)
    p.posted("t" + std::to_string(r), r, RelayKind::activation, "a", "b", 0, nullptr, 1, t0 + r * 1ms);
  EXPECT_FALSE(p.of("t1", 1, t0));  // the least recently active went first
  EXPECT_TRUE(p.of("t" + std::to_string(PipelineProgress::kRunsKept + 10), PipelineProgress::kRunsKept + 10, t0));
#pragma GCC diagnostic pop

  const std::string loss = "1";
  for (std::uint64_t mb = 0; mb < 1000; ++mb)
    p.posted("x", 1, RelayKind::gradient, "b", "a", mb, &loss, 1, t0 + 1s);
  auto run = p.of("x", 1, t0 + 1s);
  EXPECT_EQ(run->trainers.at("b").losses.size(), PipelineProgress::kLossesKept);
  EXPECT_EQ(run->trainers.at("b").losses.back().first, 999u);
}

}  // namespace
}  // namespace korvane::coordinator
