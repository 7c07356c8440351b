"""Soak: many rounds of a small 3-stage pipeline through the coordinator stand-in, watching
the resident memory of the coordinator process and of the trainers' process.

The three trainers run in this process on one event loop (int8 layers, small widths);
the coordinator is the real program. VmRSS of both is sampled from /proc/PID/status
after the warm-up rounds and then every --every rounds; the growth from the warm-up
sample to the last one is the figure. Exits 1 when either grows beyond --max-growth %.

  python3 bench/soak.py --rounds 1000 --warmup 100
"""
import argparse
import asyncio
import os
import pathlib
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import torch  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import korvane.zeb_trainable_int8 as zeb  # noqa: E402
from torch import nn  # noqa: E402
from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for process {pid}")


def trainer(task, name, up, down, layers, url):
    t = OrvynPipelineTrainer(name, url)
    t.layer_assignment = LayerAssignment(task, name, 0, len(layers), 0, up, down, "")
    t.layers = nn.ModuleList(layers)
    return t


async def soak(stages, x, args, coordinator_pid):
    samples = []  # (round, coordinator KiB, trainers KiB)

    def sample(r):
        samples.append((r, rss_kib(coordinator_pid), rss_kib(os.getpid())))
        print(f"  round {r:5d}: coordinator {samples[-1][1] / 1024:7.1f} MiB, trainers {samples[-1][2] / 1024:7.1f} MiB",
              flush=True)

    began = time.perf_counter()
    for r in range(1, args.rounds + 1):
        await asyncio.gather(*[t.run_pipeline_round(input_data=x if t.layer_assignment.is_first_stage else None)
                               for t in stages])
        if r == args.warmup or (r > args.warmup and (r - args.warmup) % args.every == 0) or r == args.rounds:
            if not samples or samples[-1][0] != r:
                sample(r)
    return samples, time.perf_counter() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--warmup", type=int, default=100, help="the round of the first (reference) sample")
    parser.add_argument("--every", type=int, default=100, help="rounds between two samples after the warm-up")
    parser.add_argument("--width", type=int, default=64)
    parser.add_argument("--layers", type=int, default=6, help="layers in all, split over the 3 stages")
    parser.add_argument("--max-growth", type=float, default=10.0, help="percent; beyond it the soak fails")
    parser.add_argument("--coordinator", default=str(ROOT / "build/bin/korvane-coordinator"))
    args = parser.parse_args()
    if not 0 < args.warmup < args.rounds or args.layers < 3:
        parser.error("need 0 < --warmup < --rounds and at least 3 layers")

    torch.manual_seed(0)
    torch.set_num_threads(1)
    layers = [zeb.ZEBTrainableLinear(args.width, args.width) for _ in range(args.layers)]
    x = torch.randn(2, 8, args.width)
    cut = [0, args.layers // 3, 2 * args.layers // 3, args.layers]
    proc = subprocess.Popen([args.coordinator, "--host", "127.0.0.1", "--port", "0", "--stages", "3",
                             "--layers", str(args.layers)], stdout=subprocess.PIPE, text=True)
    try:
        url = "http://" + proc.stdout.readline().split()[-1]
        names = ["s0", "s1", "s2"]
        stages = [trainer("soak", names[i], names[i - 1] if i > 0 else None, names[i + 1] if i < 2 else None,
                          layers[cut[i]:cut[i + 1]], url) for i in range(3)]
        print(f"soak: {args.rounds} rounds, 3 stages of {args.layers} int8 layers of width {args.width}, "
              f"activation {list(x.shape)}; RSS from round {args.warmup}", flush=True)
        samples, elapsed = asyncio.run(soak(stages, x, args, proc.pid))
        alive = proc.poll() is None
    finally:
        proc.terminate()
        proc.wait(10)
    if not alive:
        print("FAIL: the coordinator exited during the soak")
        return 1
    (_, c0, t0), (_, c1, t1) = samples[0], samples[-1]
    cg, tg = 100.0 * (c1 - c0) / c0, 100.0 * (t1 - t0) / t0
    print(f"  {args.rounds} rounds in {elapsed:.1f} s ({elapsed / args.rounds * 1e3:.1f} ms/round)")
    print(f"  coordinator VmRSS: {c0} KiB at round {samples[0][0]}, {c1} KiB at round {samples[-1][0]}")
    print(f"  trainers VmRSS:    {t0} KiB at round {samples[0][0]}, {t1} KiB at round {samples[-1][0]}")
    print(f"soak rss growth: coordinator {cg:.1f}%, trainers {tg:.1f}%")
    return 0 if max(cg, tg) <= args.max_growth else 1


if __name__ == "__main__":
    sys.exit(main())
