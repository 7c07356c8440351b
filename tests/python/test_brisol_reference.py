"""The CPU reference of the brisol kernels (brisol_reference), against hand-computed
values. bench/gpu_kernels.py compares the GPU kernels with this reference."""
import torch

import brisol_reference as ref


def test_quantize_rows():
    x = torch.tensor([[2.54, -1.0, 0.5, -2.54], [0.0, 0.0, 0.0, 0.0]])
    q, scales = ref.quantize_int8(x)
    assert scales.dtype == torch.float32
    # 2.54 / 127 = 0.02; the 1e-10 term vanishes in float32 next to 0.02.
    assert scales[0].item() == torch.tensor(0.02 + 1e-10, dtype=torch.float32).item()
    assert q[0].tolist() == [127, -50, 25, -127]
    assert scales[1].item() == torch.tensor(1e-10, dtype=torch.float32).item()
    assert q[1].tolist() == [0, 0, 0, 0]


def test_quantize_rounds_halfway_to_even():
    # A row whose largest value is 127 has scale 1 (+1e-10, lost in float32): q = round(x).
    x = torch.tensor([[127.0, 0.5, 1.5, 2.5, -0.5, -2.5, 126.5, -3.5]])
    q, scales = ref.quantize_int8(x)
    assert scales.item() == 1.0
    assert q[0].tolist() == [127, 0, 2, 2, 0, -2, 126, -4]


def test_dequantize_round_trip():
    torch.manual_seed(0)
    x = torch.randn(256, 768)
    q, scales = ref.quantize_int8(x)
    back = ref.dequantize_int8(q.reshape(-1), scales, (256, 768))
    assert back.shape == (256, 768)
    err = (x - back).abs()
    assert (err <= scales[:, None] / 2 * (1 + 1e-5)).all()
    assert err.mean() < scales.min() / 2


def test_compress_gradient_partial_group():
    g = torch.cat([torch.ones(64), torch.tensor([2.0, -4.0] * 18)])  # n = 100
    scales, signs = ref.compress_gradient(g)
    assert scales.tolist() == [1.0, 3.0]
    # Second group: elements 64, 66, ... are positive; its positions 36..63 do not exist.
    assert signs.tolist() == [255] * 8 + [0x55] * 4 + [0x05, 0, 0, 0]


def test_compress_gradient_zeros_and_sizes():
    g = torch.tensor([-0.0, 0.0, -1.0, 1.0] + [0.0] * 60 + [0.0] * 64)
    scales, signs = ref.compress_gradient(g)
    assert scales.tolist() == [0.5 / 16, 0.0]  # mean |g| of the first group: 2 / 64
    assert signs.tolist()[:8] == [0b11111011] + [255] * 7
    assert signs.tolist()[8:] == [255] * 8  # an all-zero group: scale 0, all bits set
    scales, signs = ref.compress_gradient(torch.randn(256, 768))
    assert scales.shape == (3072,) and signs.shape == (24576,)


def fused_state(weights, grad_scale, signs_byte, rows=1):
    cols = len(weights) // rows
    return dict(weight_int8=torch.tensor(weights, dtype=torch.int8).reshape(rows, cols),
                weight_scale=torch.full((rows,), 0.01), grad_scales=torch.tensor([grad_scale]),
                grad_signs=torch.tensor([signs_byte] + [0] * 7, dtype=torch.uint8),
                prev_signs=torch.zeros(rows * cols, dtype=torch.int8),
                variance=torch.zeros(rows * cols), rows=rows, cols=cols, lr=0.001)


def test_fused_update_first_and_second_step():
    # Element 0: positive gradient, 1 and 2: negative (bit 0 only).
    state = fused_state([10, -10, 127, -127], 0.5, 0b0001)
    w, prev, var = ref.fused_update(**state)
    # var = 0.001 * 0.25; grad_norm = 1/sqrt(0.001) = 31.62; step = 0.7 * 0.001 * 31.62
    # = 0.0221 = 2.21 steps of 0.01. Weight 127 stepping up saturates; -127 stepping up moves.
    assert torch.allclose(var, torch.full((4,), 0.00025), rtol=1e-5)
    assert prev.tolist() == [1, -1, -1, -1]
    assert w.tolist() == [[8, -8, 127, -125]]

    second = dict(state, weight_int8=w, prev_signs=prev, variance=var)
    w2, prev2, var2 = ref.fused_update(**second)
    # Signs agree: sign_boost. var = 0.999 * 0.00025 + 0.00025; step = 1.3 * 0.001 * 22.37
    # = 2.91 steps.
    assert torch.allclose(var2, torch.full((4,), 0.00049975), rtol=1e-5)
    assert prev2.tolist() == prev.tolist()
    assert w2.tolist() == [[5, -5, 127, -122]]
    # The inputs were not touched.
    assert state["variance"].tolist() == [0.0] * 4


def test_fused_update_zero_group_scale_only_decays_variance():
    state = fused_state([3, -7, 0, 127], 0.0, 0b1111)
    state["variance"] = torch.full((4,), 0.5)
    state["prev_signs"] = torch.tensor([1, -1, 1, 1], dtype=torch.int8)
    w, prev, var = ref.fused_update(**state)
    assert w.tolist() == [[3, -7, 0, 127]]
    assert prev.tolist() == [1, 1, 1, 1]
    assert var.tolist() == [torch.tensor(0.999 * 0.5, dtype=torch.float32).item()] * 4


def test_fused_update_uses_each_rows_scale():
    state = fused_state([10, 10, 10, 10], 0.5, 0b1111, rows=2)
    state["weight_scale"] = torch.tensor([0.01, 0.1])
    w, _, _ = ref.fused_update(**state)
    # Same step in value (0.0221), 2.21 steps of row 0 but 0.22 of row 1.
    assert w.tolist() == [[8, 8], [10, 10]]


def test_fused_update_weight_decay_is_rounded_once_with_the_step():
    # First step, positive gradient: step = lr * 0.7 * 31.62 = 0.0044, 0.44 steps of 0.01.
    # Decay lr * 15 * w = 0.003 at w = 1.0: 0.30 steps towards zero. Together 0.74 steps
    # for +100 (one step down); for -100 they pull apart (0.14 steps: stays). Rounded one
    # after the other, neither would move.
    state = dict(fused_state([100, -100, 0, 3], 0.5, 0b1111), lr=0.0002)
    w, prev, var = ref.fused_update(**state, weight_decay=15.0)
    assert w.tolist() == [[99, -100, 0, 3]]
    plain = ref.fused_update(**state)
    assert plain[0].tolist() == [[100, -100, 0, 3]]
    assert torch.equal(prev, plain[1]) and torch.equal(var, plain[2])  # decay leaves the state alone
    same = ref.fused_update(**state, weight_decay=0.0)
    assert all(torch.equal(a, b) for a, b in zip(same, plain))
