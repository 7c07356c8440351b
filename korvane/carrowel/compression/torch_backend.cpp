// The tensor side of compression, and the only compression code that includes torch: it
// turns Python tensors into host float32 arrays and back (see tensor_backend.hpp). All
// compression logic stays in the torch-free core.
#include <torch/extension.h>

#include "korvane/carrowel/compression/torch_backend.hpp"

namespace {
using korvane::carrowel::compression::FillFloats;
using korvane::carrowel::compression::HostFloats;
using korvane::carrowel::compression::kTensorBackendCapsule;
using korvane::carrowel::compression::kTensorBackendVersion;
using korvane::carrowel::compression::TensorBackend;

void release_tensor(PyObject* capsule) {
  delete static_cast<at::Tensor*>(PyCapsule_GetPointer(capsule, "korvane.carrowel.host_tensor"));
}

class TorchBackend final : public TensorBackend {
 public:
  int version() const noexcept override { return kTensorBackendVersion; }

  bool is_tensor(PyObject* object) const noexcept override { return THPVariable_Check(object); }

  bool host_floats(PyObject* object, HostFloats* out) const noexcept override {
    try {
      HANDLE_TH_ERRORS
      if (!THPVariable_Check(object)) {
        PyErr_Format(PyExc_TypeError, "compress_tensor() expects a torch.Tensor, got %s", Py_TYPE(object)->tp_name);
        return false;
      }
      const at::Tensor& t = THPVariable_Unpack(object);
      if (t.is_complex()) {
        PyErr_SetString(PyExc_TypeError, "compress_tensor() does not take complex tensors: their sign is undefined");
        return false;
      }
      if (t.layout() == at::kStrided && t.device().is_cpu() && t.scalar_type() == at::kFloat && t.is_contiguous() &&
          !t.is_neg() && !t.is_conj()) {
        // Read in place; the caller holds the tensor for as long as it reads.
        Py_INCREF(object);
        *out = HostFloats{t.data_ptr<float>(), t.numel(), t.sizes().data(), t.dim(), object};
        return true;
      }
      at::Tensor h = t.detach();
      if (h.is_quantized()) h = h.dequantize();
      if (h.layout() != at::kStrided) h = h.to_dense();
      h = h.to(at::kCPU, at::kFloat).resolve_neg().contiguous();
      auto* held = new at::Tensor(std::move(h));
      PyObject* capsule = PyCapsule_New(held, "korvane.carrowel.host_tensor", release_tensor);
      if (!capsule) {
        delete held;
        return false;
      }
      *out = HostFloats{held->data_ptr<float>(), held->numel(), held->sizes().data(), held->dim(), capsule};
      return true;
      END_HANDLE_TH_ERRORS_RET(false)
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "compress_tensor: unexpected error reading the tensor");
    }
    return false;
  }

  PyObject* new_floats(const std::int64_t* sizes, std::int64_t ndim, const char* device, FillFloats fill,
                       void* context) const noexcept override {
    try {
      HANDLE_TH_ERRORS
      const at::Device target{std::string(device)};  // rejects a bad name before any work
      at::Tensor h = at::empty(at::IntArrayRef(sizes, static_cast<std::size_t>(ndim)), at::dtype(at::kFloat));
      fill(context, h.data_ptr<float>(), h.numel());
      PyObject* result = THPVariable_Wrap(std::move(h));
      if (!result || target.is_cpu()) return result;
      // Through Python's Tensor.to, so that torch initialises CUDA the way it does for Python.
      PyObject* moved = PyObject_CallMethod(result, "to", "s", device);
      Py_DECREF(result);
      return moved;
      END_HANDLE_TH_ERRORS_RET(nullptr)
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "decompress_tensor: unexpected error creating the tensor");
    }
    return nullptr;
  }
};

const TorchBackend backend_instance;
}  // namespace

namespace korvane::carrowel::compression {
const TensorBackend& torch_tensor_backend() noexcept { return backend_instance; }
}  // namespace korvane::carrowel::compression
