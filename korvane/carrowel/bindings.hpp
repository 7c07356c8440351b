// Registration functions of the trainer module, one per subsystem.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;
void bind_compression(py::module_& m);
void bind_trainer(py::module_& m);
void bind_cli(py::module_& m);
void bind_testing(py::module_& m);
// Gives the facade the trainer's signatures; runs after python::expose_signatures.
void mirror_trainer_signatures(py::module_& m);  // private helpers for the test suite (_testing)
}  // namespace korvane::carrowel
