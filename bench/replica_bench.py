"""Stage replicas: lanes scale a pipeline that its wide-area link limits.

Two stages; each trainer process (one torch thread) reaches the coordinator through its
own line of bench/wan_proxy.py (20 Mbit/s each way, 50 ms round trip). The layers are
light (a narrow Linear per stage on a long activation), so a lane is limited by its
link, not by the CPU. With R lanes, the R replicas of each stage average their gradients
after every step over loopback (gloo through a TCPStore: the fast local network of one
site), while each lane's pipeline traffic has its own lines. For R = 1, 2 and 3 it
prints samples per second over all lanes, the averaging's share of a replica's step and
the bytes it all-reduces per step.

    python3 bench/replica_bench.py           # R = 1, 2, 3, three times each
    python3 bench/replica_bench.py --quick   # fewer steps

The last line is `replica speed-up R=2: <samples/s with 2 lanes / with 1>` (goal 1.8),
from the median of the repeats: a step is a few tenths of a second, and a run of one
lane count against one of another varies by several percent on a shared machine.
On a machine with fewer free cores than trainer processes the lanes compete for the
CPU, and the speed-up says so.
"""
import argparse
import datetime
import json
import os
import pathlib
import socket
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
STAGES = 2
MBIT = 20.0
RTT_MS = 50
WIDTH = 8           # features per row: a narrow layer, little compute per element
ROWS = 1024         # rows per micro-batch (the samples)
TOKENS = 16         # per row: an activation of ROWS * TOKENS * WIDTH floats (128 Ki)
M = 4               # micro-batches per step
RESULT = "@@result "
# One BLAS thread per trainer as well as one torch thread: torch.set_num_threads does not
# reach OpenBLAS's own pool, whose idle threads spin on sched_yield and would take the
# cores the other lanes need. Read when the library loads, so set before the process starts.
ONE_THREAD = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")


