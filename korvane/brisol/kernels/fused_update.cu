// In-place update of int8 weights from a sign-and-scale gradient: one thread per weight.
// A gradient whose sign agrees with the previous one is boosted, otherwise braked; the
// step is normalised by a running mean of the squared gradient. Row scales never change,
// so a weight moves in whole steps of its row's scale. lr_decay (lr x weight decay, formed
// by the host; 0 for the plain update) takes decoupled weight decay off the same value
// before its one rounding, clamped to +-KORVANE_INT8_QMAX (a define on the compiler's
// command line, from korvane/int8_ops/int8_constants.hpp).
extern "C" __global__ void fused_update(signed char* __restrict__ weight_int8,
                                        const float* __restrict__ weight_scale,
                                        const float* __restrict__ grad_scales,
                                        const unsigned char* __restrict__ grad_signs,
                                        signed char* __restrict__ prev_signs,
                                        float* __restrict__ variance, int rows, int cols,
                                        int group_size, float lr, float sign_boost,
                                        float sign_brake, float var_beta, float var_eps,
                                        float lr_decay) {
  // The host keeps rows * cols + 255 below 2^32, so unsigned indices cannot wrap.
  const unsigned idx = blockIdx.x * blockDim.x + threadIdx.x;
  if (idx >= (unsigned)rows * (unsigned)cols) return;
  const unsigned row = idx / (unsigned)cols;

  const int grad_sign = ((grad_signs[idx >> 3] >> (idx & 7u)) & 1u) ? 1 : -1;
  const float grad = (float)grad_sign * grad_scales[idx / (unsigned)group_size];

  const float mult = grad_sign == prev_signs[idx] ? sign_boost : sign_brake;
  prev_signs[idx] = (signed char)grad_sign;

  const float var = var_beta * variance[idx] + (1.0f - var_beta) * grad * grad;
  variance[idx] = var;
  const float grad_norm = grad / (sqrtf(var) + var_eps);

  const float scale = weight_scale[row];
  const float old_weight = (float)weight_int8[idx] * scale;
  float weight = old_weight - lr * mult * grad_norm;
  weight = weight - lr_decay * old_weight;  // exactly the same value when lr_decay is 0
  const int q = __float2int_rn(weight / scale);
  weight_int8[idx] = (signed char)max(-KORVANE_INT8_QMAX, min(KORVANE_INT8_QMAX, q));
}
