"""The int8 operators (torch.ops.korvane.int8_*) on the CPU: against the reference
arithmetic, their refusals, and the dispatcher as the layer's way to them."""
import pytest
import torch

import brisol_reference
import int8_reference as ref
import korvane.zeb_trainable_int8 as zeb
from korvane.zeb_trainable_int8 import ZEBTrainableLinear

pytestmark = pytest.mark.skipif(not zeb.OPS_AVAILABLE, reason="korvane._int8_ops not built")
ops = torch.ops.korvane


def test_constants_are_the_reference_numbers():
    from korvane import _int8_ops
    got = (_int8_ops.GROUP_SIZE, _int8_ops.QMAX, _int8_ops.SIGN_BOOST, _int8_ops.SIGN_BRAKE, _int8_ops.VAR_BETA,
           _int8_ops.VAR_EPS, _int8_ops.SCALE_FLOOR)
    assert got == (ref.GROUP_SIZE, ref.QMAX, ref.SIGN_BOOST, ref.SIGN_BRAKE, ref.VAR_BETA, ref.VAR_EPS, 1e-10)
    assert (zeb.SIGN_BOOST, zeb.VAR_BETA, zeb.GROUP_SIZE) == (1.3, 0.999, 64)


@pytest.mark.parametrize("rows, cols", [(5, 70), (1, 1), (64, 300), (3, 0)])
def test_quantize_and_dequantize_are_the_torch_arithmetic_bit_for_bit(rows, cols):
    torch.manual_seed(rows + cols)
    w = torch.randn(rows, cols) * 3
    if rows > 1 and cols > 2:
        w[1] = 0.0  # an all-zero row keeps the floor as its scale
        w[0, :3] = torch.tensor([2.54, -1.27, 0.01])
    q, s = ops.int8_quantize(w)
    if cols:
        want_q, want_s = ref.quantize_rows(w)
        assert torch.equal(q, want_q) and torch.equal(s, want_s)
    else:
        assert torch.equal(s, torch.full((rows,), 1e-10))
    assert torch.equal(ops.int8_dequantize(q, s), q.float() * s[:, None])


def test_quantize_rounds_ties_to_even_and_never_gives_minus_128():
    w = torch.tensor([[127.0, 0.5, 1.5, 2.5, -0.5, -127.0, -126.5]])
    q, s = ops.int8_quantize(w)
    assert s.tolist() == pytest.approx([1.0])
    assert q.tolist() == [[127, 0, 2, 2, 0, -127, -126]]


@pytest.mark.parametrize("n", [100, 64, 1, 0, 256 * 768])
def test_compress_gradient_is_the_kernels_format(n):
    torch.manual_seed(n)
    g = torch.randn(n)
    if n >= 100:
        g[70:75] = -0.0  # counts as positive
        g[80:90] = 0.0
    scales, signs = ops.int8_compress_gradient(g)
    want_scales, want_signs = brisol_reference.compress_gradient(g)
    assert signs.dtype == torch.uint8 and torch.equal(signs, want_signs)  # bits past the end clear
    assert torch.allclose(scales, want_scales, rtol=1e-6, atol=0)  # summed in another order
    # On a grid where every sum is exact, the order no longer matters.
    exact = torch.randint(-2000, 2001, (n,)).float() / 1024
    assert torch.equal(ops.int8_compress_gradient(exact)[0], brisol_reference.compress_gradient(exact)[0])


def test_compress_gradient_of_a_matrix_is_that_of_its_rows_in_order():
    g = torch.randn(7, 33)
    a, b = ops.int8_compress_gradient(g), ops.int8_compress_gradient(g.reshape(-1))
    assert torch.equal(a[0], b[0]) and torch.equal(a[1], b[1])


