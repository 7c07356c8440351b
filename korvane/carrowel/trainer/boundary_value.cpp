#include "korvane/carrowel/trainer/boundary_value.hpp"

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

bool is_boundary_structure(py::handle value) {
  return py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value) || py::isinstance<py::dict>(value);
}

std::vector<py::object> boundary_entries(py::handle value) {
  std::vector<py::object> out;
  if (py::isinstance<py::dict>(value)) {
    for (auto item : py::reinterpret_borrow<py::dict>(value)) out.push_back(py::reinterpret_borrow<py::object>(item.second));
  } else if (is_boundary_structure(value)) {
    for (py::handle e : value) out.push_back(py::reinterpret_borrow<py::object>(e));
  } else {
    out.push_back(py::reinterpret_borrow<py::object>(value));
  }
  return out;
}

py::object rebuild_boundary(py::handle like, const std::vector<py::object>& entries) {
  if (py::isinstance<py::dict>(like)) {
    py::dict in = py::reinterpret_borrow<py::dict>(like), out;
    if (py::len(in) != entries.size()) throw Error("boundary value rebuilt with the wrong number of entries");
    size_t i = 0;
    for (auto item : in) out[item.first] = entries[i++];
    return out;
  }
  if (py::isinstance<py::list>(like)) {
    py::list out;
    for (const py::object& e : entries) out.append(e);
    return out;
  }
  if (py::isinstance<py::tuple>(like)) {
    py::tuple out(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) out[i] = entries[i];
    return out;
  }
  if (entries.size() != 1) throw Error("boundary value rebuilt with the wrong number of entries");
  return entries[0];
}

py::object map_boundary(py::handle value, const std::function<py::object(py::handle)>& f) {
  std::vector<py::object> entries = boundary_entries(value);
  for (py::object& e : entries)
    if (!e.is_none()) e = f(e);
  return rebuild_boundary(value, entries);
}

bool is_floating_tensor(py::handle entry) {
  if (entry.is_none() || !py::hasattr(entry, "is_floating_point")) return false;
  return entry.attr("is_floating_point")().cast<bool>();
}

}  // namespace korvane::carrowel
