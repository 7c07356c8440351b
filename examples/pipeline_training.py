"""Three trainers of one pipeline in one process, on one event loop, training on a small
synthetic classification task through the coordinator stand-in.

    build/bin/korvane-coordinator --port 9545 --stages 3 --layers 3 &
    PYTHONPATH=. /usr/bin/python3 examples/pipeline_training.py --coordinator http://127.0.0.1:9545

The first stage feeds inputs, the last stage feeds labels (both draw from their own copy
of the same data source, so they stay aligned batch by batch), the middle stage only
relays. Every tensor between stages travels compressed to signs plus group scales.
"""
import argparse
import asyncio

import torch

from korvane.carrowel import OrvynPipelineTrainer

CLASSES = 10


def make_dataset(batches, batch_size, seed):
    """Inputs of width 768 whose class is decided by a fixed random linear teacher."""
    g = torch.Generator().manual_seed(seed)
    teacher = torch.randn(768, CLASSES, generator=g)
    data = []
    for _ in range(batches):
        x = torch.randn(batch_size, 768, generator=g)
        data.append((x, (x @ teacher).argmax(dim=1)))
    return data


async def train(coordinator, rounds, lr, seed, task_id):
    torch.manual_seed(seed)
    data = make_dataset(batches=4, batch_size=64, seed=seed)
    trainers = [OrvynPipelineTrainer(f"stage_{i}", coordinator) for i in range(3)]
    # Joining holds each request until all three have joined, so join them together.
    assignments = await asyncio.gather(*(t.join_pipeline(task_id) for t in trainers))
    # The coordinator assigns positions in join order: line the trainers up by position.
    position = {id(t): a.pipeline_position for t, a in zip(trainers, assignments)}
    trainers.sort(key=lambda t: position[id(t)])
    losses: list[float] = []

    def report(i: int, loss: float) -> None:
        losses.append(loss)
        print(f"round {i:3d}  loss {loss:.4f}")

    results = await asyncio.gather(
        trainers[0].run_training_loop(dataloader=data, num_rounds=rounds, lr=lr),
        trainers[1].run_training_loop(num_rounds=rounds, lr=lr),
        trainers[2].run_training_loop(dataloader=data, num_rounds=rounds, lr=lr, on_round_complete=report),
    )
    await asyncio.gather(*(t.leave_pipeline() for t in trainers))  # the run is over: the coordinator may end it
    return losses, results


def main(argv=None):
    ap = argparse.ArgumentParser(description="Train a 3-stage pipeline through the coordinator.")
    ap.add_argument("--coordinator", default="http://localhost:9545")
    ap.add_argument("--rounds", type=int, default=40)
    ap.add_argument("--lr", type=float, default=0.003)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--task-id", default="example-task")
    args = ap.parse_args(argv)
    losses, _ = asyncio.run(train(args.coordinator, args.rounds, args.lr, args.seed, args.task_id))
    k = max(1, len(losses) // 5)
    print(f"first rounds {sum(losses[:k]) / k:.4f} -> last rounds {sum(losses[-k:]) / k:.4f}")
    return losses


if __name__ == "__main__":
    main()
