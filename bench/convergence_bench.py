"""Convergence on real data: the digits classifier of examples/digits_model.py, with the
same seed, initial weights, batches and number of rounds in every row:

  one process        the nine layers in one nn.Sequential, no compression;
  3-stage            three trainers through the coordinator stand-in (every boundary
                     compressed), autograd_backward, Adam on the plain layers;
  3-stage int8       the same with the int8 stand-in for the two hidden Linear layers;
  3-stage default    the default plain-layer backward (no autograd_backward): only the
                     last stage's plain layers learn.

Prints held-out accuracy and the mean training loss of the last pass over the data.

    python3 bench/convergence_bench.py [--rounds N]
"""
import argparse
import asyncio
import contextlib
import io
import pathlib
import subprocess
import sys
import tempfile
import time

import torch
from torch import nn

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from examples import digits_model as dm  # noqa: E402
from korvane.carrowel import OrvynPipelineTrainer  # noqa: E402

INT8_LR = 1e-3


def evaluate(forward, held_out):
    correct = total = 0
    with torch.no_grad():
        for x, y in held_out:
            correct += (forward(x).argmax(-1) == y).sum().item()
            total += len(y)
    return correct / total


def one_process(rounds):
    train, held_out = dm.data()
    model = nn.Sequential(*dm.build_layers())
    opt = dm.make_optimizer(model.parameters())
    losses = []
    stream = iter(())
    for _ in range(rounds):
        batch = next(stream, None)
        if batch is None:
            stream = iter(train)
            batch = next(stream)
        loss = nn.functional.cross_entropy(model(batch[0]), batch[1])
        opt.zero_grad()
        loss.backward()
        opt.step()
        losses.append(loss.item())
    return evaluate(model, held_out), losses


async def pipeline(url, task, rounds, int8, autograd_backward):
    trainers = [OrvynPipelineTrainer(f"{task}-{i}", url, device="cpu", autograd_backward=autograd_backward)
                for i in range(3)]
    await asyncio.gather(*(t.join_pipeline(task) for t in trainers))
    trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
    data = []
    for t in trainers:
        found = dm.stage(t.layer_assignment, int8=int8)
        t.layers = nn.ModuleList(found["layers"])
        t.optimizer = found["optimizer"]
        data.append((found["train_data"], found["eval_data"]))
    # First and last stage each draw from their own copy: same seed, same order.
    results = await asyncio.gather(*(t.run_training_loop(dataloader=d[0], num_rounds=rounds, lr=INT8_LR)
                                     for t, d in zip(trainers, data)))
    held = await asyncio.gather(*(t.run_evaluation(dataloader=d[1], num_batches=len(d[1]))
                                  for t, d in zip(trainers, data)))
    return held[-1]["accuracy"], results[-1]["losses"]


def start_coordinator(log):
    # Its log goes to a file: a pipe nobody reads would fill up and stall it.
    proc = subprocess.Popen([str(ROOT / "build" / "bin" / "korvane-coordinator"), "--host", "127.0.0.1", "--port", "0",
                             "--stages", "3", "--layers", "9"], stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        first = pathlib.Path(log.name).read_text().split("\n", 1)
        if len(first) > 1 and first[0].startswith("korvane-coordinator listening on "):
            return proc, "http://" + first[0].split()[-1]
        time.sleep(0.02)
    proc.kill()
    raise SystemExit("coordinator stand-in did not start")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=900)
    args = ap.parse_args()
    torch.set_num_threads(1)
    per_pass = len(dm.data()[0])
    rows = [("one process, no compression", *one_process(args.rounds))]
    log = tempfile.NamedTemporaryFile("w+", suffix=".log")
    proc, url = start_coordinator(log)
    try:
        for name, task, int8, ab in (("3-stage, compressed relays", "plain", False, True),
                                     ("3-stage, int8 stand-in layers", "int8", True, True),
                                     ("3-stage, default plain backward", "default", False, False)):
            with contextlib.redirect_stdout(io.StringIO()):  # the loops' progress lines
                acc, losses = asyncio.run(pipeline(url, task, args.rounds, int8, ab))
            rows.append((name, acc, losses))
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        log.close()
    print(f"digits: {args.rounds} rounds of {dm.BATCH} samples, seed {dm.SEED}, "
          f"held-out {dm.HELD_OUT} samples; final loss = mean training loss of the last {per_pass} rounds")
    print(f"{'setting':36s} {'held-out accuracy':>17s} {'final loss':>10s}")
    for name, acc, losses in rows:
        tail = losses[-per_pass:]
        print(f"{name:36s} {acc:17.4f} {sum(tail) / len(tail):10.4f}")


if __name__ == "__main__":
    main()
