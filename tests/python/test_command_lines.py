"""The three programs share one style: --help (status 0), --version (status 0) and option
errors as a usage line plus "PROG: error: ..." on stderr with status 2. The Python programs
run in-process through their entries (starting torch per case would take seconds), except
where the `-m` path itself is the point."""
import contextlib
import io
import math
import os
import pathlib
import subprocess
import sys
import types

import pytest

import korvane
from conftest import coordinator_binary
from korvane.brisol import _brisol
from korvane.carrowel import main as trainer_main

REPO = pathlib.Path(__file__).resolve().parents[2]
PY = os.path.basename(sys.executable)


def program(name):
    if name == "korvane-coordinator":
        return [str(coordinator_binary())], name
    return [sys.executable, "-m", name], f"{PY} -m {name}"


def run(name, *args, subprocess_only=False):
    entries = {"korvane.carrowel": trainer_main, "korvane.brisol": _brisol._main}
    if name in entries and not subprocess_only:
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = entries[name](list(args))
        return types.SimpleNamespace(returncode=status, stdout=out.getvalue(), stderr=err.getvalue())
    cmd, _ = program(name)
    env = dict(os.environ, PYTHONPATH=str(REPO), OMP_NUM_THREADS="1")
    return subprocess.run([*cmd, *args], capture_output=True, text=True, env=env, cwd=REPO, timeout=120)


PROGRAMS = ["korvane.carrowel", "korvane.brisol", "korvane-coordinator"]


@pytest.mark.parametrize("name", PROGRAMS)
def test_help_version_and_errors_share_one_style(name):
    _, prog = program(name)
    v = run(name, "--version")
    assert (v.returncode, v.stdout, v.stderr) == (0, f"{prog} {korvane.__version__}\n", "")

    h = run(name, "--help")
    assert h.returncode == 0 and h.stderr == ""
    usage = h.stdout.split("\n\n", 1)[0]
    assert usage.startswith(f"usage: {prog} [-h] [--version]")
    assert "\noptions:\n  -h, --help  " in h.stdout and "\n  --version  " in h.stdout

    e = run(name, "--no-such-option")
    assert e.returncode == 2 and e.stdout == ""
    assert e.stderr.startswith(usage + "\n" + f"{prog}: error: ") and e.stderr.endswith("\n")
    assert e.stderr.count("\n") == usage.count("\n") + 2


def test_brisol_help_does_not_run_the_test():
    h = run("korvane.brisol", "--help", subprocess_only=True)
    assert h.returncode == 0 and "ZEB CuPy Kernels Test" in h.stdout
    assert "=====" not in h.stdout and "not available" not in h.stdout and "CUDA" in h.stdout
    assert run("korvane.brisol", "extra").returncode == 2


def test_trainer_help_lists_every_option_with_its_default():
    h = run("korvane.carrowel", "--help").stdout
    for line in ("--task-id TASK_ID     Pipeline task ID (required)",
                 "Trainer ID (default: trainer_1)",
                 "Coordinator URL (default: http://localhost:9545)",
                 "--rounds ROUNDS       Training rounds (default: 10)",
                 "--lr LR               Learning rate (finite; default: 0.0001)"):
        assert line in h
    assert h.index("ORVYN Pipeline Trainer") < h.index("options:")


# Options that only Python can give: callables and data are no command-line values (--model's dict
# carries the optimizer, its schedule, the loss and the held-out data with their count; the
# command line evaluates through --eval-every).
PYTHON_ONLY = {"optimizer", "evaluation", "loss_fn", "lr_scheduler", "eval_data", "eval_batches"}


def test_every_keyword_option_of_the_trainer_has_its_command_line_option():
    import inspect

    from korvane.carrowel import OrvynPipelineTrainer

    h = run("korvane.carrowel", "--help").stdout
    usage, options = h.split("options:", 1)
    named = [p.name for f in (OrvynPipelineTrainer, OrvynPipelineTrainer.run_training_loop)
             for p in inspect.signature(f).parameters.values() if p.kind is inspect.Parameter.KEYWORD_ONLY]
    assert named, "the trainer has keyword-only options"
    for name in set(named) - PYTHON_ONLY:
        flag = "--" + name.replace("_", "-")
        assert f"[{flag}" in usage and f"  {flag}" in options, f"{flag} missing from --help"


@pytest.mark.parametrize("lr", ["nan", "NaN", "inf", "-inf", "1e999"])
def test_non_finite_learning_rate_is_an_option_error(lr):
    assert not math.isfinite(float(lr))
    r = run("korvane.carrowel", "--task-id", "t", "--coordinator", "http://127.0.0.1:9", "--lr", lr)
    assert r.returncode == 2 and r.stdout == ""  # refused before the banner, nothing trained
    assert "error: --lr: must be a finite number" in r.stderr


def test_coordinator_help_shows_defaults_and_checks_after_parsing_keep_the_style():
    h = run("korvane-coordinator", "--help").stdout
    assert "--port PORT" in h and "(INT in [0 - 65535]; default: 9545)" in h and "(default: 127.0.0.1)" in h
    r = run("korvane-coordinator", "--stages", "3", "--layers", "2")
    assert r.returncode == 2 and "korvane-coordinator: error: --layers must be at least --stages" in r.stderr
    assert r.stderr.startswith("usage: korvane-coordinator [-h] [--version]")


@pytest.mark.parametrize("args, message", [
    (["--token", ""], "error: --token must not be empty"),
    (["--token", "  "], "error: --token must not be empty or blank"),
    (["--max-nonfinite-steps", "0"], "error: --max-nonfinite-steps must be at least 1, got 0"),
    (["--token", "a", "--token-file", "f"], "error: give either --token or --token-file, not both"),
    (["--checkpoint-dir", "d", "--checkpoint-every", "-1"], "error: --checkpoint-every must be 0 or more, got -1"),
    (["--rejoin-timeout", "nan"], "error: --rejoin-timeout must be a finite number of seconds, 0 or more"),
    (["--rounds", "99999999999999999999"], "error: --rounds: int value out of range: '99999999999999999999'"),
    (["--max-in-flight="], "error: --max-in-flight: invalid int value: ''"),
])
def test_trainer_option_values_are_checked_before_anything_runs(args, message):
    r = run("korvane.carrowel", "--task-id", "t", "--coordinator", "http://127.0.0.1:9", *args)
    assert r.returncode == 2 and r.stdout == "", args  # refused before the banner
    assert message in r.stderr
