// Tensors as relay bodies: compress + serialise on the way out, parse + decompress on the
// way in. The one place the relays meet the compression subsystem.
#pragma once
#include <pybind11/pybind11.h>

#include <string>

namespace korvane::carrowel {
namespace py = pybind11;

struct CompressedWire {
  py::object record;  // the parsed CompressedTensor
};

std::string encode_tensor(py::handle tensor, bool is_backward);
CompressedWire parse_wire(const std::string& body);
py::object decompress_wire(const CompressedWire& wire, const std::string& device);

}  // namespace korvane::carrowel
