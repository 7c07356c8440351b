"""Boundary codecs as the trainer's Python side sees them: encode_boundary, decode_boundary
and codec_round_trip over real tensors, structures of them, and bodies that lie."""
import math

import pytest
import torch

from korvane import carrowel
from korvane.carrowel import CODECS, codec_round_trip, compress_tensor, decode_boundary, encode_boundary

QUANTISING = {"int8": (64, 127.0), "int4": (64, 7.0), "int2": (128, 1.5)}
FLOATS = ("bf16", "fp16", "fp32")


def scales(body, entry_offset, groups):
    """The binary16 scales of a single-tensor message's entry."""
    raw = body[entry_offset:entry_offset + 2 * groups]
    return torch.frombuffer(bytearray(raw), dtype=torch.float16).float()


def test_codec_names():
    assert CODECS[0] == "sign"
    assert {"sign", "int8", "int4", "bf16", "fp16", "fp32", "int2", "int2-hadamard", "int2-hadamard-rms"} == set(CODECS)
    with pytest.raises(ValueError, match=r"unknown codec 'int3' \(known: sign, int8"):
        encode_boundary(torch.ones(3), "int3")
    with pytest.raises(TypeError, match="codec must be a codec name"):
        encode_boundary(torch.ones(3), 8)


@pytest.mark.parametrize("codec", sorted(QUANTISING))
@pytest.mark.parametrize("shape", [(1,), (3, 100), (2, 64), (257,), (0, 5), ()])
def test_quantising_round_trip_within_half_a_step(codec, shape):
    torch.manual_seed(len(shape) + sum(shape))
    group, levels = QUANTISING[codec]
    x = torch.randn(shape) * torch.logspace(-3, 3, max(1, math.prod(shape))).reshape(shape) if math.prod(shape) else torch.randn(shape)
    body = encode_boundary(x, codec)
    y = decode_boundary(body, codec)
    assert y.dtype == torch.float32 and y.shape == x.shape and not y.requires_grad
    n = x.numel()
    if n == 0:
        return
    groups = (n + group - 1) // group
    header = 12 + 1 + 1 + 4 + 8 * len(shape) + 4 + 8  # the message header, then the entry's fields
    step = (scales(body, header, groups) / levels).repeat_interleave(group)[:n]
    err = (x.flatten() - y.flatten()).abs()
    assert bool((err <= step / 2 * (1 + 1e-6) + 1e-30).all()), (err / step).max()


def test_the_scale_is_the_group_maximum_rounded_up_to_binary16():
    top = 1 + 2**-12  # nearest binary16 is 1.0, below it: the outermost element would fall past the last level
    x = torch.tensor([0.1, -top, 0.2] + [0.0] * 61)
    body = encode_boundary(x, "int8")
    assert scales(body, 12 + 1 + 1 + 4 + 8 + 4 + 8, 1)[0].item() == 1 + 2**-10
    assert abs(decode_boundary(body, "int8")[1].item() + top) <= (1 + 2**-10) / 254


@pytest.mark.parametrize("codec", FLOATS)
def test_float_codecs_keep_the_senders_type(codec):
    x = torch.randn(5, 7)
    for dtype in (torch.float32, torch.float16, torch.bfloat16, torch.float64):
        y = decode_boundary(encode_boundary(x.to(dtype), codec), codec)
        assert y.dtype == dtype
        wire = {"bf16": torch.bfloat16, "fp16": torch.float16, "fp32": torch.float32}[codec]
        assert torch.equal(y, x.to(dtype).to(wire).to(dtype))
    # Same type on the wire: the bytes are the elements.
    h = x.half()
    assert encode_boundary(h, "fp16")[-h.numel() * 2:] == h.numpy().tobytes()


