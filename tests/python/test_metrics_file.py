"""Trainer-side progress: the metrics file's JSON lines against a real pipeline and the
coordinator's own count of the bytes, and the CLI's --metrics-file and --progress."""
import asyncio
import json
import os
import pty
import select
import subprocess
import sys
import time
import urllib.request

import pytest
import torch

from korvane.carrowel import OrvynPipelineTrainer

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def lines(path):
    return [json.loads(l) for l in path.read_text().splitlines()]


def test_one_line_per_step_with_loss_time_samples_bytes_and_evaluation(coordinator, tmp_path, capsys):
    url = coordinator(stages=2, layers=2)
    files = {name: tmp_path / f"{name}.jsonl" for name in ("a", "b")}

    async def run():
        torch.manual_seed(0)
        data = [(torch.randn(8, 768), torch.randint(0, 10, (8,)))]
        a = OrvynPipelineTrainer("a", url, metrics_file=files["a"])
        b = OrvynPipelineTrainer("b", url, metrics_file=str(files["b"]))
        await asyncio.gather(a.join_pipeline("logged"), b.join_pipeline("logged"))
        first, last = sorted((a, b), key=lambda t: t.layer_assignment.pipeline_position)
        evaluation = lambda step: {"accuracy": step / 10} if step % 2 == 0 else None
        results = await asyncio.gather(first.run_training_loop(dataloader=data, num_rounds=5, lr=1e-3),
                                       last.run_training_loop(dataloader=data, num_rounds=5, lr=1e-3,
                                                              evaluation=evaluation))
        return first, last, results[1]["losses"]

    first, last, losses = asyncio.run(run())
    printed = capsys.readouterr().out.splitlines()
    # The specified lines are printed as before, and no record goes to the terminal.
    assert len([l for l in printed if l.startswith("Round 0/5: avg_loss=")]) == 2
    assert not [l for l in printed if "{" in l or "step" in l]

    first_lines, last_lines = lines(files[first.trainer_id]), lines(files[last.trainer_id])
    for records in (first_lines, last_lines):
        assert [r["step"] for r in records] == list(range(5)) == [r["round"] for r in records]
        assert all(r["step_time_s"] > 0 and r["samples"] == 8 and r["samples_per_s"] > 0 for r in records)
    assert [r["loss"] for r in last_lines] == pytest.approx(losses)
    assert [r["loss"] for r in first_lines] == pytest.approx(losses)  # it comes upstream with the gradient
    assert [r.get("evaluation") for r in last_lines] == [{"accuracy": 0.0}, None, {"accuracy": 0.2}, None,
                                                          {"accuracy": 0.4}]
    assert all("evaluation" not in r for r in first_lines)

    # The bytes each side counted are the bytes the coordinator relayed.
    with urllib.request.urlopen(url + "/status/tasks", timeout=10) as r:
        links = {(l["from"], l["kind"]): l["bytes"] for t in json.load(r)["tasks"] for l in t["links"]}
    assert sum(r["bytes_sent"] for r in first_lines) == links[(first.trainer_id, "activation")] == first.bytes_sent
    assert sum(r["bytes_received"] for r in first_lines) == links[(last.trainer_id, "gradient")]
    assert sum(r["bytes_received"] for r in last_lines) == links[(first.trainer_id, "activation")]
    assert all(r["bytes_sent"] > 0 for r in last_lines)


def test_steps_count_on_across_loops_and_own_records_follow_the_latest_step(coordinator, tmp_path):
    url = coordinator(stages=1, layers=1)
    path = tmp_path / "solo.jsonl"

    async def run():
        t = OrvynPipelineTrainer("solo", url, metrics_file=path)
        await t.join_pipeline("solo-task")
        data = [torch.randn(4, 768)]
        await t.run_training_loop(dataloader=data, num_rounds=2, lr=1e-3)
        t.log_metrics({"evaluation": {"accuracy": 0.5}})
        await t.run_training_loop(dataloader=data, num_rounds=1, lr=1e-3)

    asyncio.run(run())
    records = lines(path)
    assert [(r["step"], "loss" in r) for r in records] == [(0, True), (1, True), (1, False), (2, True)]
    assert records[2] == {"trainer_id": "solo", "step": 1, "evaluation": {"accuracy": 0.5}}


def test_metrics_file_errors_are_reported(coordinator, tmp_path):
    with pytest.raises(TypeError, match="metrics_file"):
        OrvynPipelineTrainer("x", "http://127.0.0.1:9", metrics_file=3)
    url = coordinator(stages=1, layers=1)

    async def run():
        t = OrvynPipelineTrainer("solo", url, metrics_file=tmp_path / "no" / "such" / "dir" / "m.jsonl")
        await t.join_pipeline("unwritable")
        await t.run_training_loop(dataloader=[torch.randn(2, 768)], num_rounds=1)

    with pytest.raises(FileNotFoundError):
        asyncio.run(run())


def cli(url, task, *extra):
    return [sys.executable, "-m", "korvane.carrowel", "--task-id", task, "--trainer-id", "solo",
            "--coordinator", url, "--rounds", "3", *extra]


def test_cli_metrics_file_and_no_progress_bar_off_a_terminal(coordinator, tmp_path):
    url = coordinator(stages=1, layers=1)
    path = tmp_path / "cli.jsonl"
    env = dict(os.environ, PYTHONPATH=REPO, OMP_NUM_THREADS="1")
    done = subprocess.run(cli(url, "cli-task", "--metrics-file", str(path), "--progress"), capture_output=True,
                          text=True, timeout=120, env=env, cwd=REPO)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no progress bar into a pipe
    assert "Training complete!" in done.stdout and "round/s" not in done.stdout
    assert [r["step"] for r in lines(path)] == [0, 1, 2]


def test_cli_progress_bar_on_a_terminal(coordinator):
    url = coordinator(stages=1, layers=1)
    env = dict(os.environ, PYTHONPATH=REPO, OMP_NUM_THREADS="1", COLUMNS="100")
    leader, follower = pty.openpty()
    proc = subprocess.Popen(cli(url, "tty-task", "--progress"), stdin=subprocess.DEVNULL, stdout=follower,
                            stderr=follower, env=env, cwd=REPO)
    os.close(follower)
    out = b""
    deadline = time.monotonic() + 120
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([leader], [], [], 1.0)
            if ready:
                try:
                    chunk = os.read(leader, 65536)
                except OSError:  # the terminal closed with the program
                    break
                if not chunk:
                    break
                out += chunk
            elif proc.poll() is not None:
                break
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(10)
        os.close(leader)
    text = out.decode(errors="replace")
    assert proc.returncode == 0, text
    assert "Training complete!" in text
    assert "3/3" in text and "round" in text  # the bar reached its end


def test_own_records_are_strict_json_and_unwritable_values_are_refused(tmp_path):
    path = tmp_path / "own.jsonl"
    t = OrvynPipelineTrainer("solo", "http://127.0.0.1:9", metrics_file=path)
    t.log_metrics({"evaluation": {"loss": float("nan"), "per_class": (0.5, float("inf"))}, 3: True})
    with pytest.raises(TypeError, match="not JSON serializable"):
        t.log_metrics({"model": object()})

    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    records = [json.loads(l, parse_constant=refuse) for l in path.read_text().splitlines()]
    assert records == [{"trainer_id": "solo", "step": -1, "evaluation": {"loss": None, "per_class": [0.5, None]},
                        "3": True}]
    OrvynPipelineTrainer("quiet", "http://127.0.0.1:9").log_metrics({"model": object()})  # no file: nothing to write
