// Registers the trainer and the layer assignment on the trainer module.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;
void bind_trainer(py::module_& m);
}  // namespace korvane::carrowel
