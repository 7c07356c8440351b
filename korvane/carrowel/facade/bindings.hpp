// Registers OrvynPipelineTrainerSync, the blocking facade over the trainer, on the trainer
// module. It sits above the trainer and knows it only as the Python class registered
// before it: each call runs the trainer's operation on a private event loop.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;
// Runs after bind_trainer: the constructor looks up OrvynPipelineTrainer on `m`.
void bind_facade(py::module_& m);
// Gives the facade the trainer's signatures; runs after python::expose_signatures.
void mirror_trainer_signatures(py::module_& m);
}  // namespace korvane::carrowel
