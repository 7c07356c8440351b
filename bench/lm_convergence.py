"""Does a language model learn through the pipeline? The byte-level transformer of
examples/lm_model.py on Python's library sources, at equal steps, with the same data,
initial weights and optimizer in every row:

  one process        the layers in one nn.Sequential; plain, then with a codec pair at the
                     two boundaries of a 3-stage split (the activation codec forward, the
                     gradient codec backward, exactly what crosses a boundary);
  3-stage            the real coordinator and three trainer processes
                     (--autograd-backward --micro-batches 4) with that codec pair.

Held-out loss is in nats per byte (the pipeline's own evaluation, read from the last
stage's metrics file). Bytes per step count the encoded tensors over all boundaries and
both directions (the same shapes cross in one process and in the pipeline); "x fp32" is
how many times fewer than float32 would send.

    PYTHONPATH=. /usr/bin/python3 bench/lm_convergence.py [--steps 300] [--quick]

The last line is `lm gap int4/int4: G`, G = the 3-stage int4/int4 held-out loss over one
plain process's, minus 1 (the goal is G <= 0.01).
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import threading
import time

import torch

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from examples import lm_model as lm  # noqa: E402
from examples import lm_reference as ref  # noqa: E402
from korvane import carrowel  # noqa: E402

COORDINATOR = ROOT / "build" / "bin" / "korvane-coordinator"
STAGES = 3
PAIRS = [("sign", "sign"), ("sign", "int8"), ("int8", "int8"), ("int8", "int4"), ("int4", "int4"), ("bf16", "bf16")]
STANDARD = {"sign", "int8", "int4", "bf16", "fp16", "fp32"}


def experimental_codecs() -> list[str]:
    """The codecs offered beyond the standard ones (the low-bit experiments)."""
    return [c for c in getattr(carrowel, "CODECS", ()) if c not in STANDARD]


def one_process(steps, micro_batches, codecs=(None, None), sequences=None):
    layers = lm.build_layers()
    model = ref.with_boundaries(layers, STAGES, *codecs)
    counters = [m for m in model if isinstance(m, ref.CodecBoundary)]
    train, held_out = lm.data()
    if sequences is not None:
        train = lm.RandomWindows(lm.split()[0], batch_size=sequences)
    started = time.monotonic()
    ref.train(model, lm.make_optimizer(model.parameters()), train, steps, micro_batches)
    bytes_per_step = sum(c.bytes for c in counters) / max(steps, 1)  # before evaluating adds to it
    return ref.evaluate(model, held_out), bytes_per_step, time.monotonic() - started


def start_coordinator(layers):
    proc = subprocess.Popen([str(COORDINATOR), "--host", "127.0.0.1", "--port", "0", "--stages", str(STAGES),
                             "--layers", str(layers), "--join-wait", "120"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    m = re.search(r"listening on ([\d.]+):(\d+)", line)
    if not m:
        proc.kill()
        raise RuntimeError("coordinator did not start: " + line)
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()  # never block on its log
    return proc, f"http://{m.group(1)}:{m.group(2)}"


def cli_options() -> str:
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run([sys.executable, "-m", "korvane.carrowel", "--help"], capture_output=True, text=True,
                           env=env, cwd=ROOT).stdout


def pipeline(steps, micro_batches, codecs, workdir, help_text):
    """(held-out loss, seconds) of the 3-stage pipeline, or (None, why)."""
    act, grad = codecs
    extra = []
    if (act, grad) != ("sign", "sign"):
        if "--activation-codec" not in help_text:
            return None, "this trainer has no --activation-codec"
        extra = ["--activation-codec", act, "--gradient-codec", grad]
    pin = "--stage" in help_text
    coord, url = start_coordinator(len(lm.build_layers()))
    procs, logs = [], []
    task = f"lm-{act}-{grad}"
    env = dict(os.environ, PYTHONPATH=str(ROOT), OMP_NUM_THREADS="1")
    started = time.monotonic()
    try:
        for s in range(STAGES):
            log = open(workdir / f"{task}-s{s}.log", "w")
            logs.append(log)
            cmd = [sys.executable, "-m", "korvane.carrowel", "--task-id", task, "--trainer-id", f"s{s}",
                   "--coordinator", url, "--model", "examples.lm_model:stage", "--autograd-backward",
                   "--micro-batches", str(micro_batches), "--rounds", str(steps),
                   "--metrics-file", str(workdir / f"{task}-s{s}.jsonl"), *extra]
            if pin:
                cmd += ["--stage", str(s)]
            procs.append(subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=ROOT))
            if not pin:
                time.sleep(0.5)  # positions go by join order
        limit = time.monotonic() + 120 + 10 * steps
        for s, p in enumerate(procs):
            try:
                rc = p.wait(max(1.0, limit - time.monotonic()))
            except subprocess.TimeoutExpired:
                rc = "killed after the time limit"
            if rc != 0:
                for q in procs:
                    if q.poll() is None:
                        q.kill()
                        q.wait()
                tail = (workdir / f"{task}-s{s}.log").read_text(errors="replace").strip().splitlines()[-3:]
                return None, f"trainer s{s} ended with {rc}: " + " | ".join(tail)
    finally:
        for log in logs:
            log.close()
        coord.terminate()
        coord.wait()
    seconds = time.monotonic() - started
    for s in range(STAGES):
        path = workdir / f"{task}-s{s}.jsonl"
        if not path.exists():
            continue
        for line in reversed(path.read_text().splitlines()):
            record = json.loads(line)
            if "evaluation" in record:
                return record["evaluation"]["loss"], seconds
    return None, "no evaluation record in the metrics files"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=300)
    parser.add_argument("--quick", action="store_true", help="30 steps: a smoke run, not a measurement")
    parser.add_argument("--micro-batches", type=int, default=4)
    parser.add_argument("--skip-pipeline", action="store_true", help="only the one-process rows")
    parser.add_argument("--pairs", metavar="A/G,...",
                        help="only these codec pairs, e.g. int4/int4,int8/int4 (default: the table's)")
    parser.add_argument("--lr", type=float, help="one-process rows only (with --skip-pipeline): another learning "
                        "rate, to see how a codec's cost moves with it")
    parser.add_argument("--sequences", type=int, help="one-process rows only (with --skip-pipeline): sequences per "
                        "micro-batch")
    parser.add_argument("--one-process-file", metavar="JSON",
                        help="keep the one-process rows in this file, and take them from it when it holds "
                             "rows of the same steps (the pipeline rows are always measured)")
    args = parser.parse_args(argv)
    steps = 30 if args.quick else args.steps
    if (args.lr is not None or args.sequences is not None) and not args.skip_pipeline:
        parser.error("--lr and --sequences change the one-process rows only: add --skip-pipeline")
    if (args.lr is not None or args.sequences is not None) and args.one_process_file:
        parser.error("--lr and --sequences would mix rows of other settings into --one-process-file")
    if args.lr is not None:
        lm.LR = args.lr  # make_optimizer reads it at each call
    torch.manual_seed(0)

    low_bit = [(c, c) for c in experimental_codecs()]
    pairs = PAIRS + low_bit
    if args.pairs:
        try:
            pairs = [tuple(p.split("/")) for p in args.pairs.split(",")]
        except ValueError:
            parser.error(f"--pairs takes activation/gradient pairs, got {args.pairs!r}")
        if any(len(p) != 2 for p in pairs):
            parser.error(f"--pairs takes activation/gradient pairs, got {args.pairs!r}")
        low_bit = [p for p in low_bit if p in pairs]
    params = sum(p.numel() for layer in lm.build_layers() for p in layer.parameters())
    train, held_out = lm.split()
    print(f"model: {len(lm.build_layers())} layers, {params} parameters (width {lm.WIDTH}, {lm.BLOCKS} blocks, "
          f"context {lm.CONTEXT}); text: {len(train)} bytes to train on, {len(held_out)} held out; "
          f"{steps} steps of {args.micro_batches} micro-batches of {args.sequences or lm.BATCH} sequences; "
          f"AdamW lr {lm.LR}; {STAGES} stages", flush=True)

    rows = None
    saved = pathlib.Path(args.one_process_file) if args.one_process_file else None
    if saved and saved.exists():
        kept = json.loads(saved.read_text())
        if kept["steps"] == steps and kept["micro_batches"] == args.micro_batches:
            rows = [tuple(r) for r in kept["rows"]]
            print(f"  one-process rows from {saved}", flush=True)
    if rows is None:
        rows = []
        loss, nbytes, secs = one_process(steps, args.micro_batches, sequences=args.sequences)
        rows.append(("one process", "none", "none", loss, nbytes, secs))
        print(f"  one process, no codec: {loss:.4f} ({secs:.0f} s)", flush=True)
        for act, grad in pairs:
            loss, nbytes, secs = one_process(steps, args.micro_batches, (act, grad), args.sequences)
            rows.append(("one process", act, grad, loss, nbytes, secs))
            print(f"  one process, {act}/{grad}: {loss:.4f} ({secs:.0f} s)", flush=True)

    # Pairs that a kept file predates (a codec added since) are trained now and kept too.
    for act, grad in pairs:
        if not any(r[:3] == ("one process", act, grad) for r in rows):
            loss, nbytes, secs = one_process(steps, args.micro_batches, (act, grad), args.sequences)
            rows.append(("one process", act, grad, loss, nbytes, secs))
            print(f"  one process, {act}/{grad}: {loss:.4f} ({secs:.0f} s)", flush=True)
    if saved:
        saved.write_text(json.dumps({"steps": steps, "micro_batches": args.micro_batches, "rows": rows}))
    plain, fp32_bytes = rows[0][3], rows[0][4]
    piped = {}
    if not args.skip_pipeline:
        help_text = cli_options()
        with tempfile.TemporaryDirectory(prefix="lm_convergence-") as tmp:
            # int4/int4 first: the row the last line reports
            for act, grad in sorted(pairs, key=lambda p: p != ("int4", "int4")):
                loss, secs = pipeline(steps, args.micro_batches, (act, grad), pathlib.Path(tmp), help_text)
                nbytes = next(r[4] for r in rows if r[1:3] == (act, grad))
                if loss is None:
                    print(f"  3-stage, {act}/{grad}: failed: {secs}", flush=True)
                    continue
                piped[(act, grad)] = loss
                rows.append(("3-stage", act, grad, loss, nbytes, secs))
                print(f"  3-stage, {act}/{grad}: {loss:.4f} ({secs:.0f} s)", flush=True)

    print()
    print("| run | activation codec | gradient codec | held-out loss | vs one process | bytes per step | x fewer than fp32 |")
    print("|---|---|---|---|---|---|---|")
    for run, act, grad, loss, nbytes, _ in rows:
        vs = "—" if (run, act) == ("one process", "none") else f"{(loss / plain - 1) * 100:+.2f}%"
        print(f"| {run} | {act} | {grad} | {loss:.4f} | {vs} | {nbytes:,.0f} | {fp32_bytes / nbytes:.1f} |")
    print()
    for act, grad in low_bit:
        nbytes = next(r[4] for r in rows if r[1:3] == (act, grad))
        one = next(r[3] for r in rows if r[:3] == ("one process", act, grad))
        three = piped.get((act, grad))
        where = f", 3-stage {three / plain - 1:+.4f}" if three is not None else ""
        print(f"lm low-bit {act}/{grad}: 1/{fp32_bytes / nbytes:.1f} of float32's bytes; "
              f"gap one process {one / plain - 1:+.4f}{where} (goal: 1/15 or fewer bytes within 0.01)")
    if ("int4", "int4") in piped:
        print(f"lm gap int4/int4: {piped[('int4', 'int4')] / plain - 1:.4f}")
    else:
        print("lm gap int4/int4: n/a (the 3-stage int4/int4 row did not run)")


if __name__ == "__main__":
    main()
