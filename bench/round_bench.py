"""Round overhead: a 3-stage pipeline (4 int8 layers of width 768 each) on one event loop
through the coordinator stand-in, against the same 12 layers run by one trainer alone
(no compression, no network), both on a [2, 512, 768] activation, in the same run.

Then the round (the pipeline's) against its matmul floor: the time of just the three
float32 products of each layer (forward, input gradient, weight gradient) at the same
shapes, with the same thread count, in the same process, in turns with the rounds.
`--torch-update` runs the reference torch arithmetic (tests/python/int8_reference.py) in
place of the native operator, for a before/after figure in the same conditions."""
import argparse
import asyncio
import os
import pathlib
import subprocess
import sys
import time

# One thread means one: torch's own threads are set below, and OpenBLAS (which torch
# does not tell) reads this when it loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import torch  # noqa: E402
from torch import nn  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
import int8_reference  # noqa: E402  (the layer's arithmetic in torch operations)
import korvane.zeb_trainable_int8 as zeb  # noqa: E402
from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
ROUNDS = 10
LAYERS, WIDTH, SHAPE = 12, 768, (2, 512, 768)


def trainer(name, up, down, layers, url="http://127.0.0.1:9"):
    t = OrvynPipelineTrainer(name, url)
    t.layer_assignment = LayerAssignment("bench", name, 0, len(layers), 0, up, down, "")
    t.layers = nn.ModuleList(layers)
    return t


def matmul_floor_pass():
    """One pass of the 3 float32 products of each of the 12 layers, as a round needs them."""
    rows = SHAPE[0] * SHAPE[1]
    x, g = torch.randn(rows, WIDTH), torch.randn(rows, WIDTH)
    weights = [torch.randn(WIDTH, WIDTH) for _ in range(LAYERS)]

    def once():
        for w in weights:
            torch.nn.functional.linear(x, w)  # forward
            g @ w  # input gradient
            g.T @ x  # weight gradient

    return once


# The three figures are measured in turns, one round of each at a time, and each is the
# fastest of ROUNDS: the machine may be shared, and other work only ever adds time.
# Each is timed twice: wall-clock, and the CPU time of this process (all its threads; the
# coordinator's own is not in it). With one thread the two agree on an idle machine; on a
# busy one the wall clock mostly measures the neighbours, so the ratios use CPU time.
async def measure(stages, solo, x):
    async def one_round(trainers):
        w0, c0 = time.perf_counter(), time.process_time()
        await asyncio.gather(*[t.run_pipeline_round(input_data=x if t.layer_assignment.is_first_stage else None)
                               for t in trainers])
        return time.perf_counter() - w0, time.process_time() - c0

    floor_once = matmul_floor_pass()

    def timed_floor():
        w0, c0 = time.perf_counter(), time.process_time()
        floor_once()
        return time.perf_counter() - w0, time.process_time() - c0

    await one_round(stages), await one_round(solo), timed_floor()  # warm-up
    wall, cpu = [float("inf")] * 3, [float("inf")] * 3
    for _ in range(ROUNDS):
        for i, (w, c) in enumerate([await one_round(stages), await one_round(solo), timed_floor()]):
            wall[i], cpu[i] = min(wall[i], w), min(cpu[i], c)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--torch-update", action="store_true",
                        help="update with the reference torch arithmetic instead of the native operator")
    args = parser.parse_args()
    if args.torch_update:
        zeb.ZEBTrainableLinear._fused_update = int8_reference.fused_update
    torch.manual_seed(0)
    torch.set_num_threads(1)
    layers = [zeb.ZEBTrainableLinear(WIDTH, WIDTH) for _ in range(LAYERS)]
    x = torch.randn(*SHAPE)
    proc = subprocess.Popen([str(ROOT / "build/bin/korvane-coordinator"), "--port", "0", "--stages", "3",
                             "--layers", str(LAYERS)], stdout=subprocess.PIPE, text=True)
    try:
        url = "http://" + proc.stdout.readline().split()[-1]
        stages = [trainer("s0", None, "s1", layers[0:4], url), trainer("s1", "s0", "s2", layers[4:8], url),
                  trainer("s2", "s1", None, layers[8:12], url)]
        wall, cpu = asyncio.run(measure(stages, [trainer("solo", None, None, layers)], x))
    finally:
        proc.terminate()
        proc.wait(10)
    (pipelined, alone, floor), (pipelined_w, alone_w, floor_w) = cpu, wall
    overhead = (pipelined - alone) / pipelined
    update = "torch arithmetic" if args.torch_update else "native CPU operator"
    print(f"round of {LAYERS} int8 layers on {list(SHAPE)}, fastest of {ROUNDS} rounds, "
          f"{torch.get_num_threads()} torch thread(s), OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}, "
          f"{update}; CPU time (wall clock):")
    print(f"  one process, no compression or network: {alone * 1e3:.1f} ms/round ({alone_w * 1e3:.1f})")
    print(f"  3-stage pipeline through the stand-in:  {pipelined * 1e3:.1f} ms/round ({pipelined_w * 1e3:.1f})")
    print(f"  compression + relay overhead: {overhead * 100:.1f}% of the round")
    print(f"  matmul floor (3 float32 products x {LAYERS} layers): {floor * 1e3:.1f} ms ({floor_w * 1e3:.1f})")
    print(f"  one process/matmul-floor: {alone / floor:.2f} ({alone_w / floor_w:.2f})")
    print(f"round/matmul-floor: {pipelined / floor:.2f}")


if __name__ == "__main__":
    main()
