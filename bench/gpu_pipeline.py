"""A 3-stage pipeline with every trainer on cuda, through the coordinator stand-in: first
with the default int8 demo layers, then with the same layers on brisol's kernels
(use_brisol=True). Exit status 1 when something is wrong (rounds missing, a layer off the
GPU, a non-finite loss, a layer that never moved); the loss and the time are printed. Twelve
stacked stand-in layers on random data are not expected to learn much: this proves the
trainer works on cuda, not a result.

    python3 bench/gpu_pipeline.py [--coordinator build/bin/korvane-coordinator] [--rounds 20]
Run through bench/gpu_check.sh, which builds everything first."""
import argparse
import asyncio
import math
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

import torch  # noqa: E402

from korvane.carrowel import OrvynPipelineTrainer  # noqa: E402
from korvane.zeb_trainable_int8 import ZEBTrainableLinear  # noqa: E402

failures = []


def check(what, ok, detail=""):
    print(f"  {'ok  ' if ok else 'FAIL'} {what}" + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def start_coordinator(binary):
    proc = subprocess.Popen([binary, "--port", "0", "--stages", "3", "--layers", "12"],
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if "listening on" not in line:
        proc.kill()
        raise SystemExit(f"gpu_pipeline: the coordinator did not start ({binary}): {line!r}")
    return proc, "http://" + line.split()[-1]


async def pipeline(url, task, rounds, use_brisol):
    trainers = [OrvynPipelineTrainer(f"{task}-{i}", url, device="cuda") for i in range(3)]
    await asyncio.gather(*(t.join_pipeline(task) for t in trainers))
    layers = [layer for t in trainers for layer in t.layers]
    check(f"{task}: 12 int8 layers, all on cuda",
          len(layers) == 12 and all(isinstance(m, ZEBTrainableLinear) and m.weight_int8.is_cuda for m in layers),
          f"{[(type(m).__name__, str(next(m.parameters()).device)) for m in layers]}")
    for layer in layers:
        layer.use_brisol = use_brisol
    before = [layer.weight_int8.clone() for layer in layers]
    torch.manual_seed(0)
    centers = torch.randn(10, 768, device="cuda")
    batches = []
    for _ in range(8):
        labels = torch.randint(0, 10, (64,), device="cuda")
        batches.append((centers[labels] + torch.randn(64, 768, device="cuda"), labels))
    torch.cuda.synchronize()
    t0 = time.perf_counter()
    results = await asyncio.gather(*(t.run_training_loop(dataloader=batches, num_rounds=rounds, lr=1e-4)
                                     for t in trainers))
    torch.cuda.synchronize()
    seconds = time.perf_counter() - t0
    losses = results[-1]["losses"]
    check(f"{task}: every trainer completed {rounds} rounds",
          all(r["rounds_completed"] == rounds for r in results), str([r["rounds_completed"] for r in results]))
    check(f"{task}: losses finite", all(math.isfinite(v) for v in losses), str(losses))
    check(f"{task}: every layer's weights moved",
          all(not torch.equal(b, layer.weight_int8) for b, layer in zip(before, layers)))
    print(f"  {task}: {rounds} rounds in {seconds:.2f} s ({seconds / rounds * 1e3:.1f} ms/round), "
          f"loss {losses[0]:.4f} -> {losses[-1]:.4f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--coordinator", default=str(ROOT / "build/bin/korvane-coordinator"))
    parser.add_argument("--rounds", type=int, default=20)
    args = parser.parse_args()
    if not torch.cuda.is_available():
        print("gpu_pipeline: torch sees no CUDA device")
        return 1
    print(f"3-stage pipeline on {torch.cuda.get_device_name()} (torch {torch.__version__})")
    proc, url = start_coordinator(args.coordinator)
    try:
        asyncio.run(pipeline(url, "cuda-torch", args.rounds, use_brisol=False))
        asyncio.run(pipeline(url, "cuda-brisol", args.rounds, use_brisol=True))
    finally:
        proc.terminate()
        proc.wait(10)
    if failures:
        print(f"{len(failures)} checks FAILED: " + ", ".join(failures))
        return 1
    print("pipeline checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
