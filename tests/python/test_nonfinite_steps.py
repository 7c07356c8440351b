"""Non-finite values never reach an optimizer: a step whose loss, relayed tensor or summed
gradient is not finite applies no update and says where the value came from; enough such
steps in a row end the run, and its neighbours with it. Real trainers, the real
coordinator stand-in, three stages of plain layers under autograd_backward."""
import asyncio
import math

import pytest
import torch
from torch import nn

from korvane.carrowel import OrvynPipelineTrainer

ROUNDS = 10


class PoisonedGradients(OrvynPipelineTrainer):
    """A member whose gradient posts carry infinities from micro-batch `first` on (only at
    `first` when `once`)."""

    def __init__(self, *args, first, once, **kw):
        super().__init__(*args, **kw)
        self.first, self.once = first, once

    async def send_gradient(self, grad_x, loss=None):
        k = self.micro_batch_idx
        if k == self.first or (k > self.first and not self.once):
            grad_x = grad_x * math.inf
        return await super().send_gradient(grad_x, loss)


def model():
    torch.manual_seed(5)
    return [nn.Linear(8, 16), nn.Tanh(), nn.Linear(16, 16), nn.Tanh(), nn.Linear(16, 3), nn.Identity()]


def batches():
    g = torch.Generator().manual_seed(6)
    return [(torch.randn(4, 8, generator=g), torch.randint(0, 3, (4,), generator=g)) for _ in range(ROUNDS)]


def run_three_stages(url, *, once):
    """Stage b (the middle) poisons the gradients it sends to a; returns the trainers by
    position and each loop's result or exception."""
    layers = model()

    async def main():
        trainers = [OrvynPipelineTrainer("a", url, device="cpu", autograd_backward=True),
                    PoisonedGradients("b", url, device="cpu", autograd_backward=True, first=5, once=once),
                    OrvynPipelineTrainer("c", url, device="cpu", autograd_backward=True)]
        await asyncio.wait_for(asyncio.gather(*(t.join_pipeline("poison") for t in trainers)), 30)
        by_position = sorted(trainers, key=lambda t: t.layer_assignment.pipeline_position)
        assert [t.trainer_id for t in by_position] == ["a", "b", "c"]
        for t in trainers:
            a = t.layer_assignment
            t.layers = nn.ModuleList(layers[a.layer_start:a.layer_end])
        loops = [t.run_training_loop(dataloader=batches(), num_rounds=ROUNDS, lr=0.05) for t in trainers]
        results = await asyncio.wait_for(asyncio.gather(*loops, return_exceptions=True), 120)
        return trainers, results

    return asyncio.run(main())


def finite_weights(trainer):
    return all(torch.isfinite(p).all() for layer in trainer.layers for p in layer.parameters())


def test_one_poisoned_gradient_is_skipped_with_one_warning(coordinator, capsys):
    url = coordinator(stages=3, layers=6)
    trainers, results = run_three_stages(url, once=True)
    out = capsys.readouterr().out
    for t, r in zip(trainers, results):
        assert not isinstance(r, BaseException), (t.trainer_id, r)
        assert r["rounds_completed"] == ROUNDS
        assert finite_weights(t), t.trainer_id
    warnings = [line for line in out.splitlines() if "applied no update" in line]
    assert warnings == ["  Warning: step at micro-batch 5 applied no update: non-finite values, first a gradient "
                        "received from trainer b at micro-batch 5"], out
    assert all(math.isfinite(loss) for loss in results[2]["losses"])


def test_poisoned_gradients_in_a_row_end_the_run_naming_their_sender(coordinator, capsys):
    url = coordinator(stages=3, layers=6)
    trainers, results = run_three_stages(url, once=False)
    a = results[0]
    assert isinstance(a, RuntimeError), a
    assert str(a) == ("3 steps in a row had non-finite gradients (the last: a gradient received from trainer b at "
                      "micro-batch 7); stopping, as max_nonfinite_steps is 3")
    for t, r in zip(trainers[1:], results[1:]):
        assert isinstance(r, Exception), (t.trainer_id, r)  # the neighbours end too
    assert all(finite_weights(t) for t in trainers)
    assert capsys.readouterr().out.count("applied no update") == 3


def test_max_nonfinite_steps_is_checked():
    with pytest.raises(ValueError, match="max_nonfinite_steps must be at least 1"):
        OrvynPipelineTrainer("x", "http://127.0.0.1:9", max_nonfinite_steps=0)
    with pytest.raises(TypeError):
        OrvynPipelineTrainer("x", "http://127.0.0.1:9", max_nonfinite_steps=2.0)
    assert OrvynPipelineTrainer("x", "http://127.0.0.1:9", max_nonfinite_steps=5).max_nonfinite_steps == 5
