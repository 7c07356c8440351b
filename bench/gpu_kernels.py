"""Checks the brisol kernels on this machine's GPU against the CPU reference
(tests/python/brisol_reference.py), then times them against a device-to-device copy of the
same number of bytes. Exit status 1 when a result is wrong; the speed goals are reported.

Run through bench/gpu_check.sh, which builds the module first."""
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import torch  # noqa: E402

import brisol_reference as ref  # noqa: E402
import korvane.brisol as brisol  # noqa: E402

failures = []


def check(what, ok, detail=""):
    print(f"  {'ok  ' if ok else 'FAIL'} {what}" + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def expect_error(what, error, fn):
    try:
        fn()
    except error as e:
        check(what, True)
        return str(e)
    except Exception as e:  # noqa: BLE001
        check(what, False, f"raised {type(e).__name__}: {e}")
    else:
        check(what, False, "no error")


def same(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and torch.equal(a.cpu(), b.cpu())


def check_quantize(k, x, label):
    q, s = k.quantize_int8(x)
    rq, rs = ref.quantize_int8(x.cpu())
    check(f"quantize {label}", same(q, rq) and same(s, rs),
          f"{(q.cpu() != rq).sum().item()} values, {(s.cpu() != rs).sum().item()} scales differ")
    back = k.dequantize_int8(q, s, tuple(x.shape))
    check(f"dequantize {label}", same(back, ref.dequantize_int8(rq, rs, tuple(x.shape))))


def check_compress(k, g, label):
    s, b = k.compress_gradient(g)
    rs, rb = ref.compress_gradient(g.cpu())
    ok = s.shape == rs.shape and torch.allclose(s.cpu(), rs, rtol=2e-6, atol=0)
    check(f"compress scales {label}", ok)
    check(f"compress signs {label}", same(b, rb))
    return s, b


def check_fused(k, rows, cols, label, steps=2, weights=None, grads=None, weight_decay=None):
    dev = "cuda"
    w_f = torch.randn(rows, cols, device=dev) if weights is None else weights
    w, ws = k.quantize_int8(w_f)
    prev = torch.zeros(rows * cols, dtype=torch.int8, device=dev)
    var = torch.zeros(rows * cols, device=dev)
    ptrs = (w.data_ptr(), prev.data_ptr(), var.data_ptr())
    for step in range(steps):
        g = torch.randn(rows, cols, device=dev) if grads is None else grads[step]
        gs, gb = k.compress_gradient(g)
        expect = ref.fused_update(w.cpu(), ws.cpu(), gs.cpu(), gb.cpu(), prev.cpu(), var.cpu(),
                                  rows, cols, 0.01, weight_decay=weight_decay or 0.0)
        if weight_decay is None:  # the call without the optional argument
            result = k.fused_weight_update(w, ws, gs, gb, prev, var, rows, cols, 0.01)
        else:
            result = k.fused_weight_update(w, ws, gs, gb, prev, var, rows, cols, 0.01,
                                           weight_decay=weight_decay)
        check(f"fused update {label} step {step + 1}",
              result is None and same(w, expect[0]) and same(prev, expect[1])
              and same(var, expect[2]),
              f"{(w.cpu() != expect[0]).sum().item()} weights, "
              f"{(var.cpu() != expect[2]).sum().item()} variances differ")
    check(f"fused update {label} in place", (w.data_ptr(), prev.data_ptr(), var.data_ptr()) == ptrs)


def correctness():
    print("Correctness against the CPU reference")
    seed = int(time.time())
    torch.manual_seed(seed)
    print(f"  seed {seed}")
    k = brisol.ZEBCuPyKernels()
    check("_kernels_compiled", brisol.ZEBCuPyKernels._kernels_compiled is True)
    check("group_size", k.group_size == 64)
    for field, name in [("int8_quant", "int8_quantize"), ("int8_dequant", "int8_dequantize"),
                        ("grad_compress", "grad_compress"), ("fused_update", "fused_update")]:
        kern = getattr(k, field)
        print(f"  {field}: {kern!r}")
        check(f"{field} is {name}", kern.name == name)

    dev = "cuda"
    for shape in [(256, 768), (7, 100), (3, 1000), (5, 31), (1, 1), (2, 33), (64, 4097)]:
        check_quantize(k, torch.randn(*shape, device=dev), f"random {list(shape)}")
    edge = torch.tensor([[2.54, -1.0, 0.5, -2.54], [0.0, 0.0, 0.0, 0.0]], device=dev)
    q, s = k.quantize_int8(edge)
    check("quantize 2.54 row", q[0].tolist() == [127, -50, 25, -127]
          and s[0].item() == torch.tensor(0.02 + 1e-10).item())
    check("quantize zero row", q[1].tolist() == [0] * 4 and s[1].item() == torch.tensor(1e-10).item())
    half = torch.tensor([[127.0, 0.5, 1.5, 2.5, -0.5, -2.5, 126.5, -3.5]], device=dev)
    check("quantize halfway to even", k.quantize_int8(half)[0][0].tolist() == [127, 0, 2, 2, 0, -2, 126, -4])
    check_quantize(k, torch.randn(300, 300, device=dev) * 1e-30, "tiny values")

    for n in [100, 1, 63, 64, 65, 256 * 768, 1_000_003]:
        check_compress(k, torch.randn(n, device=dev), f"random n={n}")
    g = torch.cat([torch.ones(64), torch.tensor([2.0, -4.0] * 18)]).to(dev)
    s, b = check_compress(k, g, "n=100 edge")
    check("compress n=100 bytes", b.tolist() == [255] * 8 + [0x55] * 4 + [5, 0, 0, 0]
          and s.tolist() == [1.0, 3.0])
    z = torch.tensor([-0.0, 0.0] * 32 + [0.0] * 64, device=dev)
    s, b = check_compress(k, z, "signed zeros")
    check("compress zeros: scale 0, bits set", s.tolist() == [0.0, 0.0] and b.tolist() == [255] * 16)
    s, b = k.compress_gradient(torch.randn(256, 768, device=dev))
    check("compress [256, 768] sizes", s.shape == (3072,) and b.shape == (24576,))

    for rows, cols in [(256, 768), (3, 100), (17, 5), (1, 1)]:
        check_fused(k, rows, cols, f"[{rows}, {cols}]")
    for wd in (0.0, 0.01, 2.0):
        check_fused(k, 100, 300, f"[100, 300] weight_decay={wd}", weight_decay=wd)
    # Saturation: weights at +-127 pushed outwards stay there.
    sat = torch.tensor([[1.0, -1.0] * 32], device=dev)
    check_fused(k, 1, 64, "saturation", steps=1, weights=sat, grads=[-sat])
    zero_g = torch.zeros(2, 64, device=dev)
    check_fused(k, 2, 64, "zero gradient", steps=2, grads=[zero_g, zero_g])

    k2 = brisol.ZEBCuPyKernels()
    check_quantize(k2, torch.randn(16, 16, device=dev), "second instance")
    side = torch.cuda.Stream()
    with torch.cuda.stream(side):
        x = torch.randn(512, 512, device=dev)
        q, s = k.quantize_int8(x)
    side.synchronize()
    check("quantize on a side stream", same(q, ref.quantize_int8(x.cpu())[0]))

    print("Argument checks on CUDA tensors")
    expect_error("quantize float64", TypeError,
                 lambda: k.quantize_int8(torch.randn(4, 4, device=dev, dtype=torch.float64)))
    expect_error("quantize non-contiguous", ValueError,
                 lambda: k.quantize_int8(torch.randn(8, 4, device=dev).t()))
    expect_error("quantize 3-D", ValueError, lambda: k.quantize_int8(torch.randn(2, 2, 2, device=dev)))
    expect_error("quantize CPU", AssertionError, lambda: k.quantize_int8(torch.randn(2, 2)))
    q, s = k.quantize_int8(torch.randn(4, 8, device=dev))
    expect_error("dequantize scales on CPU", ValueError, lambda: k.dequantize_int8(q, s.cpu(), (4, 8)))
    expect_error("dequantize wrong shape", ValueError, lambda: k.dequantize_int8(q, s, (4, 9)))
    w, ws = k.quantize_int8(torch.randn(4, 100, device=dev))
    gs, gb = k.compress_gradient(torch.randn(4, 100, device=dev))
    prev = torch.zeros(400, dtype=torch.int8, device=dev)
    var = torch.zeros(400, device=dev)
    expect_error("fused short variance", ValueError,
                 lambda: k.fused_weight_update(w, ws, gs, gb, prev, var[:399], 4, 100, 0.01))
    expect_error("fused rows too large", ValueError,
                 lambda: k.fused_weight_update(w, ws, gs, gb, prev, var, 8, 100, 0.01))
    expect_error("fused variance float64", TypeError,
                 lambda: k.fused_weight_update(w, ws, gs, gb, prev, var.double(), 4, 100, 0.01))
    expect_error("fused mixed devices", ValueError,
                 lambda: k.fused_weight_update(w, ws, gs, gb, prev.cpu(), var, 4, 100, 0.01))
    check("state untouched by refused calls", not prev.any().item() and not var.any().item())
    torch.cuda.synchronize()
    return k


def timed(fn, iters):
    for _ in range(3):
        fn()
    start, end = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
    torch.cuda.synchronize()
    start.record()
    for _ in range(iters):
        fn()
    end.record()
    end.synchronize()
    return start.elapsed_time(end) / iters * 1e-3  # seconds per call


def time_shape(k, rows, cols, results):
    dev = "cuda"
    n, groups = rows * cols, (rows * cols + 63) // 64
    iters = 200 if n < 1 << 20 else 20
    x = torch.randn(rows, cols, device=dev)
    q, s = k.quantize_int8(x)
    gs, gb = k.compress_gradient(x)
    prev = torch.zeros(n, dtype=torch.int8, device=dev)
    var = torch.zeros(n, device=dev)
    # Bytes each kernel must read plus write at the least.
    cases = [
        ("int8_quantize", lambda: k.quantize_int8(x), 4 * n + n + 4 * rows),
        ("int8_dequantize", lambda: k.dequantize_int8(q, s, (rows, cols)), n + 4 * rows + 4 * n),
        ("grad_compress", lambda: k.compress_gradient(x), 4 * n + 4 * groups + 8 * groups),
        ("fused_update",
         lambda: k.fused_weight_update(q, s, gs, gb, prev, var, rows, cols, 1e-4),
         (n + n + 4 * n) * 2 + 4 * rows + 12 * groups),
    ]
    for name, fn, traffic in cases:
        t = timed(fn, iters)
        # A copy of traffic/2 bytes reads and writes `traffic` bytes in all.
        src = torch.empty(traffic // 2, dtype=torch.uint8, device=dev)
        dst = torch.empty_like(src)
        t_copy = timed(lambda: dst.copy_(src), iters)
        bw, bw_copy = traffic / t / 1e9, traffic / t_copy / 1e9
        ratio = bw / bw_copy
        results.append((name, rows, ratio))
        print(f"  {name:<16}{f'{rows}x{cols}':>14}{t * 1e6:>11.1f}{bw:>9.1f}{bw_copy:>11.1f}"
              f"{ratio:>8.2f}")


def speed(k):
    print("\nSpeed: each operation against a device-to-device copy moving the same bytes")
    print(f"  {'kernel':<16}{'shape':>14}{'time us':>11}{'GB/s':>9}{'copy GB/s':>11}{'ratio':>8}")
    results = []
    for rows, cols in [(256, 768), (8192, 8192)]:
        time_shape(k, rows, cols, results)
        torch.cuda.empty_cache()
    print("  (at 256x768 a call is mostly launch and argument-check overhead, for the copy too)")
    for name, rows, ratio in results:
        if rows == 8192:
            print(f"  goal {name} >= 0.60 of copy bandwidth at 8192x8192: "
                  f"{'met' if ratio >= 0.6 else 'NOT met'} ({ratio:.2f})")


def compile_time():
    print("\nNVRTC compile and load of the four kernels (goal < 1 s)")
    for attempt in (1, 2):
        t0 = time.perf_counter()
        k = brisol.ZEBCuPyKernels()
        wall = time.perf_counter() - t0
        print(f"  construction {attempt}: {k._compile_seconds:.3f} s in NVRTC and module loads, "
              f"{wall:.3f} s in all ({'met' if wall < 1 else 'NOT met'})")


def main():
    if not brisol.CUPY_AVAILABLE or not torch.cuda.is_available():
        print("no usable CUDA device:", brisol._brisol._facilities())
        return 1
    print(f"device: {torch.cuda.get_device_name()}; torch {torch.__version__}; "
          f"facilities {brisol._brisol._facilities()}")
    compile_time()
    k = correctness()
    speed(k)
    if failures:
        print(f"\n{len(failures)} checks FAILED: " + ", ".join(failures))
        return 1
    print("\nall checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
