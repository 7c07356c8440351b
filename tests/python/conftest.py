"""Shared pytest fixtures.

``coordinator`` starts the real stand-in coordinator (``korvane-coordinator``) on a
free port of 127.0.0.1 and stops it at the end of the test::

    def test_something(coordinator):
        url = coordinator(stages=2, layers=8)           # "http://127.0.0.1:PORT"
        trainer = OrvynPipelineTrainer("t1", url)
        ...

Keyword arguments become command-line options (``message_ttl=5`` gives
``--message-ttl 5``). The returned value is the base URL as a ``str`` (no trailing
slash) with a few extras: ``.port``, ``.process`` (the ``subprocess.Popen``),
``.log()`` (everything the service printed so far) and ``.stop()`` (SIGTERM, then
wait; returns the exit status). Several services may run in one test.

The program is looked up as ``$KORVANE_COORDINATOR``, else
``build/bin/korvane-coordinator`` under the repository root (``make build`` puts
it there). Its output goes to a file, never to a pipe that could fill up, and the
service is told to die with the test process should pytest itself be killed.
"""

import ctypes
import os
import pathlib
import signal
import subprocess
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
_PR_SET_PDEATHSIG = 1


def coordinator_binary():
    path = pathlib.Path(os.environ.get("KORVANE_COORDINATOR", REPO / "build" / "bin" / "korvane-coordinator"))
    if not path.is_file():
        pytest.fail(f"coordinator program not found at {path}: run 'make build'")
    return path


def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


class CoordinatorURL(str):
    """Base URL of a running coordinator, with handles on its process."""

    def __new__(cls, url, port, process, log_path):
        self = super().__new__(cls, url)
        self.port, self.process, self.log_path = port, process, log_path
        return self

    def log(self):
        return self.log_path.read_text(errors="replace")

    def stop(self, sig=signal.SIGTERM, timeout=STOP_TIMEOUT_S):
        """Signals the service and waits for it; kills it if it does not exit in time."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise AssertionError(f"coordinator ignored {sig!r} for {timeout} s:\n{self.log()}")
        return self.process.returncode


def start_coordinator(log_dir, **options):
    """Starts one coordinator and waits until it listens; see the module docstring."""
    args = [str(coordinator_binary()), "--host", "127.0.0.1", "--port", "0"]
    for key, value in options.items():
        args += ["--" + key.replace("_", "-"), str(value)]
    log_dir.mkdir(parents=True, exist_ok=True)
    log_path = log_dir / f"coordinator-{time.monotonic_ns()}.log"
    with open(log_path, "wb") as out:
        process = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   preexec_fn=_die_with_parent)
    deadline = time.monotonic() + START_TIMEOUT_S
    prefix = "korvane-coordinator listening on "
    while True:
        text = log_path.read_text(errors="replace")
        first = text.split("\n", 1)[0] if "\n" in text else ""
        if first.startswith(prefix):
            host, port = first[len(prefix):].rsplit(":", 1)
            return CoordinatorURL(f"http://{host}:{port}", int(port), process, log_path)
        if process.poll() is not None:
            raise AssertionError(f"coordinator exited with {process.returncode} before listening:\n{text}")
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise AssertionError(f"coordinator did not listen within {START_TIMEOUT_S} s:\n{text}")
        time.sleep(0.01)


@pytest.fixture
def coordinator(tmp_path):
    """Factory fixture: ``coordinator(stages=3, layers=12, **options)`` -> base URL."""
    started = []

    def start(**options):
        url = start_coordinator(tmp_path, **options)
        started.append(url)
        return url

    yield start
    for url in started:
        if url.process.poll() is None:
            url.process.send_signal(signal.SIGTERM)
            try:
                url.process.wait(STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                url.process.kill()
                url.process.wait()
