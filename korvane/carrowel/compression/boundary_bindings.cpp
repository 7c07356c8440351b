// Python face of boundary messages: encode_boundary, decode_boundary, codec_round_trip and
// the CODECS names. The logic lives in boundary_message.cpp and the core.
#include <pybind11/pybind11.h>

#include <string>

#include "korvane/carrowel/compression/bindings.hpp"
#include "korvane/carrowel/compression/boundary_message.hpp"
#include "korvane/carrowel/compression/tensor_compression.hpp"
#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
namespace {
std::string type_name(py::handle o) { return Py_TYPE(o.ptr())->tp_name; }

Codec as_codec(py::handle o) {
  if (!PyUnicode_Check(o.ptr())) throw TypeError("codec must be a codec name (str), got " + type_name(o));
  return codec_by_name(o.cast<std::string>());
}

bool as_flag(py::handle o, const char* what) {
  if (!PyBool_Check(o.ptr())) throw TypeError(std::string(what) + " must be a bool, got " + type_name(o));
  return o.ptr() == Py_True;
}

std::string as_device(py::handle device) {
  if (PyUnicode_Check(device.ptr())) return device.cast<std::string>();
  if (type_name(device) == "torch.device") return py::str(device).cast<std::string>();
  throw TypeError("device must be a device name such as \"cpu\" or \"cuda:0\", got " + type_name(device));
}

py::object decode(py::handle data, Codec codec, bool is_backward, const std::string& device) {
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw TypeError("decode_boundary expects bytes, bytearray or memoryview, got " + type_name(data));
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  return decode_boundary(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)),
                         codec, is_backward, device);
}

// The device a decoded copy of `value` goes to: that of its first tensor.
std::string device_of(py::handle value) {
  const auto* backend = compression::tensor_backend();
  auto first = [&](py::handle v) -> py::object {
    if (backend && backend->is_tensor(v.ptr())) return py::str(v.attr("device"));
    return py::none();
  };
  if (PyDict_Check(value.ptr())) {
    for (auto [k, v] : py::reinterpret_borrow<py::dict>(value))
      if (auto d = first(v); !d.is_none()) return d.cast<std::string>();
  } else if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    for (py::handle v : py::reinterpret_borrow<py::sequence>(value))
      if (auto d = first(v); !d.is_none()) return d.cast<std::string>();
  } else if (auto d = first(value); !d.is_none()) {
    return d.cast<std::string>();
  }
  return "cpu";
}
}  // namespace

void bind_boundary(py::module_& m) {
  py::tuple names(std::size(kAllCodecs));
  for (std::size_t i = 0; i < std::size(kAllCodecs); ++i) names[i] = py::str(codec_name(kAllCodecs[i]));
  m.attr("CODECS") = names;

  m.def(
      "encode_boundary",
      [](py::handle value, py::handle codec, py::handle is_backward) {
        if (!torch_available()) throw ImportError("PyTorch required for encode_boundary");
        return encode_boundary_bytes(value, as_codec(codec), as_flag(is_backward, "is_backward"));
      },
      py::arg("value"), py::arg("codec") = "sign", py::arg("is_backward") = false,
      "The bytes one micro-batch sends across a stage boundary: a tensor, or a tuple, list or dict\n"
      "(str keys) of tensors and None, floating tensors coded with `codec` (one of CODECS),\n"
      "integer and bool tensors raw. A single floating tensor in 'sign' gives exactly\n"
      "compress_tensor(value, 64, is_backward).to_bytes(). ValueError naming the codec for a value\n"
      "it cannot represent (NaN, infinity or a group beyond binary16's range for the quantising\n"
      "codecs; a finite value beyond 65504 for fp16).");
  m.def(
      "decode_boundary",
      [](py::handle data, py::handle codec, py::handle is_backward, py::handle device) {
        if (!torch_available()) throw ImportError("PyTorch required for decode_boundary");
        return decode(data, as_codec(codec), as_flag(is_backward, "is_backward"), as_device(device));
      },
      py::arg("data"), py::arg("codec") = "sign", py::arg("is_backward") = false, py::arg("device") = "cpu",
      "The value encode_boundary sent, its tensors on `device` and detached: float32 for the\n"
      "quantising codecs, the sender's floating type for bf16, fp16 and fp32, integer and bool\n"
      "tensors exactly. ValueError for a malformed body, one coded with another codec (naming\n"
      "both), or a gradient where an activation was expected (or the reverse).");
  m.def(
      "codec_round_trip",
      [](py::handle value, py::handle codec) {
        if (!torch_available()) throw ImportError("PyTorch required for codec_round_trip");
        const Codec c = as_codec(codec);
        const std::string body = encode_boundary(value, c, false);
        return decode_boundary(body, c, false, device_of(value));
      },
      py::arg("value"), py::arg("codec"),
      "decode_boundary(encode_boundary(value, codec), codec) on the device of value's first\n"
      "tensor: what the far side of a boundary receives, for putting a codec into one process.");
}

}  // namespace korvane::carrowel
