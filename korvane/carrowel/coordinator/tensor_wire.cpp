#include "korvane/carrowel/coordinator/tensor_wire.hpp"

namespace korvane::carrowel {

namespace {
py::object carrowel() { return py::module_::import("korvane.carrowel._carrowel"); }
}

std::string encode_tensor(py::handle tensor, bool is_backward) {
  py::object record = carrowel().attr("compress_tensor")(tensor, py::arg("is_backward") = is_backward);
  return record.attr("to_bytes")().cast<std::string>();
}

CompressedWire parse_wire(const std::string& body) {
  return {carrowel().attr("CompressedTensor").attr("from_bytes")(py::bytes(body))};
}

py::object decompress_wire(const CompressedWire& wire, const std::string& device) {
  return carrowel().attr("decompress_tensor")(wire.record, device);
}

}  // namespace korvane::carrowel
