#include <c10/util/Exception.h>

#include <string>

#include "korvane/int8_ops/int8_ops.hpp"

namespace korvane::int8 {

namespace {

// dtype names as Python spells them (torch.float32), not LibTorch's (Float).
std::string dtype_text(at::ScalarType t) {
  switch (t) {
    case at::kFloat: return "torch.float32";
    case at::kDouble: return "torch.float64";
    case at::kHalf: return "torch.float16";
    case at::kBFloat16: return "torch.bfloat16";
    case at::kChar: return "torch.int8";
    case at::kByte: return "torch.uint8";
    case at::kInt: return "torch.int32";
    case at::kLong: return "torch.int64";
    case at::kBool: return "torch.bool";
    default: return c10::toString(t);
  }
}

}  // namespace

void check_tensor(const at::Tensor& t, at::ScalarType dtype, int64_t numel, const char* op,
                  const char* arg) {
  TORCH_CHECK_TYPE(t.scalar_type() == dtype, op, ": ", arg, " must be ", dtype_text(dtype),
                   ", got ", dtype_text(t.scalar_type()));
  TORCH_CHECK_VALUE(t.is_contiguous(), op, ": ", arg,
                    " must be contiguous (call .contiguous() on it first)");
  TORCH_CHECK_VALUE(t.numel() == numel, op, ": ", arg, " has ", t.numel(),
                    " elements, expected ", numel);
}

void check_same_device(const at::Tensor& t, const at::Tensor& ref, const char* op,
                       const char* arg, const char* ref_arg) {
  TORCH_CHECK_VALUE(t.device() == ref.device(), op, ": ", arg, " is on ", t.device().str(),
                    " but ", ref_arg, " is on ", ref.device().str());
}

void check_matrix(const at::Tensor& t, at::ScalarType dtype, const char* op, const char* arg) {
  TORCH_CHECK_VALUE(t.dim() == 2, op, ": ", arg, " must be 2-D [rows, cols], got ", t.dim(),
                    " dimensions");
  check_tensor(t, dtype, t.numel(), op, arg);
}

void check_update(const UpdateArgs& a) {
  const char* op = "int8_fused_update";
  check_matrix(a.weight_int8, at::kChar, op, "weight_int8");
  const int64_t rows = a.weight_int8.size(0), n = a.weight_int8.numel();
  struct Expect {
    const at::Tensor& t;
    at::ScalarType dtype;
    int64_t numel;
    const char* name;
  };
  const Expect all[] = {{a.weight_scale, at::kFloat, rows, "weight_scale"},
                        {a.grad_weight, at::kFloat, n, "grad_weight"},
                        {a.prev_signs, at::kChar, n, "prev_signs"},
                        {a.variance, at::kFloat, n, "variance"},
                        {a.bias, at::kFloat, rows, "bias"},
                        {a.grad_bias, at::kFloat, rows, "grad_bias"},
                        {a.bias_prev_signs, at::kChar, rows, "bias_prev_signs"},
                        {a.bias_variance, at::kFloat, rows, "bias_variance"}};
  for (const Expect& e : all) check_tensor(e.t, e.dtype, e.numel, op, e.name);
  for (const Expect& e : all) check_same_device(e.t, a.weight_int8, op, e.name, "weight_int8");
}

}  // namespace korvane::int8
