// compress_tensor / decompress_tensor: the glue between Python tensors (through the
// installed backend) and the core loops, for both the bindings and C++ callers.
#include "korvane/carrowel/compression/tensor_compression.hpp"

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
const compression::TensorBackend* installed = nullptr;

struct ExpandJob {
  const CompressedTensor* record;
  std::uint64_t n;
};
}  // namespace

namespace compression {
void install_tensor_backend(py::handle capsule) {
  if (!PyCapsule_IsValid(capsule.ptr(), kTensorBackendCapsule))
    throw TypeError("_install_tensor_backend expects the capsule from _carrowel_torch.backend()");
  auto* backend = static_cast<const TensorBackend*>(PyCapsule_GetPointer(capsule.ptr(), kTensorBackendCapsule));
  if (backend->version() != kTensorBackendVersion) {
    throw ImportError("_carrowel_torch provides tensor backend version " + std::to_string(backend->version()) +
                      ", _carrowel needs " + std::to_string(kTensorBackendVersion) + ": rebuild both modules");
  }
  // The backend lives in _carrowel_torch, which stays loaded once imported; the capsule is
  // kept for the life of the process.
  capsule.inc_ref();
  installed = backend;
}

const TensorBackend* tensor_backend() noexcept { return installed; }
}  // namespace compression

bool torch_available() { return installed != nullptr; }

CompressedTensor compress_tensor(py::handle tensor, long long group_size, bool is_backward) {
  if (!installed) throw ImportError("PyTorch required for tensor compression");
  compression::check_group_size(group_size);
  compression::HostFloats view;
  if (!installed->host_floats(tensor.ptr(), &view)) throw py::error_already_set();
  const auto keep = py::reinterpret_steal<py::object>(view.keep_alive);
  return compression::compress_values(view.data, static_cast<std::uint64_t>(view.numel),
                                      std::vector<std::int64_t>(view.sizes, view.sizes + view.ndim), group_size,
                                      is_backward);
}

py::object decompress_tensor(const CompressedTensor& c, const std::string& device) {
  if (!installed) throw ImportError("PyTorch required for tensor decompression");
  ExpandJob job{&c, compression::check_decompressible(c)};
  auto fill = +[](void* context, float* data, std::int64_t) noexcept {
    const auto* j = static_cast<const ExpandJob*>(context);
    compression::decompress_values(*j->record, j->n, data);
  };
  PyObject* result = installed->new_floats(c.shape.data(), static_cast<std::int64_t>(c.shape.size()), device.c_str(),
                                           fill, &job);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace korvane::carrowel
