// A value that crosses a stage boundary: one tensor, or a tuple, list or dict (str keys) of
// tensors with None entries (the gradient of an input that needs none). A stage's layers
// pass such a value on as nn.Sequential would: as the one argument of the next layer.
// These helpers visit its entries in a fixed order (a dict's in its own order) and rebuild
// a value of the same kind; nothing is nested deeper than one level.
// Thread: the event-loop thread, with the GIL held.
#pragma once
#include <pybind11/pybind11.h>

#include <functional>
#include <vector>

namespace korvane::carrowel {
namespace py = pybind11;

// A tuple, list or dict.
bool is_boundary_structure(py::handle value);

// The entries of a structure in order (None included), or the value itself.
std::vector<py::object> boundary_entries(py::handle value);

// The value rebuilt with f applied to every entry that is not None; a tuple stays a
// tuple (a named tuple becomes a plain one), a list a list, a dict a dict with the same keys.
py::object map_boundary(py::handle value, const std::function<py::object(py::handle)>& f);

// The same kind of value as `like`, holding `entries` in its order.
py::object rebuild_boundary(py::handle like, const std::vector<py::object>& entries);

// Whether an entry is a floating tensor (one that can carry a gradient).
bool is_floating_tensor(py::handle entry);

}  // namespace korvane::carrowel
