"""The language-model example through three real trainer processes, and its stages'
checkpoints put back together: the merged model, run in one process with the same codec
at the boundaries, must give the pipeline's own held-out loss to the last bit."""
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest
import torch

from examples import lm_model as lm
from examples import lm_reference as ref
from korvane.carrowel import merge

REPO = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
LAYERS = lm.BLOCKS + 2


def cli_env():
    return dict(os.environ, PYTHONPATH=f"{REPO}:{HERE}", OMP_NUM_THREADS="1", PYTHONUNBUFFERED="1")


def run_pipeline(url, tmp_path, task, rounds, extra=()):
    procs = []
    for i in range(3):
        cmd = [sys.executable, "-m", "korvane.carrowel", "--task-id", task, "--trainer-id", f"s{i}",
               "--coordinator", url, "--model", "examples.lm_model:stage", "--autograd-backward",
               "--micro-batches", "2", "--rounds", str(rounds), "--checkpoint-dir", str(tmp_path / f"ckpt{i}"),
               "--metrics-file", str(tmp_path / f"metrics{i}.jsonl"), *extra]
        procs.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                      env=cli_env(), cwd=REPO))
        time.sleep(0.3)  # positions go by join order
    outs = [p.communicate(timeout=300) for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0], [o[0][-2000:] + o[1][-2000:] for o in outs]
    evaluations = []
    for i in range(3):
        for line in (tmp_path / f"metrics{i}.jsonl").read_text().splitlines():
            if "evaluation" in (record := json.loads(line)):
                evaluations.append(record["evaluation"])
    assert len(evaluations) == 1, evaluations  # the last stage's, once at the end
    return evaluations[0], [o[0] for o in outs]


def test_the_example_trains_through_three_processes_and_merges_back_exactly(coordinator, tmp_path):
    url = coordinator(stages=3, layers=LAYERS)
    evaluation, outs = run_pipeline(url, tmp_path, "lm", rounds=3)
    _, held_out = lm.data()
    assert evaluation["samples"] == sum(y.numel() for _, y in held_out)  # every held-out byte predicted
    assert 0 < evaluation["loss"] < 8

    dirs = [str(tmp_path / f"ckpt{i}") for i in range(3)]
    out = tmp_path / "merged.pt"
    done = subprocess.run([sys.executable, "-m", "korvane.carrowel.merge", *reversed(dirs), "--output", str(out)],
                          capture_output=True, text=True, env=cli_env(), cwd=REPO, timeout=120)
    assert done.returncode == 0, done.stderr
    assert f"at step 3: layers 0-{LAYERS - 1}" in done.stdout

    layers = lm.build_layers()
    model = torch.nn.Sequential(*layers)
    untrained = {k: v.clone() for k, v in model.state_dict().items()}
    model.load_state_dict(torch.load(out, weights_only=True))  # strict: every key, no stranger
    assert not all(torch.equal(untrained[k], v) for k, v in model.state_dict().items())
    # The same model without the codec sees other inputs: close, not equal.
    assert abs(ref.evaluate(model, held_out) - evaluation["loss"]) > 1e-6
    # Bit for bit needs the trainers' thread count too: BLAS splits its sums by threads.
    assert evaluate_in_one_process(out, "sign", "sign") == repr(evaluation["loss"])


