import asyncio
import copy
import math

import pytest
import torch
from torch import nn

import korvane.zeb_trainable_int8 as zeb
from korvane.carrowel import OrvynPipelineTrainer
import int8_reference as ref
from int8_reference import compress_gradient
from korvane.zeb_trainable_int8 import ZEBTrainableLinear, quantize_rows

needs_native = pytest.mark.skipif(not zeb.OPS_AVAILABLE, reason="korvane._int8_ops not built")


@pytest.fixture(params=["native", "torch"])
def update_path(request, monkeypatch):
    """Runs a test with the layer's native operator, then with the reference torch arithmetic."""
    if request.param == "native" and not zeb.OPS_AVAILABLE:
        pytest.skip("korvane._int8_ops not built")
    if request.param == "torch":
        monkeypatch.setattr(ZEBTrainableLinear, "_fused_update", ref.fused_update)
    return request.param


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


def test_update_matches_hand_computation(update_path):
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


def test_first_update_uses_brake_and_saturates_at_127(update_path):
    layer = ZEBTrainableLinear(64, 1)
    with torch.no_grad():
        layer.weight_int8.fill_(127)
    layer.grad_weight = torch.full((1, 64), -1.0)
    layer.grad_bias = torch.zeros(1)
    layer.update_from_gradient(lr=1.0)
    assert layer.weight_int8.eq(127).all()  # a push upwards stays clamped
    assert torch.allclose(layer.variance, torch.full((1, 64), 0.001))
    assert layer.prev_signs.eq(-1).all()


def test_non_finite_gradient_is_dropped_without_touching_the_weights(update_path):
    layer = ZEBTrainableLinear(8, 8)
    state0 = copy.deepcopy(layer.state_dict())
    layer(torch.randn(2, 8))
    layer.backward_zeb(torch.tensor([[float("nan")] * 8, [1.0] * 8]))
    layer.update_from_gradient(lr=0.01)  # a diverging run keeps training on later rounds
    assert torch.equal(layer.weight_int8, state0["weight_int8"]) and layer.grad_weight is None
    for bad_weight, bad_bias in [(float("inf"), 0.0), (0.0, float("-inf"))]:
        layer.grad_weight = torch.zeros(8, 8)
        layer.grad_weight[7, 7] = bad_weight  # the last element: the scan must reach it
        layer.grad_bias = torch.zeros(8)
        layer.grad_bias[3] = bad_bias
        layer.update_from_gradient(lr=0.01)
    for name, value in layer.state_dict().items():
        assert torch.equal(value, state0[name]), name  # weights, bias and optimiser state
    assert layer.update_count == 0  # the bias correction does not count dropped updates
    layer.grad_weight, layer.grad_bias = torch.ones(8, 8), torch.ones(8)
    layer.update_from_gradient(lr=0.01)
    assert layer.update_count == 1 and not torch.equal(layer.bias, state0["bias"])


def test_update_rounds_exact_ties_to_even(update_path):
    # A zero gradient leaves only the decay: lr * weight_decay is 1/8 after the bias
    # correction, so with a row scale of 1 every weight becomes 7/8 of itself, some of
    # them exactly halfway between two steps.
    layer = ZEBTrainableLinear(8, 1)
    with torch.no_grad():
        layer.weight_scale.fill_(1.0)
        layer.weight_int8.copy_(torch.tensor([[4, 12, 20, -12, 127, 1, 0, -127]], dtype=torch.int8))
    layer.grad_weight, layer.grad_bias = torch.zeros(1, 8), torch.zeros(1)
    layer.update_from_gradient(lr=0.125 / 0.5 / math.sqrt(1 - 0.999), weight_decay=0.5)
    assert layer.weight_int8.tolist() == [[4, 10, 18, -10, 111, 1, 0, -111]]  # 3.5, 10.5, 17.5, -10.5


def paired_layers(rows, cols, seed):
    torch.manual_seed(seed)
    a = ZEBTrainableLinear(cols, rows)
    return a, copy.deepcopy(a)


def update_both(native, reference, grad_weight, grad_bias, monkeypatch, **kw):
    native.grad_weight, native.grad_bias = grad_weight.clone(), grad_bias.clone()
    native.update_from_gradient(**kw)
    with monkeypatch.context() as m:
        m.setattr(ZEBTrainableLinear, "_fused_update", ref.fused_update)
        reference.grad_weight, reference.grad_bias = grad_weight.clone(), grad_bias.clone()
        reference.update_from_gradient(**kw)


@needs_native
@pytest.mark.parametrize("rows, cols", [(24, 64), (33, 65), (5, 7), (3, 200)])
def test_native_update_is_the_torch_arithmetic_bit_for_bit(rows, cols, monkeypatch):
    # Gradients on a coarse grid make every group sum exact, whatever the order of the
    # additions; then the one difference left (the order of the group sums) vanishes.
    # Groups run across rows when cols is not a multiple of 64.
    native, reference = paired_layers(rows, cols, seed=rows)
    for t, (lr, wd, decreased) in enumerate([(0.01, 0.01, True), (0.02, 0.5, True), (0.01, 0.01, False),
                                             (0.3, 0.0, True), (0.01, 0.01, True)]):
        gw = torch.randint(-2000, 2001, (rows, cols)).float() / 1024 * 4.0 ** (t - 2)
        gb = torch.randint(-2000, 2001, (rows,)).float() / 1024
        if t == 1:
            gw[0, :5] = 0.0  # zero and negative zero count as positive
            gw[0, 5:9] = -0.0
        update_both(native, reference, gw, gb, monkeypatch, lr=lr, weight_decay=wd, loss_decreased=decreased)
        for name, value in native.state_dict().items():
            assert torch.equal(value, reference.state_dict()[name]), (t, name)
        assert native.update_count == reference.update_count == t + 1
    assert (native.weight_int8.int().abs() == 127).any()  # lr 0.3 reached the clamp


