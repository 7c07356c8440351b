// The int8 weight operators, registered with torch's dispatcher in the namespace `korvane`
// (torch.ops.korvane.<name>). The schema is defined once (schema.cpp); each backend
// registers its kernels on its own: the CPU here (cpu_kernels.cpp), CUDA in brisol
// (korvane/brisol/int8_ops_cuda.cpp, built only where torch has CUDA). The numbers of the
// format live in int8_constants.hpp.
//
//   int8_quantize(Tensor weight) -> (Tensor q, Tensor scale)
//       float32 [rows, cols] -> int8 q in -127..127 and float32 row scales
//       (row max|w| / 127 + 1e-10); q = round-half-even(w / scale).
//   int8_dequantize(Tensor weight_int8, Tensor weight_scale) -> Tensor
//       q * row scale, a new float32 [rows, cols].
//   int8_compress_gradient(Tensor grad) -> (Tensor scales, Tensor signs)
//       float32 mean |g| per group of 64 consecutive elements (row-major; the last group
//       may be short) and uint8 sign bits, 8 bytes per group, element i at bit i mod 8 of
//       byte i div 8, set for g >= 0 (so -0.0 too), bits past the end clear.
//   int8_fused_update(Tensor(a!) weight_int8, Tensor weight_scale, Tensor grad_weight,
//                     Tensor(b!) prev_signs, Tensor(c!) variance, Tensor(d!) bias,
//                     Tensor grad_bias, Tensor(e!) bias_prev_signs,
//                     Tensor(f!) bias_variance, float lr, float weight_decay) -> bool
//       The layer's whole update in place: the weight gradient compressed as above, the
//       sign-agreement multiplier, the running variance, decoupled weight decay and one
//       rounding to int8; the bias by the same rule on its exact gradient, in float32.
//       Returns false, touching nothing, when either gradient holds inf or NaN.
//
// Errors: a wrong dtype raises TypeError; a wrong shape, size, layout, or tensors on
// different devices raise ValueError; each message names the operator and the argument.
// Threads: the operators keep no state; the CPU kernels split their loops over torch's
// intra-op threads; callers may call them from any thread.
#pragma once
#include <ATen/core/Tensor.h>

#include <cstdint>

namespace korvane::int8 {

// Argument checks shared by every backend, so that all of them refuse the same inputs
// with the same words.
void check_tensor(const at::Tensor& t, at::ScalarType dtype, int64_t numel, const char* op,
                  const char* arg);
void check_same_device(const at::Tensor& t, const at::Tensor& ref, const char* op,
                       const char* arg, const char* ref_arg);
// rows x cols of a 2-D weight_int8, checked: int8, contiguous, two dimensions.
void check_matrix(const at::Tensor& t, at::ScalarType dtype, const char* op, const char* arg);

// Every argument of int8_fused_update against weight_int8's shape and device.
struct UpdateArgs {
  const at::Tensor &weight_int8, &weight_scale, &grad_weight, &prev_signs, &variance, &bias,
      &grad_bias, &bias_prev_signs, &bias_variance;
};
void check_update(const UpdateArgs& a);

}  // namespace korvane::int8
