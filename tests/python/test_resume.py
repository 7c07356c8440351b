"""Checkpoints, resume and roll-back: files on disk, exact resume in one process, and a
trainer process killed mid-run and resumed while its neighbours wait (bench/resume_check.py)."""
import os
import stat
import subprocess
import sys

import pytest
import torch
from torch import nn

from korvane.carrowel import OrvynPipelineTrainerSync

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import resume_model  # noqa: E402


def one_stage(url, tmp_path, name, **kw):
    """A single-stage pipeline (first and last at once) on the small mixed model."""
    t = OrvynPipelineTrainerSync(name, url, device="cpu", autograd_backward=True, **kw)
    a = t.join_pipeline(name)
    model = resume_model.stage(a)
    t._trainer.layers = model["layers"]
    t._trainer.optimizer = model["optimizer"]
    return t, model["train_data"]


def test_checkpoints_keep_the_last_two_and_load_with_weights_only(coordinator, tmp_path):
    url = coordinator(stages=1, layers=6)
    ckpt = tmp_path / "ckpt"
    t, data = one_stage(url, tmp_path, "keep", checkpoint_dir=str(ckpt), checkpoint_every=2)
    t.run_training_loop(dataloader=data, num_rounds=5, lr=1e-3)
    # The last two, and no temporary file left behind.
    assert sorted(os.listdir(ckpt)) == ["checkpoint-00000004.pt", "checkpoint-00000005.pt", "member_secret"]
    # The member secret the coordinator handed out, readable by its owner only.
    assert stat.S_IMODE(os.stat(ckpt / "member_secret").st_mode) == 0o600
    assert len((ckpt / "member_secret").read_text()) >= 16
    for name in ("checkpoint-00000004.pt", "checkpoint-00000005.pt"):
        assert stat.S_IMODE(os.stat(ckpt / name).st_mode) == 0o600, name
    state = torch.load(ckpt / "checkpoint-00000005.pt", weights_only=True)
    assert state["micro_batch_idx"] == 5 and state["step"] == 5 and len(state["losses"]) == 5
    layers = t._trainer.layers
    for key, value in layers.state_dict().items():
        assert torch.equal(state["layers"][key], value), key
    assert state["optimizer"]["state"], "the plain layers' Adam moments are kept"
    assert state["layer_counters"] == {"1": layers[1].update_count, "4": layers[4].update_count}
    assert "prev_signs" in "".join(state["layers"])  # the int8 layers' optimiser buffers


def test_nothing_is_written_without_a_checkpoint_dir(coordinator, tmp_path, monkeypatch):
    url = coordinator(stages=1, layers=6)
    monkeypatch.chdir(tmp_path)
    t, data = one_stage(url, tmp_path, "plain")
    t.run_training_loop(dataloader=data, num_rounds=3, lr=1e-3)
    assert os.listdir(tmp_path) == [] or all(p.startswith("coordinator") for p in os.listdir(tmp_path))


def test_resume_goes_on_exactly_where_the_checkpoint_left(coordinator, tmp_path):
    url = coordinator(stages=1, layers=6)
    whole, data = one_stage(url, tmp_path, "whole", checkpoint_dir=str(tmp_path / "whole"), checkpoint_every=3)
    whole.run_training_loop(dataloader=data, num_rounds=8, lr=1e-3)

    first, data = one_stage(url, tmp_path, "split", checkpoint_dir=str(tmp_path / "split"), checkpoint_every=3)
    first.run_training_loop(dataloader=data, num_rounds=4, lr=1e-3)  # saves 3 and 4 (its end)
    torch.manual_seed(99)  # a resumed process starts with other random states
    again, data = one_stage(url, tmp_path, "split", checkpoint_dir=str(tmp_path / "split"), checkpoint_every=3,
                            resume=True)
    metrics = again.run_training_loop(dataloader=data, num_rounds=8, lr=1e-3)
    assert metrics["rounds_completed"] == 8 and len(metrics["losses"]) == 8
    a = torch.load(tmp_path / "whole" / "checkpoint-00000008.pt", weights_only=True)
    b = torch.load(tmp_path / "split" / "checkpoint-00000008.pt", weights_only=True)
    for key in a["layers"]:
        assert torch.equal(a["layers"][key], b["layers"][key]), key
    assert torch.equal(a["losses"], b["losses"]) and a["micro_batch_idx"] == b["micro_batch_idx"] == 8
    assert torch.equal(a["rng"]["torch"], b["rng"]["torch"])


