// The few tensor primitives compression needs, as an interface that _carrowel_torch (the
// one module linked against LibTorch) implements and hands to _carrowel in a PyCapsule.
// Only C types and PyObject cross it, and errors travel as the Python error indicator,
// never as C++ exceptions: the torch side may be built with another _GLIBCXX_USE_CXX11_ABI,
// and each module has its own copy of pybind11's exception types.
#pragma once
#include <Python.h>

#include <cstdint>

#include "korvane/carrowel/compression/element_type.hpp"

namespace korvane::carrowel::compression {

inline constexpr int kTensorBackendVersion = 2;
inline constexpr const char* kTensorBackendCapsule = "korvane.carrowel.tensor_backend";

// A host, contiguous, float32 view of a tensor. `data` and `sizes` stay valid while
// `keep_alive` (a new reference the receiver must release) lives.
struct HostFloats {
  const float* data = nullptr;
  std::int64_t numel = 0;
  const std::int64_t* sizes = nullptr;
  std::int64_t ndim = 0;
  PyObject* keep_alive = nullptr;
};

// Fills a freshly allocated float32 host buffer of `numel` elements.
using FillFloats = void (*)(void* context, float* data, std::int64_t numel) noexcept;

// A host, contiguous view of any tensor a boundary message carries: floating tensors as
// float32 (`held`), integer and bool tensors in their own type; `source` is the tensor's
// own type. Same lifetime rule as HostFloats.
struct HostTensor {
  const void* data = nullptr;
  std::int64_t numel = 0;
  const std::int64_t* sizes = nullptr;
  std::int64_t ndim = 0;
  ElementType source = ElementType::float32;
  ElementType held = ElementType::float32;
  PyObject* keep_alive = nullptr;
};

// Fills a freshly allocated host buffer of `numel` elements of the type asked for.
using FillBytes = void (*)(void* context, void* data, std::int64_t numel) noexcept;

class TensorBackend {
 public:
  virtual int version() const noexcept = 0;
  virtual bool is_tensor(PyObject* object) const noexcept = 0;
  // Detached, on the host, float32, row-major; no copy when the tensor already is all of
  // that. False with a Python exception set (TypeError for a non-tensor).
  virtual bool host_floats(PyObject* tensor, HostFloats* out) const noexcept = 0;
  // A new float32 tensor of `sizes`, filled on the host by `fill`, then placed on `device`
  // (a device name the tensor library understands). A new reference, or nullptr with a
  // Python exception set; a bad device name fails before anything is allocated.
  virtual PyObject* new_floats(const std::int64_t* sizes, std::int64_t ndim, const char* device, FillFloats fill,
                               void* context) const noexcept = 0;
  // Detached and on the host, as HostTensor says. False with a Python exception set:
  // TypeError for a non-tensor, a complex tensor or an element type without a wire number.
  virtual bool host_tensor(PyObject* tensor, HostTensor* out) const noexcept = 0;
  // A new tensor of `sizes` and `fill_type`, filled on the host by `fill`, converted to
  // `result_type` when that differs, then placed on `device`. As new_floats otherwise.
  virtual PyObject* new_tensor(const std::int64_t* sizes, std::int64_t ndim, ElementType fill_type,
                               ElementType result_type, const char* device, FillBytes fill,
                               void* context) const noexcept = 0;

 protected:
  ~TensorBackend() = default;
};

}  // namespace korvane::carrowel::compression
