// The tensor operations of the stage model, as an interface that _carrowel_torch (the one
// module linked against LibTorch) implements and hands to _carrowel in a PyCapsule; the
// stage model (stage_model.cpp) is its only caller. Only C types and PyObject cross it,
// and errors travel as the Python error indicator, never as C++ exceptions: the torch side
// may be built with another _GLIBCXX_USE_CXX11_ABI, and each module has its own copy of
// pybind11's exception types.
//
// Tensors are passed as borrowed references and returned as new ones. A function that
// returns a PyObject* returns nullptr, and one that returns bool returns false, with a
// Python exception set: torch's own error (RuntimeError and the like, with torch's
// message), or TypeError where an argument is not a tensor. A device is a name the tensor
// library parses ("cpu", "cuda:1"); work for a device other than the CPU goes through
// torch's Python functions, so that torch initialises the device the way it does for Python.
//
// Thread: the caller's, with the GIL held. The gradient mode is the calling thread's, the
// one torch.is_grad_enabled() reports; backward releases the GIL while autograd runs, as
// Tensor.backward() does.
#pragma once
#include <Python.h>

#include <cstdint>

namespace korvane::carrowel {

inline constexpr int kStageTensorOpsVersion = 1;
inline constexpr const char* kStageTensorOpsCapsule = "korvane.carrowel.stage_tensor_ops";

// What the stage model reads of a tensor's shape.
struct TensorFacts {
  std::int64_t dim = 0;
  std::int64_t rows = -1;  // size(0), or -1 for a 0-dim tensor
  std::int64_t numel = 0;
  std::int64_t element_size = 0;
};

// The last stage's score of a held-out batch (see score).
struct BatchTally {
  double loss_sum = 0.0;
  std::int64_t correct = 0;
  std::int64_t samples = 0;
};

class StageTensorOps {
 public:
  virtual int version() const noexcept = 0;

  // torch.is_grad_enabled() and torch.set_grad_enabled(on), for the calling thread.
  virtual bool grad_enabled() const noexcept = 0;
  virtual void set_grad_enabled(bool on) const noexcept = 0;
  // torch.cuda.is_available(); false where torch was built without CUDA.
  virtual bool cuda_available() const noexcept = 0;

  // t.detach(), t.to(device): the very tensor object when nothing changes.
  virtual PyObject* detach(PyObject* t) const noexcept = 0;
  virtual PyObject* to_device(PyObject* t, const char* device) const noexcept = 0;
  virtual bool facts(PyObject* t, TensorFacts* out) const noexcept = 0;
  // t.item() as a double.
  virtual bool item(PyObject* t, double* out) const noexcept = 0;
  // t.grad, Py_None when it has none; t.grad = grad (Py_None clears it; a tensor must
  // have t's size, dtype and device).
  virtual PyObject* grad(PyObject* t) const noexcept = 0;
  virtual bool set_grad(PyObject* t, PyObject* grad) const noexcept = 0;
  // t.requires_grad, as 1 or 0; -1 with an exception set.
  virtual int requires_grad(PyObject* t) const noexcept = 0;
  // t.requires_grad_(True).
  virtual bool require_grad(PyObject* t) const noexcept = 0;
  virtual PyObject* zeros_like(PyObject* t) const noexcept = 0;
  // torch.randn(*sizes, device=device) from the device's default generator.
  virtual PyObject* randn(const std::int64_t* sizes, std::int64_t ndim, const char* device) const noexcept = 0;

  // The training loss of one micro-batch: output.mean() when labels is Py_None, else
  // nn.CrossEntropyLoss()(output.view(-1, C), labels.view(-1)) for C = output.size(-1).
  virtual PyObject* loss(PyObject* output, PyObject* labels) const noexcept = 0;
  // t / divisor, as a new tensor.
  virtual PyObject* divide(PyObject* t, double divisor) const noexcept = 0;
  // torch.autograd.backward(t, grad_tensors=grad); grad nullptr: t is a scalar, its
  // gradient is one.
  virtual bool backward(PyObject* t, PyObject* grad) const noexcept = 0;
  // a + b, as a new tensor.
  virtual PyObject* add(PyObject* a, PyObject* b) const noexcept = 0;
  // Plain SGD on one parameter, without gradient recording: p -= grad * lr, then the
  // gradient is zeroed; nothing when p has no gradient.
  virtual bool sgd_step(PyObject* p, double lr) const noexcept = 0;
  // A held-out batch of the last stage: the summed cross-entropy of output.view(-1, C)
  // against labels.view(-1) (on output's device), the right arg-maxes, the rows.
  virtual bool score(PyObject* output, PyObject* labels, BatchTally* out) const noexcept = 0;

  // float64 tensors for a checkpoint: a 0-dim one of values[0] when `scalar`, else the
  // 1-dim tensor of the n values; and back, as a list of Python floats.
  virtual PyObject* float64_tensor(const double* values, std::int64_t n, bool scalar) const noexcept = 0;
  virtual PyObject* float64_list(PyObject* t) const noexcept = 0;
  // torch.get_rng_state() and torch.set_rng_state(state): the default CPU generator.
  virtual PyObject* cpu_rng_state() const noexcept = 0;
  virtual bool set_cpu_rng_state(PyObject* state) const noexcept = 0;

 protected:
  ~StageTensorOps() = default;
};

}  // namespace korvane::carrowel