def saved_run(url, tmp_path, name):
    """A finished run of 4 steps whose directory keeps the checkpoints of steps 2 and 4."""
    ckpt = tmp_path / name
    t, data = one_stage(url, tmp_path, name, checkpoint_dir=str(ckpt), checkpoint_every=2)
    t.run_training_loop(dataloader=data, num_rounds=4, lr=1e-3)
    assert sorted(p.name for p in ckpt.glob("checkpoint-*")) == ["checkpoint-00000002.pt", "checkpoint-00000004.pt"]
    return ckpt


def resume(url, tmp_path, name, ckpt):
    t, data = one_stage(url, tmp_path, name, checkpoint_dir=str(ckpt), checkpoint_every=2, resume=True)
    return t.run_training_loop(dataloader=data, num_rounds=6, lr=1e-3)


def test_a_truncated_latest_checkpoint_falls_back_to_the_one_before(coordinator, tmp_path, capsys):
    url = coordinator(stages=1, layers=6)
    ckpt = saved_run(url, tmp_path, "cut")
    latest = ckpt / "checkpoint-00000004.pt"
    latest.write_bytes(latest.read_bytes()[:200])
    capsys.readouterr()
    metrics = resume(url, tmp_path, "cut", ckpt)
    out = capsys.readouterr().out
    assert f"  Warning: checkpoint: cannot load {latest}: " in out
    assert "Resumed from the checkpoint of step 2 (micro-batch 2)" in out
    assert metrics["rounds_completed"] == 6


def test_no_loadable_checkpoint_is_an_error_naming_the_directory(coordinator, tmp_path):
    url = coordinator(stages=1, layers=6)
    ckpt = saved_run(url, tmp_path, "gone")
    for f in ckpt.glob("checkpoint-*"):
        f.write_bytes(b"not a checkpoint")
    with pytest.raises(RuntimeError, match=f"none of the 2 checkpoints in {ckpt} can be loaded"):
        resume(url, tmp_path, "gone", ckpt)


def test_links_and_out_of_range_numbers_are_passed_over_with_a_warning(coordinator, tmp_path, capsys):
    url = coordinator(stages=1, layers=6)
    ckpt = saved_run(url, tmp_path, "odd")
    (ckpt / "checkpoint-00000009.pt").symlink_to("/etc/passwd")
    (ckpt / "checkpoint-99999999999999999999.pt").write_bytes(b"")
    capsys.readouterr()
    metrics = resume(url, tmp_path, "odd", ckpt)
    out = capsys.readouterr().out
    assert f"  Warning: checkpoint: ignoring {ckpt}/checkpoint-00000009.pt: a symbolic link, not followed" in out
    assert f"  Warning: checkpoint: ignoring {ckpt}/checkpoint-99999999999999999999.pt: not a step number" in out
    assert "Resumed from the checkpoint of step 4 (micro-batch 4)" in out
    assert metrics["rounds_completed"] == 6
    assert (ckpt / "checkpoint-00000009.pt").is_symlink()  # neither followed nor pruned


def test_a_checkpoint_of_non_finite_weights_is_refused_by_name(coordinator, tmp_path):
    url = coordinator(stages=1, layers=6)
    ckpt = saved_run(url, tmp_path, "nan")
    latest = ckpt / "checkpoint-00000004.pt"
    state = torch.load(latest, weights_only=True)
    key = next(k for k, v in state["layers"].items() if k.endswith("weight") and v.is_floating_point())
    state["layers"][key][0] = float("nan")
    torch.save(state, latest)
    with pytest.raises(RuntimeError, match=f"checkpoint: {latest} holds weights that are not finite"):
        resume(url, tmp_path, "nan", ckpt)


def test_non_finite_weights_are_never_saved(coordinator, tmp_path):
    url = coordinator(stages=1, layers=6)
    ckpt = tmp_path / "never"
    t, data = one_stage(url, tmp_path, "never", checkpoint_dir=str(ckpt), checkpoint_every=1)
    with torch.no_grad():
        next(p for p in t._trainer.layers.parameters() if p.is_floating_point()).fill_(float("inf"))
    with pytest.raises(RuntimeError, match="the weights after step 0 are not finite; nothing was written"):
        t.run_training_loop(dataloader=data, num_rounds=2, lr=1e-3)
    assert not list(ckpt.glob("checkpoint-*"))


