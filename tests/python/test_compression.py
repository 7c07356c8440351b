"""CompressedTensor, compress_tensor and decompress_tensor as Python sees them, with real
torch tensors, plus the module without torch (in a subprocess that hides it)."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import torch

from korvane import carrowel
from korvane.carrowel import CompressedTensor, compress_tensor, decompress_tensor

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_hand_worked_group_of_four():
    c = compress_tensor(torch.tensor([-3.0, 1.0, 0.0, 2.0]), group_size=4)
    assert c.scales.dtype == np.float16 and c.scales.tolist() == [3.0]
    assert c.signs.dtype == np.uint8 and c.signs.tolist() == [0x0E]
    out = decompress_tensor(c)
    assert out.dtype == torch.float32 and out.tolist() == [-3.0, 3.0, 3.0, 3.0]


def test_padding_and_byte_sharing():
    x = -torch.arange(1.0, 101.0)
    c = compress_tensor(x)
    assert (len(c.scales), len(c.signs)) == (2, 16)
    assert c.scales.tolist() == [64.0, 100.0]
    bits = np.unpackbits(c.signs, bitorder="little")
    assert bits[:100].sum() == 0 and bits[100:].all()  # filler counts as non-negative
    assert len(compress_tensor(torch.ones(64)).signs) == 8

    y = -torch.ones(24)
    y[8] = y[12] = 1.0
    assert compress_tensor(y, 12).signs.tolist() == [0x00, 0x11, 0x00]


def test_zero_nan_negative_zero_and_overflow():
    c = compress_tensor(torch.tensor([-0.0, float("nan"), 0.0, -1e-40]), 4)
    assert c.signs.tolist() == [0b0101]
    assert math.isnan(float(c.scales[0]))
    zeros = decompress_tensor(compress_tensor(torch.zeros(5)))
    assert zeros.tolist() == [0.0] * 5 and not torch.signbit(zeros).any()
    big = compress_tensor(torch.tensor([1.0, -70000.0]))
    assert np.isinf(big.scales[0])
    assert decompress_tensor(big).tolist() == [math.inf, -math.inf]


def test_scalar_and_empty_tensors():
    c = compress_tensor(torch.tensor(-2.5))
    assert c.shape == [] and c.num_elements() == 1 and len(c.signs) == 8
    out = decompress_tensor(c)
    assert out.dim() == 0 and out.item() == -2.5

    e = compress_tensor(torch.zeros(3, 0, 2))
    assert len(e.scales) == 0 and len(e.signs) == 0 and e.num_elements() == 0
    assert len(e.to_bytes()) == 17 + 8 * 3
    with pytest.raises(ZeroDivisionError):
        e.compression_ratio()
    assert decompress_tensor(CompressedTensor.from_bytes(e.to_bytes())).shape == (3, 0, 2)


def reference(x, group_size):
    flat = x.detach().cpu().float().flatten()
    pad = (-flat.numel()) % group_size
    flat = torch.cat([flat, flat.new_zeros(pad)])
    scales = flat.view(-1, group_size).abs().max(dim=1).values.half().numpy()
    return scales, np.packbits((flat >= 0).numpy(), bitorder="little")


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.float16, torch.bfloat16, torch.int32, torch.int8, torch.bool])
def test_any_dtype_matches_a_float32_copy(dtype):
    x = (torch.randn(3, 7, 5) * 10).to(dtype)
    c = compress_tensor(x, 12, is_backward=True)
    scales, signs = reference(x, 12)
    assert c.scales.tobytes() == scales.tobytes() and c.signs.tobytes() == signs.tobytes()
    assert c.shape == [3, 7, 5] and c.group_size == 12 and c.is_backward is True


def test_layouts_and_autograd():
    base = torch.randn(6, 10, requires_grad=True)
    view = base.t()[2:, ::2]  # non-contiguous
    c = compress_tensor(view, 5)
    scales, signs = reference(view, 5)
    assert c.scales.tobytes() == scales.tobytes() and c.signs.tobytes() == signs.tobytes()
    assert compress_tensor(base) == compress_tensor(base.detach().clone())
    assert compress_tensor(base.to_sparse()) == compress_tensor(base)
    out = decompress_tensor(c)
    assert not out.requires_grad and out.grad_fn is None and out.shape == view.shape


def test_round_trip_is_sign_times_group_scale():
    x = torch.randn(4, 33)
    out = decompress_tensor(compress_tensor(x, 12)).flatten()
    flat = x.flatten()
    for g in range(0, flat.numel(), 12):
        s = flat[g:g + 12].abs().max().half().float()
        want = torch.where(flat[g:g + 12] >= 0, s, -s)
        assert torch.equal(out[g:g + 12], want)


def test_decompress_broadcasting_and_short_signs():
    one = CompressedTensor([2.0], [0xFF, 0x00], [16], 8, False)
    assert decompress_tensor(one).tolist() == [2.0] * 8 + [-2.0] * 8
    single_group = CompressedTensor([1.0, 5.0, 7.0], [0x01], [3], 8, False)
    assert decompress_tensor(single_group).tolist() == [1.0, -1.0, -1.0]
    with pytest.raises(ValueError, match="scales cannot serve"):
        decompress_tensor(CompressedTensor([1.0, 2.0, 3.0], [0, 0], [16], 8, False))
    short = CompressedTensor([1.0, 2.0], [0xFF], [16], 8, False)
    assert decompress_tensor(short).tolist() == [1.0] * 8 + [0.0] * 8


def test_decompress_rejects_records_it_cannot_serve():
    with pytest.raises(ZeroDivisionError):
        decompress_tensor(CompressedTensor([1.0], [0xFF], [4], 0, False))
    with pytest.raises(ValueError):
        decompress_tensor(CompressedTensor([1.0], [0xFF], [4], -2, False))
    with pytest.raises(ValueError):
        decompress_tensor(CompressedTensor([1.0], [0xFF], [-1, -4], 4, False))
    with pytest.raises(ValueError, match="sign bytes cover"):
        decompress_tensor(CompressedTensor([1.0], [0xFF], [1 << 45], 64, False))  # would be 128 TiB
    with pytest.raises(OverflowError):
        decompress_tensor(CompressedTensor([1.0], [0xFF], [1 << 40, 1 << 40], 64, False))
    with pytest.raises(RuntimeError):
        decompress_tensor(compress_tensor(torch.ones(3)), device="no-such-device")
    # No element, yet dimensions that multiply beyond any tensor's storage before the zero.
    for shape in ([1 << 62, 4, 0], [1 << 40, 1 << 40, 0]):
        record = CompressedTensor.from_bytes(CompressedTensor([1.0], [], shape, 64, False).to_bytes())
        with pytest.raises(ValueError, match="too large for a tensor"):
            decompress_tensor(record)
    with pytest.raises(TypeError):
        decompress_tensor(b"not a record")


def test_compress_argument_errors():
    x = torch.ones(10)
    with pytest.raises(ZeroDivisionError):
        compress_tensor(x, 0)
    with pytest.raises(ValueError, match="positive"):
        compress_tensor(x, -4)
    with pytest.raises(TypeError):
        compress_tensor(x, 6.0)
    with pytest.raises(TypeError):
        compress_tensor([1.0, 2.0])
    with pytest.raises(TypeError):
        compress_tensor(torch.ones(3, dtype=torch.complex64))


def test_device_argument_accepts_torch_device():
    out = decompress_tensor(compress_tensor(torch.ones(3)), torch.device("cpu"))
    assert out.device.type == "cpu"


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_cuda_tensors():
    x = torch.randn(5, 70, device="cuda")
    c = compress_tensor(x)
    assert c == compress_tensor(x.cpu())
    out = decompress_tensor(c, "cuda")
    assert out.is_cuda and torch.equal(out.cpu(), decompress_tensor(c))


def test_record_fields_and_conversions():
    c = CompressedTensor(scales=np.array([1.5, 65504], dtype=np.float16), signs=bytearray(b"\x01\x02"),
                         shape=(2, 8), group_size=8, is_backward=False)
    assert c.shape == [2, 8] and c.size_bytes() == 6 and c.num_elements() == 16
    assert c.compression_ratio() == 16 * 4 / 6
    with pytest.raises(ValueError):
        c.scales[0] = 3.0  # read-only: changes go through assignment
    c.scales = [3.0, 70000.0]  # Python floats round to binary16, overflow to inf
    assert c.scales.tolist() == [3.0, math.inf]
    c.scales = b"\x00\x3c"  # raw little-endian binary16
    assert c.scales.tolist() == [1.0]
    c.scales = torch.tensor([0.1], dtype=torch.float64)  # rounded once, as numpy does
    assert c.scales.tobytes() == np.array([0.1]).astype(np.float16).tobytes()
    c.signs = torch.tensor([7, 255], dtype=torch.uint8)
    assert c.signs.tolist() == [7, 255]
    c.signs = np.array([1, 2, 3], dtype=np.int64)[::2]
    assert c.signs.tolist() == [1, 3]
    c.shape = torch.Size([4, 4])
    c.group_size = 16
    c.is_backward = True
    assert (c.shape, c.group_size, c.is_backward) == ([4, 4], 16, True)
    assert "shape=[4, 4]" in repr(c) and "group_size=16" in repr(c)
    for bad in ([256], [-1], [1.5], "ab"):
        with pytest.raises((ValueError, TypeError)):
            c.signs = bad
    with pytest.raises(ValueError):
        c.scales = b"\x00"
    with pytest.raises(ValueError):
        c.scales = np.zeros((2, 2), dtype=np.float16)
    with pytest.raises(TypeError):
        CompressedTensor([1.0], [1], [1], 64)  # every field is required


def test_equality_compares_scales_bitwise():
    a = CompressedTensor(b"\x00\x7e", [1], [1], 64, False)  # NaN
    assert a == CompressedTensor(b"\x00\x7e", [1], [1], 64, False)
    assert a != CompressedTensor(b"\x01\x7e", [1], [1], 64, False)  # another NaN
    assert CompressedTensor([0.0], [1], [1], 64, False) != CompressedTensor([-0.0], [1], [1], 64, False)
    assert a != CompressedTensor(b"\x00\x7e", [1], [1], 64, True)
    assert (a == "x") is False


def test_byte_form_round_trip_and_leniency():
    c = compress_tensor(torch.randn(2, 3))
    body = c.to_bytes()
    assert isinstance(body, bytes) and len(body) == 43
    for data in (body, bytearray(body), memoryview(body), body + b"trailing"):
        assert CompressedTensor.from_bytes(data) == c
    flagged = bytearray(body)
    flagged[24] = 2  # is_backward: any non-zero byte means true
    assert CompressedTensor.from_bytes(bytes(flagged)).is_backward is True


def test_byte_form_errors():
    body = compress_tensor(torch.randn(2, 3)).to_bytes()
    with pytest.raises(ValueError):
        CompressedTensor.from_bytes(body[:3])
    with pytest.raises(ValueError, match="scales block is cut short"):
        CompressedTensor.from_bytes(body[:30])
    with pytest.raises(ValueError, match="signs block is cut short"):
        CompressedTensor.from_bytes(body[:-1])
    hostile = (1).to_bytes(4, "little") + (4).to_bytes(8, "little") + (64).to_bytes(4, "little") + b"\x00"
    with pytest.raises(ValueError):
        CompressedTensor.from_bytes(hostile + (0xFFFFFFFF).to_bytes(4, "little"))
    with pytest.raises(TypeError):
        CompressedTensor.from_bytes("text")
    for field, value in (("shape", [2, -3]), ("group_size", -1), ("group_size", 1 << 32)):
        c = compress_tensor(torch.randn(2, 3))
        setattr(c, field, value)
        with pytest.raises(ValueError):
            c.to_bytes()


def test_without_torch_the_record_still_works():
    script = textwrap.dedent("""
        import sys
        sys.modules["torch"] = None  # import torch now raises ImportError
        import korvane.carrowel as k
        assert k.TORCH_AVAILABLE is False
        c = k.CompressedTensor([3.0], [0x0E], [4], 4, False)
        body = c.to_bytes()
        assert len(body) == 17 + 8 + 2 + 1
        assert k.CompressedTensor.from_bytes(body) == c
        assert c.compression_ratio() == 16 / 3
        for fn, arg, msg in ((k.compress_tensor, [1.0], "PyTorch required for tensor compression"),
                             (k.decompress_tensor, c, "PyTorch required for tensor decompression")):
            try:
                fn(arg)
            except ImportError as e:
                assert str(e) == msg, str(e)
            else:
                raise AssertionError("no ImportError")
        print("ok")
    """)
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


def test_module_exports():
    for name in ("CompressedTensor", "compress_tensor", "decompress_tensor", "TORCH_AVAILABLE"):
        assert hasattr(carrowel, name)
    assert carrowel.TORCH_AVAILABLE is True
