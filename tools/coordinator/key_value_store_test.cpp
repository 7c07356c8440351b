#include "tools/coordinator/key_value_store.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kc = korvane::coordinator;
using S = kc::KeyValueStore::Status;

namespace {

struct Flag : kc::Waiter {
  int wakes = 0;
  void wake() override { ++wakes; }
};

kc::KeyValueStore::Limits small() {
  kc::KeyValueStore::Limits l;
  l.max_key = 8;
  l.max_value = 16;
  l.max_keys_per_scope = 3;
  l.max_bytes_per_scope = 1000;
  l.max_bytes = 1u << 20;
  return l;
}

TEST(KeyValueStore, ScopesAreApartAndWritesWakeOnlyTheirOwnScopesWaiters) {
  kc::KeyValueStore kv(small());
  auto mine = std::make_shared<Flag>(), other = std::make_shared<Flag>();
  EXPECT_EQ(kv.get("run1", "k", mine).status, S::waiting);
  EXPECT_EQ(kv.get("run2", "k", other).status, S::waiting);
  ASSERT_EQ(kv.set("run1", "k", std::string("a\0b", 3)).status, S::ok);
  EXPECT_EQ(mine->wakes, 1);
  EXPECT_EQ(other->wakes, 0);
  auto got = kv.get("run1", "k", nullptr);
  EXPECT_EQ(got.status, S::ok);
  EXPECT_EQ(got.value, std::string("a\0b", 3));  // bytes, not text
  EXPECT_EQ(kv.get("run2", "k", nullptr).status, S::waiting);
  EXPECT_EQ(kv.num_keys("run2").count, 0u);
}

TEST(KeyValueStore, AddCountsFromZeroKeepsDecimalTextAndRefusesOtherValuesAndOverflow) {
  kc::KeyValueStore kv(kc::KeyValueStore::Limits{});
  EXPECT_EQ(kv.add("r", "n", 5).counter, 5);
  EXPECT_EQ(kv.add("r", "n", -7).counter, -2);
  EXPECT_EQ(kv.get("r", "n", nullptr).value, "-2");
  kv.set("r", "x", "abc");
  EXPECT_EQ(kv.add("r", "x", 1).status, S::not_integer);
  kv.set("r", "x", std::to_string(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(kv.add("r", "x", 1).status, S::overflow);
  EXPECT_EQ(kv.get("r", "x", nullptr).value, std::to_string(std::numeric_limits<std::int64_t>::max()));
}

TEST(KeyValueStore, CompareSetSwapsOnlyOnAMatchAndAnswersWhatIsHeld) {
  kc::KeyValueStore kv(small());
  EXPECT_EQ(kv.compare_set("r", "k", "x", "y").value, "x");  // missing, expected not empty: no swap
  EXPECT_EQ(kv.check("r", {"k"}).flag, false);
  EXPECT_EQ(kv.compare_set("r", "k", "", "first").value, "first");  // missing and expected empty: set
  EXPECT_EQ(kv.compare_set("r", "k", "wrong", "second").value, "first");
  EXPECT_EQ(kv.compare_set("r", "k", "first", "second").value, "second");
  EXPECT_EQ(kv.get("r", "k", nullptr).value, "second");
}

TEST(KeyValueStore, WaitNeedsEveryKeyAndDeleteAndNumKeysTrackThem) {
  kc::KeyValueStore kv(small());
  auto w = std::make_shared<Flag>();
  kv.set("r", "a", "1");
  EXPECT_EQ(kv.wait("r", {"a", "b"}, w).status, S::waiting);
  kv.set("r", "b", "2");
  EXPECT_GE(w->wakes, 1);
  auto r = kv.wait("r", {"a", "b"}, w);
  EXPECT_EQ(r.status, S::ok);
  EXPECT_TRUE(r.flag);
  EXPECT_EQ(kv.num_keys("r").count, 2u);
  EXPECT_TRUE(kv.erase("r", "a").flag);
  EXPECT_FALSE(kv.erase("r", "a").flag);
  EXPECT_FALSE(kv.check("r", {"a", "b"}).flag);
  EXPECT_EQ(kv.num_keys("r").count, 1u);
}

TEST(KeyValueStore, LimitsRefuseWithoutChangingWhatIsHeld) {
  kc::KeyValueStore kv(small());
  EXPECT_EQ(kv.set("r", "123456789", "v").status, S::key_too_long);
  EXPECT_EQ(kv.set("r", "k", std::string(17, 'v')).status, S::value_too_large);
  EXPECT_EQ(kv.compare_set("r", "k", std::string(17, 'v'), "x").status, S::value_too_large);
  for (const char* k : {"a", "b", "c"}) ASSERT_EQ(kv.set("r", k, "v").status, S::ok);
  EXPECT_EQ(kv.set("r", "d", "v").status, S::scope_full);
  EXPECT_EQ(kv.add("r", "d", 1).status, S::scope_full);
  EXPECT_EQ(kv.set("r", "a", "replaced").status, S::ok);  // replacing adds no key
  EXPECT_EQ(kv.set("other", "d", "v").status, S::ok);      // another scope has its own count
  EXPECT_EQ(kv.num_keys("r").count, 3u);

  auto l = small();
  l.max_bytes_per_scope = 2 * (1 + 16 + 64);
  l.max_keys_per_scope = 100;
  kc::KeyValueStore bytes(l);
  ASSERT_EQ(bytes.set("r", "a", std::string(16, 'x')).status, S::ok);
  ASSERT_EQ(bytes.set("r", "b", std::string(16, 'x')).status, S::ok);
  EXPECT_EQ(bytes.set("r", "c", "x").status, S::scope_full);
  bytes.erase("r", "a");
  EXPECT_EQ(bytes.set("r", "c", "x").status, S::ok);  // freed bytes count again
  EXPECT_EQ(bytes.stats().bytes, (1 + 16 + 64) + (1 + 1 + 64u));
}

TEST(KeyValueStore, DroppingAScopeWakesItsWaitersAndForgetsItsKeys) {
  kc::KeyValueStore kv(small());
  auto w = std::make_shared<Flag>();
  kv.set("r", "a", "1");
  EXPECT_EQ(kv.get("r", "missing", w).status, S::waiting);
  kv.drop_scope("r");
  EXPECT_EQ(w->wakes, 1);
  EXPECT_EQ(kv.stats().keys, 0u);
  EXPECT_EQ(kv.stats().bytes, 0u);
  kv.cancel_wait("r", w.get());
  EXPECT_EQ(kv.stats().scopes, 0u);
  kv.shutdown();
  EXPECT_EQ(kv.set("r", "a", "1").status, S::closed);
}

}  // namespace
