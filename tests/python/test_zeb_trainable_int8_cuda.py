"""The int8 layer on a GPU: its operators' CUDA kernels (brisol's) quantise, dequantise,
compress and update, and must agree with its CPU path up to float rounding
(one int8 step where a weight sits halfway between two). Skipped without a usable GPU."""
import copy

import pytest
import torch

import brisol_reference as ref
import korvane.brisol as brisol
import korvane.zeb_trainable_int8 as zeb
from korvane.zeb_trainable_int8 import ZEBTrainableLinear, quantize_rows

pytestmark = pytest.mark.skipif(not (torch.cuda.is_available() and brisol.CUPY_AVAILABLE),
                                reason="needs a CUDA device and the brisol kernels")


def pair(rows, cols, seed, use_brisol=True):
    torch.manual_seed(seed)
    cpu = ZEBTrainableLinear(cols, rows)
    gpu = copy.deepcopy(cpu).to("cuda")
    gpu.use_brisol = use_brisol
    return cpu, gpu


def assert_agree(cpu, gpu, n_weights):
    # A weight lands one step apart only within about 1e-5 of its step size of halfway
    # between two steps: a few per ten thousand at these step sizes.
    diff = (cpu.weight_int8.int() - gpu.weight_int8.cpu().int()).abs()
    assert diff.max() <= 1 and diff.sum() <= max(2, n_weights // 1000), diff.sum()
    assert torch.equal(cpu.prev_signs, gpu.prev_signs.cpu())
    # The kernel forms 1 - var_beta in float32, the layer in double: 1.3e-5 apart.
    assert torch.allclose(cpu.variance, gpu.variance.cpu(), rtol=2e-5, atol=0)
    assert torch.allclose(cpu.bias, gpu.bias.cpu(), rtol=1e-5, atol=1e-7)
    assert cpu.update_count == gpu.update_count


@pytest.mark.parametrize("rows, cols", [(768, 768), (100, 70), (3, 5)])
def test_brisol_update_agrees_with_the_cpu_update(rows, cols):
    cpu, gpu = pair(rows, cols, seed=rows)
    for t in range(4):
        gw, gb = torch.randn(rows, cols) * 0.1, torch.randn(rows)
        cpu.grad_weight, cpu.grad_bias = gw.clone(), gb.clone()
        gpu.grad_weight, gpu.grad_bias = gw.cuda(), gb.cuda()
        kw = dict(lr=0.001, weight_decay=0.01 if t != 2 else 20.0, loss_decreased=t != 1)
        cpu.update_from_gradient(**kw)
        gpu.update_from_gradient(**kw)
        assert gpu.weight_int8.is_cuda and gpu.grad_weight is None
        assert_agree(cpu, gpu, rows * cols)
        cpu.load_state_dict({k: v.cpu() for k, v in gpu.state_dict().items()})  # same start again


def test_forward_and_backward_on_the_gpu_match_the_cpu():
    cpu, gpu = pair(64, 64, seed=1)
    x, g = torch.randn(4, 9, 64), torch.randn(4, 9, 64)
    assert torch.allclose(cpu(x), gpu(x.cuda()).cpu(), rtol=1e-5, atol=1e-5)
    gx_cpu, gx_gpu = cpu.backward_zeb(g), gpu.backward_zeb(g.cuda())
    assert torch.allclose(gx_cpu, gx_gpu.cpu(), rtol=1e-5, atol=1e-5)
    assert torch.allclose(cpu.grad_weight, gpu.grad_weight.cpu(), rtol=1e-4, atol=1e-4)
    assert torch.equal(cpu.dequantized_weight(), gpu.dequantized_weight().cpu())


def test_from_linear_quantises_on_the_gpu_like_the_cpu():
    torch.manual_seed(2)
    linear = torch.nn.Linear(300, 40).cuda()
    layer = ZEBTrainableLinear.from_linear(linear, use_brisol=True)
    q, s = quantize_rows(linear.weight.cpu())
    assert layer.weight_int8.is_cuda
    assert torch.equal(layer.weight_int8.cpu(), q) and torch.equal(layer.weight_scale.cpu(), s)


def test_without_the_flag_a_gpu_layer_runs_the_same_operators():
    cpu, gpu = pair(128, 96, seed=3, use_brisol=False)
    gw, gb = torch.randn(128, 96), torch.randn(128)
    cpu.grad_weight, cpu.grad_bias = gw.clone(), gb.clone()
    gpu.grad_weight, gpu.grad_bias = gw.cuda(), gb.cuda()
    gpu(torch.randn(2, 96, device="cuda"))
    cpu.update_from_gradient(lr=0.01)
    gpu.update_from_gradient(lr=0.01)
    assert_agree(cpu, gpu, 128 * 96)


def test_brisol_update_drops_a_non_finite_gradient():
    _, gpu = pair(16, 64, seed=4)
    before = copy.deepcopy(gpu.state_dict())
    gpu.grad_weight = torch.zeros(16, 64, device="cuda")
    gpu.grad_weight[15, 63] = float("nan")
    gpu.grad_bias = torch.zeros(16, device="cuda")
    gpu.update_from_gradient(lr=0.01)
    for name, value in gpu.state_dict().items():
        assert torch.equal(value, before[name]), name
    assert gpu.update_count == 0


def test_fused_update_weight_decay_matches_the_reference():
    k = brisol.ZEBCuPyKernels()
    torch.manual_seed(5)
    rows, cols = 33, 100
    w, ws = k.quantize_int8(torch.randn(rows, cols, device="cuda"))
    prev = torch.zeros(rows * cols, dtype=torch.int8, device="cuda")
    var = torch.zeros(rows * cols, device="cuda")
    for wd in (0.0, 0.01, 15.0):
        gs, gb = k.compress_gradient(torch.randn(rows, cols, device="cuda"))
        expect = ref.fused_update(w.cpu(), ws.cpu(), gs.cpu(), gb.cpu(), prev.cpu(), var.cpu(),
                                  rows, cols, 0.0002, weight_decay=wd)
        k.fused_weight_update(w, ws, gs, gb, prev, var, rows, cols, 0.0002, 1.3, 0.7, 0.999, 1e-8, wd)
        assert torch.equal(w.cpu(), expect[0]) and torch.equal(prev.cpu(), expect[1])
        assert torch.equal(var.cpu(), expect[2])


def test_cuda_operators_match_the_cpu_operators():
    ops = torch.ops.korvane
    zeb.require_cuda_operators()
    torch.manual_seed(6)
    w = torch.randn(70, 300)
    q, s = ops.int8_quantize(w.cuda())
    want_q, want_s = ops.int8_quantize(w)
    assert torch.equal(q.cpu(), want_q) and torch.equal(s.cpu(), want_s)
    assert torch.equal(ops.int8_dequantize(q, s).cpu(), ops.int8_dequantize(want_q, want_s))
    g = torch.randn(1000)
    scales, signs = ops.int8_compress_gradient(g.cuda())
    want_scales, want_signs = ops.int8_compress_gradient(g)
    assert torch.equal(signs.cpu(), want_signs) and torch.allclose(scales.cpu(), want_scales, rtol=1e-6)
    with pytest.raises(ValueError, match="int8_dequantize: weight_scale is on cpu but weight_int8 is on cuda"):
        ops.int8_dequantize(q, want_s)
