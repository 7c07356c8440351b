// The implementation of StageTensorOps over LibTorch, built into _carrowel_torch only.
#pragma once
#include "korvane/carrowel/trainer/stage_tensor_ops.hpp"

namespace korvane::carrowel {
// The one instance, alive for as long as the module that holds it.
const StageTensorOps& torch_stage_tensor_ops() noexcept;
}  // namespace korvane::carrowel