def test_values_a_codec_cannot_carry():
    for codec in ("int8", "int4", "int2", "int2-hadamard", "int2-hadamard-rms"):
        for bad in (float("nan"), float("inf"), -float("inf")):
            with pytest.raises(ValueError, match=rf"the {codec} codec cannot carry element 3 of the tensor .*NaN or infinity"):
                encode_boundary(torch.tensor([1.0, 2.0, 3.0, bad]), codec)
    for codec in ("int8", "int4", "int2"):
        group = 128 // QUANTISING[codec][0]
        with pytest.raises(ValueError, match=rf"the {codec} codec cannot carry group {group} .*65504"):
            encode_boundary(torch.cat([torch.ones(128), torch.tensor([-7e4])]), codec)
        assert decode_boundary(encode_boundary(torch.tensor([65504.0, 1.0]), codec), codec)[0].item() == pytest.approx(65504)
    with pytest.raises(ValueError, match=r"the fp16 codec cannot carry element 1 of entry 'h' .*65504"):
        encode_boundary({"h": torch.tensor([1.0, 1e5])}, "fp16")
    # What fp16, bf16 and fp32 can represent they carry, infinities and NaN included.
    special = torch.tensor([float("inf"), -float("inf"), float("nan"), 1e30])
    for codec in FLOATS:
        y = decode_boundary(encode_boundary(special[:3], codec), codec)
        assert y[0] == math.inf and y[1] == -math.inf and math.isnan(y[2])
    assert decode_boundary(encode_boundary(special, "bf16"), "bf16")[3].item() == pytest.approx(1e30, rel=1e-2)
    # sign keeps its infinite scale.
    assert decode_boundary(encode_boundary(torch.tensor([-7e4, 1.0]))).tolist() == [-math.inf, math.inf]


def test_sign_single_tensor_is_todays_record_byte_for_byte():
    for x in (torch.randn(3, 100), torch.randn(()), torch.zeros(0, 3), torch.randn(4, 4, dtype=torch.float64),
              torch.randn(8, 8).t(), torch.randn(70, requires_grad=True)):
        for backward in (False, True):
            body = encode_boundary(x, "sign", is_backward=backward)
            assert body == compress_tensor(x, 64, backward).to_bytes()
            assert torch.equal(decode_boundary(body, is_backward=backward), carrowel.decompress_tensor(
                carrowel.CompressedTensor.from_bytes(body)))


@pytest.mark.parametrize("codec", CODECS)
def test_structures_round_trip_with_integers_and_bools_exact(codec):
    torch.manual_seed(1)
    hidden = torch.randn(2, 8, 16)
    mask = torch.rand(2, 8) > 0.5
    ids = torch.tensor([[0, -1, 2**62, -(2**63)]], dtype=torch.int64)
    small = torch.tensor([-128, 127], dtype=torch.int8)
    for value in ((hidden, mask, None, ids), [hidden, small], {"x": hidden, "mask": mask, "skip": None},
                  (), {}, (None,)):
        for backward in (False, True):
            out = decode_boundary(encode_boundary(value, codec, backward), codec, backward)
            assert type(out) is type(value)
            items = list(out.items()) if isinstance(out, dict) else list(enumerate(out))
            sent = list(value.items()) if isinstance(value, dict) else list(enumerate(value))
            assert [k for k, _ in items] == [k for k, _ in sent]
            for (_, got), (_, want) in zip(items, sent):
                if want is None:
                    assert got is None
                elif want.is_floating_point():
                    assert got.shape == want.shape and got.dtype in (torch.float32, want.dtype)
                    if codec == "fp32":
                        assert torch.equal(got, want)
                else:
                    assert got.dtype == want.dtype and torch.equal(got, want)


def test_sign_with_integers_or_structures_uses_the_message_form():
    ids = torch.arange(5)
    body = encode_boundary(ids)
    assert body[:4] == b"KVBM"
    assert torch.equal(decode_boundary(body), ids)  # lossless, where a sign record would have lost it


