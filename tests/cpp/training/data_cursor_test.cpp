// The data cursor's rules over a vector-backed source whose passes can be scripted.
#include "korvane/carrowel/training/data_cursor.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace korvane::carrowel::training {
namespace {

// Pass k yields passes[min(k, last)]; `sized` says whether it reports a length.
class ScriptedSource : public BatchSource<int> {
 public:
  ScriptedSource(std::vector<std::vector<int>> passes, bool sized, int* started = nullptr)
      : passes_(std::move(passes)), sized_(sized), started_(started) {}
  std::optional<std::size_t> length() const override {
    if (!sized_) return std::nullopt;
    return passes_.front().size();
  }
  void start_pass() override {
    pass_ = started_count_ < passes_.size() ? started_count_ : passes_.size() - 1;
    ++started_count_;
    if (started_) ++*started_;
    pos_ = 0;
  }
  std::optional<int> next_item() override {
    const auto& p = passes_[pass_];
    if (pos_ >= p.size()) return std::nullopt;
    return p[pos_++];
  }

 private:
  std::vector<std::vector<int>> passes_;
  bool sized_;
  int* started_;
  std::size_t pass_ = 0, pos_ = 0, started_count_ = 0;
};

DataCursor<int> cursor(std::vector<std::vector<int>> passes, bool sized, int* started = nullptr) {
  return DataCursor<int>(std::make_unique<ScriptedSource>(std::move(passes), sized, started));
}

std::vector<int> take(DataCursor<int>& c, int n) {
  std::vector<int> out;
  for (int i = 0; i < n; ++i) out.push_back(*c.next());
  return out;
}

TEST(DataCursor, NoSourceOrAnEmptyOneIsAbsent) {
  DataCursor<int> none(nullptr);
  EXPECT_FALSE(none.present());
  EXPECT_FALSE(none.spent());  // nothing was given, so nothing is spent

  int started = 0;
  auto sized_empty = cursor({{}}, true, &started);
  EXPECT_FALSE(sized_empty.present());
  EXPECT_EQ(started, 0);  // its length says enough: it is never iterated
  EXPECT_TRUE(sized_empty.spent());

  auto unsized_empty = cursor({{}}, false);
  EXPECT_TRUE(unsized_empty.present());  // only a pass can tell
  EXPECT_EQ(unsized_empty.next(), std::nullopt);
  EXPECT_FALSE(unsized_empty.present());
  EXPECT_TRUE(unsized_empty.spent());
  EXPECT_EQ(unsized_empty.drawn(), 0);
}

TEST(DataCursor, AnEndedPassStartsAgainAndDrawnCountsEveryBatch) {
  for (bool sized : {true, false}) {
    int started = 0;
    auto c = cursor({{1, 2, 3}}, sized, &started);
    EXPECT_EQ(take(c, 7), (std::vector<int>{1, 2, 3, 1, 2, 3, 1}));
    EXPECT_EQ(c.drawn(), 7);
    EXPECT_EQ(started, 3);
    EXPECT_TRUE(c.present());
  }
}

TEST(DataCursor, ASourceThatRunsDryAfterYieldingIsAnError) {
  // A one-shot iterator: the first pass yields, every later pass is empty.
  auto c = cursor({{1, 2}, {}}, false);
  EXPECT_EQ(take(c, 2), (std::vector<int>{1, 2}));
  try {
    c.next();
    FAIL() << "a dry source must not be taken for an absent one";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "the data source yielded no batch, even after starting it again");
  }
  EXPECT_EQ(c.drawn(), 2);
}

TEST(DataCursor, RepositionStartsAgainAndDrawsAsMany) {
  int started = 0;
  auto c = cursor({{1, 2, 3}}, true, &started);
  take(c, 2);
  c.reposition(4, false);
  EXPECT_EQ(c.drawn(), 4);
  EXPECT_EQ(started, 3);  // the first pass, one to reposition, one restart inside it
  EXPECT_EQ(*c.next(), 2);  // batch 5 of the stream, as an uninterrupted cursor would give

  c.reposition(0, false);
  EXPECT_EQ(*c.next(), 1);

  c.reposition(5, true);  // saved when the source had turned out empty
  EXPECT_FALSE(c.present());
  EXPECT_EQ(c.drawn(), 0);
}

TEST(DataCursor, RepositionOnASourceThatHasGoneEmptyLeavesItAbsent) {
  auto c = cursor({{1}, {}}, false);
  take(c, 1);
  c.reposition(3, false);  // the only pass left yields nothing: no source, not an error
  EXPECT_FALSE(c.present());
  EXPECT_EQ(c.drawn(), 0);
}

TEST(DataCursor, EndlessStreamRestartsOnceAndReportsADryPass) {
  ScriptedSource s({{7}, {8}, {}}, false);
  s.start_pass();
  EXPECT_EQ(next_starting_again(s), 7);
  EXPECT_EQ(next_starting_again(s), 8);
  EXPECT_EQ(next_starting_again(s), std::nullopt);
}

}  // namespace
}  // namespace korvane::carrowel::training
