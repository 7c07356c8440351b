#include "korvane/carrowel/trainer/data_source.hpp"

namespace korvane::carrowel {

std::unique_ptr<PythonBatchSource> PythonBatchSource::of(py::object iterable) {
  if (iterable.is_none()) return nullptr;
  return std::make_unique<PythonBatchSource>(std::move(iterable));
}

std::optional<std::size_t> PythonBatchSource::length() const {
  if (!py::hasattr(iterable_, "__len__")) return std::nullopt;
  return py::len(iterable_);
}

std::optional<py::object> PythonBatchSource::next_item() {
  if (!iterator_) start_pass();
  PyObject* item = PyIter_Next(iterator_.ptr());
  if (item) return py::reinterpret_steal<py::object>(item);
  if (PyErr_Occurred()) throw py::error_already_set();
  return std::nullopt;
}

}  // namespace korvane::carrowel
