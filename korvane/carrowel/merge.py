"""Put a pipeline's stages back together into one model.

    python3 -m korvane.carrowel.merge DIR... [--output merged.pt] [--step N]

Each DIR is one trainer's --checkpoint-dir. The latest checkpoint of every directory (or
the one of step N) is read; their slices must be of one step, and together
cover the layers 0..L-1 without a gap or an overlap. The result is one state_dict whose
keys are the layers' positions in the whole model ("3.qkv.weight" for layer 3), so that

    model = torch.nn.Sequential(*all_layers)
    model.load_state_dict(torch.load("merged.pt", weights_only=True))

gives the trained model in one process. Parameter-less layers have no keys, as in any
nn.Sequential's state_dict. The int8 layers' buffers come along under their own names.
"""
from __future__ import annotations

import argparse
import os
import re
import stat
import sys
from dataclasses import dataclass
import collections.abc
from typing import Any

CHECKPOINT_NAME = re.compile(r"checkpoint-(\d{8,})\.pt")


class MergeError(Exception):
    """The directories do not make one model; the message says why."""


@dataclass
class StageFile:
    directory: str
    path: str
    step: int
    layer_start: int
    layer_end: int
    first_stage: bool
    last_stage: bool
    layers: dict[str, Any]


def checkpoint_steps(directory: str) -> list[int]:
    """The steps of the checkpoints in `directory`, ascending: regular files named exactly as a
    trainer names them (links are not followed, as the trainer does not follow them)."""
    if not os.path.lexists(directory):
        raise MergeError(f"{directory}: no such directory")
    if not os.path.isdir(directory):
        raise MergeError(f"{directory}: not a directory")
    steps = []
    for name in os.listdir(directory):
        m = CHECKPOINT_NAME.fullmatch(name)
        if not m or name != f"checkpoint-{int(m.group(1)):08d}.pt":
            continue
        if stat.S_ISREG(os.lstat(os.path.join(directory, name)).st_mode):
            steps.append(int(m.group(1)))
    return sorted(steps)


def read_stage(directory: str, step: int | None = None) -> StageFile:
    """The checkpoint of `step` (default: the latest) in `directory`, with where its slice sits."""
    import torch

    steps = checkpoint_steps(directory)
    if not steps:
        raise MergeError(f"{directory}: holds no checkpoint (checkpoint-NNNNNNNN.pt)")
    if step is None:
        step = steps[-1]
    elif step not in steps:
        raise MergeError(f"{directory}: has no checkpoint of step {step} (it has {', '.join(map(str, steps))})")
    path = os.path.join(directory, f"checkpoint-{step:08d}.pt")
    try:
        state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as e:  # a truncated or foreign file: say which
        raise MergeError(f"{path}: cannot be loaded: {str(e).splitlines()[0] if str(e) else type(e).__name__}") from e
    if not isinstance(state, dict) or "layers" not in state or "step" not in state:
        raise MergeError(f"{path}: not a trainer checkpoint (it lacks 'layers' or 'step')")
    where = state.get("slice")
    if not isinstance(where, dict):
        raise MergeError(f"{path}: does not say which layers it holds (written by a trainer that does not record "
                         "its slice); save it again with this version")
    try:
        return StageFile(directory=directory, path=path, step=int(state["step"]), layer_start=int(where["layer_start"]), layer_end=int(where["layer_end"]),
                         first_stage=bool(where["first_stage"]), last_stage=bool(where["last_stage"]),
                         layers=dict(state["layers"]))
    except (KeyError, TypeError, ValueError) as e:
        raise MergeError(f"{path}: its slice record is incomplete ({e})") from e


def check_cover(stages: collections.abc.Sequence[StageFile]) -> None:
    """One step, layers 0..L-1 each held exactly once."""
    steps = {s.step for s in stages}
    if len(steps) > 1:
        raise MergeError("the latest checkpoints are of different steps (" +
                         ", ".join(f"{s.directory}: step {s.step}" for s in stages) +
                         "); choose one that every directory keeps with --step")
    ordered = sorted(stages, key=lambda s: (s.layer_start, s.layer_end))
    expected = 0
    for s in ordered:
        if s.layer_start > expected:
            raise MergeError(f"layers {expected}-{s.layer_start - 1} are missing: no directory holds them "
                             f"(the next, {s.directory}, starts at layer {s.layer_start})")
        if s.layer_start < expected:
            holders = [o.directory for o in ordered if o is not s and o.layer_start < s.layer_end and s.layer_start < o.layer_end]
            raise MergeError(f"{s.directory} (layers {s.layer_start}-{s.layer_end - 1}) overlaps "
                             f"{', '.join(holders)}")
        expected = s.layer_end
    if not ordered[-1].last_stage:
        raise MergeError(f"the last stage is missing: {ordered[-1].directory} ends at layer "
                         f"{ordered[-1].layer_end - 1}, but it was not the pipeline's last stage")
    if not ordered[0].first_stage:
        raise MergeError(f"the first stage is missing: {ordered[0].directory} was not the pipeline's first stage")


def merge(directories: collections.abc.Sequence[str],
          step: int | None = None) -> tuple[dict[str, Any], list[StageFile]]:
    """(state_dict of the whole model, the stages in layer order)."""
    if not directories:
        raise MergeError("name at least one checkpoint directory")
    stages = [read_stage(d, step) for d in directories]
    check_cover(stages)
    stages.sort(key=lambda s: s.layer_start)
    merged: dict[str, Any] = {}
    for s in stages:
        for key, value in s.layers.items():
            local, _, rest = key.partition(".")
            if not local.isdigit() or not rest or int(local) >= s.layer_end - s.layer_start:
                raise MergeError(f"{s.path}: key '{key}' is not of a layer of its slice")
            merged[f"{s.layer_start + int(local)}.{rest}"] = value
    return merged, stages


def main(argv: collections.abc.Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m korvane.carrowel.merge",
        description="Join the stages' latest checkpoints into one state_dict for the whole model "
                    "(keys by layer position, loadable into the full nn.Sequential).")
    parser.add_argument("directories", nargs="+", metavar="DIR", help="a trainer's --checkpoint-dir, one per stage")
    parser.add_argument("--output", "-o", default="merged.pt", help="where to write the state_dict (default merged.pt)")
    parser.add_argument("--step", type=int, default=None, help="merge the checkpoints of this step, not the latest")
    args = parser.parse_args(argv)
    try:
        merged, stages = merge(args.directories, args.step)
    except MergeError as e:
        print(f"merge: {e}", file=sys.stderr)
        return 1
    import torch

    tmp = f"{args.output}.tmp-{os.getpid()}"
    torch.save(merged, tmp)
    os.replace(tmp, args.output)
    print(f"merged {len(stages)} stages at step {stages[0].step}: "
          f"layers 0-{stages[-1].layer_end - 1}, {len(merged)} tensors -> {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
