// The implementation of TensorBackend over LibTorch, built into _carrowel_torch only.
#pragma once
#include "korvane/carrowel/compression/tensor_backend.hpp"

namespace korvane::carrowel::compression {
// The one instance, alive for as long as the module that holds it.
const TensorBackend& torch_tensor_backend() noexcept;
}  // namespace korvane::carrowel::compression
