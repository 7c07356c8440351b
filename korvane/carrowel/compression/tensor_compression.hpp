// Compression of torch tensors for C++ callers inside the trainer module (the relays, the
// statistics). The tensor side goes through the backend that _carrowel_torch installs when
// torch imports; without it the two operations raise ImportError.
//
//   CompressedTensor c = compress_tensor(tensor);          // py::handle to a torch.Tensor
//   std::string body = c.to_bytes();
//   py::object t = decompress_tensor(CompressedTensor::from_bytes(body), "cuda:0");
//
// The Python type korvane.carrowel.CompressedTensor wraps this same struct:
// py::cast(record) gives a Python object (a copy, or a move from an rvalue), and
// py::cast<CompressedTensor&>(obj) a reference to the one inside a Python object.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "korvane/carrowel/compression/compressed_tensor.hpp"
#include "korvane/carrowel/compression/tensor_backend.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// True once the tensor backend is installed (torch imported).
bool torch_available();

// The tensor detached, copied to the host as float32 if it is not already that, and
// compressed in row-major order. ImportError without torch, ZeroDivisionError for a zero
// group_size, ValueError for a negative one or one beyond 32 bits, TypeError for a
// non-tensor or a complex tensor.
CompressedTensor compress_tensor(py::handle tensor, long long group_size = 64, bool is_backward = false);

// A new float32 tensor of shape c.shape on `device`, not attached to autograd. ImportError
// without torch; ValueError / ZeroDivisionError / OverflowError for records that cannot be
// expanded (see compression::check_decompressible); torch's error for a bad device name.
py::object decompress_tensor(const CompressedTensor& c, const std::string& device = "cpu");

namespace compression {
// Takes the backend from the capsule that _carrowel_torch.backend() returns.
void install_tensor_backend(py::handle capsule);
// The installed backend, or nullptr.
const TensorBackend* tensor_backend() noexcept;
}  // namespace compression

}  // namespace korvane::carrowel
