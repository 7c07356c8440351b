"""Round overhead: a 3-stage pipeline (4 int8 layers of width 768 each) on one event loop
through the coordinator stand-in, against the same 12 layers run by one trainer alone
(no compression, no network), both on a [2, 512, 768] activation, in the same run.

Then the round against its matmul floor: the time of just the three float32 products of
each layer (forward, input gradient, weight gradient) at the same shapes, with the same
thread count, in the same process. `--torch-update` runs the layer's torch arithmetic in
place of its native CPU helpers (how the layer ran before them), for a before/after figure."""
import argparse
import asyncio
import pathlib
import subprocess
import sys
import time

import torch
from torch import nn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import korvane.zeb_trainable_int8 as zeb  # noqa: E402
from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
ROUNDS = 8
LAYERS, WIDTH, SHAPE = 12, 768, (2, 512, 768)


def trainer(name, up, down, layers, url="http://127.0.0.1:9"):
    t = OrvynPipelineTrainer(name, url)
    t.layer_assignment = LayerAssignment("bench", name, 0, len(layers), 0, up, down, "")
    t.layers = nn.ModuleList(layers)
    return t


# Every figure is the fastest of ROUNDS repetitions: the machine may be shared, and other
# work only ever adds time.
async def timed(trainers, x):
    async def one_round():
        await asyncio.gather(*[t.run_pipeline_round(input_data=x if t.layer_assignment.is_first_stage else None)
                               for t in trainers])

    await one_round()  # warm-up
    best = float("inf")
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        await one_round()
        best = min(best, time.perf_counter() - t0)
    return best


def matmul_floor():
    """Seconds for the 3 float32 products of each of the 12 layers, as a round needs them."""
    rows = SHAPE[0] * SHAPE[1]
    x, g = torch.randn(rows, WIDTH), torch.randn(rows, WIDTH)
    weights = [torch.randn(WIDTH, WIDTH) for _ in range(LAYERS)]

    def once():
        for w in weights:
            torch.nn.functional.linear(x, w)  # forward
            g @ w  # input gradient
            g.T @ x  # weight gradient

    once()  # warm-up
    best = float("inf")
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        once()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--torch-update", action="store_true",
                        help="run the layer's torch arithmetic instead of its native CPU helpers")
    args = parser.parse_args()
    if args.torch_update:
        zeb._int8_native = None
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
        pipelined = asyncio.run(timed(stages, x))
        alone = asyncio.run(timed([trainer("solo", None, None, layers)], x))
    finally:
        proc.terminate()
        proc.wait(10)
    floor = matmul_floor()
    overhead = (pipelined - alone) / pipelined
    update = "torch arithmetic" if zeb._int8_native is None else "native CPU update"
    print(f"round of {LAYERS} int8 layers on {list(SHAPE)}, fastest of {ROUNDS} rounds, "
          f"{torch.get_num_threads()} torch thread(s), {update}:")
    print(f"  one process, no compression or network: {alone * 1e3:.1f} ms/round ({1 / alone:.2f} rounds/s)")
    print(f"  3-stage pipeline through the stand-in:  {pipelined * 1e3:.1f} ms/round ({1 / pipelined:.2f} rounds/s)")
    print(f"  compression + relay overhead: {overhead * 100:.1f}% of the round")
    print(f"  matmul floor (3 float32 products x {LAYERS} layers): {floor * 1e3:.1f} ms")
    print(f"  one process/matmul-floor: {alone / floor:.2f}")
    print(f"round/matmul-floor: {pipelined / floor:.2f}")


if __name__ == "__main__":
    main()
