import asyncio
import json
import os
import pathlib
import subprocess
import sys

import pytest

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer, OrvynPipelineTrainerSync, main
from scripted_server import Reply, ScriptedServer

REPO = pathlib.Path(__file__).resolve().parents[2]
BANNER = ["=" * 60, "ORVYN Pipeline Parallelism Trainer", "=" * 60]


def test_facade_owns_a_private_loop_and_the_trainer(coordinator):
    url = coordinator(stages=1, layers=2)
    f = OrvynPipelineTrainerSync("solo", coordinator_url=url)
    assert isinstance(f._trainer, OrvynPipelineTrainer) and isinstance(f._loop, asyncio.AbstractEventLoop)
    layers_before = f.layers
    a = f.join_pipeline("task-sync")
    assert a is f.layer_assignment is f._trainer.layer_assignment
    assert f.layers is f._trainer.layers and f.layers is not layers_before and len(f.layers) == 2
    metrics = f.run_training_loop(num_rounds=3)
    assert metrics["rounds_completed"] == 3 and len(metrics["losses"]) == 3
    assert isinstance(f.run_pipeline_round(lr=0.001), float) and f._trainer.micro_batch_idx == 4
    assert not f._loop.is_closed()
    with pytest.raises(AttributeError):
        f.layers = []


def test_facade_refuses_positional_arguments_before_running(coordinator):
    f = OrvynPipelineTrainerSync("x")
    with pytest.raises(TypeError):
        f.run_pipeline_round(None)
    with pytest.raises(TypeError):
        f.run_training_loop(3)
    assert f._trainer.micro_batch_idx == 0
    with pytest.raises(TypeError, match="trainer_id"):
        OrvynPipelineTrainerSync(None)


def cli(*args, timeout=120):
    env = dict(os.environ, PYTHONPATH=str(REPO), OMP_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-m", "korvane.carrowel", *args], capture_output=True, text=True,
                          env=env, cwd=REPO, timeout=timeout)


def test_cli_runs_one_trainer_from_join_to_summary(coordinator):
    url = coordinator(stages=1, layers=2)
    r = cli("--task-id", "cli-task", "--trainer-id", "solo", "--coordinator", url, "--rounds", "3", "--lr", "0.001")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[:3] == BANNER and lines[3] == "Joining pipeline task: cli-task..."
    i = lines.index("Joined pipeline:")
    assert lines[i - 2] == "  Ready for training!" and lines[i - 1] == ""
    assert lines[i + 1:i + 3] == ["  Layers: 0-2", "  Position: 0"]
    assert lines[i + 3].startswith("  Memory: ") and lines[i + 3].endswith(" MB")
    assert lines[i + 4] == "  Compression: 25.6x"
    assert lines[i + 5:i + 8] == ["", "Starting training (3 rounds)...", "Round 0/3: avg_loss=" + lines[i + 7][20:]]
    assert lines[-4:-1] == ["", "Training complete!", "  Rounds: 3"]
    avg = lines[-1].removeprefix("  Avg loss: ")
    assert repr(float(avg)) == avg


def test_cli_zero_rounds_help_and_option_errors():
    empty_slice = {"layer_start": 3, "layer_end": 3, "pipeline_position": 0}
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(empty_slice).encode())
        r = cli("--task-id", "t", "--coordinator", srv.url, "--rounds", "0")
    assert r.returncode == 0, r.stderr
    assert "  Memory: 0.0 MB" in r.stdout
    assert r.stdout.endswith("\nStarting training (0 rounds)...\n\nTraining complete!\n  Rounds: 0\n  Avg loss: N/A\n")
    assert "Round " not in r.stdout

    h = cli("--help")
    assert h.returncode == 0 and "ORVYN Pipeline Trainer" in h.stdout and "====" not in h.stdout
    for text in ("Pipeline task ID", "Trainer ID", "Coordinator URL", "Training rounds", "Learning rate"):
        assert text in h.stdout
    for bad in ([], ["--task-id", "t", "--rounds", "2.5"], ["--task-id", "t", "--lr", "fast"],
                ["--task-id", "t", "--bogus", "1"], ["--task", "t"]):
        r = cli(*bad)
        assert r.returncode == 2 and r.stdout == "", bad
        assert r.stderr.startswith("usage: ") and "error: " in r.stderr


def test_cli_mock_path_ends_with_status_1_after_relay_warnings():
    # A coordinator that answers the join with nonsense (so the mock assignment applies) and
    # every fetch at once with an error body, so the first round fails quickly.
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, b"not json") if req.path.endswith("join") else Reply(404, b"no message")
        r = cli("--task-id", "t", "--coordinator", srv.url, "--rounds", "2")
    assert r.returncode == 1
    out = r.stdout.splitlines()
    assert out[4].startswith("  Warning: Using mock assignment (coordinator unavailable: ")
    assert "  Downstream: trainer_2" in out and "Starting training (2 rounds)..." in out
    assert out[-1].startswith("  Warning: Failed to receive gradient: ")
    assert "Training complete!" not in r.stdout
    assert "Error" in r.stderr  # the error's description
    posted = [q for q in srv.requests if q.method == "POST" and q.path == "/pipeline/activation"]
    assert len(posted) == 1 and posted[0].header("X-To-Trainer") == "trainer_2"


def test_main_is_callable_with_an_argument_list(capsys):
    assert main(["--task-id"]) == 2
    assert "usage:" in capsys.readouterr().err


def test_cli_pipelined_steps_through_the_facade(coordinator):
    url = coordinator(stages=1, layers=1)
    r = cli("--task-id", "steps", "--trainer-id", "solo", "--coordinator", url, "--rounds", "2",
            "--micro-batches", "3", "--max-in-flight", "2")
    assert r.returncode == 0, r.stderr
    assert "Round 0/2: avg_loss=" in r.stdout and "  Rounds: 2" in r.stdout
    assert "Pipelined steps: 3 micro-batches each, up to 1 in flight, about " in r.stdout  # a last stage: one
    for bad in (["--micro-batches", "0"], ["--micro-batches", "x"], ["--micro-batches", "2", "--max-in-flight", "0"]):
        e = cli("--task-id", "t", *bad)
        assert e.returncode == 2 and e.stderr.startswith("usage: "), bad
