// StageTensorOps on at::Tensor and torch::autograd: the only trainer code that includes
// torch. Each operation does what the Python expression named in stage_tensor_ops.hpp
// does, through the same ATen operators, so results match it bit for bit.
#include "korvane/carrowel/trainer/stage_torch_ops.hpp"

#include <torch/extension.h>

#include <ATen/CPUGeneratorImpl.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace korvane::carrowel {
namespace {

// Runs `body` with torch's error handling: a torch or C++ error becomes the matching
// Python exception, and `failed` is returned.
template <typename R, typename F>
R guarded(R failed, F&& body) noexcept {
  try {
    HANDLE_TH_ERRORS
    return body();
    END_HANDLE_TH_ERRORS_RET(failed)
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "stage tensor operation: unexpected error");
  }
  return failed;
}

const at::Tensor& tensor(PyObject* object, const char* role) {
  if (!THPVariable_Check(object))
    throw torch::TypeError("the stage's %s must be a torch.Tensor, got %s", role, Py_TYPE(object)->tp_name);
  return THPVariable_Unpack(object);
}

PyObject* wrap(at::Tensor t) { return THPVariable_Wrap(std::move(t)); }

// The GIL released for one scope, as torch's own Python bindings do around autograd.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

class TorchStageOps final : public StageTensorOps {
 public:
  int version() const noexcept override { return kStageTensorOpsVersion; }

  bool grad_enabled() const noexcept override { return at::GradMode::is_enabled(); }
  void set_grad_enabled(bool on) const noexcept override { at::GradMode::set_enabled(on); }
  bool cuda_available() const noexcept override {
    return guarded(false, [] { return torch::cuda::is_available(); });
  }

