// Sign-and-scale gradient compression: one block per group of group_size elements; the
// group's scale is its mean |g|, and every element gets one sign bit (set for g >= 0,
// so -0.0 counts as positive), least significant bit first. Bits past the end are 0.

// Sum over the lanes of one warp that exist (see int8_quantize for why partial warps
// need their own mask).
__device__ __forceinline__ float warp_sum(float v, unsigned width) {
  const unsigned lane = threadIdx.x & 31u;
  const unsigned mask = width >= 32u ? 0xffffffffu : ((1u << width) - 1u);
  for (unsigned offset = 16; offset > 0; offset >>= 1) {
    const float other = __shfl_down_sync(mask, v, offset);
    if (lane + offset < width) v += other;
  }
  return v;
}

extern "C" __global__ void grad_compress(const float* __restrict__ grad,
                                         unsigned char* __restrict__ packed_signs,
                                         float* __restrict__ scales, int n_elements,
                                         int group_size) {
  const unsigned n = (unsigned)n_elements, g = (unsigned)group_size;
  const unsigned group = blockIdx.x;
  const unsigned n_groups = (n + g - 1u) / g;
  if (group >= n_groups) return;
  const unsigned start = group * g;
  const unsigned end = min(start + g, n);

  float sum = 0.0f;
  for (unsigned i = start + threadIdx.x; i < end; i += blockDim.x) sum += fabsf(grad[i]);

  __shared__ float warp_vals[32];
  const unsigned warp = threadIdx.x >> 5, lane = threadIdx.x & 31u;
  sum = warp_sum(sum, min(32u, blockDim.x - warp * 32u));
  if (lane == 0) warp_vals[warp] = sum;
  __syncthreads();
  if (warp == 0) {
    const unsigned nwarps = (blockDim.x + 31u) >> 5;
    sum = lane < nwarps ? warp_vals[lane] : 0.0f;
    sum = warp_sum(sum, min(32u, blockDim.x));
    if (lane == 0) scales[group] = sum / (float)(end - start);
  }
  __syncthreads();

  const unsigned bytes_per_group = (g + 7u) / 8u;
  const unsigned byte_start = group * bytes_per_group;
  for (unsigned b = threadIdx.x; b < bytes_per_group; b += blockDim.x) {
    unsigned byte = 0;
    for (unsigned bit = 0; bit < 8u; ++bit) {
      const unsigned i = start + 8u * b + bit;
      if (i < end && grad[i] >= 0.0f) byte |= 1u << bit;
    }
    packed_signs[byte_start + b] = (unsigned char)byte;
  }
}
