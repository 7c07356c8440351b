// Where the training loop reads its Python data source. A source without __len__ whose
// first iteration yields nothing counts as absent, like an empty list. An exhausted
// iteration is restarted once; a source that ran dry after yielding and yields nothing
// when restarted is an error. `drawn` counts every batch taken, so that a checkpoint can
// put a fresh cursor back to the same place by drawing as many again.
// Thread: the event-loop thread, with the GIL. Errors: the source's own; Error for a
// source that yields nothing even after starting again.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;

class DataCursor {
 public:
  explicit DataCursor(py::object source);

  bool present() const { return present_; }
  bool given() const { return !source_.is_none(); }
  long long drawn() const { return drawn_; }
  // The next batch, or a null object when the source turns out to hold none at all.
  py::object next();
  // Starts the source again and draws `count` batches, as the loop had when it saved.
  void reposition(long long count, bool spent);

 private:
  bool sized_with_batches() const;

  py::object source_;
  py::object iterator_;
  bool yielded_ = false;
  bool present_ = false;
  long long drawn_ = 0;
};

}  // namespace korvane::carrowel
