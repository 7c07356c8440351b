"""Models for the tests of the training controls from the command line: a two-stage
classifier whose first layer notes the first training input it sees, with a shuffling
DataLoader seeded inside the function, as a user would write one."""
import os

import torch
from torch import nn


class NoteFirstInput(nn.Module):
    """Passes its input on; the first one seen in training goes to $CONTROLS_FIRST_INPUT."""

    def __init__(self):
        super().__init__()
        self.noted = False

    def forward(self, x):
        path = os.environ.get("CONTROLS_FIRST_INPUT")
        if path and not self.noted and torch.is_grad_enabled():
            torch.save(x.detach().clone(), path)
            self.noted = True
        return x


def samples(seed, count):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(count, 8, generator=g)
    return x, (x[:, 0] > 0).long() + (x[:, 1] > 0).long()


def loader(seed=5):
    """What the stages train on: 64 samples, reshuffled each pass from its own generator."""
    return torch.utils.data.DataLoader(torch.utils.data.TensorDataset(*samples(1, 64)), batch_size=16, shuffle=True,
                                       generator=torch.Generator().manual_seed(seed))


def stage(assignment):
    torch.manual_seed(0)
    layers = [NoteFirstInput(), nn.Linear(8, 32), nn.LayerNorm(32), nn.Linear(32, 3)]
    x, y = samples(2, 32)
    return {"layers": layers[assignment.layer_start:assignment.layer_end], "train_data": loader(),
            "eval_data": [(x[:16], y[:16]), (x[16:], y[16:])],
            "optimizer": lambda params: torch.optim.Adam(params, lr=3e-3),
            "lr_scheduler": lambda opt: torch.optim.lr_scheduler.StepLR(opt, step_size=10, gamma=0.5)}
