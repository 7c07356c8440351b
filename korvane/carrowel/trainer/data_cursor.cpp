#include "korvane/carrowel/trainer/data_cursor.hpp"

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

DataCursor::DataCursor(py::object source) : source_(std::move(source)) { present_ = sized_with_batches(); }

// Absent, or a sized source without batches, counts as no source at all.
bool DataCursor::sized_with_batches() const {
  return !source_.is_none() && (!py::hasattr(source_, "__len__") || py::len(source_) > 0);
}

py::object DataCursor::next() {
  const bool fresh = !iterator_;
  if (fresh) iterator_ = py::iter(source_);
  PyObject* item = PyIter_Next(iterator_.ptr());
  if (!item) {
    if (PyErr_Occurred()) throw py::error_already_set();
    if (fresh && !yielded_) {
      present_ = false;
      return py::object();
    }
    iterator_ = py::iter(source_);
    item = PyIter_Next(iterator_.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      throw Error("the data source yielded no batch, even after starting it again");
    }
  }
  yielded_ = true;
  ++drawn_;
  return py::reinterpret_steal<py::object>(item);
}

void DataCursor::reposition(long long count, bool spent) {
  iterator_ = py::object();
  yielded_ = false;
  drawn_ = 0;
  present_ = sized_with_batches() && !spent;
  while (present_ && drawn_ < count) next();
}

}  // namespace korvane::carrowel
