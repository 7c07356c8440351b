#include "tools/coordinator/relay_store.hpp"

#include <gtest/gtest.h>


namespace kc = korvane::coordinator;
using namespace std::chrono_literals;
using Clock = kc::RelayStore::Clock;
using Post = kc::RelayStore::PostStatus;
using Fetch = kc::RelayStore::FetchStatus;

namespace {

kc::RelayMessage msg(std::string body, std::optional<std::string> loss = std::nullopt, std::string from = "a") {
  return {std::move(from), std::move(loss), std::make_shared<const std::string>(std::move(body))};
}

kc::RelayKey act(std::string recipient, std::uint64_t mb, std::string task = "t") {
  return {kc::RelayKind::activation, std::move(task), std::move(recipient), mb};
}

// A store whose clock the test moves by hand.
struct FakeClockStore {
  explicit FakeClockStore(kc::RelayStore::Limits limits = {}) : store(limits, [this] { return now; }) {}
  Clock::time_point now = Clock::now();
  kc::RelayStore store;
  kc::RelayStore::FetchResult poll(const kc::RelayKey& k) { return store.fetch(k); }
};

struct Flag : kc::Waiter {
  int wakes = 0;
  void wake() override { ++wakes; }
};

TEST(RelayStore, DeliversExactBytesToTheNamedRecipientOnly) {
  FakeClockStore s;
  const std::string bytes("\x00\x01\xff\r\n tail", 9);
  ASSERT_EQ(s.store.post({kc::RelayKind::gradient, "t", "b", 3}, msg(bytes, "2.5", "c")), Post::stored);

  auto r = s.poll({kc::RelayKind::gradient, "t", "b", 3});
  ASSERT_EQ(r.status, Fetch::delivered);
  EXPECT_EQ(*r.message.body, bytes);
  EXPECT_EQ(r.message.loss, "2.5");
  EXPECT_EQ(r.message.sender, "c");

  // Every other coordinate of the key misses.
  EXPECT_EQ(s.poll({kc::RelayKind::activation, "t", "b", 3}).status, Fetch::waiting);
  EXPECT_EQ(s.poll({kc::RelayKind::gradient, "u", "b", 3}).status, Fetch::waiting);
  EXPECT_EQ(s.poll({kc::RelayKind::gradient, "t", "c", 3}).status, Fetch::waiting);
  EXPECT_EQ(s.poll({kc::RelayKind::gradient, "t", "b", 2}).status, Fetch::waiting);
}

TEST(RelayStore, RepeatFetchGetsTheSameMessageAndRepostReplacesIt) {
  FakeClockStore s;
  s.store.post(act("b", 0), msg("first"));
  EXPECT_EQ(*s.poll(act("b", 0)).message.body, "first");
  EXPECT_EQ(*s.poll(act("b", 0)).message.body, "first");  // answer lost, client asks again

  EXPECT_EQ(s.store.post(act("b", 0), msg("second", "1.0")), Post::replaced);
  EXPECT_EQ(s.store.stats().messages, 1u);
  auto r = s.poll(act("b", 0));
  EXPECT_EQ(*r.message.body, "second");
  EXPECT_EQ(r.message.loss, "1.0");
}

TEST(RelayStore, FetchingALaterMicroBatchDropsOnlyDeliveredEarlierOnes) {
  FakeClockStore s;
  s.store.post(act("b", 0), msg("b0"));
  s.store.post(act("b", 1), msg("b1"));
  s.store.post(act("b", 2), msg("b2"));
  s.store.post(act("c", 0), msg("c0"));
  s.store.post({kc::RelayKind::gradient, "t", "b", 0}, msg("g0"));
  ASSERT_EQ(s.poll(act("b", 0)).status, Fetch::delivered);
  ASSERT_EQ(s.poll(act("c", 0)).status, Fetch::delivered);
  ASSERT_EQ(s.poll({kc::RelayKind::gradient, "t", "b", 0}).status, Fetch::delivered);

  // b moves on to 2: its delivered 0 goes, its undelivered 1 stays; c and the
  // gradient of b are other streams.
  ASSERT_EQ(s.poll(act("b", 2)).status, Fetch::delivered);
  EXPECT_EQ(s.poll(act("b", 0)).status, Fetch::waiting);
  EXPECT_EQ(*s.poll(act("b", 1)).message.body, "b1");
  EXPECT_EQ(*s.poll(act("c", 0)).message.body, "c0");
  EXPECT_EQ(*s.poll({kc::RelayKind::gradient, "t", "b", 0}).message.body, "g0");
}

TEST(RelayStore, MessagesExpireAfterTheirTtlCountedFromPostOrLastDelivery) {
  kc::RelayStore::Limits limits;
  limits.ttl = 10s;
  FakeClockStore s(limits);
  s.store.post(act("b", 0), msg("x"));
  s.store.post(act("c", 0), msg("y"));
  s.now += 9s;
  ASSERT_EQ(s.poll(act("b", 0)).status, Fetch::delivered);  // b/0 now lives until +19 s

  s.now += 2s;
  EXPECT_EQ(s.poll(act("c", 0)).status, Fetch::waiting);  // never fetched: expired at +10 s
  EXPECT_EQ(s.poll(act("b", 0)).status, Fetch::delivered);
  s.now += 10s;
  EXPECT_EQ(s.poll(act("b", 0)).status, Fetch::waiting);
  EXPECT_EQ(s.store.stats().messages, 0u);
}

TEST(RelayStore, SweepRemovesExpiredMessagesAndTheirBytes) {
  kc::RelayStore::Limits limits;
  limits.ttl = 10s;
  FakeClockStore s(limits);
  s.store.post(act("b", 0, "t1"), msg(std::string(1000, 'x')));
  s.store.post(act("b", 0, "t2"), msg("y"));
  s.now += 5s;
  s.store.post(act("b", 1, "t2"), msg("z"));
  s.now += 6s;
  EXPECT_EQ(s.store.sweep(), 2u);
  auto st = s.store.stats();
  EXPECT_EQ(st.messages, 1u);
  EXPECT_EQ(st.tasks, 1u);
  EXPECT_LT(st.bytes, 1000u);
  s.now += 10s;
  EXPECT_EQ(s.store.sweep(), 1u);
  st = s.store.stats();
  EXPECT_EQ(st.messages, 0u);
  EXPECT_EQ(st.bytes, 0u);
  EXPECT_EQ(st.tasks, 0u);
}

TEST(RelayStore, PendingCapIsPerTaskAndFreedByExpiry) {
  kc::RelayStore::Limits limits;
  limits.max_pending_per_task = 2;
  limits.ttl = 10s;
  FakeClockStore s(limits);
  EXPECT_EQ(s.store.post(act("b", 0), msg("0")), Post::stored);
  EXPECT_EQ(s.store.post(act("b", 1), msg("1")), Post::stored);
  EXPECT_EQ(s.store.post(act("b", 2), msg("2")), Post::task_full);
  EXPECT_EQ(s.store.post(act("b", 1), msg("1'")), Post::replaced);  // no new slot needed
  EXPECT_EQ(s.store.post(act("b", 2, "other"), msg("2")), Post::stored);
  s.now += 11s;
  EXPECT_EQ(s.store.post(act("b", 2), msg("2")), Post::stored);
}

TEST(RelayStore, ByteAndTaskCapsRefusePosts) {
  kc::RelayStore::Limits limits;
  limits.max_bytes = 4096;
  limits.max_tasks = 2;
  FakeClockStore s(limits);
  EXPECT_EQ(s.store.post(act("b", 0), msg(std::string(3000, 'x'))), Post::stored);
  EXPECT_EQ(s.store.post(act("b", 1), msg(std::string(3000, 'x'))), Post::store_full);
  // Replacing the big message with a small one fits.
  EXPECT_EQ(s.store.post(act("b", 0), msg("small")), Post::replaced);
  EXPECT_EQ(s.store.post(act("b", 1), msg(std::string(3000, 'x'))), Post::stored);
  EXPECT_LE(s.store.stats().bytes, 4096u);

  EXPECT_EQ(s.store.post(act("b", 0, "u"), msg("u")), Post::stored);
  EXPECT_EQ(s.store.post(act("b", 0, "v"), msg("v")), Post::too_many_tasks);
  // A running pipeline's scope is not crowded out by the open relay's tasks.
  EXPECT_EQ(s.store.post(act("b", 0, "run-7"), msg("r"), /*in_run=*/true), Post::stored);
  s.now += std::chrono::hours(1);
  s.store.sweep();
  EXPECT_EQ(s.store.post(act("b", 0, "v"), msg("v")), Post::stored);  // expiry freed the open slots
}

TEST(RelayStore, AWaiterIsWokenByAPostToItsKeyOnlyAndStaysUntilCancelled) {
  kc::RelayStore store({});
  auto w = std::make_shared<Flag>();
  EXPECT_EQ(store.fetch(act("b", 7), w).status, Fetch::waiting);
  EXPECT_EQ(store.fetch(act("b", 7), w).status, Fetch::waiting);  // registered once only
  EXPECT_EQ(store.stats().waiting, 1u);
  store.post(act("b", 6), msg("not this one"));
  store.post(act("c", 7), msg("nor this"));
  EXPECT_EQ(w->wakes, 0);
  store.post(act("b", 7), msg("this one"));
  EXPECT_EQ(w->wakes, 1);
  auto r = store.fetch(act("b", 7), w);
  ASSERT_EQ(r.status, Fetch::delivered);
  EXPECT_EQ(*r.message.body, "this one");
  store.cancel_wait(act("b", 7), w.get());
  EXPECT_EQ(store.stats().waiting, 0u);
  store.post(act("b", 7), msg("again"));
  EXPECT_EQ(w->wakes, 1);
}

TEST(RelayStore, DroppingATaskForgetsItsMessagesAndWakesOnlyItsWaiters) {
  kc::RelayStore store({});
  auto mine = std::make_shared<Flag>(), other = std::make_shared<Flag>();
  store.post(act("b", 0, "run-1"), msg("old run"));
  store.post(act("b", 0, "run-2"), msg("other task"));
  store.fetch(act("c", 0, "run-1"), mine);
  store.fetch(act("c", 0, "run-2"), other);
  store.drop_task("run-1");
  EXPECT_EQ(mine->wakes, 1);
  EXPECT_EQ(other->wakes, 0);
  EXPECT_EQ(store.fetch(act("b", 0, "run-1")).status, Fetch::waiting);
  EXPECT_EQ(store.fetch(act("b", 0, "run-2")).status, Fetch::delivered);
  EXPECT_EQ(store.stats().messages, 1u);
  store.wake_task("run-2");
  EXPECT_EQ(other->wakes, 1);
}

TEST(RelayStore, ShutdownWakesWaitersAndRefusesPosts) {
  kc::RelayStore store({});
  auto w = std::make_shared<Flag>();
  store.fetch(act("b", 0), w);
  store.shutdown();
  EXPECT_EQ(w->wakes, 1);
  EXPECT_EQ(store.fetch(act("b", 0), w).status, Fetch::shutting_down);
  EXPECT_EQ(store.post(act("b", 0), msg("x")), Post::shutting_down);
}

}  // namespace