@needs_native
def test_native_update_on_random_gradients_differs_only_at_rounding_edges(monkeypatch):
    native, reference = paired_layers(256, 192, seed=5)
    n = 256 * 192
    for _ in range(3):
        update_both(native, reference, torch.randn(256, 192) * 0.1, torch.randn(256), monkeypatch,
                    lr=0.01, weight_decay=0.01, loss_decreased=True)
        diff = (native.weight_int8.int() - reference.weight_int8.int()).abs()
        # The group means may differ in their last bit (summed in another order): that moves
        # a weight only where it sits within a rounding error of halfway between two steps.
        assert diff.max() <= 1 and diff.sum() <= n // 5000
        assert torch.equal(native.prev_signs, reference.prev_signs)
        assert torch.allclose(native.variance, reference.variance, rtol=1e-6, atol=0)
        assert torch.equal(native.bias, reference.bias)  # the bias has no group means
        reference.load_state_dict(native.state_dict())  # go on from the same weights


def test_load_weight_and_from_linear(update_path):
    torch.manual_seed(6)
    linear = nn.Linear(70, 12)
    layer = ZEBTrainableLinear.from_linear(linear)
    q, s = quantize_rows(linear.weight)
    assert torch.equal(layer.weight_int8, q) and torch.equal(layer.weight_scale, s)
    assert torch.equal(layer.bias, linear.bias.detach())
    assert torch.equal(layer.dequantized_weight(), q.float() * s[:, None])
    layer.grad_weight, layer.grad_bias = torch.randn(12, 70), torch.randn(12)
    layer.update_from_gradient(lr=0.01)
    layer.load_weight(linear.weight * 2)  # the optimiser state goes with the old weights
    assert layer.update_count == 0 and not layer.variance.any() and not layer.prev_signs.any()
    assert torch.equal(layer.weight_int8, q)  # twice the weight, twice the row scale
    with pytest.raises(ValueError, match=r"does not fit a layer \[12, 70\]"):
        layer.load_weight(torch.zeros(70, 12))
    # The flag alone changes nothing on the CPU.
    flagged = ZEBTrainableLinear.from_linear(linear, use_brisol=True)
    assert torch.equal(flagged.weight_int8, q) and "use_brisol=True" in repr(flagged)


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


def test_brisol_kernels_where_they_cannot_run():
    import korvane.brisol as brisol
    if brisol.CUPY_AVAILABLE:
        pytest.skip("the brisol kernels can run here")
    with pytest.raises(RuntimeError, match="use_brisol=True.*cannot run here"):
        zeb.require_cuda_operators()


def brisol_update(layer, grad_weight, grad_bias, lr, weight_decay):
    """The CUDA kernels' update, through their CPU reference: compress, fused update, the
    bias in torch arithmetic. Stands in for ZEBTrainableLinear._fused_update."""
    import brisol_reference
    if not (torch.isfinite(grad_weight).all() and torch.isfinite(grad_bias).all()):
        return False
    rows, cols = layer.out_features, layer.in_features
    scales, signs = brisol_reference.compress_gradient(grad_weight)
    q, p, v = brisol_reference.fused_update(layer.weight_int8, layer.weight_scale, scales, signs, layer.prev_signs,
                                            layer.variance, rows, cols, lr, zeb.SIGN_BOOST, zeb.SIGN_BRAKE,
                                            zeb.VAR_BETA, zeb.VAR_EPS, weight_decay=weight_decay)
    layer.weight_int8.copy_(q), layer.prev_signs.copy_(p), layer.variance.copy_(v)
    bias_signs = torch.where(grad_bias >= 0, 1, -1).to(torch.int8)
    step = ref._step(grad_bias, bias_signs, layer.bias_prev_signs, layer.bias_variance, lr)
    layer.bias.sub_(step + lr * weight_decay * layer.bias)
    return True


def test_brisol_arithmetic_agrees_with_the_cpu_operator_through_the_reference():
    torch.manual_seed(7)
    linear = nn.Linear(100, 300)
    cpu = ZEBTrainableLinear.from_linear(linear)
    flagged = ZEBTrainableLinear.from_linear(linear, use_brisol=True)
    flagged._fused_update = brisol_update.__get__(flagged)
    assert torch.equal(cpu.weight_int8, flagged.weight_int8)
    n = 300 * 100
    for t in range(4):
        gw, gb = torch.randn(300, 100) * 0.1, torch.randn(300)
        # A weight decay that moves weights by a tenth of a step shows if it went astray.
        kw = dict(lr=0.001, weight_decay=0.01 if t != 2 else 20.0, loss_decreased=t != 1)
        for layer in (cpu, flagged):
            layer.grad_weight, layer.grad_bias = gw.clone(), gb.clone()
            with torch.no_grad():
                layer.update_from_gradient(**kw)
        diff = (cpu.weight_int8.int() - flagged.weight_int8.int()).abs()
        assert diff.max() <= 1 and diff.sum() <= n // 1000, diff.sum()
        assert torch.equal(cpu.prev_signs, flagged.prev_signs)
        # The kernel forms 1 - var_beta in float32, the layer in double: 1.3e-5 apart.
        assert torch.allclose(cpu.variance, flagged.variance, rtol=2e-5, atol=0)
        assert not torch.equal(cpu.variance, flagged.variance)
        assert torch.equal(cpu.bias, flagged.bias)  # the same torch arithmetic
        flagged.load_state_dict(cpu.state_dict())
    assert torch.equal(flagged.dequantized_weight(), cpu.dequantized_weight())
