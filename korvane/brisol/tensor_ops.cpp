#include "korvane/brisol/tensor_ops.hpp"

#include <torch/extension.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "korvane/brisol/launches.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/int8_ops/int8_constants.hpp"

namespace korvane::brisol {
namespace py = pybind11;

namespace {

// Kernels index with 32-bit integers.
constexpr int64_t kMaxElements = INT32_MAX;

std::string device_text(const at::Tensor& t) { return t.device().str(); }

// torch's current stream on `device`, as a raw CUstream. Debian's torch ships no CUDA
// headers, so the stream comes through Python; torch 2.x has a direct accessor for it.
CUstream current_stream(int device) {
  // Leaked on purpose: a static py::object would be released after the interpreter is gone.
  static py::object* raw = nullptr;
  static py::object* cuda = nullptr;
  if (!raw && !cuda) {
    py::module_ torch = py::module_::import("torch");
    py::object c = torch.attr("_C");
    if (py::hasattr(c, "_cuda_getCurrentRawStream"))
      raw = new py::object(c.attr("_cuda_getCurrentRawStream"));
    else
      cuda = new py::object(torch.attr("cuda"));
  }
  uintptr_t handle = raw ? (*raw)(device).cast<uintptr_t>()
                         : cuda->attr("current_stream")(device).attr("cuda_stream").cast<uintptr_t>();
  return reinterpret_cast<CUstream>(handle);
}

void require_cuda(const at::Tensor& t, const char* op, const char* arg) {
  if (!t.device().is_cuda())
    throw ValueError(std::string(op) + ": " + arg + " must be a CUDA tensor, got one on " +
                     device_text(t));
}

void require_same_device(const at::Tensor& t, const at::Tensor& ref, const char* op,
                         const char* arg, const char* ref_arg) {
  require_cuda(t, op, arg);
  if (t.device() != ref.device())
    throw ValueError(std::string(op) + ": " + arg + " is on " + device_text(t) + " but " +
                     ref_arg + " is on " + device_text(ref));
}

// dtype names as Python spells them (torch.float32), not LibTorch's (Float).
std::string dtype_text(at::ScalarType t) {
  switch (t) {
    case at::kFloat: return "torch.float32";
    case at::kDouble: return "torch.float64";
    case at::kHalf: return "torch.float16";
    case at::kBFloat16: return "torch.bfloat16";
    case at::kChar: return "torch.int8";
    case at::kByte: return "torch.uint8";
    case at::kShort: return "torch.int16";
    case at::kInt: return "torch.int32";
    case at::kLong: return "torch.int64";
    case at::kBool: return "torch.bool";
    default: return c10::toString(t);
  }
}

void require_layout(const at::Tensor& t, at::ScalarType dtype, const char* op, const char* arg) {
  if (t.scalar_type() != dtype)
    throw TypeError(std::string(op) + ": " + arg + " must be " + dtype_text(dtype) + ", got " +
                    dtype_text(t.scalar_type()));
  if (!t.is_contiguous())
    throw ValueError(std::string(op) + ": " + arg +
                     " must be contiguous (call .contiguous() on it first)");
}

void require_numel(const at::Tensor& t, int64_t expected, const char* op, const char* arg,
                   const std::string& why) {
  if (t.numel() != expected)
    throw ValueError(std::string(op) + ": " + arg + " has " + std::to_string(t.numel()) +
                     " elements, expected " + std::to_string(expected) + " (" + why + ")");
}

void require_fits(int64_t total, const char* op) {
  if (total > kMaxElements)
    throw ValueError(std::string(op) + ": " + std::to_string(total) +
                     " elements are more than the kernels can index (at most " +
                     std::to_string(kMaxElements) + ")");
}

// A buffer the kernel writes must not share memory with any other argument: the threads
// would race on it and the result would depend on their order.
void require_disjoint(const at::Tensor& written, const char* wname, const at::Tensor& other,
                      const char* oname, const char* op) {
  if (written.numel() == 0 || other.numel() == 0) return;
  auto a = reinterpret_cast<uintptr_t>(written.data_ptr());
  auto b = reinterpret_cast<uintptr_t>(other.data_ptr());
  uintptr_t a_end = a + written.nbytes(), b_end = b + other.nbytes();
  if (a < b_end && b < a_end)
    throw ValueError(std::string(op) + ": " + wname + " and " + oname + " share memory");
}

// rows x cols after checking that the kernels can index it (and before it can overflow).
int64_t checked_total(int64_t rows, int64_t cols, const char* op) {
  // Short-circuit order keeps the product from overflowing.
  if (rows > kMaxElements || cols > kMaxElements || rows * cols > kMaxElements)
    throw ValueError(std::string(op) + ": " + std::to_string(rows) + " x " +
                     std::to_string(cols) + " elements are more than the kernels can index (at most " +
                     std::to_string(kMaxElements) + ")");
  return rows * cols;
}

py::tuple quantize_int8(KernelHolder& h, const at::Tensor& tensor) {
  const char* op = "quantize_int8";
  if (!tensor.device().is_cuda()) throw AssertionError("Tensor must be on CUDA");
  if (tensor.dim() != 2)
    throw ValueError(std::string(op) + ": expected a 2-D tensor [rows, cols], got " +
                     std::to_string(tensor.dim()) + " dimensions");
  require_layout(tensor, at::kFloat, op, "tensor");
  const int64_t rows = tensor.size(0), cols = tensor.size(1);
  checked_total(rows, cols, op);

  at::Tensor out = at::empty({rows, cols}, tensor.options().dtype(at::kChar));
  at::Tensor scales = at::empty({rows}, tensor.options().dtype(at::kFloat));
  if (rows > 0 && cols == 0) scales.fill_(int8::kScaleFloor);  // what the kernel gives an all-zero row
  if (rows > 0 && cols > 0) {
    const int device = tensor.device().index();
    launch_quantize(h, device, current_stream(device), tensor.data_ptr<float>(),
                    out.data_ptr<int8_t>(), scales.data_ptr<float>(), rows, cols);
  }
  return py::make_tuple(out, scales);
}

at::Tensor dequantize_int8(KernelHolder& h, const at::Tensor& data, const at::Tensor& scales,
                           const std::vector<int64_t>& shape) {
  const char* op = "dequantize_int8";
  if (shape.size() != 2)
    throw ValueError(std::string(op) + ": shape must be (rows, cols), got " +
                     std::to_string(shape.size()) + " values");
  const int64_t rows = shape[0], cols = shape[1];
  if (rows < 0 || cols < 0) throw ValueError(std::string(op) + ": shape must not be negative");
  const int64_t total = checked_total(rows, cols, op);
  require_layout(data, at::kChar, op, "int8_data");
  require_numel(data, total, op, "int8_data", "rows x cols of shape");
  require_layout(scales, at::kFloat, op, "scales");
  require_numel(scales, rows, op, "scales", "one per row");
  require_cuda(data, op, "int8_data");
  require_same_device(scales, data, op, "scales", "int8_data");

  at::Tensor out = at::empty({rows, cols}, data.options().dtype(at::kFloat));
  if (total > 0) {
    const int device = data.device().index();
    launch_dequantize(h, device, current_stream(device), data.data_ptr<int8_t>(),
                      scales.data_ptr<float>(), out.data_ptr<float>(), rows, cols);
  }
  return out;
}

py::tuple compress_gradient(KernelHolder& h, const at::Tensor& grad) {
  const char* op = "compress_gradient";
  require_layout(grad, at::kFloat, op, "grad");
  require_cuda(grad, op, "grad");
  const int64_t n = grad.numel();
  require_fits(n, op);
  const int64_t g = kGroupSize, n_groups = (n + g - 1) / g, bytes_per_group = (g + 7) / 8;

  at::Tensor scales = at::empty({n_groups}, grad.options().dtype(at::kFloat));
  // Every byte of every group's run is written by the kernel, so no zero fill is needed.
  at::Tensor signs = at::empty({n_groups * bytes_per_group}, grad.options().dtype(at::kByte));
  if (n > 0) {
    const int device = grad.device().index();
    launch_compress(h, device, current_stream(device), grad.data_ptr<float>(),
                    signs.data_ptr<uint8_t>(), scales.data_ptr<float>(), n);
  }
  return py::make_tuple(scales, signs);
}

void fused_weight_update(KernelHolder& h, const at::Tensor& weight_int8,
                         const at::Tensor& weight_scale, const at::Tensor& grad_scales,
                         const at::Tensor& grad_signs, const at::Tensor& prev_signs,
                         const at::Tensor& variance, int64_t rows, int64_t cols, double lr,
                         double sign_boost, double sign_brake, double var_beta, double var_eps,
                         double weight_decay) {
  const char* op = "fused_weight_update";
  if (rows <= 0 || cols <= 0)
    throw ValueError(std::string(op) + ": rows and cols must be positive, got " +
                     std::to_string(rows) + " x " + std::to_string(cols));
  const int64_t total = checked_total(rows, cols, op);
  const int64_t g = kGroupSize, n_groups = (total + g - 1) / g;
  const std::string rc = "rows x cols = " + std::to_string(total);

  // Layouts and sizes first, devices last: each message then names the first real problem.
  require_layout(weight_int8, at::kChar, op, "weight_int8");
  require_numel(weight_int8, total, op, "weight_int8", rc);
  require_layout(weight_scale, at::kFloat, op, "weight_scale");
  require_numel(weight_scale, rows, op, "weight_scale", "one per row");
  require_layout(grad_scales, at::kFloat, op, "grad_scales");
  require_numel(grad_scales, n_groups, op, "grad_scales",
                "one per group of " + std::to_string(g));
  require_layout(grad_signs, at::kByte, op, "grad_signs");
  require_numel(grad_signs, n_groups * ((g + 7) / 8), op, "grad_signs",
                "packed bits, " + std::to_string((g + 7) / 8) + " bytes per group");
  require_layout(prev_signs, at::kChar, op, "prev_signs");
  require_numel(prev_signs, total, op, "prev_signs", rc);
  require_layout(variance, at::kFloat, op, "variance");
  require_numel(variance, total, op, "variance", rc);

  struct Arg {
    const at::Tensor& t;
    const char* name;
  };
  const Arg all[] = {{weight_int8, "weight_int8"}, {weight_scale, "weight_scale"},
                     {grad_scales, "grad_scales"}, {grad_signs, "grad_signs"},
                     {prev_signs, "prev_signs"},   {variance, "variance"}};
  const Arg written[] = {all[0], all[4], all[5]};
  for (const Arg& w : written)
    for (const Arg& o : all)
      if (&w.t != &o.t) require_disjoint(w.t, w.name, o.t, o.name, op);

  require_cuda(weight_int8, op, "weight_int8");
  for (const Arg& a : all) require_same_device(a.t, weight_int8, op, a.name, "weight_int8");

  // The kernel works on the caller's buffers in place: there is nothing to copy back.
  const int device = weight_int8.device().index();
  launch_fused_update(h, device, current_stream(device), weight_int8.data_ptr<int8_t>(),
                      weight_scale.data_ptr<float>(), grad_scales.data_ptr<float>(),
                      grad_signs.data_ptr<uint8_t>(), prev_signs.data_ptr<int8_t>(),
                      variance.data_ptr<float>(), rows, cols,
                      {lr, sign_boost, sign_brake, var_beta, var_eps, weight_decay});
}

}  // namespace

void bind_tensor_ops(HolderClass& cls) {
  cls.def("quantize_int8", &quantize_int8, py::arg("tensor"),
          "Row-wise int8 quantisation of a 2-D float32 CUDA tensor: (int8 [rows, cols], "
          "float32 scales [rows]).");
  cls.def("dequantize_int8", &dequantize_int8, py::arg("int8_data"), py::arg("scales"),
          py::arg("shape"), "int8 values times their row's scale, as float32 of `shape`.");
  cls.def("compress_gradient", &compress_gradient, py::arg("grad"),
          "(float32 mean |g| per group of 64, uint8 packed sign bits) of a float32 CUDA "
          "gradient.");
  cls.def("fused_weight_update", &fused_weight_update, py::arg("weight_int8"),
          py::arg("weight_scale"), py::arg("grad_scales"), py::arg("grad_signs"),
          py::arg("prev_signs"), py::arg("variance"), py::arg("rows"), py::arg("cols"),
          py::arg("lr"), py::arg("sign_boost") = int8::kSignBoost,
          py::arg("sign_brake") = int8::kSignBrake, py::arg("var_beta") = int8::kVarBeta,
          py::arg("var_eps") = int8::kVarEps, py::arg("weight_decay") = 0.0,
          "Updates weight_int8, prev_signs and variance in place from a compressed gradient; "
          "weight_decay (decoupled, default 0) is taken off before the one rounding.");
}

}  // namespace korvane::brisol
