// Per-row int8 quantisation: one block per row; scale = max|x| / QMAX (+ SCALE_FLOOR so
// that an all-zero row keeps a usable scale), q = round-half-even(x / scale) clamped to
// +-QMAX. KORVANE_INT8_QMAX and KORVANE_INT8_SCALE_FLOOR come from the compiler's command
// line (korvane/int8_ops/int8_constants.hpp).

// Maximum over the lanes of one warp that exist. A block whose width is not a multiple of
// 32 (cols < 256) ends in a partial warp: its missing lanes are outside the mask and their
// shuffled values are undefined, so they must not take part.
__device__ __forceinline__ float warp_max(float v, unsigned width) {
  const unsigned lane = threadIdx.x & 31u;
  const unsigned mask = width >= 32u ? 0xffffffffu : ((1u << width) - 1u);
  for (unsigned offset = 16; offset > 0; offset >>= 1) {
    const float other = __shfl_down_sync(mask, v, offset);
    if (lane + offset < width) v = fmaxf(v, other);
  }
  return v;
}

extern "C" __global__ void int8_quantize(const float* __restrict__ input,
                                         signed char* __restrict__ output,
                                         float* __restrict__ scales, int rows, int cols) {
  const int row = blockIdx.x;
  if (row >= rows) return;
  // The host keeps rows * cols within int32, so 32-bit unsigned offsets cannot wrap.
  const unsigned base = (unsigned)row * (unsigned)cols;
  const unsigned n = (unsigned)cols;

  float m = 0.0f;
  for (unsigned c = threadIdx.x; c < n; c += blockDim.x) m = fmaxf(m, fabsf(input[base + c]));

  __shared__ float warp_vals[32];
  __shared__ float row_scale;
  const unsigned warp = threadIdx.x >> 5, lane = threadIdx.x & 31u;
  m = warp_max(m, min(32u, blockDim.x - warp * 32u));
  if (lane == 0) warp_vals[warp] = m;
  __syncthreads();
  if (warp == 0) {
    const unsigned nwarps = (blockDim.x + 31u) >> 5;
    m = lane < nwarps ? warp_vals[lane] : 0.0f;
    m = warp_max(m, min(32u, blockDim.x));
    if (lane == 0) {
      const float s = m / (float)KORVANE_INT8_QMAX + (float)KORVANE_INT8_SCALE_FLOOR;
      scales[row] = s;
      row_scale = s;
    }
  }
  __syncthreads();

  const float s = row_scale;
  for (unsigned c = threadIdx.x; c < n; c += blockDim.x) {
    const int q = __float2int_rn(input[base + c] / s);
    output[base + c] = (signed char)max(-KORVANE_INT8_QMAX, min(KORVANE_INT8_QMAX, q));
  }
}
