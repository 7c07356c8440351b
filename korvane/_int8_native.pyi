"""Types of korvane._int8_native, the native CPU helpers of korvane.zeb_trainable_int8."""
import torch

def fused_update(weight_int8: torch.Tensor, weight_scale: torch.Tensor, grad_weight: torch.Tensor,
                 prev_signs: torch.Tensor, variance: torch.Tensor, bias: torch.Tensor, grad_bias: torch.Tensor,
                 bias_prev_signs: torch.Tensor, bias_variance: torch.Tensor, lr: float, weight_decay: float,
                 sign_boost: float, sign_brake: float, var_beta: float, var_eps: float) -> bool: ...
def dequantize(weight_int8: torch.Tensor, weight_scale: torch.Tensor) -> torch.Tensor: ...
