// The stage model's finiteness checks: whether a step's gradients may reach the
// optimizer, whether the weights may go into a checkpoint or come out of one.
#include "korvane/carrowel/trainer/stage_model.hpp"

#include "korvane/carrowel/trainer/boundary_value.hpp"

#include <cmath>

namespace korvane::carrowel {

namespace {
bool is_int8_update(py::handle layer) { return py::hasattr(layer, "update_from_gradient"); }

// The sum of every floating tensor in `tensors`, in float32, read back once.
bool sums_finite(const py::list& tensors) {
  if (py::len(tensors) == 0) return true;
  py::module_ torch = py::module_::import("torch");
  tensors::NoGrad no_grad;
  py::list sums;
  for (py::handle t : tensors) sums.append(t.attr("sum")().attr("float")());
  return std::isfinite(tensors::item(torch.attr("stack")(sums).attr("sum")()));
}

bool floating(py::handle t) { return t.attr("is_floating_point")().cast<bool>(); }
}  // namespace

bool StageModel::finite(py::handle value) {
  py::list floating_entries;
  for (const py::object& e : boundary_entries(value))
    if (is_floating_tensor(e)) floating_entries.append(e);
  return sums_finite(floating_entries);
}

bool StageModel::gradients_finite() const {
  py::list grads;
  for (py::handle layer : layers_) {
    if (is_int8_update(layer)) continue;  // int8 layers drop a non-finite update themselves
    for (py::handle p : tensors::parameters_of(layer)) {
      py::object g = tensors::grad_of(p);
      if (!g.is_none() && floating(g)) grads.append(g);
    }
  }
  return sums_finite(grads);
}

void StageModel::discard_plain_gradients() {
  for (py::handle layer : layers_) {
    if (is_int8_update(layer)) continue;
    for (py::handle p : tensors::parameters_of(layer)) tensors::set_grad(p, py::none());
  }
}

bool StageModel::parameters_finite() const {
  py::list params;
  for (py::handle layer : layers_)
    for (py::handle p : tensors::parameters_of(layer))
      if (floating(p)) params.append(p);
  return sums_finite(params);
}

}  // namespace korvane::carrowel
