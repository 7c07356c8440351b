// The four kernels' launches: grid, block and argument order in one place, for the
// holder's tensor operations (tensor_ops.cpp) and the CUDA kernels of the int8 operators
// (int8_ops_cuda.cpp). Pointers are device pointers on `device`; sizes are already checked
// to fit the kernels' 32-bit indices. Errors: korvane::Error from the driver or NVRTC.
// Thread: whoever holds the holder (see KernelHolder).
#pragma once
#include <cstdint>

#include "korvane/brisol/kernel_holder.hpp"

namespace korvane::brisol {

void launch_quantize(KernelHolder& h, int device, CUstream stream, const float* in, int8_t* out,
                     float* scales, int64_t rows, int64_t cols);
void launch_dequantize(KernelHolder& h, int device, CUstream stream, const int8_t* in,
                       const float* scales, float* out, int64_t rows, int64_t cols);
void launch_compress(KernelHolder& h, int device, CUstream stream, const float* grad,
                     uint8_t* signs, float* scales, int64_t n);

struct UpdateScalars {
  double lr, sign_boost, sign_brake, var_beta, var_eps, weight_decay;
};
void launch_fused_update(KernelHolder& h, int device, CUstream stream, int8_t* weight_int8,
                         const float* weight_scale, const float* grad_scales,
                         const uint8_t* grad_signs, int8_t* prev_signs, float* variance,
                         int64_t rows, int64_t cols, const UpdateScalars& s);

}  // namespace korvane::brisol
