#include "tools/coordinator/join_terms.hpp"

#include <gtest/gtest.h>

#include "tools/coordinator/task_registry.hpp"

namespace kc = korvane::coordinator;
using namespace std::chrono_literals;
using Join = kc::TaskRegistry::JoinStatus;

namespace {

struct Flag : kc::Waiter {
  void wake() override {}
};

kc::JoinRequest request(const std::string& trainer, kc::CodecPair codecs = kc::default_codecs(),
                        std::optional<std::int64_t> stage = std::nullopt) {
  kc::JoinRequest r{"t", trainer, 1, false, false, std::nullopt, true};
  r.codecs = std::move(codecs);
  r.stage = stage;
  return r;
}

TEST(PipelineOrder, PinsTakeTheirPlacesAndTheRestFillTheGapsInJoinOrder) {
  using Pins = std::vector<std::optional<std::int64_t>>;
  EXPECT_EQ(kc::pipeline_order(Pins{std::nullopt, std::nullopt, std::nullopt}), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(kc::pipeline_order(Pins{2, std::nullopt, 0}), (std::vector<std::size_t>{2, 1, 0}));
  EXPECT_EQ(kc::pipeline_order(Pins{std::nullopt, 0, std::nullopt, 2}), (std::vector<std::size_t>{1, 0, 3, 2}));
  EXPECT_THROW(kc::pipeline_order(Pins{1, 1}), std::invalid_argument);
  EXPECT_THROW(kc::pipeline_order(Pins{2, std::nullopt}), std::invalid_argument);
}

TEST(JoinTerms, TheFirstMemberFixesTheCodecsAndADifferentPairIsRefusedNamingBoth) {
  kc::TaskRegistry registry({3, 6, 16, 10s});
  auto w = std::make_shared<Flag>();
  EXPECT_EQ(registry.join(request("a", {"int4", "int8"}), w).status, Join::waiting);
  auto plain = registry.join(request("b"), w);  // a join that names no codec asks for sign/sign
  EXPECT_EQ(plain.status, Join::refused);
  EXPECT_NE(plain.error.find("activation=int4 gradient=int8"), std::string::npos) << plain.error;
  EXPECT_NE(plain.error.find("activation=sign gradient=sign"), std::string::npos) << plain.error;
  EXPECT_EQ(registry.join(request("c", {"int4", "int8"}), w).status, Join::waiting);
  EXPECT_EQ(registry.join(request("d", {"int4", "int8"}), w).status, Join::assigned);
  // A member asking again must ask for the same pair.
  EXPECT_EQ(registry.join(request("a", {"int4", "int4"}), w).status, Join::refused);
  EXPECT_EQ(registry.join(request("a", {"int4", "int8"}), w).status, Join::assigned);

  // A new run of the task starts over with its own first member's choice.
  kc::TaskRegistry fresh({1, 2, 16, 10s});
  EXPECT_EQ(fresh.join(request("a", {"fp32", "fp32"}), w).status, Join::assigned);
  std::string why;
  ASSERT_EQ(fresh.leave("t", "a", std::nullopt, std::nullopt, why), 0);
  EXPECT_EQ(fresh.join(request("b"), w).status, Join::assigned);
}

TEST(JoinTerms, PinnedStagesArePlacedAndNeighboursFollowPositions) {
  kc::TaskRegistry registry({3, 6, 16, 10s});
  auto w = std::make_shared<Flag>();
  EXPECT_EQ(registry.join(request("a", kc::default_codecs(), 2), w).status, Join::waiting);
  EXPECT_EQ(registry.join(request("b"), w).status, Join::waiting);
  auto taken = registry.join(request("x", kc::default_codecs(), 2), w);
  EXPECT_EQ(taken.status, Join::refused);
  EXPECT_NE(taken.error.find("stage 2 of task 't' is taken by trainer 'a'"), std::string::npos) << taken.error;
  EXPECT_EQ(registry.join(request("y", kc::default_codecs(), 3), w).status, Join::refused);  // out of range
  auto c = registry.join(request("c", kc::default_codecs(), 0), w);
  ASSERT_EQ(c.status, Join::assigned);
  EXPECT_EQ(c.assignment.pipeline_position, 0);
  EXPECT_EQ(c.assignment.slice, (kc::LayerSlice{0, 2}));
  EXPECT_EQ(c.assignment.downstream, "b");
  const auto b = registry.poll_join("t", "b", c.run).assignment;
  EXPECT_EQ(b.pipeline_position, 1);
  EXPECT_EQ(b.upstream, "c");
  EXPECT_EQ(b.downstream, "a");
  const auto a = registry.poll_join("t", "a", c.run).assignment;
  EXPECT_EQ(a.pipeline_position, 2);
  EXPECT_EQ(a.slice, (kc::LayerSlice{4, 6}));
  EXPECT_EQ(a.downstream, std::nullopt);
  // The live view lists the members in pipeline order.
  const auto runs = registry.snapshot();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].members[0].id, "c");
  EXPECT_EQ(runs[0].members[2].id, "a");
  // Asking again for another stage than the one held is refused.
  EXPECT_EQ(registry.join(request("a", kc::default_codecs(), 1), w).status, Join::refused);
  EXPECT_EQ(registry.join(request("a", kc::default_codecs(), 2), w).status, Join::assigned);
}

TEST(JoinTerms, NormGroupsFollowPipelineOrderAndNameWhoLeft) {
  kc::TaskRegistry registry({2, 2, 16, 10s});
  auto w = std::make_shared<Flag>();
  EXPECT_EQ(registry.join(request("a", kc::default_codecs(), 1), w).status, Join::waiting);
  const auto b = registry.join(request("b"), w);
  ASSERT_EQ(b.status, Join::assigned);
  const auto ga = registry.norm_group("t", "a", std::nullopt, std::nullopt);
  const auto gb = registry.norm_group("t", "b", std::nullopt, std::nullopt);
  ASSERT_TRUE(ga.access.ok());
  EXPECT_EQ(ga.position, 1u);
  EXPECT_EQ(gb.position, 0u);
  EXPECT_EQ(ga.size, 2u);
  EXPECT_EQ(ga.key, gb.key);
  EXPECT_EQ(registry.norm_group("t", "stranger", std::nullopt, std::nullopt).access.status, 403);
  EXPECT_EQ(registry.norm_blocker("t", b.run, "a"), std::nullopt);
  std::string why;
  ASSERT_EQ(registry.leave("t", "b", std::nullopt, std::string("out of memory"), why), 0);
  const auto blocker = registry.norm_blocker("t", b.run, "a");
  ASSERT_TRUE(blocker.has_value());
  EXPECT_NE(blocker->find("'b' failed: out of memory"), std::string::npos) << *blocker;
}

}  // namespace
