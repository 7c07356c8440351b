"""Pipelined steps over an emulated wide-area link.

Three trainer processes (one torch thread each) train 12 layers of width 768, split 4/4/4,
on micro-batches of [2, 512, 768], through the coordinator stand-in, each trainer behind
its own line of bench/wan_proxy.py (100 Mbit/s each way). For round-trip times of 0, 20
and 100 ms and m = 1 (the plain round), 4, 8 and 16 micro-batches per step, it prints
samples per second, the fraction of the zero-delay throughput at the same m, and the
pipeline bubble (N-1)/(m+N-1) that the schedule predicts. Steps with m > 1 use
max_in_flight = m, the deepest warm-up. It runs the int8 stand-in layers, then plain
layers (Linear + GELU) under autograd_backward.

    python3 bench/pipeline_bench.py           # the whole table
    python3 bench/pipeline_bench.py --quick   # rtt 0 and 100 ms, m = 1 and 16, int8 layers

The last line is `efficiency rtt=100ms m=16: <fraction>` (int8 layers). Throughput on a
machine with fewer free cores than trainers is bounded by the cores, not the pipeline:
the zero-delay runs then compete for them most.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
STAGES = 3
LAYERS_PER_STAGE = 4
WIDTH = 768
TOKENS = 512
MBIT = 100.0
RESULT = "@@result "


def worker():
    """One trainer process: reads jobs (JSON lines) on stdin, answers each with a result line."""
    import torch
    from torch import nn
    sys.path.insert(0, str(ROOT))
    from korvane.carrowel import OrvynPipelineTrainerSync
    from korvane.zeb_trainable_int8 import ZEBTrainableLinear

    torch.set_num_threads(1)
    out = os.fdopen(os.dup(1), "w")
    sys.stdout = open(os.devnull, "w")  # the trainer's own progress lines
    for line in sys.stdin:
        job = json.loads(line)
        try:
            t = OrvynPipelineTrainerSync(trainer_id=job["id"], coordinator_url=job["url"], device="cpu",
                                         autograd_backward=job["kind"] == "plain")
            a = t.join_pipeline(job["task"])
            torch.manual_seed(a.pipeline_position)
            width = job["width"]
            if job["kind"] == "int8":
                layers = [ZEBTrainableLinear(width, width) for _ in range(LAYERS_PER_STAGE)]
            else:
                layers = [nn.Sequential(nn.Linear(width, width), nn.GELU()) for _ in range(LAYERS_PER_STAGE)]
            data = [torch.randn(2, TOKENS, width)] if a.is_first_stage else None
            t._trainer.layers = nn.ModuleList(layers)
            kw = {"micro_batches": job["m"], "max_in_flight": job["m"] if job["m"] > 1 else None}
            t.run_training_loop(dataloader=data, num_rounds=1, lr=1e-4)  # warm-up: first touches, connections
            t0 = time.perf_counter()
            metrics = t.run_training_loop(dataloader=data, num_rounds=job["steps"], lr=1e-4, **kw)
            seconds = time.perf_counter() - t0
            result = {"position": a.pipeline_position, "seconds": seconds,
                      "in_flight": metrics.get("peak_in_flight", 1),
                      "bytes": metrics.get("in_flight_bytes", 0)}
        except Exception as e:  # reported to the driver, which stops
            result = {"error": f"{type(e).__name__}: {e}"}
        out.write(RESULT + json.dumps(result) + "\n")
        out.flush()


class Driver:
    def __init__(self):
        self.coordinator = subprocess.Popen(
            [str(ROOT / "build/bin/korvane-coordinator"), "--port", "0", "--stages", str(STAGES),
             "--layers", str(STAGES * LAYERS_PER_STAGE)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.target = self.coordinator.stdout.readline().split()[-1]
        self.workers = [subprocess.Popen([sys.executable, __file__, "--worker"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True) for _ in range(STAGES)]
        self.proxy = None
        self.urls = []
        self.tasks = 0

    def link(self, rtt_ms):
        self.close_proxy()
        self.proxy = subprocess.Popen([sys.executable, str(ROOT / "bench/wan_proxy.py"), "--target", self.target,
                                       "--links", str(STAGES), "--rtt-ms", str(rtt_ms), "--mbit", str(MBIT)],
                                      stdout=subprocess.PIPE, text=True)
        self.urls = ["http://" + self.proxy.stdout.readline().split()[-1] for _ in range(STAGES)]

    def run(self, kind, m, steps, width):
        self.tasks += 1
        for i, (w, url) in enumerate(zip(self.workers, self.urls)):
            job = {"id": f"w{i}", "url": url, "task": f"bench-{self.tasks}", "kind": kind, "m": m, "steps": steps,
                   "width": width}
            w.stdin.write(json.dumps(job) + "\n")
            w.stdin.flush()
        results = []
        for w in self.workers:
            line = w.stdout.readline()
            while line and not line.startswith(RESULT):
                line = w.stdout.readline()
            if not line:
                raise SystemExit("a trainer process ended")
            results.append(json.loads(line[len(RESULT):]))
        errors = [r["error"] for r in results if "error" in r]
        if errors:
            raise SystemExit("trainer failed: " + "; ".join(errors))
        return results

    def close_proxy(self):
        if self.proxy:
            self.proxy.terminate()
            self.proxy.wait(10)
            self.proxy = None

    def close(self):
        self.close_proxy()
        for w in self.workers:
            w.stdin.close()
        for w in self.workers:
            w.wait(30)
        self.coordinator.terminate()
        self.coordinator.wait(10)


def steps_for(m, quick):
    """Steps to time: at least 16 micro-batches (8 with --quick), at least two steps (one)."""
    least = 8 if quick else 16
    return max(1 if quick else 2, -(-least // m))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="rtt 0 and 100 ms, m = 1 and 16, int8 layers only")
    p.add_argument("--width", type=int, default=WIDTH,
                   help=f"layer width (default {WIDTH}); a smaller one shows the link more than the cores")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        return worker()
    rtts = [0, 100] if args.quick else [0, 20, 100]
    ms = [1, 16] if args.quick else [1, 4, 8, 16]
    kinds = ["int8"] if args.quick else ["int8", "plain"]
    started = time.perf_counter()
    driver = Driver()
    table = {}
    try:
        print(f"pipeline of {STAGES} trainer processes, {STAGES * LAYERS_PER_STAGE} layers of width {args.width} split "
              f"{'/'.join([str(LAYERS_PER_STAGE)] * STAGES)}, micro-batches of {[2, TOKENS, args.width]}, "
              "one torch thread each, "
              f"{MBIT:g} Mbit/s per trainer line; m > 1 with max_in_flight = m", flush=True)
        print(f"{'layers':<6} {'rtt':>6} {'m':>3} {'samples/s':>10} {'of rtt 0':>9} {'bubble':>7} "
              f"{'in flight':>9} {'MB held':>8}", flush=True)
        for kind in kinds:
            for rtt in rtts:
                driver.link(rtt)
                for m in ms:
                    steps = steps_for(m, args.quick)
                    results = driver.run(kind, m, steps, args.width)
                    seconds = max(r["seconds"] for r in results)
                    rate = steps * m * 2 / seconds  # two samples per micro-batch
                    table[kind, rtt, m] = rate
                    first = next(r for r in results if r["position"] == 0)
                    bubble = (STAGES - 1) / (m + STAGES - 1)
                    frac = rate / table[kind, 0, m]
                    print(f"{kind:<6} {rtt:>4}ms {m:>3} {rate:>10.2f} {frac:>9.3f} {bubble:>7.3f} "
                          f"{first['in_flight']:>9} {first['bytes'] / 1e6:>8.1f}", flush=True)
            far = max(rtts)
            print(f"{kind}: m=16 against m=1 at rtt={far}ms: "
                  f"{table[kind, far, 16] / table[kind, far, 1]:.2f}x", flush=True)
    finally:
        driver.close()
    print(f"({time.perf_counter() - started:.0f} s in all)")
    far = max(rtts)
    # Between 0 and 1 as a fraction; the table above shows the measured ratio itself.
    print(f"efficiency rtt={far}ms m=16: {min(1.0, table['int8', far, 16] / table['int8', 0, 16]):.3f}")


if __name__ == "__main__":
    sys.exit(main())
