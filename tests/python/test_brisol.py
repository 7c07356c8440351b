"""korvane.brisol on a machine without a GPU: loading, the kernel sources and their NVRTC
compilation, the holder's construction, its argument checks and the self-test program."""
import os
import pathlib
import re
import subprocess
import sys

import pytest
import torch

import korvane.brisol as brisol
from korvane.brisol import _brisol

ROOT = pathlib.Path(__file__).resolve().parents[2]
KERNEL_NAMES = ("int8_quantize", "int8_dequantize", "grad_compress", "fused_update")
FACILITIES = _brisol._facilities()
no_driver = pytest.mark.skipif(FACILITIES["driver_ready"], reason="a CUDA driver is present")
needs_nvrtc = pytest.mark.skipif(not FACILITIES["nvrtc_loaded"], reason="NVRTC not found")


def run_python(*args):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env,
                          cwd=ROOT, timeout=120)


def test_sources_are_the_kernel_files_in_order():
    sources = brisol._get_kernel_sources()
    assert isinstance(sources, tuple) and len(sources) == 4
    for text, name in zip(sources, KERNEL_NAMES):
        assert text == (ROOT / "korvane/brisol/kernels" / f"{name}.cu").read_text()
        assert re.findall(r'extern "C" __global__ void (\w+)', text) == [name]
    assert brisol._get_kernel_sources() == sources


@needs_nvrtc
@pytest.mark.parametrize("arch", ["sm_80", "sm_90"])
def test_nvrtc_compiles_every_kernel(arch):
    for source, name in zip(brisol._get_kernel_sources(), KERNEL_NAMES):
        ptx = _brisol._compile_ptx(source, name, arch)
        assert f".target {arch}" in ptx
        assert re.findall(r"\.entry (\w+)\(", ptx) == [name]


@needs_nvrtc
def test_nvrtc_compiles_without_fma_contraction():
    # The CPU reference comparison relies on plain float32 steps in the update.
    ptx = _brisol._compile_ptx(brisol._get_kernel_sources()[3], "fused_update", "sm_90")
    assert "fma." not in ptx and "div.rn.f32" in ptx and "sqrt.rn.f32" in ptx


@needs_nvrtc
def test_compile_errors_carry_the_nvrtc_log():
    broken = 'extern "C" __global__ void broken(float* x) { x[0] = undeclared_name; }'
    with pytest.raises(RuntimeError, match=r"(?s)broken\.cu.*undeclared_name.*error"):
        _brisol._compile_ptx(broken, "broken", "sm_80")
    with pytest.raises(RuntimeError, match="'int8_quantise' is not defined"):
        _brisol._compile_ptx(brisol._get_kernel_sources()[0], "int8_quantise", "sm_80")
    with pytest.raises(ValueError, match="sm_90 or compute_90"):
        _brisol._compile_ptx(brisol._get_kernel_sources()[0], "int8_quantize", "ampere")


@no_driver
def test_loads_quietly_without_a_driver():
    result = run_python("-c", "import korvane.brisol as b; print(b.CUPY_AVAILABLE)")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False\n"
    assert brisol.CUPY_AVAILABLE is False


@no_driver
def test_construction_fails_with_what_is_missing():
    with pytest.raises(RuntimeError) as err:
        brisol.ZEBCuPyKernels()
    message = str(err.value)
    assert "not available" in message and "libcuda.so.1" in message
    assert "install" in message.lower()
    assert brisol.ZEBCuPyKernels._kernels_compiled is False


@no_driver
def test_self_test_without_a_driver():
    result = run_python("-m", "korvane.brisol")
    assert result.returncode == 1, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == ["ZEB CuPy Kernels Test", "=" * 50]
    assert len(lines) == 3 and lines[2].startswith("ZEB INT8: GPU kernel library not available")
    assert result.stderr == ""


# Argument checks run before anything touches a GPU, so they can be exercised here with
# CPU tensors on a holder that has not compiled anything yet.
@pytest.fixture
def holder():
    return _brisol._holder_without_kernels()


def fused_args(rows=4, cols=100):
    total = rows * cols
    groups = (total + 63) // 64
    return dict(weight_int8=torch.zeros(rows, cols, dtype=torch.int8),
                weight_scale=torch.ones(rows), grad_scales=torch.ones(groups),
                grad_signs=torch.zeros(groups * 8, dtype=torch.uint8),
                prev_signs=torch.zeros(total, dtype=torch.int8), variance=torch.zeros(total),
                rows=rows, cols=cols, lr=0.01)


