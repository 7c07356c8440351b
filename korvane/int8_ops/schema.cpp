// The operators' schemas, defined once; the backends register their kernels against them
// (see int8_ops.hpp for what each one does).
#include <torch/library.h>

TORCH_LIBRARY(korvane, m) {
  m.def("int8_quantize(Tensor weight) -> (Tensor, Tensor)");
  m.def("int8_dequantize(Tensor weight_int8, Tensor weight_scale) -> Tensor");
  m.def("int8_compress_gradient(Tensor grad) -> (Tensor, Tensor)");
  m.def(
      "int8_fused_update(Tensor(a!) weight_int8, Tensor weight_scale, Tensor grad_weight, "
      "Tensor(b!) prev_signs, Tensor(c!) variance, Tensor(d!) bias, Tensor grad_bias, "
      "Tensor(e!) bias_prev_signs, Tensor(f!) bias_variance, float lr, float weight_decay) "
      "-> bool");
}
