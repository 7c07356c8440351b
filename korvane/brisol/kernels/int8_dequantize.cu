// Inverse of int8_quantize: one thread per element, x = q * scale[row].
extern "C" __global__ void int8_dequantize(const signed char* __restrict__ input,
                                           const float* __restrict__ scales,
                                           float* __restrict__ output, int rows, int cols) {
  // The host keeps rows * cols + 255 below 2^32, so unsigned indices cannot wrap.
  const unsigned idx = blockIdx.x * blockDim.x + threadIdx.x;
  if (idx >= (unsigned)rows * (unsigned)cols) return;
  output[idx] = (float)input[idx] * scales[idx / (unsigned)cols];
}
