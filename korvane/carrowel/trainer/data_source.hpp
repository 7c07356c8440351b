// A Python iterable seen as a training::BatchSource: __len__ when it has one, iter() for
// each pass, next() for each batch. The training loop's data cursor and EpochStream read
// their data through it. Thread: the event-loop thread, with the GIL. Errors: the
// iterable's own, as py::error_already_set.
#pragma once
#include <pybind11/pybind11.h>

#include <memory>

#include "korvane/carrowel/training/data_cursor.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

class PythonBatchSource final : public training::BatchSource<py::object> {
 public:
  explicit PythonBatchSource(py::object iterable) : iterable_(std::move(iterable)) {}
  // None is no source: a null pointer, which a DataCursor reads as absent.
  static std::unique_ptr<PythonBatchSource> of(py::object iterable);

  std::optional<std::size_t> length() const override;
  void start_pass() override { iterator_ = py::iter(iterable_); }
  std::optional<py::object> next_item() override;

 private:
  py::object iterable_;
  py::object iterator_;
};

using PythonDataCursor = training::DataCursor<py::object>;

}  // namespace korvane::carrowel