def layer_args(rows=8, cols=16):
    layer = ZEBTrainableLinear(cols, rows)
    return [layer.weight_int8, layer.weight_scale, torch.zeros(rows, cols), layer.prev_signs, layer.variance,
            layer.bias, torch.zeros(rows), layer.bias_prev_signs, layer.bias_variance, 0.01, 0.01]


@pytest.mark.parametrize("index, bad, error, message", [
    (2, torch.zeros(8, 16, dtype=torch.float64), TypeError, "grad_weight must be torch.float32, got torch.float64"),
    (2, torch.zeros(8, 15), ValueError, "grad_weight has 120 elements, expected 128"),
    (2, torch.zeros(16, 8).T, ValueError, "grad_weight must be contiguous"),
    (4, torch.zeros(16, 8).T, ValueError, "variance must be contiguous"),
    (3, torch.zeros(8, 16, dtype=torch.uint8), TypeError, "prev_signs must be torch.int8, got torch.uint8"),
    (1, torch.zeros(9), ValueError, "weight_scale has 9 elements, expected 8"),
    (0, torch.zeros(128, dtype=torch.int8), ValueError, "weight_int8 must be 2-D"),
])
def test_fused_update_refuses_wrong_arguments_and_touches_nothing(index, bad, error, message):
    args = layer_args()
    before = [a.clone() for a in args if isinstance(a, torch.Tensor) and a.device.type == "cpu"]
    args[index] = bad
    with pytest.raises(error, match="int8_fused_update: " + message):
        ops.int8_fused_update(*args)
    after = [a for a in args if isinstance(a, torch.Tensor) and a.device.type == "cpu"]
    assert all(torch.equal(x, y) for x, y in zip(before, after) if x.shape == y.shape)


def test_the_other_operators_refuse_wrong_arguments():
    q, s = ops.int8_quantize(torch.randn(8, 16))
    with pytest.raises(TypeError, match="int8_dequantize: weight_scale must be torch.float32"):
        ops.int8_dequantize(q, s.double())
    with pytest.raises(ValueError, match="int8_dequantize: weight_scale has 7 elements, expected 8"):
        ops.int8_dequantize(q, s[:7])
    with pytest.raises(TypeError, match="int8_quantize: weight must be torch.float32, got torch.float16"):
        ops.int8_quantize(torch.randn(8, 16).half())
    with pytest.raises(ValueError, match="int8_quantize: weight must be 2-D"):
        ops.int8_quantize(torch.randn(8, 16, 2))
    with pytest.raises(ValueError, match="int8_compress_gradient: grad must be contiguous"):
        ops.int8_compress_gradient(torch.randn(8, 16).T)
    # A device without kernels of its own is refused by the dispatcher, naming it.
    with pytest.raises(NotImplementedError, match="korvane::int8_quantize.*'(Autograd)?Meta' backend"):
        ops.int8_quantize(torch.zeros(8, 16, device="meta"))


def test_the_layer_reaches_its_operators_through_the_dispatcher():
    for name in ("int8_quantize", "int8_dequantize", "int8_compress_gradient", "int8_fused_update"):
        assert torch._C._dispatch_has_kernel_for_dispatch_key(f"korvane::{name}", "CPU"), name
    layer = ZEBTrainableLinear(16, 16)
    with torch.autograd.profiler.profile() as prof:
        layer(torch.randn(2, 16))
        layer.backward_zeb(torch.randn(2, 16))
        layer.update_from_gradient(lr=0.01)
        layer.load_weight(torch.randn(16, 16))
    names = {e.name for e in prof.function_events}
    assert {"korvane::int8_fused_update", "korvane::int8_dequantize", "korvane::int8_quantize"} <= names
    assert layer.update_count == 0  # load_weight reset the state the update had built


def test_without_the_operator_module_the_layer_says_how_to_build_it(monkeypatch):
    monkeypatch.setattr(zeb, "_int8_ops", None)
    with pytest.raises(RuntimeError, match=r"korvane\._int8_ops.*make build"):
        ZEBTrainableLinear(4, 4)
