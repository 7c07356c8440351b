// Registers the command line's entry point on the trainer module.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;
void bind_cli(py::module_& m);
}  // namespace korvane::carrowel
