// The module linked against LibTorch: it hands _carrowel the tensor side of compression
// and the stage model's tensor operations, each in a PyCapsule (see tensor_backend.hpp
// and stage_tensor_ops.hpp). Registration only.
#include <pybind11/pybind11.h>

#include "korvane/carrowel/compression/torch_backend.hpp"
#include "korvane/carrowel/trainer/stage_torch_ops.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_carrowel_torch, m) {
  using namespace korvane::carrowel;
  m.doc() = "Tensor primitives for korvane.carrowel (links the tensor library).";
  m.def("backend", [] {
    const compression::TensorBackend& backend = compression::torch_tensor_backend();
    return py::reinterpret_steal<py::object>(PyCapsule_New(
        const_cast<compression::TensorBackend*>(&backend), compression::kTensorBackendCapsule, nullptr));
  });
  m.def("stage_ops", [] {
    const StageTensorOps& ops = torch_stage_tensor_ops();
    return py::reinterpret_steal<py::object>(
        PyCapsule_New(const_cast<StageTensorOps*>(&ops), kStageTensorOpsCapsule, nullptr));
  });
}
