// Where a training loop reads its data: a batch source walked pass after pass, with the
// rules that keep every stage of a pipeline drawing the same batches.
//  - No source, or a source that says it has no batches, is no source: the loop makes up
//    its own inputs.
//  - A source without a length whose first pass yields nothing counts as absent too.
//  - A pass that ends is started again once; a source that yielded before and yields
//    nothing when started again is an error (Error).
//  - drawn() counts every batch taken, so that a checkpoint can put a fresh cursor back to
//    the same place by starting again and drawing as many (reposition).
// Owns its source. Errors the source throws pass through unchanged. Not thread-safe: one
// loop, one thread.
#pragma once
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel::training {

// A data source seen as passes of items; the Python side wraps an iterable in one.
template <class Item>
class BatchSource {
 public:
  virtual ~BatchSource() = default;
  // The number of batches when the source knows it (Python's __len__), else nullopt.
  virtual std::optional<std::size_t> length() const = 0;
  // Begins a new pass from the first batch (iter(source) again).
  virtual void start_pass() = 0;
  // The next batch of the pass started last, or nullopt when that pass has ended.
  virtual std::optional<Item> next_item() = 0;
};

// The next item of a source that is read as an endless stream of its passes: a finished
// pass starts the next. nullopt when a freshly started pass yields nothing.
template <class Item>
std::optional<Item> next_starting_again(BatchSource<Item>& source) {
  if (std::optional<Item> item = source.next_item()) return item;
  source.start_pass();
  return source.next_item();
}

inline constexpr const char* kDrySourceMessage = "the data source yielded no batch, even after starting it again";

template <class Item>
class DataCursor {
 public:
  // A null source is an absent one.
  explicit DataCursor(std::unique_ptr<BatchSource<Item>> source) : source_(std::move(source)) { reset(false); }

  // Whether batches come from the source; false once it turned out to hold none.
  bool present() const { return present_; }
  // A source was given but holds no batch (saved with a checkpoint).
  bool spent() const { return source_ && !present_; }
  long long drawn() const { return drawn_; }

  // The next batch, or nullopt when the source turns out to hold none at all (present()
  // is false from then on). Call only while present().
  std::optional<Item> next() {
    std::optional<Item> item;
    if (!in_pass_) {
      // The first pass: yielding nothing makes it no source at all, like an empty list.
      source_->start_pass();
      in_pass_ = true;
      item = source_->next_item();
      if (!item) {
        present_ = false;
        return std::nullopt;
      }
    } else {
      item = next_starting_again(*source_);
      if (!item) throw Error(kDrySourceMessage);
    }
    ++drawn_;
    return item;
  }

  // Starts the source again and draws `count` batches, as the loop had when it saved;
  // `spent` says the source had turned out to hold none.
  void reposition(long long count, bool spent) {
    reset(spent);
    while (present_ && drawn_ < count) next();
  }

 private:
  void reset(bool spent) {
    in_pass_ = false;
    drawn_ = 0;
    present_ = source_ && !spent && source_->length().value_or(1) > 0;
  }

  std::unique_ptr<BatchSource<Item>> source_;
  bool present_ = false;
  bool in_pass_ = false;
  long long drawn_ = 0;
};

}  // namespace korvane::carrowel::training
