"""One trainer process of a replicated pipeline, for the lost-replica test.

    python3 replica_worker.py URL TASK TRAINER_ID TOKEN METRICS_FILE STEPS [SPLIT_STEP]

Joins the task (the coordinator gives it a stage and a lane), trains a small model on a
seeded data set, its lane's shard of it, and prints `regrouped in S s (generation G, N
replicas)` for each regrouping of its stage's group and `took step S from a replica
ahead` for each averaging it adopted. Exits 1 with the error on stderr when its run fails.

With SPLIT_STEP k, the all-reduce of step k on the last stage completes everywhere, and
then, as if lane 2's replica had died in the middle of it, fails on lane 1's replica
while lane 2's dies: lane 0's goes on to step k+1 and the survivors regroup a step apart."""
import faulthandler
import os
import signal
import sys
import time

import torch
from torch import nn

from korvane.carrowel import OrvynPipelineTrainerSync


def model(stage):
    torch.manual_seed(100 + stage)  # every lane builds the same stage alike (the group would mend it anyway)
    return [nn.Linear(8, 16), nn.ReLU()] if stage == 0 else [nn.Linear(16, 4)]


class SlowData:
    """The same batches for every trainer, each a little slow to come, so that a run is
    long enough for the test to kill a replica in the middle of it."""

    def __init__(self):
        g = torch.Generator().manual_seed(7)
        self.batches = [(torch.randn(4, 8, generator=g), torch.randint(0, 4, (4,), generator=g)) for _ in range(24)]

    def __len__(self):
        return len(self.batches)

    def __iter__(self):
        for b in self.batches:
            time.sleep(0.01)
            yield b


MICRO_BATCHES = 2


def split_at(group, lane, step):
    """Step `step`'s all-reduce completes, then fails here (lane 1) or kills this process
    a moment later (lane 2), once the others are sure to have completed it too."""
    real, micro_batch = group._allreduce, step * MICRO_BATCHES

    def allreduce(tensors):
        real(tensors)
        if round(tensors[-1][2].item() / group.world_size) != micro_batch or group.generation != 0:
            return
        if lane == 2:
            time.sleep(0.3)
            os.kill(os.getpid(), signal.SIGKILL)
        raise RuntimeError("Connection closed by peer")
    group._allreduce = allreduce


def main():
    faulthandler.enable()  # a crash in a native library shows where it happened
    url, task, trainer_id, token, metrics, steps = sys.argv[1:7]
    split = int(sys.argv[7]) if len(sys.argv) > 7 else None
    t = OrvynPipelineTrainerSync(trainer_id=trainer_id, coordinator_url=url, device="cpu", token=token,
                                 metrics_file=metrics, autograd_backward=True)
    a = t.join_pipeline(task_id=task)
    t._trainer.layers = nn.ModuleList(model(a.pipeline_position))
    group = t._trainer.replica_group
    if split is not None and a.pipeline_position == 1 and t._trainer.lane in (1, 2):
        split_at(group, t._trainer.lane, split)
    try:
        t.run_training_loop(dataloader=SlowData(), num_rounds=int(steps), lr=0.05, micro_batches=MICRO_BATCHES)
    except Exception as e:  # noqa: BLE001 - the test reads the message
        print(f"run failed: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
    finally:
        for seconds, generation, size in (group.regroups if group is not None else []):
            print(f"regrouped in {seconds:.2f} s (generation {generation}, {size} replicas)", flush=True)
        for step in (group.adopted if group is not None else []):
            print(f"took step {step} from a replica ahead", flush=True)
    t.leave_pipeline()


if __name__ == "__main__":
    main()
