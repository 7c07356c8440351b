// Registers compression's Python face on the trainer module.
#pragma once
#include <pybind11/pybind11.h>

namespace korvane::carrowel {
namespace py = pybind11;
void bind_compression(py::module_& m);
}  // namespace korvane::carrowel

namespace korvane::carrowel {
// Registers encode_boundary, decode_boundary, codec_round_trip and CODECS (boundary_bindings.cpp).
void bind_boundary(py::module_& m);
}  // namespace korvane::carrowel
