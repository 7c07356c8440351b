// Registration functions of the trainer module: one per subsystem, each declared in its
// own folder, and the module's own test helpers.
#pragma once
#include <pybind11/pybind11.h>

#include "korvane/carrowel/cli/bindings.hpp"
#include "korvane/carrowel/compression/bindings.hpp"
#include "korvane/carrowel/facade/bindings.hpp"
#include "korvane/carrowel/trainer/bindings.hpp"

namespace korvane::carrowel {
namespace py = pybind11;
void bind_testing(py::module_& m);  // private helpers for the test suite (_testing)
}  // namespace korvane::carrowel
