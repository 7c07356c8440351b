// The CUDA kernels of the int8 operators (korvane/int8_ops/int8_ops.hpp), on brisol's
// kernel holder: registered for torch's CUDA backend when the module loads. Built only
// where torch has CUDA (libc10_cuda and the CUDA runtime headers): the launches go on
// torch's current stream of the tensors' device.
//
// One holder serves every device; it compiles the kernels for a device at its first launch
// there. The bias of the update is small and keeps the torch arithmetic, in ATen operations.
#include <ATen/ATen.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <torch/library.h>

#include <climits>
#include <memory>
#include <mutex>
#include <tuple>

#include "korvane/brisol/launches.hpp"
#include "korvane/int8_ops/int8_constants.hpp"
#include "korvane/int8_ops/int8_ops.hpp"

namespace korvane::brisol {
namespace {

using int8::check_matrix;
using int8::check_same_device;
using int8::check_tensor;

// Runs `launch` with the one holder, under a lock: the holder loads kernels for a new
// device on first use, and operators may be called from several threads.
template <class Launch>
void with_holder(Launch&& launch) {
  static std::mutex mutex;
  static std::shared_ptr<KernelHolder> h = KernelHolder::without_kernels();
  const std::lock_guard<std::mutex> lock(mutex);
  launch(*h);
}

CUstream stream_of(const at::Tensor& t) {
  return reinterpret_cast<CUstream>(c10::cuda::getCurrentCUDAStream(t.device().index()).stream());
}

void check_fits(int64_t n, const char* op) {
  TORCH_CHECK_VALUE(n <= INT32_MAX, op, ": ", n,
                    " elements are more than the kernels can index (at most ", INT32_MAX, ")");
}

std::tuple<at::Tensor, at::Tensor> quantize(const at::Tensor& weight) {
  check_matrix(weight, at::kFloat, "int8_quantize", "weight");
  check_fits(weight.numel(), "int8_quantize");
  const c10::cuda::CUDAGuard guard(weight.device());
  const int64_t rows = weight.size(0), cols = weight.size(1);
  at::Tensor q = at::empty({rows, cols}, weight.options().dtype(at::kChar));
  at::Tensor scales = at::empty({rows}, weight.options());
  if (rows > 0 && cols == 0) scales.fill_(int8::kScaleFloor);  // what the kernel gives a zero row
  if (rows > 0 && cols > 0)
    with_holder([&](KernelHolder& h) {
      launch_quantize(h, weight.device().index(), stream_of(weight), weight.data_ptr<float>(),
                      q.data_ptr<int8_t>(), scales.data_ptr<float>(), rows, cols);
    });
  return {q, scales};
}

at::Tensor dequantize(const at::Tensor& weight_int8, const at::Tensor& weight_scale) {
  const char* op = "int8_dequantize";
  check_matrix(weight_int8, at::kChar, op, "weight_int8");
  const int64_t rows = weight_int8.size(0), cols = weight_int8.size(1);
  check_tensor(weight_scale, at::kFloat, rows, op, "weight_scale");
  check_same_device(weight_scale, weight_int8, op, "weight_scale", "weight_int8");
  check_fits(weight_int8.numel(), op);
  const c10::cuda::CUDAGuard guard(weight_int8.device());
  at::Tensor out = at::empty({rows, cols}, weight_scale.options());
  if (out.numel() > 0)
    with_holder([&](KernelHolder& h) {
      launch_dequantize(h, weight_int8.device().index(), stream_of(weight_int8),
                        weight_int8.data_ptr<int8_t>(), weight_scale.data_ptr<float>(),
                        out.data_ptr<float>(), rows, cols);
    });
  return out;
}

std::tuple<at::Tensor, at::Tensor> compress_gradient(const at::Tensor& grad) {
  const char* op = "int8_compress_gradient";
  check_tensor(grad, at::kFloat, grad.numel(), op, "grad");
  const int64_t n = grad.numel(), g = int8::kGroupSize, n_groups = (n + g - 1) / g;
  check_fits(n + g, op);
  const c10::cuda::CUDAGuard guard(grad.device());
  at::Tensor scales = at::empty({n_groups}, grad.options());
  at::Tensor signs = at::empty({n_groups * ((g + 7) / 8)}, grad.options().dtype(at::kByte));
  if (n > 0)
    with_holder([&](KernelHolder& h) {
      launch_compress(h, grad.device().index(), stream_of(grad), grad.data_ptr<float>(),
                      signs.data_ptr<uint8_t>(), scales.data_ptr<float>(), n);
    });
  return {scales, signs};
}

// The bias rule of the layer, as its torch arithmetic writes it.
void update_bias(at::Tensor& bias, const at::Tensor& g, at::Tensor& prev, at::Tensor& var,
                 double lr, double weight_decay) {
  const at::Tensor signs = g.ge(0).to(at::kChar).mul(2).sub(1);  // +1 for g >= 0, else -1
  const at::Tensor mult = at::where(signs == prev, at::scalar_tensor(int8::kSignBoost, g.options()),
                                    at::scalar_tensor(int8::kSignBrake, g.options()));
  prev.copy_(signs);
  var.mul_(int8::kVarBeta).add_(g.mul(1 - int8::kVarBeta).mul(g));
  const at::Tensor step = mult.mul(lr).mul(g).div(var.sqrt().add(int8::kVarEps));
  bias.sub_(step.add(bias.mul(lr * weight_decay)));
}

bool fused_update(at::Tensor weight_int8, const at::Tensor& weight_scale,
                  const at::Tensor& grad_weight, at::Tensor prev_signs, at::Tensor variance,
                  at::Tensor bias, const at::Tensor& grad_bias, at::Tensor bias_prev_signs,
                  at::Tensor bias_variance, double lr, double weight_decay) {
  int8::check_update({weight_int8, weight_scale, grad_weight, prev_signs, variance, bias,
                      grad_bias, bias_prev_signs, bias_variance});
  check_fits(weight_int8.numel() + 256, "int8_fused_update");
  const c10::cuda::CUDAGuard guard(weight_int8.device());
  if (!(at::isfinite(grad_weight).all().item<bool>() && at::isfinite(grad_bias).all().item<bool>()))
    return false;
  const int64_t rows = weight_int8.size(0), cols = weight_int8.size(1);
  if (weight_int8.numel() > 0) {
    auto [scales, signs] = compress_gradient(grad_weight);
    const UpdateScalars scalars{lr,           int8::kSignBoost, int8::kSignBrake,
                                int8::kVarBeta, int8::kVarEps,    weight_decay};
    with_holder([&](KernelHolder& h) {
      launch_fused_update(h, weight_int8.device().index(), stream_of(weight_int8),
                          weight_int8.data_ptr<int8_t>(), weight_scale.data_ptr<float>(),
                          scales.data_ptr<float>(), signs.data_ptr<uint8_t>(),
                          prev_signs.data_ptr<int8_t>(), variance.data_ptr<float>(), rows, cols,
                          scalars);
    });
  }
  update_bias(bias, grad_bias, bias_prev_signs, bias_variance, lr, weight_decay);
  return true;
}

}  // namespace

TORCH_LIBRARY_IMPL(korvane, CUDA, m) {
  m.impl("int8_quantize", &quantize);
  m.impl("int8_dequantize", &dequantize);
  m.impl("int8_compress_gradient", &compress_gradient);
  m.impl("int8_fused_update", &fused_update);
}

}  // namespace korvane::brisol
