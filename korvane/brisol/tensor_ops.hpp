// The holder's tensor operations (quantize_int8, dequantize_int8, compress_gradient,
// fused_weight_update). Defined in tensor_ops.cpp, the module's only unit with torch headers.
#pragma once
#include <pybind11/pybind11.h>

#include <memory>

#include "korvane/brisol/kernel_holder.hpp"

namespace korvane::brisol {
using HolderClass = pybind11::class_<KernelHolder, std::shared_ptr<KernelHolder>>;
void bind_tensor_ops(HolderClass& cls);
}  // namespace korvane::brisol
