import asyncio
import copy
import math

import pytest
import torch
from torch import nn

from korvane.carrowel import OrvynPipelineTrainer
from korvane.zeb_trainable_int8 import ZEBTrainableLinear, compress_gradient, quantize_rows


def test_storage_and_parameters():
    layer = ZEBTrainableLinear(768, 768)
    params = list(layer.parameters())
    assert sum(p.numel() for p in params) == 768 * 768 + 2 * 768
    assert {p.dtype for p in params} == {torch.int8, torch.float32}
    assert all(not p.requires_grad for p in params)
    q = layer.weight_int8.int()
    assert q.abs().max() <= 127 and (q.abs().amax(dim=1) == 127).all()
    assert layer.to("cpu") is layer and isinstance(nn.ModuleList([layer])[0], ZEBTrainableLinear)


def test_quantize_rows_format():
    w = torch.tensor([[2.54, -1.27, 0.01], [0.0, 0.0, 0.0]])
    q, s = quantize_rows(w)
    assert torch.allclose(s, torch.tensor([0.02 + 1e-10, 1e-10]))
    assert q.tolist() == [[127, -64, 0], [0, 0, 0]]  # -63.5 rounds to the even -64


def test_compress_gradient_groups():
    g = torch.cat([torch.full((64,), -2.0), torch.tensor([-0.0, 3.0] * 18)])  # n = 100
    scales, signs = compress_gradient(g)
    assert scales.tolist() == pytest.approx([2.0, 1.5])
    assert signs[:64].eq(-1).all() and signs[64:].eq(1).all()


def test_forward_and_backward_match_autograd_on_float_weights():
    torch.manual_seed(1)
    layer = ZEBTrainableLinear(16, 16)
    ref = nn.Linear(16, 16)
    with torch.no_grad():
        ref.weight.copy_(layer.dequantized_weight())
        ref.bias.copy_(layer.bias)
    x = torch.randn(3, 5, 16)
    g = torch.randn(3, 5, 16)
    xr = x.clone().requires_grad_(True)
    y_ref = ref(xr)
    y_ref.backward(g)
    y = layer(x)
    assert torch.allclose(y, y_ref, atol=1e-6)
    gx = layer.backward_zeb(g)
    assert torch.allclose(gx, xr.grad, atol=1e-5)
    assert torch.allclose(layer.grad_weight, ref.weight.grad, atol=1e-4)
    assert torch.allclose(layer.grad_bias, ref.bias.grad, atol=1e-5)
    with pytest.raises(RuntimeError, match="without a forward"):
        layer.backward_zeb(g)


def test_micro_batches_in_flight_are_carried_back_first_in_first_out():
    torch.manual_seed(3)
    layer = ZEBTrainableLinear(8, 8)
    xs = [torch.randn(2, 8) for _ in range(3)]
    gs = [torch.randn(2, 8) for _ in range(3)]
    w = layer.dequantized_weight()
    for x in xs:
        layer(x)
    with torch.no_grad():
        layer(torch.randn(5, 8))  # an evaluation pass keeps nothing
    outs = [layer.backward_zeb(g) for g in gs]
    for g, out in zip(gs, outs):
        assert torch.allclose(out, g @ w, atol=1e-6)
    want = sum(g.T @ x for g, x in zip(gs, xs))
    assert torch.allclose(layer.grad_weight, want, atol=1e-5)
    with pytest.raises(RuntimeError, match="without a forward"):
        layer.backward_zeb(gs[0])
    layer(xs[0])
    layer.discard_pending()  # a step that failed half-way leaves nothing behind
    assert layer.grad_weight is None and layer.grad_bias is None
    with pytest.raises(RuntimeError, match="without a forward"):
        layer.backward_zeb(gs[0])


