"""Sign-and-scale compression against a vectorised torch/numpy version of the same rules
and against a plain copy, all measured in this run on one thread.

Goal: compress and decompress each at least 15x faster than the vectorised version, and
within 2x of tensor.clone().

Then a row per boundary codec (encode_boundary / decode_boundary of the same tensor), each
timed against tensor.clone() in this run; goal: each within 1.5x of the copy."""
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

import numpy as np  # noqa: E402
import torch  # noqa: E402

from korvane.carrowel import (CODECS, CompressedTensor, compress_tensor, decode_boundary,  # noqa: E402
                              decompress_tensor, encode_boundary)

GROUP = 64


def torch_compress(tensor, group_size=GROUP):
    """The rules step by step in torch alone."""
    flat = tensor.detach().cpu().float().flatten()
    pad = (-flat.numel()) % group_size
    if pad:
        flat = torch.cat([flat, flat.new_zeros(pad)])
    scales = flat.view(-1, group_size).abs().max(dim=1).values.half()
    flags = (flat >= 0).to(torch.uint8)
    flags = torch.cat([flags, flags.new_zeros((-flags.numel()) % 8)]).view(-1, 8)
    signs = (flags << torch.arange(8, dtype=torch.uint8)).sum(dim=1, dtype=torch.uint8)
    return CompressedTensor(scales, signs, list(tensor.shape), group_size, False)


def torch_decompress(c):
    n = c.num_elements()
    signs = torch.from_numpy(c.signs.copy())  # the record hands out read-only arrays
    bits = ((signs.unsqueeze(1) >> torch.arange(8, dtype=torch.uint8)) & 1).flatten()
    padded = -(-n // c.group_size) * c.group_size
    signs_flat = bits[:padded].float() * 2 - 1
    scales = torch.from_numpy(c.scales.copy()).float().unsqueeze(1)
    return (signs_flat.view(-1, c.group_size) * scales).flatten()[:n].reshape(c.shape)


def reference_compress(tensor, group_size=GROUP):
    """torch for the scales, numpy's packbits for the sign bits: the fastest vectorised form we know."""
    flat = tensor.detach().cpu().float().flatten()
    pad = (-flat.numel()) % group_size
    if pad:
        flat = torch.cat([flat, flat.new_zeros(pad)])
    scales = flat.view(-1, group_size).abs().max(dim=1).values.half().numpy()
    flags = (flat >= 0).numpy()
    signs = np.packbits(flags, bitorder="little")
    return CompressedTensor(scales, signs, list(tensor.shape), group_size, False)


def reference_decompress(c):
    n = c.num_elements()
    signs = np.unpackbits(c.signs, bitorder="little").astype(np.float32) * 2 - 1
    out = (signs.reshape(-1, c.group_size) * c.scales.astype(np.float32)[:, None]).reshape(-1)[:n]
    return torch.from_numpy(out).reshape(c.shape)


def median_seconds(fn, repeats, inner):
    fn()  # warm up allocators and caches
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


def main():
    torch.set_num_threads(1)
    torch.manual_seed(0)
    x = torch.randn(2, 512, 768)

    ours = compress_tensor(x)
    ref = reference_compress(x)
    if ours != ref:
        sys.exit("compress_tensor disagrees with the reference")
    if not torch.equal(decompress_tensor(ours), reference_decompress(ours)):
        sys.exit("decompress_tensor disagrees with the reference")
    if torch_compress(x) != ours or not torch.equal(torch_decompress(ours), decompress_tensor(ours)):
        sys.exit("the torch-only reference disagrees")

    t_copy = median_seconds(lambda: x.clone(), 31, 20)
    t_c = median_seconds(lambda: compress_tensor(x), 31, 20)
    t_c_ref = median_seconds(lambda: reference_compress(x), 15, 3)
    t_d = median_seconds(lambda: decompress_tensor(ours), 31, 20)
    t_d_ref = median_seconds(lambda: reference_decompress(ours), 15, 3)
    t_c_torch = median_seconds(lambda: torch_compress(x), 15, 3)
    t_d_torch = median_seconds(lambda: torch_decompress(ours), 15, 3)

    small = torch.randn(64)
    small_c = compress_tensor(small)
    t_small_c = median_seconds(lambda: compress_tensor(small), 31, 2000)
    t_small_d = median_seconds(lambda: decompress_tensor(small_c), 31, 2000)
    t_small_copy = median_seconds(lambda: small.clone(), 31, 2000)

    us = 1e6
    print(f"tensor [2, 512, 768] float32, group_size {GROUP}, torch threads 1 (median)")
    print(f"  copy (clone)            {t_copy * us:9.1f} us")
    print(f"  compress_tensor         {t_c * us:9.1f} us   reference {t_c_ref * us:9.1f} us   "
          f"{t_c_ref / t_c:6.1f}x faster   {t_c / t_copy:5.2f}x copy")
    print(f"  decompress_tensor       {t_d * us:9.1f} us   reference {t_d_ref * us:9.1f} us   "
          f"{t_d_ref / t_d:6.1f}x faster   {t_d / t_copy:5.2f}x copy")
    print(f"  torch-only reference:   compress {t_c_torch * us:9.1f} us ({t_c_torch / t_c:6.1f}x ours)   "
          f"decompress {t_d_torch * us:9.1f} us ({t_d_torch / t_d:6.1f}x ours)")
    print("tensor [64] float32, per call")
    print(f"  compress_tensor {t_small_c * us:6.2f} us   decompress_tensor {t_small_d * us:6.2f} us   "
          f"clone {t_small_copy * us:6.2f} us")
    for name, ref_t, ours_t in (("compress", t_c_ref, t_c), ("decompress", t_d_ref, t_d)):
        met = ref_t / ours_t >= 15 and ours_t / t_copy <= 2
        print(f"goal for {name} (>= 15x the torch+numpy reference, <= 2x copy):", "met" if met else "NOT met")
    codec_rows(x, t_copy)


def codec_rows(x, t_copy):
    """encode_boundary / decode_boundary per codec against a copy of the float32 input."""
    us = 1e6
    print(f"boundary codecs on [2, 512, 768] float32; copy (clone) {t_copy * us:.1f} us")
    print(f"  {'codec':14s} {'bytes':>9s} {'vs fp32':>8s} {'encode us':>10s} {'x copy':>7s} {'decode us':>10s} {'x copy':>7s}")
    worst = 0.0
    for codec in CODECS:
        body = encode_boundary(x, codec)
        t_e = median_seconds(lambda: encode_boundary(x, codec), 31, 20)
        t_d = median_seconds(lambda: decode_boundary(body, codec), 31, 20)
        worst = max(worst, t_e / t_copy, t_d / t_copy)
        print(f"  {codec:14s} {len(body):9d} {4 * x.numel() / len(body):7.2f}x {t_e * us:10.1f} {t_e / t_copy:6.2f}x "
              f"{t_d * us:10.1f} {t_d / t_copy:6.2f}x")
    print(f"goal for the codecs (each within 1.5x of copy): {'met' if worst <= 1.5 else 'NOT met'} (worst {worst:.2f}x)")


if __name__ == "__main__":
    main()
