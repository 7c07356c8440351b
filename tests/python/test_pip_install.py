"""pip install from a fresh copy of the sources into a new virtual environment, as the
README says, then a one-stage pipeline from the installed package, run from elsewhere.

Costs about half a minute when ccache holds the compiles of `make build` (setup.py builds
with the same flags, relative to a tree one level down); about three minutes cold on two
cores."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import korvane
from conftest import start_coordinator

REPO = pathlib.Path(__file__).resolve().parents[2]
SYSTEM_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def fresh_copy(dest):
    """The files a clone would hold, plus uncommitted edits; no build output."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=REPO,
                            capture_output=True, check=True, timeout=60).stdout.decode().split("\0")
    for rel in filter(None, listed):
        src = REPO / rel
        if src.is_file():
            (dest / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, dest / rel)


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    src = tmp_path_factory.mktemp("clone")
    fresh_copy(src)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", ".venv"], cwd=src, env=env,
                   check=True, timeout=300)
    pip = subprocess.run([".venv/bin/pip", "install", "--no-build-isolation", "--no-index", "."], cwd=src, env=env,
                         capture_output=True, text=True, timeout=900)
    assert pip.returncode == 0, pip.stdout[-4000:] + pip.stderr[-4000:]
    return src / ".venv"


def run_installed(venv, *args, cwd, timeout=180):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["OMP_NUM_THREADS"] = "1"
    return subprocess.run([str(venv / "bin" / args[0]), *args[1:]], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


def test_installed_package_imports_and_runs_its_programs_from_anywhere(venv, tmp_path):
    r = run_installed(venv, "python", "-c", "import korvane.carrowel as c, korvane.brisol as b; "
                      "print(c.__file__); print(b.__file__); print(c.TORCH_AVAILABLE)", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    files = r.stdout.splitlines()
    assert all(pathlib.Path(f).is_relative_to(venv) for f in files[:2]) and files[2] == "True"
    site = pathlib.Path(files[0]).parents[1]
    for typed in ("py.typed", "carrowel/__init__.pyi", "brisol/__init__.pyi"):
        assert (site / typed).is_file(), typed
    version = korvane.__version__
    assert run_installed(venv, "python", "-m", "korvane.carrowel", "--version", cwd=tmp_path).stdout == \
        f"python -m korvane.carrowel {version}\n"
    assert run_installed(venv, "korvane-coordinator", "--version", cwd=tmp_path).stdout == \
        f"korvane-coordinator {version}\n"
    b = run_installed(venv, "python", "-m", "korvane.brisol", cwd=tmp_path)
    assert b.stdout.startswith("ZEB CuPy Kernels Test\n") or "ZEB INT8" in b.stdout.split("\n")[0]
    assert (b.returncode, b.stdout.endswith("All kernels working!\n")) in {(0, True), (1, False)}, b.stdout


def test_installed_layer_updates_through_its_native_operator(venv, tmp_path):
    script = (
        "import torch, korvane.zeb_trainable_int8 as zeb\n"
        "print(zeb._int8_ops.__file__)\n"
        "print(torch._C._dispatch_has_kernel_for_dispatch_key('korvane::int8_fused_update', 'CPU'))\n"
        "layer = zeb.ZEBTrainableLinear(64, 64)\n"
        "layer(torch.randn(2, 64)); layer.backward_zeb(torch.randn(2, 64))\n"
        "with torch.autograd.profiler.profile() as prof:\n"
        "    layer.update_from_gradient(lr=0.01)\n"
        "print(sorted({e.name for e in prof.function_events if e.name.startswith('korvane::')}))\n")
    r = run_installed(venv, "python", "-c", script, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    module, registered, used = r.stdout.splitlines()
    assert pathlib.Path(module).is_relative_to(venv)
    assert registered == "True" and used == "['korvane::int8_fused_update']"


def test_one_stage_pipeline_through_the_installed_coordinator(venv, tmp_path, monkeypatch):
    # The console script of the package, which replaces itself with the bundled program.
    monkeypatch.setenv("KORVANE_COORDINATOR", str(venv / "bin" / "korvane-coordinator"))
    monkeypatch.delenv("PYTHONPATH", raising=False)  # the installed launcher, not the source tree's
    url = start_coordinator(tmp_path / "logs", stages=1, layers=2)
    try:
        r = run_installed(venv, "python", "-m", "korvane.carrowel", "--task-id", "pip", "--trainer-id", "solo",
                          "--coordinator", url, "--rounds", "2", cwd=tmp_path)
    finally:
        assert url.stop() == 0, url.log()
    assert r.returncode == 0, r.stdout + r.stderr
    assert "  Layers: 0-2" in r.stdout and r.stdout.splitlines()[-2:-1] == ["  Rounds: 2"]