  PyObject* detach(PyObject* t) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] { return wrap(tensor(t, "tensor").detach()); });
  }

  PyObject* to_device(PyObject* t, const char* device) const noexcept override {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const at::Tensor& x = tensor(t, "tensor");
      const at::Device target{std::string(device)};  // rejects a bad name before any work
      if (!target.is_cpu()) return PyObject_CallMethod(t, "to", "s", device);
      return wrap(x.to(x.options().device(target), /*non_blocking=*/false, /*copy=*/false));
    });
  }

  bool facts(PyObject* t, TensorFacts* out) const noexcept override {
    return guarded(false, [&] {
      const at::Tensor& x = tensor(t, "tensor");
      *out = TensorFacts{x.dim(), x.dim() > 0 ? x.size(0) : -1, x.numel(), static_cast<std::int64_t>(x.element_size())};
      return true;
    });
  }

  bool item(PyObject* t, double* out) const noexcept override {
    return guarded(false, [&] {
      *out = tensor(t, "tensor").item<double>();
      return true;
    });
  }

  PyObject* grad(PyObject* t) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] { return wrap(tensor(t, "tensor").grad()); });  // None when undefined
  }

  bool set_grad(PyObject* t, PyObject* grad) const noexcept override {
    return guarded(false, [&] {
      const at::Tensor& x = tensor(t, "tensor");
      if (grad == Py_None) {
        x.mutable_grad().reset();
        return true;
      }
      const at::Tensor& g = tensor(grad, "gradient");
      TORCH_CHECK(x.dtype() == g.dtype(), "attempting to assign a gradient with dtype '", g.dtype(),
                  "' to a tensor with dtype '", x.dtype(), "'. Please ensure that the gradient and the tensor have the same dtype");
      TORCH_CHECK(x.device() == g.device(), "attempting to assign a gradient on device ", g.device(),
                  " to a tensor on device ", x.device());
      TORCH_CHECK(x.sizes().equals(g.sizes()), "attempting to assign a gradient of size '", g.sizes(),
                  "' to a tensor of size '", x.sizes(), "'. Please ensure that the gradient and the tensor are the same size");
      x.mutable_grad() = g;
      return true;
    });
  }

  int requires_grad(PyObject* t) const noexcept override {
    return guarded(-1, [&] { return tensor(t, "tensor").requires_grad() ? 1 : 0; });
  }

  bool require_grad(PyObject* t) const noexcept override {
    return guarded(false, [&] {
      at::Tensor x = tensor(t, "tensor");
      x.requires_grad_(true);
      return true;
    });
  }

  PyObject* zeros_like(PyObject* t) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] { return wrap(at::zeros_like(tensor(t, "tensor"))); });
  }

  PyObject* randn(const std::int64_t* sizes, std::int64_t ndim, const char* device) const noexcept override {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const at::IntArrayRef shape(sizes, static_cast<std::size_t>(ndim));
      const at::Device target{std::string(device)};
      if (target.is_cpu()) return wrap(at::randn(shape, at::TensorOptions().device(target)));
      py::tuple args(ndim);
      for (std::int64_t i = 0; i < ndim; ++i) args[i] = py::int_(sizes[i]);
      py::dict kwargs;
      kwargs["device"] = py::str(device);
      return py::module_::import("torch").attr("randn")(*args, **kwargs).release().ptr();
    });
  }

  PyObject* loss(PyObject* output, PyObject* labels) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] {
      const at::Tensor& out = tensor(output, "output");
      if (labels == Py_None) return wrap(out.mean());
      const at::Tensor& target = tensor(labels, "labels");
      return wrap(at::cross_entropy_loss(out.view({-1, out.size(-1)}), target.view({-1})));
    });
  }

  PyObject* divide(PyObject* t, double divisor) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] { return wrap(tensor(t, "tensor").div(divisor)); });
  }

  bool backward(PyObject* t, PyObject* grad) const noexcept override {
    return guarded(false, [&] {
      at::Tensor out = tensor(t, "output");
      std::vector<at::Tensor> grads;
      if (grad) grads.push_back(tensor(grad, "gradient"));
      WithoutGil released;
      torch::autograd::backward({out}, grads);
      return true;
    });
  }

  PyObject* add(PyObject* a, PyObject* b) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] { return wrap(tensor(a, "tensor").add(tensor(b, "tensor"))); });
  }

  bool sgd_step(PyObject* p, double lr) const noexcept override {
    return guarded(false, [&] {
      at::Tensor param = tensor(p, "parameter");
      at::Tensor g = param.grad();
      if (!g.defined()) return true;
      at::NoGradGuard no_grad;
      param.sub_(g.mul(lr));
      g.zero_();
      return true;
    });
  }

  bool score(PyObject* output, PyObject* labels, BatchTally* out) const noexcept override {
    return guarded(false, [&] {
      const at::Tensor& o = tensor(output, "output");
      const at::Tensor flat = o.detach().view({-1, o.size(-1)});
      const at::Tensor target = tensor(labels, "labels").view({-1});
      out->loss_sum = at::cross_entropy_loss(flat, target, {}, at::Reduction::Sum).item<double>();
      out->correct = flat.argmax(-1).eq(target).sum().item<std::int64_t>();
      out->samples = target.numel();
      return true;
    });
  }

  PyObject* float64_tensor(const double* values, std::int64_t n, bool scalar) const noexcept override {
    return guarded<PyObject*>(nullptr, [&] {
      at::Tensor t = scalar ? at::scalar_tensor(values[0], at::dtype(at::kDouble)) : at::empty({n}, at::dtype(at::kDouble));
      if (!scalar && n > 0) std::memcpy(t.data_ptr<double>(), values, static_cast<std::size_t>(n) * sizeof(double));
      return wrap(std::move(t));
    });
  }

  PyObject* float64_list(PyObject* t) const noexcept override {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
      const at::Tensor v = tensor(t, "tensor").detach().to(at::kCPU, at::kDouble).contiguous().reshape({-1});
      py::list out(v.numel());
      const double* data = v.data_ptr<double>();
      for (std::int64_t i = 0; i < v.numel(); ++i) out[static_cast<std::size_t>(i)] = py::float_(data[i]);
      return out.release().ptr();
    });
  }

  PyObject* cpu_rng_state() const noexcept override {
    return guarded<PyObject*>(nullptr, [] {
      at::Generator gen = at::detail::getDefaultCPUGenerator();
      std::lock_guard<std::mutex> lock(gen.mutex());
      return wrap(gen.get_state());
    });
  }

  bool set_cpu_rng_state(PyObject* state) const noexcept override {
    return guarded(false, [&] {
      if (!THPVariable_Check(state)) throw torch::TypeError("expected a torch.ByteTensor, but got %s", Py_TYPE(state)->tp_name);
      const at::Tensor& s = THPVariable_Unpack(state);
      at::Generator gen = at::detail::getDefaultCPUGenerator();
      std::lock_guard<std::mutex> lock(gen.mutex());
      gen.set_state(s);
      return true;
    });
  }
};

const TorchStageOps instance;
}  // namespace

const StageTensorOps& torch_stage_tensor_ops() noexcept { return instance; }

}  // namespace korvane::carrowel