def reference_update(q, row_scale, grad, prev, var, lr, t, loss_decreased=True, wd=0.01):
    """Element by element, in float64, as the fused int8 update describes it."""
    rows, cols = q.shape
    flat = grad.reshape(-1).tolist()
    n = len(flat)
    group_scale = [sum(abs(v) for v in flat[k:k + 64]) / len(flat[k:k + 64]) for k in range(0, n, 64)]
    lr = (lr if loss_decreased else lr / 2) * math.sqrt(1 - 0.999 ** t)
    q_out, prev_out, var_out = q.clone(), prev.clone(), var.clone().double()
    for idx in range(n):
        r, c = divmod(idx, cols)
        sign = 1 if flat[idx] >= 0 else -1
        g = sign * group_scale[idx // 64]
        mult = 1.3 if sign == prev[r, c] else 0.7
        prev_out[r, c] = sign
        v = 0.999 * float(var[r, c]) + 0.001 * g * g
        var_out[r, c] = v
        w = float(q[r, c]) * float(row_scale[r])
        w = w - lr * mult * g / (math.sqrt(v) + 1e-8) - lr * wd * w
        q_out[r, c] = max(-127, min(127, round(w / float(row_scale[r]))))
    return q_out, prev_out, var_out


def test_update_matches_hand_computation():
    torch.manual_seed(2)
    layer = ZEBTrainableLinear(32, 4)  # 128 weights: two groups of 64
    for t, loss_decreased in [(1, True), (2, True), (3, False)]:
        layer(torch.randn(6, 32))
        layer.backward_zeb(torch.randn(6, 4))
        grad = layer.grad_weight.clone()
        q0, prev0, var0 = layer.weight_int8.clone(), layer.prev_signs.clone(), layer.variance.clone()
        want_q, want_prev, want_var = reference_update(q0, layer.weight_scale, grad, prev0, var0, 0.002, t,
                                                       loss_decreased)
        layer.update_from_gradient(lr=0.002, weight_decay=0.01, loss_decreased=loss_decreased)
        assert layer.grad_weight is None
        assert torch.equal(layer.prev_signs, want_prev)
        assert torch.allclose(layer.variance.double(), want_var, rtol=1e-5)
        diff = (layer.weight_int8.int() - want_q.int()).abs()
        assert diff.max() <= 1 and diff.sum() <= 2  # float32 against float64 at a rounding edge
        assert not torch.equal(layer.weight_int8, q0)
    assert layer.weight_int8.int().abs().max() <= 127


def test_first_update_uses_brake_and_saturates_at_127():
    layer = ZEBTrainableLinear(64, 1)
    with torch.no_grad():
        layer.weight_int8.fill_(127)
    layer.grad_weight = torch.full((1, 64), -1.0)
    layer.grad_bias = torch.zeros(1)
    layer.update_from_gradient(lr=1.0)
    assert layer.weight_int8.eq(127).all()  # a push upwards stays clamped
    assert torch.allclose(layer.variance, torch.full((1, 64), 0.001))
    assert layer.prev_signs.eq(-1).all()


def test_non_finite_gradient_is_dropped_without_touching_the_weights():
    layer = ZEBTrainableLinear(8, 8)
    q0 = layer.weight_int8.clone()
    layer(torch.randn(2, 8))
    layer.backward_zeb(torch.tensor([[float("nan")] * 8, [1.0] * 8]))
    layer.update_from_gradient(lr=0.01)  # a diverging run keeps training on later rounds
    assert torch.equal(layer.weight_int8, q0) and layer.grad_weight is None


def run(coro):
    return asyncio.run(coro)


def test_last_stage_gets_the_same_gradients_as_a_first_stage():
    torch.manual_seed(3)
    slice_a = nn.ModuleList([ZEBTrainableLinear(32, 32) for _ in range(3)])
    slice_b = copy.deepcopy(slice_a)
    x = torch.randn(4, 7, 32)
    labels = torch.randint(0, 32, (4, 7))
    loss_fn = nn.CrossEntropyLoss()

    last = OrvynPipelineTrainer("last", device="cpu")
    last.layers = slice_a
    act = x.clone().requires_grad_(True)
    out = run(last.forward_stage(act))
    loss_fn(out.view(-1, 32), labels.view(-1)).backward()
    gx_last = run(last.backward_stage(act.grad))

    first = OrvynPipelineTrainer("first", device="cpu")
    first.layers = slice_b
    out_b = run(first.forward_stage(x.clone()))
    y = out_b.detach().requires_grad_(True)
    loss_fn(y.view(-1, 32), labels.view(-1)).backward()
    gx_first = run(first.backward_stage(y.grad))

    for a, b in zip(slice_a, slice_b):
        assert torch.allclose(a.grad_weight, b.grad_weight, atol=1e-6)
        assert torch.allclose(a.grad_bias, b.grad_bias, atol=1e-6)
    assert torch.allclose(gx_last, gx_first, atol=1e-6)


@pytest.mark.parametrize("lr", [1e-3, 1e-2])
def test_a_three_stage_stack_learns(lr):
    torch.manual_seed(0)
    stages = [OrvynPipelineTrainer(f"t{i}", device="cpu") for i in range(3)]
    for s in stages:
        s.layers = nn.ModuleList([ZEBTrainableLinear(768, 768)])
    centers = torch.randn(10, 768)
    loss_fn = nn.CrossEntropyLoss()
    losses = []

    async def step():
        labels = torch.randint(0, 10, (32,))
        a = centers[labels] + 2.0 * torch.randn(32, 768)
        acts = []
        for s in stages:
            a = a.detach().requires_grad_(True)
            acts.append(a)
            a = await s.forward_stage(a)
        loss = loss_fn(a, labels)
        loss.backward()
        g = acts[-1].grad
        for s in reversed(stages):
            g = await s.backward_stage(g)
        decreased = not losses or loss.item() < losses[-1]
        losses.append(loss.item())
        for s in stages:
            await s.update_layers(lr=lr, loss_decreased=decreased)

    for _ in range(25):
        run(step())
    assert all(math.isfinite(v) for v in losses)
    assert sum(losses[-5:]) / 5 < 0.3 * losses[0], losses
