// The CPU kernels of the int8 operators (int8_ops.hpp), registered for torch's CPU backend.
//
// The layer's update written as torch arithmetic makes about a dozen passes over every
// weight and allocates as many full-size temporaries (an int64 group index among them).
// Here a finiteness scan of the gradient is followed by one pass that, group of 64 by group
// of 64, computes the group's mean magnitude and updates the weights, signs and variances in
// place. Every float operation is the one torch performs, in the same order and in float32,
// so the results are the same bit for bit, except the group means: torch sums a group in
// float32 in its own vectorised order, this sums it in double, so a mean can differ in its
// last bit and a weight that sits exactly halfway between two int8 steps can round the other
// way. Quantisation and dequantisation are the torch arithmetic bit for bit.
#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <torch/library.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "korvane/int8_ops/int8_constants.hpp"
#include "korvane/int8_ops/int8_ops.hpp"

namespace korvane::int8 {
namespace {

constexpr int64_t kGroup = kGroupSize;

// Scalars as torch applies them to float32 tensors: each Python double rounded to float
// once, products of Python doubles formed in double first.
struct Hyper {
  float boost, brake, beta, one_minus_beta, eps, lr, lr_decay;
  Hyper(double lr, double weight_decay)
      : boost(static_cast<float>(kSignBoost)), brake(static_cast<float>(kSignBrake)),
        beta(static_cast<float>(kVarBeta)), one_minus_beta(static_cast<float>(1.0 - kVarBeta)),
        eps(static_cast<float>(kVarEps)), lr(static_cast<float>(lr)),
        lr_decay(static_cast<float>(lr * weight_decay)) {}
};

bool all_finite(const float* p, int64_t n) {
  std::atomic<bool> bad{false};
  at::parallel_for(0, n, 1 << 16, [&](int64_t begin, int64_t end) {
    uint32_t hit = 0;
    for (int64_t i = begin; i < end; ++i) {
      uint32_t u;
      std::memcpy(&u, p + i, sizeof u);
      hit |= static_cast<uint32_t>((u & 0x7f800000u) == 0x7f800000u);  // inf or NaN
    }
    if (hit) bad.store(true, std::memory_order_relaxed);
  });
  return !bad.load();
}

// Elements of one row that share the group mean `scale` and the row scale `s`. Written
// without branches so that it vectorises; an AVX2 copy is chosen at load time where the
// processor has it. Both give the same bits: every operation is one IEEE rounding.
__attribute__((target_clones("avx2", "default"))) void update_run(int8_t* __restrict__ q, int8_t* __restrict__ prev, float* __restrict__ var,
                       const float* __restrict__ grad, int64_t len, float scale, float s,
                       const Hyper& h) {
  const float boost = h.boost, brake = h.brake, beta = h.beta, omb = h.one_minus_beta,
              eps = h.eps, lr = h.lr, lr_decay = h.lr_decay;
  for (int64_t i = 0; i < len; ++i) {
    const bool pos = grad[i] >= 0.0f;  // -0.0 counts as positive
    const int8_t sign = pos ? 1 : -1;
    const float g = pos ? scale : -scale;  // sign * group mean
    const int8_t old = q[i];
    const float mult = sign == prev[i] ? boost : brake;
    prev[i] = sign;
    const float v = var[i] * beta + (omb * g) * g;
    var[i] = v;
    const float step = ((lr * mult) * g) / (std::sqrt(v) + eps);
    const float w0 = static_cast<float>(old) * s;
    const float w = (w0 - step) - lr_decay * w0;
    // round-half-even(w / s) clamped to -127..127. Clamping first keeps the value small
    // enough for the 1.5 * 2^23 trick, which rounds half to even in the default rounding
    // mode. A NaN (only from an overflowing step) keeps the old value: cast to int8 it
    // would be garbage.
    float x = w / s;
    x = x > 127.0f ? 127.0f : x;
    x = x < -127.0f ? -127.0f : x;
    float r = (x + 12582912.0f) - 12582912.0f;
    r = r == r ? r : static_cast<float>(old);
    q[i] = static_cast<int8_t>(static_cast<int>(r));
  }
}

// Mean magnitude of a group, summed in double (exact for any 64 float32 values but the
// most extreme exponent spreads), then divided in float32 as torch divides its sum.
inline float group_mean(const float* __restrict__ grad, int64_t len) {
  double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int64_t i = 0;
  for (; i + 8 <= len; i += 8)
    for (int k = 0; k < 8; ++k) acc[k] += std::fabs(static_cast<double>(grad[i + k]));
  for (; i < len; ++i) acc[0] += std::fabs(static_cast<double>(grad[i]));
  const double sum = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
  return static_cast<float>(sum) / static_cast<float>(len);
}

void update_weight(int8_t* q, const float* row_scale, const float* grad, int8_t* prev,
                   float* var, int64_t rows, int64_t cols, const Hyper& h) {
  const int64_t n = rows * cols, n_groups = (n + kGroup - 1) / kGroup;
  at::parallel_for(0, n_groups, 256, [&](int64_t g_begin, int64_t g_end) {
    for (int64_t grp = g_begin; grp < g_end; ++grp) {
      const int64_t start = grp * kGroup, end = std::min(start + kGroup, n);
      const float scale = group_mean(grad + start, end - start);
      // A group may run over the end of a row when cols is not a multiple of 64.
      for (int64_t i = start; i < end;) {
        const int64_t row = i / cols, run_end = std::min(end, (row + 1) * cols);
        update_run(q + i, prev + i, var + i, grad + i, run_end - i, scale, row_scale[row], h);
        i = run_end;
      }
    }
  });
}

// The bias: the same sign/variance rule on the exact gradient, in float, no rounding.
void update_bias(float* bias, const float* grad, int8_t* prev, float* var, int64_t n,
                 const Hyper& h) {
  for (int64_t i = 0; i < n; ++i) {
    const float g = grad[i];
    const int8_t sign = g >= 0.0f ? 1 : -1;
    const float mult = sign == prev[i] ? h.boost : h.brake;
    prev[i] = sign;
    const float v = var[i] * h.beta + (h.one_minus_beta * g) * g;
    var[i] = v;
    const float step = ((h.lr * mult) * g) / (std::sqrt(v) + h.eps);
    bias[i] = bias[i] - (step + h.lr_decay * bias[i]);
  }
}

// Returns false, touching nothing, when either gradient holds a non-finite value.
bool fused_update(at::Tensor weight_int8, const at::Tensor& weight_scale,
                  const at::Tensor& grad_weight, at::Tensor prev_signs, at::Tensor variance,
                  at::Tensor bias, const at::Tensor& grad_bias, at::Tensor bias_prev_signs,
                  at::Tensor bias_variance, double lr, double weight_decay) {
  check_update({weight_int8, weight_scale, grad_weight, prev_signs, variance, bias, grad_bias,
                bias_prev_signs, bias_variance});
  const int64_t rows = weight_int8.size(0), cols = weight_int8.size(1), n = rows * cols;
  const float* gw = grad_weight.data_ptr<float>();
  const float* gb = grad_bias.data_ptr<float>();
  if (!all_finite(gw, n) || !all_finite(gb, rows)) return false;
  const Hyper h(lr, weight_decay);
  if (n > 0)
    update_weight(weight_int8.data_ptr<int8_t>(), weight_scale.data_ptr<float>(), gw,
                  prev_signs.data_ptr<int8_t>(), variance.data_ptr<float>(), rows, cols, h);
  update_bias(bias.data_ptr<float>(), gb, bias_prev_signs.data_ptr<int8_t>(),
              bias_variance.data_ptr<float>(), rows, h);
  return true;
}

// q * row scale as a new float32 [out, in] tensor, in one pass.
at::Tensor dequantize(const at::Tensor& weight_int8, const at::Tensor& weight_scale) {
  const char* op = "int8_dequantize";
  check_matrix(weight_int8, at::kChar, op, "weight_int8");
  const int64_t rows = weight_int8.size(0), cols = weight_int8.size(1);
  check_tensor(weight_scale, at::kFloat, rows, op, "weight_scale");
  check_same_device(weight_scale, weight_int8, op, "weight_scale", "weight_int8");
  at::Tensor out = at::empty({rows, cols}, weight_scale.options());
  const int8_t* q = weight_int8.data_ptr<int8_t>();
  const float* s = weight_scale.data_ptr<float>();
  float* o = out.data_ptr<float>();
  at::parallel_for(0, rows, std::max<int64_t>(1, (1 << 16) / std::max<int64_t>(cols, 1)),
                   [&](int64_t r_begin, int64_t r_end) {
                     for (int64_t r = r_begin; r < r_end; ++r) {
                       const float sr = s[r];
                       const int8_t* qr = q + r * cols;
                       float* orow = o + r * cols;
                       for (int64_t c = 0; c < cols; ++c) orow[c] = static_cast<float>(qr[c]) * sr;
                     }
                   });
  return out;
}

// One row of int8_quantize, as torch computes `w.abs().amax(1) / 127 + 1e-10` and
// `round(w / scale).clamp(-127, 127)`: the same float32 operations, a NaN kept by the max.
void quantize_row(const float* w, int64_t cols, int8_t* q, float* scale) {
  float m = 0.0f;
  for (int64_t c = 0; c < cols; ++c) {
    const float a = std::fabs(w[c]);
    m = (a > m || a != a) ? a : m;
  }
  const float s = m / static_cast<float>(kQMax) + static_cast<float>(kScaleFloor);
  *scale = s;
  const float lim = static_cast<float>(kQMax);
  for (int64_t c = 0; c < cols; ++c) {
    const float r = std::nearbyint(w[c] / s);  // half to even in the default rounding mode
    q[c] = r != r ? int8_t{0} : static_cast<int8_t>(std::clamp(r, -lim, lim));
  }
}

std::tuple<at::Tensor, at::Tensor> quantize(const at::Tensor& weight) {
  check_matrix(weight, at::kFloat, "int8_quantize", "weight");
  const int64_t rows = weight.size(0), cols = weight.size(1);
  at::Tensor q = at::empty({rows, cols}, weight.options().dtype(at::kChar));
  at::Tensor scales = at::empty({rows}, weight.options());
  const float* w = weight.data_ptr<float>();
  int8_t* qp = q.data_ptr<int8_t>();
  float* sp = scales.data_ptr<float>();
  at::parallel_for(0, rows, std::max<int64_t>(1, (1 << 16) / std::max<int64_t>(cols, 1)),
                   [&](int64_t r_begin, int64_t r_end) {
                     for (int64_t r = r_begin; r < r_end; ++r)
                       quantize_row(w + r * cols, cols, qp + r * cols, sp + r);
                   });
  return {q, scales};
}

// Group means as the fused update forms them, and the signs packed least significant bit
// first, eight bytes per group of 64.
std::tuple<at::Tensor, at::Tensor> compress_gradient(const at::Tensor& grad) {
  const char* op = "int8_compress_gradient";
  check_tensor(grad, at::kFloat, grad.numel(), op, "grad");
  const int64_t n = grad.numel(), n_groups = (n + kGroup - 1) / kGroup;
  constexpr int64_t kBytes = (kGroup + 7) / 8;
  at::Tensor scales = at::empty({n_groups}, grad.options());
  at::Tensor signs = at::empty({n_groups * kBytes}, grad.options().dtype(at::kByte));
  const float* g = grad.data_ptr<float>();
  float* sc = scales.data_ptr<float>();
  uint8_t* bits = signs.data_ptr<uint8_t>();
  at::parallel_for(0, n_groups, 256, [&](int64_t g_begin, int64_t g_end) {
    for (int64_t grp = g_begin; grp < g_end; ++grp) {
      const int64_t start = grp * kGroup, end = std::min(start + kGroup, n);
      sc[grp] = group_mean(g + start, end - start);
      for (int64_t b = 0; b < kBytes; ++b) {
        unsigned byte = 0;
        for (int64_t bit = 0; bit < 8; ++bit) {
          const int64_t i = start + 8 * b + bit;
          if (i < end && g[i] >= 0.0f) byte |= 1u << bit;
        }
        bits[grp * kBytes + b] = static_cast<uint8_t>(byte);
      }
    }
  });
  return {scales, signs};
}

}  // namespace

TORCH_LIBRARY_IMPL(korvane, CPU, m) {
  m.impl("int8_quantize", &quantize);
  m.impl("int8_dequantize", &dequantize);
  m.impl("int8_compress_gradient", &compress_gradient);
  m.impl("int8_fused_update", &fused_update);
}

}  // namespace korvane::int8
