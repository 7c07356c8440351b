"""CPU versions of the brisol kernels' arithmetic, in torch float32.

Each step is written in the same order as the kernels, with float32 scalars, so that the
GPU results (compiled without FMA contraction) match bit for bit; only the group sums of
compress_gradient may differ in their last bits, because the GPU adds in a tree."""
import torch

GROUP_SIZE = 64


def _f32(v):
    return torch.tensor(v, dtype=torch.float32)


def quantize_int8(x):
    rows, cols = x.shape
    amax = x.abs().amax(dim=1) if cols else torch.zeros(rows)
    scales = amax / _f32(127.0) + _f32(1e-10)
    q = torch.round(x / scales[:, None]).clamp(-127, 127).to(torch.int8)
    return q, scales


def dequantize_int8(q, scales, shape):
    rows, cols = shape
    return q.reshape(rows, cols).to(torch.float32) * scales[:, None]


def compress_gradient(grad, group_size=GROUP_SIZE):
    flat = grad.reshape(-1).to(torch.float32)
    n = flat.numel()
    n_groups = (n + group_size - 1) // group_size
    bytes_per_group = (group_size + 7) // 8
    padded = torch.zeros(n_groups * group_size)
    padded[:n] = flat.abs()
    counts = torch.clamp(n - torch.arange(n_groups) * group_size, max=group_size)
    scales = padded.reshape(n_groups, group_size).sum(dim=1) / counts.to(torch.float32)

    # Bit b of byte j in group k stands for element k*g + 8j + b, when that exists.
    pos = torch.arange(bytes_per_group * 8)
    idx = torch.arange(n_groups)[:, None] * group_size + pos[None, :]
    exists = (pos[None, :] < group_size) & (idx < n)
    values = flat[idx.clamp(max=max(n - 1, 0))] if n else torch.zeros(idx.shape)
    bits = (exists & (values >= 0)).to(torch.int32).reshape(-1, 8)
    signs = (bits << torch.arange(8)).sum(dim=1).to(torch.uint8)
    return scales, signs


def fused_update(weight_int8, weight_scale, grad_scales, grad_signs, prev_signs, variance,
                 rows, cols, lr, sign_boost=1.3, sign_brake=0.7, var_beta=0.999,
                 var_eps=1e-8, weight_decay=0.0, group_size=GROUP_SIZE):
    """Returns the new (weight_int8, prev_signs, variance); the inputs are left alone.
    weight_decay is decoupled: lr * weight_decay (a double product, rounded once) times the
    old weight comes off before the rounding."""
    idx = torch.arange(rows * cols)
    bit = (grad_signs.to(torch.int32)[idx // 8] >> (idx % 8)) & 1
    sign = torch.where(bit == 1, 1, -1).to(torch.int32)
    grad = sign.to(torch.float32) * grad_scales[idx // group_size]
    mult = torch.where(sign == prev_signs.reshape(-1).to(torch.int32),
                       _f32(sign_boost), _f32(sign_brake))
    beta = _f32(var_beta)
    var = beta * variance.reshape(-1) + (_f32(1.0) - beta) * grad * grad
    grad_norm = grad / (torch.sqrt(var) + _f32(var_eps))
    scale = weight_scale[idx // cols]
    old_weight = weight_int8.reshape(-1).to(torch.float32) * scale
    weight = old_weight - _f32(lr) * mult * grad_norm
    weight = weight - _f32(lr * weight_decay) * old_weight
    q = torch.round(weight / scale).clamp(-127, 127).to(torch.int8)
    return (q.reshape(weight_int8.shape), sign.to(torch.int8).reshape(prev_signs.shape),
            var.reshape(variance.shape))
