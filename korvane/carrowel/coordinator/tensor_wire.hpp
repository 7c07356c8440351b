// Tensors as relay bodies: compress + serialise on the way out, parse + decompress on the
// way in. The one place the relays meet the compression subsystem.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

#include "korvane/carrowel/compression/compressed_tensor.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

std::string encode_tensor(py::handle tensor, bool is_backward);
CompressedTensor parse_wire(const std::string& body);
py::object decompress_wire(const CompressedTensor& record, const std::string& device);

}  // namespace korvane::carrowel