def test_a_message_refuses_the_wrong_codec_and_direction():
    x = torch.randn(10)
    with pytest.raises(ValueError, match=r"coded with 'int4', but codec 'int8' was expected"):
        decode_boundary(encode_boundary(x, "int4"), "int8")
    with pytest.raises(ValueError, match=r"coded with 'int8', but codec 'sign' was expected"):
        decode_boundary(encode_boundary((x,), "int8"), "sign")
    with pytest.raises(ValueError, match=r"a sign record \(codec 'sign'\), but codec 'fp32' was expected"):
        decode_boundary(encode_boundary(x), "fp32")
    with pytest.raises(ValueError, match="carries a gradient where an activation was expected"):
        decode_boundary(encode_boundary(x, "fp16", is_backward=True), "fp16", is_backward=False)


def test_malformed_bodies_are_value_errors():
    value = {"h": torch.randn(3, 70), "ids": torch.arange(4), "none": None, "m": torch.ones(2, dtype=torch.bool)}
    for codec in ("int4", "int2-hadamard", "sign"):
        body = encode_boundary(value, codec)
        for cut in range(len(body)):
            with pytest.raises(ValueError):
                decode_boundary(body[:cut], codec)
        with pytest.raises(ValueError, match="follow the last entry"):
            decode_boundary(body + b"\0", codec)
        # Any single corrupted header or length byte: an error or a value, never a crash.
        for at in range(0, min(len(body), 80)):
            for flip in (0x01, 0x80, 0xff):
                bad = bytearray(body)
                bad[at] ^= flip
                try:
                    decode_boundary(bytes(bad), codec)
                except ValueError:
                    pass
    body = bytearray(encode_boundary({"a": torch.ones(1), "b": torch.ones(1)}, "fp32"))
    body[body.index(b"b")] = ord("a")
    with pytest.raises(ValueError, match="the dict key 'a' appears twice"):
        decode_boundary(bytes(body), "fp32")
    body[body.index(b"a", 20)] = 0xff
    with pytest.raises(ValueError, match="not UTF-8"):
        decode_boundary(bytes(body), "fp32")
    with pytest.raises(TypeError, match="expects bytes"):
        decode_boundary("KVBM", "fp32")


def test_values_that_are_not_boundary_values():
    with pytest.raises(TypeError, match="entry 1 of the tuple is a tuple"):
        encode_boundary((torch.ones(2), (torch.ones(2),)), "int8")
    with pytest.raises(TypeError, match="dict keys must be str"):
        encode_boundary({1: torch.ones(2)}, "int8")
    with pytest.raises(TypeError, match="the value is None"):
        encode_boundary(None, "int8")
    with pytest.raises(TypeError, match="cannot be of type ComplexFloat"):
        encode_boundary(torch.ones(2, dtype=torch.complex64), "fp32")
    with pytest.raises(TypeError, match="is a list"):
        encode_boundary([[1.0]], "int8")


def test_codec_round_trip_inserts_the_codec_in_one_process():
    x = torch.randn(4, 64, requires_grad=True)
    y = codec_round_trip(x, "int4")
    assert y.shape == x.shape and y.dtype == torch.float32 and not y.requires_grad
    assert torch.equal(y, decode_boundary(encode_boundary(x, "int4"), "int4"))
    assert torch.equal(codec_round_trip(x, "fp32"), x.detach())
    pair = codec_round_trip((x, torch.arange(3)), "int8")
    assert isinstance(pair, tuple) and torch.equal(pair[1], torch.arange(3))


def test_bytes_per_element():
    x = torch.randn(128 * 1024)
    sizes = {codec: len(encode_boundary(x, codec)) for codec in CODECS}
    assert sizes["int4"] < x.numel() * 4 / 7.5
    for codec in ("int2", "int2-hadamard", "int2-hadamard-rms"):
        assert sizes[codec] * 15 <= x.numel() * 4  # 1/15 of float32, scales and header included


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cuda_tensors_cross():
    x = torch.randn(3, 70, device="cuda")
    for codec in CODECS:
        y = decode_boundary(encode_boundary((x, None), codec), codec, device="cuda")
        assert y[0].device.type == "cuda" and y[0].shape == x.shape
    assert codec_round_trip(x, "fp32").device == x.device