def evaluate_in_one_process(state_file, activation_codec, gradient_codec):
    code = ("import sys, torch\n"
            "from examples import lm_model as lm, lm_reference as ref\n"
            "layers = lm.build_layers()\n"
            "torch.nn.Sequential(*layers).load_state_dict(torch.load(sys.argv[1], weights_only=True))\n"
            "model = ref.with_boundaries(layers, 3, sys.argv[2], sys.argv[3])\n"
            "print(repr(ref.evaluate(model, lm.data()[1])))\n")
    done = subprocess.run([sys.executable, "-c", code, str(state_file), activation_codec, gradient_codec],
                          capture_output=True, text=True, env=cli_env(), cwd=REPO, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def fake_checkpoint(directory, step, start, end, first, last, layers=None):
    directory.mkdir(parents=True, exist_ok=True)
    state = {"layers": layers if layers is not None else {f"{i}.weight": torch.full((2,), float(start + i))
                                                          for i in range(end - start)},
             "step": step, "micro_batch_idx": step,
             "slice": {"layer_start": start, "layer_end": end, "pipeline_position": 0,
                       "first_stage": first, "last_stage": last}}
    torch.save(state, directory / f"checkpoint-{step:08d}.pt")


def three_stages(tmp_path, steps=(5, 5, 5)):
    spans = [(0, 2, True, False), (2, 4, False, False), (4, 5, False, True)]
    dirs = []
    for i, (span, step) in enumerate(zip(spans, steps)):
        fake_checkpoint(tmp_path / f"d{i}", step, *span)
        dirs.append(str(tmp_path / f"d{i}"))
    return dirs


def test_merge_maps_each_stage_to_its_global_layer_positions(tmp_path):
    dirs = three_stages(tmp_path)
    fake_checkpoint(tmp_path / "d1", 3, 2, 4, False, False)  # an older one beside it
    merged, stages = merge.merge(dirs[::-1])
    assert [s.layer_start for s in stages] == [0, 2, 4] and {s.step for s in stages} == {5}
    assert sorted(merged) == [f"{i}.weight" for i in range(5)]
    assert all(merged[f"{i}.weight"][0].item() == i for i in range(5))


@pytest.mark.parametrize("case, message", [
    ("gap", "layers 2-3 are missing"),
    ("overlap", "overlaps"),
    ("missing directory", "no such directory"),
    ("empty directory", "holds no checkpoint"),
    ("different steps", "different steps"),
    ("no last stage", "the last stage is missing"),
    ("no slice record", "does not say which layers it holds"),
    ("not a checkpoint", "cannot be loaded"),
])
def test_merge_refuses_what_is_not_one_model(tmp_path, case, message):
    dirs = three_stages(tmp_path)
    if case == "gap":
        dirs = [dirs[0], dirs[2]]
    elif case == "overlap":
        dirs = dirs + [dirs[1]]
    elif case == "missing directory":
        dirs[1] = str(tmp_path / "nowhere")
    elif case == "empty directory":
        os.remove(os.path.join(dirs[1], "checkpoint-00000005.pt"))
    elif case == "different steps":
        fake_checkpoint(tmp_path / "d2", 6, 4, 5, False, True)
    elif case == "no last stage":
        dirs = dirs[:2]
    elif case == "no slice record":
        torch.save({"layers": {}, "step": 5}, tmp_path / "d1" / "checkpoint-00000005.pt")
    elif case == "not a checkpoint":
        (tmp_path / "d1" / "checkpoint-00000005.pt").write_bytes(b"truncated")
    with pytest.raises(merge.MergeError, match=message):
        merge.merge(dirs)
    out = tmp_path / "merged.pt"
    assert merge.main([*dirs, "--output", str(out)]) == 1
    assert not out.exists()  # nothing half-written for a refused merge


def test_merge_of_an_older_step_that_every_directory_keeps(tmp_path, capsys):
    dirs = three_stages(tmp_path)
    fake_checkpoint(tmp_path / "d2", 6, 4, 5, False, True)  # the last stage went one step further
    for d in dirs:
        fake_checkpoint(pathlib.Path(d), 4, *{0: (0, 2, True, False), 1: (2, 4, False, False),
                                              2: (4, 5, False, True)}[dirs.index(d)])
    assert merge.main([*dirs, "--step", "5", "--output", str(tmp_path / "m.pt")]) == 0
    assert "at step 5" in capsys.readouterr().out
    assert merge.main([*dirs, "--step", "6", "--output", str(tmp_path / "m.pt")]) == 1
    assert "has no checkpoint of step 6" in capsys.readouterr().err
