"""One trainer process of a replicated pipeline, for the lost-replica test.

    python3 replica_worker.py URL TASK TRAINER_ID TOKEN METRICS_FILE STEPS

Joins the task (the coordinator gives it a stage and a lane), trains a small model on a
seeded data set, its lane's shard of it, and prints `regrouped in S s (generation G, N
replicas)` for each regrouping of its stage's group. Exits 1 with the error on stderr
when its run fails."""
import faulthandler
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


def main():
    faulthandler.enable()  # a crash in a native library shows where it happened
    url, task, trainer_id, token, metrics, steps = sys.argv[1:7]
    t = OrvynPipelineTrainerSync(trainer_id=trainer_id, coordinator_url=url, device="cpu", token=token,
                                 metrics_file=metrics, autograd_backward=True)
    a = t.join_pipeline(task_id=task)
    t._trainer.layers = nn.ModuleList(model(a.pipeline_position))
    group = t._trainer.replica_group
    try:
        t.run_training_loop(dataloader=SlowData(), num_rounds=int(steps), lr=0.05, micro_batches=2)
    except Exception as e:  # noqa: BLE001 - the test reads the message
        print(f"run failed: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
    finally:
        for seconds, generation, size in (group.regroups if group is not None else []):
            print(f"regrouped in {seconds:.2f} s (generation {generation}, {size} replicas)", flush=True)
    t.leave_pipeline()


if __name__ == "__main__":
    main()