def test_quantize_rejects_cpu_tensors_with_an_assertion(holder):
    with pytest.raises(AssertionError, match="^Tensor must be on CUDA$"):
        holder.quantize_int8(torch.randn(4, 8))
    with pytest.raises(AssertionError, match="^Tensor must be on CUDA$"):
        holder.quantize_int8(torch.randn(4, 8, dtype=torch.float64))


def test_compress_gradient_checks(holder):
    with pytest.raises(TypeError, match="grad must be torch.float32, got torch.float64"):
        holder.compress_gradient(torch.randn(64, dtype=torch.float64))
    with pytest.raises(ValueError, match="contiguous"):
        holder.compress_gradient(torch.randn(8, 16).t())
    with pytest.raises(ValueError, match="must be a CUDA tensor, got one on cpu"):
        holder.compress_gradient(torch.randn(8, 16))


def test_dequantize_checks(holder):
    q, s = torch.zeros(4, 8, dtype=torch.int8), torch.ones(4)
    cases = [
        ((q, s, (4, 8, 1)), ValueError, r"shape must be \(rows, cols\)"),
        ((q, s, (-4, -8)), ValueError, "must not be negative"),
        ((q, s, (4, 9)), ValueError, "int8_data has 32 elements, expected 36"),
        ((q, torch.ones(3), (4, 8)), ValueError, "scales has 3 elements, expected 4"),
        ((q.to(torch.int16), s, (4, 8)), TypeError, "int8_data must be torch.int8, got torch.int16"),
        ((q, s.double(), (4, 8)), TypeError, "scales must be torch.float32"),
        ((q.t(), torch.ones(8), (8, 4)), ValueError, "int8_data must be contiguous"),
        ((q, s, (1 << 16, 1 << 16)), ValueError, "more than the kernels can index"),
        ((q, s, (4, 8)), ValueError, "int8_data must be a CUDA tensor"),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=message):
            holder.dequantize_int8(*args)


def test_fused_update_checks_every_buffer(holder):
    args = fused_args()
    short = dict(args, variance=torch.zeros(399))
    with pytest.raises(ValueError, match="variance has 399 elements, expected 400"):
        holder.fused_weight_update(**short)
    cases = [
        (dict(rows=0), ValueError, "rows and cols must be positive"),
        (dict(cols=-3), ValueError, "rows and cols must be positive"),
        (dict(rows=1 << 16, cols=1 << 16), ValueError, "more than the kernels can index"),
        (dict(weight_int8=torch.zeros(4, 99, dtype=torch.int8)), ValueError,
         "weight_int8 has 396 elements, expected 400"),
        (dict(weight_scale=torch.ones(3)), ValueError, "weight_scale has 3 elements"),
        (dict(grad_scales=torch.ones(6)), ValueError, "grad_scales has 6 elements, expected 7"),
        (dict(grad_signs=torch.zeros(50, dtype=torch.uint8)), ValueError,
         "grad_signs has 50 elements, expected 56"),
        (dict(prev_signs=torch.zeros(400, dtype=torch.int32)), TypeError,
         "prev_signs must be torch.int8, got torch.int32"),
        (dict(variance=torch.zeros(400, dtype=torch.float64)), TypeError,
         "variance must be torch.float32, got torch.float64"),
        (dict(variance=torch.zeros(800)[::2]), ValueError, "variance must be contiguous"),
        (dict(grad_signs=torch.zeros(56, dtype=torch.int8)), TypeError, "grad_signs must be torch.uint8, got torch.int8"),
    ]
    for change, error, message in cases:
        with pytest.raises(error, match=message):
            holder.fused_weight_update(**dict(args, **change))


def test_fused_update_refuses_shared_buffers(holder):
    args = fused_args()
    weights = args["weight_int8"]
    with pytest.raises(ValueError, match="weight_int8 and prev_signs share memory"):
        holder.fused_weight_update(**dict(args, prev_signs=weights.view(-1)))
    variance = torch.zeros(401)
    with pytest.raises(ValueError, match="variance and grad_scales share memory"):
        holder.fused_weight_update(**dict(args, variance=variance[:400],
                                          grad_scales=variance[394:]))
    with pytest.raises(ValueError, match="weight_int8 must be a CUDA tensor"):
        holder.fused_weight_update(**args)
    assert not args["variance"].any() and not weights.any()
