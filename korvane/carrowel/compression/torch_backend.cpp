// The tensor side of compression, and the only compression code that includes torch: it
// turns Python tensors into host float32 arrays and back (see tensor_backend.hpp). All
// compression logic stays in the torch-free core.
#include <torch/extension.h>

#include "korvane/carrowel/compression/torch_backend.hpp"

namespace {
using korvane::carrowel::compression::ElementType;
using korvane::carrowel::compression::FillBytes;
using korvane::carrowel::compression::FillFloats;
using korvane::carrowel::compression::HostTensor;
using korvane::carrowel::compression::HostFloats;
using korvane::carrowel::compression::kTensorBackendCapsule;
using korvane::carrowel::compression::kTensorBackendVersion;
using korvane::carrowel::compression::TensorBackend;

void release_tensor(PyObject* capsule) {
  delete static_cast<at::Tensor*>(PyCapsule_GetPointer(capsule, "korvane.carrowel.host_tensor"));
}

// The wire's element types and the tensor library's, both ways.
bool wire_type(at::ScalarType t, ElementType* out) {
  switch (t) {
    case at::kFloat: *out = ElementType::float32; return true;
    case at::kDouble: *out = ElementType::float64; return true;
    case at::kHalf: *out = ElementType::float16; return true;
    case at::kBFloat16: *out = ElementType::bfloat16; return true;
    case at::kByte: *out = ElementType::uint8; return true;
    case at::kChar: *out = ElementType::int8; return true;
    case at::kShort: *out = ElementType::int16; return true;
    case at::kInt: *out = ElementType::int32; return true;
    case at::kLong: *out = ElementType::int64; return true;
    case at::kBool: *out = ElementType::boolean; return true;
    default: return false;
  }
}

at::ScalarType scalar_type(ElementType t) {
  switch (t) {
    case ElementType::float32: return at::kFloat;
    case ElementType::float64: return at::kDouble;
    case ElementType::float16: return at::kHalf;
    case ElementType::bfloat16: return at::kBFloat16;
    case ElementType::uint8: return at::kByte;
    case ElementType::int8: return at::kChar;
    case ElementType::int16: return at::kShort;
    case ElementType::int32: return at::kInt;
    case ElementType::int64: return at::kLong;
    case ElementType::boolean: return at::kBool;
  }
  return at::kFloat;
}

// Holds `t` for as long as the returned capsule lives.
PyObject* hold(at::Tensor t) {
  auto* held = new at::Tensor(std::move(t));
  PyObject* capsule = PyCapsule_New(held, "korvane.carrowel.host_tensor", release_tensor);
  if (!capsule) delete held;
  return capsule;
}

// A new host tensor as a Python object on `device`; a device other than the CPU is reached
// through Python's Tensor.to, so that torch initialises CUDA the way it does for Python.
PyObject* wrap_on_device(at::Tensor h, const at::Device& target, const char* device) {
  PyObject* result = THPVariable_Wrap(std::move(h));
  if (!result || target.is_cpu()) return result;
  PyObject* moved = PyObject_CallMethod(result, "to", "s", device);
  Py_DECREF(result);
  return moved;
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
      return wrap_on_device(std::move(h), target, device);
      END_HANDLE_TH_ERRORS_RET(nullptr)
    } catch (py::error_already_set& e) {
      e.restore();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "decompress_tensor: unexpected error creating the tensor");
    }
    return nullptr;
  }

  bool host_tensor(PyObject* object, HostTensor* out) const noexcept override;
  PyObject* new_tensor(const std::int64_t* sizes, std::int64_t ndim, ElementType fill_type, ElementType result_type,
                       const char* device, FillBytes fill, void* context) const noexcept override;
};

bool TorchBackend::host_tensor(PyObject* object, HostTensor* out) const noexcept {
  try {
    HANDLE_TH_ERRORS
    if (!THPVariable_Check(object)) {
      PyErr_Format(PyExc_TypeError, "expected a torch.Tensor, got %s", Py_TYPE(object)->tp_name);
      return false;
    }
    const at::Tensor& t = THPVariable_Unpack(object);
    ElementType source;
    if (t.is_quantized() || !wire_type(t.scalar_type(), &source)) {
      const std::string name = c10::toString(t.scalar_type());
      PyErr_Format(PyExc_TypeError, "a boundary tensor cannot be of type %s: floating, integer and bool tensors cross",
                   name.c_str());
      return false;
    }
    const ElementType held_type =
        korvane::carrowel::compression::is_floating(source) ? ElementType::float32 : source;
    const at::ScalarType want = scalar_type(held_type);
    if (t.layout() == at::kStrided && t.device().is_cpu() && t.scalar_type() == want && t.is_contiguous() &&
        !t.is_neg() && !t.is_conj()) {
      Py_INCREF(object);
      *out = HostTensor{t.data_ptr(), t.numel(), t.sizes().data(), t.dim(), source, held_type, object};
      return true;
    }
    at::Tensor h = t.detach();
    if (h.layout() != at::kStrided) h = h.to_dense();
    h = h.to(at::kCPU, want).resolve_neg().contiguous();
    PyObject* capsule = hold(h);
    if (!capsule) return false;
    const auto* kept = static_cast<at::Tensor*>(PyCapsule_GetPointer(capsule, "korvane.carrowel.host_tensor"));
    *out = HostTensor{kept->data_ptr(), kept->numel(), kept->sizes().data(), kept->dim(), source, held_type, capsule};
    return true;
    END_HANDLE_TH_ERRORS_RET(false)
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "encode_boundary: unexpected error reading the tensor");
  }
  return false;
}

PyObject* TorchBackend::new_tensor(const std::int64_t* sizes, std::int64_t ndim, ElementType fill_type,
                                   ElementType result_type, const char* device, FillBytes fill,
                                   void* context) const noexcept {
  try {
    HANDLE_TH_ERRORS
    const at::Device target{std::string(device)};
    at::Tensor h = at::empty(at::IntArrayRef(sizes, static_cast<std::size_t>(ndim)), at::dtype(scalar_type(fill_type)));
    fill(context, h.data_ptr(), h.numel());
    if (result_type != fill_type) h = h.to(scalar_type(result_type));
    return wrap_on_device(std::move(h), target, device);
    END_HANDLE_TH_ERRORS_RET(nullptr)
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "decode_boundary: unexpected error creating the tensor");
  }
  return nullptr;
}

const TorchBackend backend_instance;
}  // namespace

namespace korvane::carrowel::compression {
const TensorBackend& torch_tensor_backend() noexcept { return backend_instance; }
}  // namespace korvane::carrowel::compression