@pytest.mark.parametrize("kw, error", [
    ({"checkpoint_every": 5}, ValueError),
    ({"resume": True}, ValueError),
    ({"checkpoint_dir": "d", "checkpoint_every": -1}, ValueError),
    ({"checkpoint_dir": 3}, TypeError),
    ({"rejoin_timeout": float("nan")}, ValueError),
    ({"rejoin_timeout": "5"}, TypeError),
    ({"token": " "}, ValueError),
    ({"token": "\t\t"}, ValueError),
])
def test_recovery_options_are_checked(kw, error):
    with pytest.raises(error):
        OrvynPipelineTrainerSync("x", "http://127.0.0.1:9", **kw)


def test_a_member_secret_with_other_characters_is_refused(tmp_path):
    (tmp_path / "member_secret").write_bytes(b"0123 abcd\t\xc3\xa9")
    with pytest.raises(RuntimeError, match="does not hold a member secret"):
        OrvynPipelineTrainerSync("x", "http://127.0.0.1:9", checkpoint_dir=str(tmp_path), resume=True)


def test_cli_refuses_resume_without_a_checkpoint_dir():
    r = subprocess.run([sys.executable, "-m", "korvane.carrowel", "--task-id", "t", "--resume"],
                       capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=ROOT), timeout=60)
    assert r.returncode == 2 and "--checkpoint-dir" in r.stderr


def test_a_killed_trainer_resumes_and_the_run_ends_bit_identical():
    """Middle stage SIGKILLed at a random step and restarted with --resume, with 1 and with
    4 micro-batches per step; the final checkpoints equal an uninterrupted run's."""
    r = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "resume_check.py"), "--quick"],
                       capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=ROOT), timeout=400)
    lines = r.stdout.strip().splitlines()
    assert lines and lines[-1] == "resume: identical", r.stdout + r.stderr
    assert r.returncode == 0


def test_a_member_that_never_returns_ends_the_run_with_one_warning(coordinator, tmp_path):
    """Survivors wait --rejoin-timeout seconds for a lost member, warn once, then stop."""
    import signal
    import time
    url = coordinator(stages=2, layers=6, member_timeout=1)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "bench")]), OMP_NUM_THREADS="1")

    def start(tid):
        return subprocess.Popen(
            [sys.executable, "-m", "korvane.carrowel", "--task-id", "lost", "--trainer-id", tid, "--coordinator", url,
             "--rounds", "100000", "--model", "resume_model:stage", "--autograd-backward",
             "--checkpoint-dir", str(tmp_path / tid), "--checkpoint-every", "5", "--rejoin-timeout", "3"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)

    procs = {tid: start(tid) for tid in ("a", "b")}
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "b" / "checkpoint-00000005.pt").exists():
            assert time.monotonic() < deadline and procs["b"].poll() is None
            time.sleep(0.01)
        procs["b"].send_signal(signal.SIGKILL)
        killed = time.monotonic()
        out, _ = procs["a"].communicate(timeout=120)
        waited = time.monotonic() - killed
    finally:
        for p in procs.values():
            p.kill()
    assert procs["a"].returncode == 1
    assert out.count("is missing") == 1, out
    assert "came back within the rejoin timeout of 3.0 s; the run ends" in out
    assert waited >= 3.0


def test_a_slow_checkpoint_answer_does_not_swallow_cancellation(tmp_path):
    """wait_for must end the loop at its time limit even while a checkpoint report waits."""
    import asyncio
    import json

    from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
    from scripted_server import Reply, ScriptedServer

    with ScriptedServer() as server:
        server.reply = lambda req: Reply(status=200, body=json.dumps({"ok": True}).encode(),
                                         delay=1.0 if req.path.startswith("/pipeline/checkpoint") else 0.0)
        t = OrvynPipelineTrainer("alone", server.url, device="cpu", checkpoint_dir=str(tmp_path / "ckpt"))
        t.layer_assignment = LayerAssignment("task", "alone", 0, 1, 0, None, None, "")
        t.layers = nn.ModuleList([nn.Linear(4, 4)])
        data = [torch.randn(2, 4) for _ in range(3)]

        async def run():
            await asyncio.wait_for(t.run_training_loop(dataloader=data, num_rounds=3, lr=1e-3), 0.3)

        with pytest.raises(asyncio.TimeoutError):
            asyncio.run(run())
        reports = [r for r in server.requests if r.path.startswith("/pipeline/checkpoint")]
        assert len(reports) == 1, "the loop went on reporting after it was cancelled"