def worker():
    """One trainer process: one job as a JSON line on stdin, one result line back."""
    import torch
    import torch.distributed as dist
    from torch import nn
    sys.path.insert(0, str(ROOT))
    from korvane.carrowel import OrvynPipelineTrainerSync
    from korvane.carrowel.replica_group import ReplicaGroup

    torch.set_num_threads(1)
    out = os.fdopen(os.dup(1), "w")
    sys.stdout = open(os.devnull, "w")  # the trainer's own progress lines
    job = json.loads(sys.stdin.readline())
    try:
        t = OrvynPipelineTrainerSync(trainer_id=job["id"], coordinator_url=job["url"], device="cpu",
                                     autograd_backward=True)
        a = t.join_pipeline(job["task"])
        stage = a.pipeline_position
        torch.manual_seed(stage)
        t._trainer.layers = nn.ModuleList([nn.Linear(WIDTH, WIDTH)] if stage == 0 else [nn.Linear(WIDTH, 10)])
        g = torch.Generator().manual_seed(job["lane"])
        data = [(torch.randn(ROWS, TOKENS, WIDTH, generator=g), torch.randint(0, 10, (ROWS, TOKENS), generator=g))
                for _ in range(M)]
        group = None
        if job["lanes"] > 1:
            t._trainer.lanes, t._trainer.lane = job["lanes"], job["lane"]
            store = dist.TCPStore("127.0.0.1", job["store_port"], is_master=False,
                                  timeout=datetime.timedelta(seconds=60))
            group = ReplicaGroup(store, job["lane"], job["lanes"], prefix=f"{job['run']}/stage{stage}", timeout=60)
            t._trainer.replica_group = group
        kw = {"micro_batches": M, "max_in_flight": M}
        t.run_training_loop(dataloader=data, num_rounds=1, lr=1e-3, **kw)  # warm-up: meeting, first touches
        averaging = []

        def note(step, loss):
            if group is not None:
                averaging.append((group.last_seconds, group.last_bytes))

        t0 = time.perf_counter()
        t.run_training_loop(dataloader=data, num_rounds=job["steps"], lr=1e-3, on_round_complete=note, **kw)
        seconds = time.perf_counter() - t0
        t.leave_pipeline()
        result = {"stage": stage, "seconds": seconds,
                  "averaging_s": sum(s for s, _ in averaging), "averaging_bytes": averaging[-1][1] if averaging else 0}
    except Exception as e:  # reported to the driver, which stops
        result = {"error": f"{type(e).__name__}: {e}"}
    out.write(RESULT + json.dumps(result) + "\n")
    out.flush()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(lanes, steps, coordinator_target, run_id, mbit, rtt_ms):
    import torch.distributed as dist
    proxy = subprocess.Popen([sys.executable, str(ROOT / "bench/wan_proxy.py"), "--target", coordinator_target,
                              "--links", str(STAGES * lanes), "--rtt-ms", str(rtt_ms), "--mbit", str(mbit)],
                             stdout=subprocess.PIPE, text=True)
    urls = ["http://" + proxy.stdout.readline().split()[-1] for _ in range(STAGES * lanes)]
    port = free_port()
    store = dist.TCPStore("127.0.0.1", port, is_master=True, timeout=datetime.timedelta(seconds=60)) \
        if lanes > 1 else None
    workers = []
    try:
        for lane in range(lanes):
            for s in range(STAGES):
                w = subprocess.Popen([sys.executable, __file__, "--worker"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=ONE_THREAD)
                job = {"id": f"r{run_id}-l{lane}-s{s}", "url": urls[lane * STAGES + s], "task": f"r{run_id}-lane{lane}",
                       "lane": lane, "lanes": lanes, "steps": steps, "store_port": port, "run": f"r{run_id}"}
                w.stdin.write(json.dumps(job) + "\n")
                w.stdin.flush()
                workers.append(w)
        results = []
        for w in workers:
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
    finally:
        for w in workers:
            w.wait(60)
        proxy.terminate()
        proxy.wait(10)
        del store


def main():
    if "--worker" in sys.argv:
        worker()
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer steps")
    parser.add_argument("--steps", type=int, default=100, help="steps timed per run (a step takes a few tenths of a "
                        "second: fewer make the ratio noisy)")
    parser.add_argument("--mbit", type=float, default=MBIT, help="each line's rate (0: unlimited)")
    parser.add_argument("--rtt-ms", type=float, default=RTT_MS, help="each line's round trip")
    parser.add_argument("--lanes", type=int, nargs="+", default=[1, 2, 3], help="the lane counts to run")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each lane count; the median counts")
    args = parser.parse_args()
    steps = 6 if args.quick else args.steps
    coordinator = subprocess.Popen([str(ROOT / "build/bin/korvane-coordinator"), "--port", "0", "--stages",
                                    str(STAGES), "--layers", str(STAGES)], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
    target = coordinator.stdout.readline().split()[-1]
    print(f"{STAGES} stages, a line of {args.mbit:g} Mbit/s and {args.rtt_ms:g} ms round trip per trainer, "
          f"{M} micro-batches of {ROWS} samples per step, {steps} steps timed; replicas average over loopback (gloo)")
    rates = {lanes: [] for lanes in args.lanes}  # samples/s of each repeat
    run_id = 0
    try:
        # The lane counts take turns, so that a slow spell of the machine falls on all of them.
        for repeat in range(args.repeat):
            for lanes in args.lanes:
                results = run(lanes, steps, target, run_id, args.mbit, args.rtt_ms)
                run_id += 1
                slowest = max(r["seconds"] for r in results)
                rates[lanes].append(lanes * steps * M * ROWS / slowest)
                share = max(r["averaging_s"] / r["seconds"] for r in results)
                avg_bytes = max(r["averaging_bytes"] for r in results)
                print(f"  repeat {repeat + 1}, R={lanes}: {rates[lanes][-1]:9.0f} samples/s  averaging "
                      f"{100 * share:4.1f}% of a step, {avg_bytes} bytes per step and replica", flush=True)
    finally:
        coordinator.terminate()
        coordinator.wait(10)
    base = statistics.median(rates[min(rates)])
    for lanes, r in rates.items():
        print(f"R={lanes}: {statistics.median(r):9.0f} samples/s, median of {len(r)} "
              f"({statistics.median(r) / base:.2f}x R={min(rates)}; {min(r):.0f} to {max(r):.0f})")
    if 1 in rates and 2 in rates:
        print(f"replica speed-up R=2: {statistics.median(rates[2]) / statistics.median(rates[1]):.2f}")

if __name__ == "__main__":
    main()
