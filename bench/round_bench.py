"""Round overhead: a 3-stage pipeline (4 int8 layers of width 768 each) on one event loop
through the coordinator stand-in, against the same 12 layers run by one trainer alone
(no compression, no network), both on a [2, 512, 768] activation, in the same run."""
import asyncio
import pathlib
import subprocess
import sys
import time

import torch
from torch import nn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
from korvane.zeb_trainable_int8 import ZEBTrainableLinear

ROOT = pathlib.Path(__file__).resolve().parents[1]
ROUNDS = 8


def trainer(name, up, down, layers, url="http://127.0.0.1:9"):
    t = OrvynPipelineTrainer(name, url)
    t.layer_assignment = LayerAssignment("bench", name, 0, len(layers), 0, up, down, "")
    t.layers = nn.ModuleList(layers)
    return t


async def timed(trainers, x):
    await asyncio.gather(*[t.run_pipeline_round(input_data=x if t.layer_assignment.is_first_stage else None)
                           for t in trainers])  # warm-up
    t0 = time.perf_counter()
    for _ in range(ROUNDS):
        await asyncio.gather(*[t.run_pipeline_round(input_data=x if t.layer_assignment.is_first_stage else None)
                               for t in trainers])
    return (time.perf_counter() - t0) / ROUNDS


def main():
    torch.manual_seed(0)
    torch.set_num_threads(1)
    layers = [ZEBTrainableLinear(768, 768) for _ in range(12)]
    x = torch.randn(2, 512, 768)
    proc = subprocess.Popen([str(ROOT / "build/bin/korvane-coordinator"), "--port", "0", "--stages", "3", "--layers", "12"],
                            stdout=subprocess.PIPE, text=True)
    try:
        url = "http://" + proc.stdout.readline().split()[-1]
        stages = [trainer("s0", None, "s1", layers[0:4], url), trainer("s1", "s0", "s2", layers[4:8], url),
                  trainer("s2", "s1", None, layers[8:12], url)]
        pipelined = asyncio.run(timed(stages, x))
        alone = asyncio.run(timed([trainer("solo", None, None, layers)], x))
    finally:
        proc.terminate()
        proc.wait(10)
    overhead = (pipelined - alone) / pipelined
    print(f"round of 12 int8 layers on [2, 512, 768], {ROUNDS} rounds, one thread:")
    print(f"  one process, no compression or network: {alone * 1e3:.1f} ms/round ({1 / alone:.2f} rounds/s)")
    print(f"  3-stage pipeline through the stand-in:  {pipelined * 1e3:.1f} ms/round ({1 / pipelined:.2f} rounds/s)")
    print(f"  compression + relay overhead: {overhead * 100:.1f}% of the round")


if __name__ == "__main__":
    main()