namespace {

TEST(RelayStore, AnExclusiveMessageIsReplacedOnlyByItsOwnSender) {
  FakeClockStore s;
  ASSERT_EQ(s.store.post(act("b", 0), msg("from a", std::nullopt, "a"), true, true), Post::stored);
  EXPECT_EQ(s.store.post(act("b", 0), msg("from c", std::nullopt, "c"), true, true), Post::conflict);
  auto r = s.poll(act("b", 0));
  ASSERT_EQ(r.status, Fetch::delivered);
  EXPECT_EQ(*r.message.body, "from a");
  EXPECT_EQ(s.store.stats().messages, 1u);

  // Its own sender's repost replaces it; so may anyone once it has expired.
  EXPECT_EQ(s.store.post(act("b", 0), msg("a again", std::nullopt, "a"), true, true), Post::replaced);
  EXPECT_EQ(*s.poll(act("b", 0)).message.body, "a again");
  s.now += s.store.limits().ttl + 1s;
  EXPECT_EQ(s.store.post(act("b", 0), msg("c later", std::nullopt, "c"), true, true), Post::replaced);
  // Without the exclusive flag (the open relay), any post replaces.
  EXPECT_EQ(s.store.post(act("b", 0), msg("x", std::nullopt, "x"), true), Post::replaced);
}

}  // namespace
