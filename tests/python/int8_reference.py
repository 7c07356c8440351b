"""The int8 layer's arithmetic in torch operations: the reference that the native
operators (torch.ops.korvane.int8_*) are tested against, and the slow update that
bench/round_bench.py compares them with. Written as the rule in the layer's docstring
says, one torch operation at a time, so that the CPU operators match it bit for bit (but
for the order in which a group's magnitudes are summed)."""
import torch

GROUP_SIZE = 64
SIGN_BOOST = 1.3
SIGN_BRAKE = 0.7
VAR_BETA = 0.999
VAR_EPS = 1e-8
QMAX = 127


def quantize_rows(weight):
    """(int8 values, float32 row scales) of a float matrix."""
    weight = weight.detach().float()
    scale = weight.abs().amax(dim=1) / QMAX + 1e-10  # the small term keeps a zero row usable
    q = torch.round(weight / scale[:, None]).clamp_(-QMAX, QMAX).to(torch.int8)
    return q, scale


def compress_gradient(grad, group_size=GROUP_SIZE):
    """(per-group mean magnitude, per-element sign as +1/-1 int8) of a gradient, flattened."""
    flat = grad.detach().reshape(-1).float()
    n = flat.numel()
    n_groups = (n + group_size - 1) // group_size
    padded = torch.zeros(n_groups * group_size, dtype=flat.dtype, device=flat.device)
    padded[:n] = flat.abs()
    counts = torch.full((n_groups,), float(group_size), device=flat.device)
    counts[-1] = n - (n_groups - 1) * group_size  # the last group may be short
    scales = padded.view(n_groups, group_size).sum(dim=1) / counts
    signs = torch.where(flat >= 0, 1, -1).to(torch.int8)  # -0.0 counts as positive
    return scales, signs


def _step(g, signs, prev_signs, variance, lr):
    mult = torch.where(signs == prev_signs, SIGN_BOOST, SIGN_BRAKE)
    prev_signs.copy_(signs)
    variance.mul_(VAR_BETA).add_((1 - VAR_BETA) * g * g)
    return lr * mult * g / (variance.sqrt() + VAR_EPS)


@torch.no_grad()
def fused_update(layer, grad_weight, grad_bias, lr, weight_decay):
    """int8_fused_update on a layer's tensors, in torch operations. Has the signature of
    ZEBTrainableLinear._fused_update, so that it can stand in for it."""
    if not (torch.isfinite(grad_weight).all() and torch.isfinite(grad_bias).all()):
        return False
    scales, signs = compress_gradient(grad_weight)
    rows, cols = layer.out_features, layer.in_features
    group_of = torch.arange(rows * cols, device=scales.device) // GROUP_SIZE
    signs = signs.view(rows, cols)
    g = signs.float() * scales[group_of].view(rows, cols)
    step = _step(g, signs, layer.prev_signs, layer.variance, lr)
    row_scale = layer.weight_scale[:, None]
    w = layer.weight_int8.float() * row_scale
    w = w - step - lr * weight_decay * w
    layer.weight_int8.copy_(torch.round(w / row_scale).clamp_(-QMAX, QMAX).to(torch.int8))
    bias_signs = torch.where(grad_bias >= 0, 1, -1).to(torch.int8)
    bias_step = _step(grad_bias, bias_signs, layer.bias_prev_signs, layer.bias_variance, lr)
    layer.bias.sub_(bias_step + lr * weight_decay * layer.bias)
    return True
