// Boundary messages over Python values: what one micro-batch sends across a stage boundary
// (a tensor, or a tuple, list or dict with str keys of tensors, None entries allowed),
// coded with one codec (codec.hpp) into the byte form of boundary_format.hpp.
//
//   std::string body = encode_boundary(value, Codec::int4, /*is_backward=*/false);
//   py::object value = decode_boundary(body, Codec::int4, false, "cuda:0");
//
// A single floating tensor in the sign codec is exactly the compressed tensor record of
// compress_tensor(value, 64, is_backward).to_bytes(). Floating tensors are coded; integer
// and bool tensors cross raw, losslessly. Decoded floating tensors are float32 for the
// quantising codecs (sign, int8, int4, int2, int2-hadamard) and of the sender's floating
// type for bf16, fp16 and fp32 (a float64 tensor sent as fp32 comes back float64 holding
// float32 values). Tensors come back detached. ImportError without torch.
#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "korvane/carrowel/compression/codec.hpp"

namespace korvane::carrowel {
namespace py = pybind11;

// TypeError for another kind of value or entry (a nested structure, a non-str key, a complex
// tensor); ValueError naming the codec for a value it cannot represent.
std::string encode_boundary(py::handle value, Codec codec, bool is_backward);
// The same bytes as a Python bytes object, written in place.
py::bytes encode_boundary_bytes(py::handle value, Codec codec, bool is_backward);

// ValueError for a malformed body, for one coded with another codec than `codec` (naming
// both), and for a gradient where an activation was expected or the reverse (the last is
// checked for every message but a bare sign record, which the receiver has always taken as it is).
py::object decode_boundary(std::string_view body, Codec codec, bool is_backward, const std::string& device);

// A tuple, list or dict: the values that need the boundary message form.
bool is_structure(py::handle value);

// The codec named, or ValueError listing the names.
Codec codec_by_name(std::string_view name);

}  // namespace korvane::carrowel
