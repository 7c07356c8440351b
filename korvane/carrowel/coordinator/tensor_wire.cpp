#include "korvane/carrowel/coordinator/tensor_wire.hpp"

#include "korvane/carrowel/compression/tensor_compression.hpp"

namespace korvane::carrowel {

std::string encode_tensor(py::handle tensor, bool is_backward) {
  return compress_tensor(tensor, 64, is_backward).to_bytes();
}

CompressedTensor parse_wire(const std::string& body) { return CompressedTensor::from_bytes(body); }

py::object decompress_wire(const CompressedTensor& record, const std::string& device) {
  return decompress_tensor(record, device);
}

}  // namespace korvane::carrowel
