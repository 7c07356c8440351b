#include "korvane/brisol/launches.hpp"

#include <algorithm>

namespace korvane::brisol {

namespace {
unsigned blocks_for(int64_t total, int64_t per_block) {
  return static_cast<unsigned>((total + per_block - 1) / per_block);
}
}  // namespace

void launch_quantize(KernelHolder& h, int device, CUstream stream, const float* in, int8_t* out,
                     float* scales, int64_t rows, int64_t cols) {
  int r = static_cast<int>(rows), c = static_cast<int>(cols);
  void* args[] = {&in, &out, &scales, &r, &c};
  h.launch(kQuantize, device, static_cast<unsigned>(rows),
           static_cast<unsigned>(std::min<int64_t>(256, cols)), stream, args);
}

void launch_dequantize(KernelHolder& h, int device, CUstream stream, const int8_t* in,
                       const float* scales, float* out, int64_t rows, int64_t cols) {
  int r = static_cast<int>(rows), c = static_cast<int>(cols);
  void* args[] = {&in, &scales, &out, &r, &c};
  h.launch(kDequantize, device, blocks_for(rows * cols, 256), 256, stream, args);
}

void launch_compress(KernelHolder& h, int device, CUstream stream, const float* grad,
                     uint8_t* signs, float* scales, int64_t n) {
  const int64_t g = kGroupSize;
  int n32 = static_cast<int>(n), g32 = static_cast<int>(g);
  void* args[] = {&grad, &signs, &scales, &n32, &g32};
  h.launch(kGradCompress, device, blocks_for(n, g), static_cast<unsigned>(std::min<int64_t>(g, 64)),
           stream, args);
}

void launch_fused_update(KernelHolder& h, int device, CUstream stream, int8_t* weight_int8,
                         const float* weight_scale, const float* grad_scales,
                         const uint8_t* grad_signs, int8_t* prev_signs, float* variance,
                         int64_t rows, int64_t cols, const UpdateScalars& s) {
  int r = static_cast<int>(rows), c = static_cast<int>(cols), g32 = kGroupSize;
  float lr = static_cast<float>(s.lr), boost = static_cast<float>(s.sign_boost),
        brake = static_cast<float>(s.sign_brake), beta = static_cast<float>(s.var_beta),
        eps = static_cast<float>(s.var_eps);
  // The product in double, rounded once: what a float32 tensor times the Python number
  // lr * weight_decay gives on the CPU.
  float lr_decay = static_cast<float>(s.lr * s.weight_decay);
  void* args[] = {&weight_int8, &weight_scale, &grad_scales, &grad_signs, &prev_signs, &variance,
                  &r, &c, &g32, &lr, &boost, &brake, &beta, &eps, &lr_decay};
  h.launch(kFusedUpdate, device, blocks_for(rows * cols, 256), 256, stream, args);
}

}  // namespace korvane::brisol
