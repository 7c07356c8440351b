"""The trainer reads the coordinator's status codes: refusals and failures are reported
with the coordinator's reason, nothing waits forever, and a trainer whose run fails
tells its neighbours through the coordinator. Against the real service where it can be."""
import asyncio
import json
import time

import pytest
import torch

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
from coordinator_clients import join
from scripted_server import Reply, ScriptedServer


def test_fetch_gets_the_coordinators_answer_just_before_its_own_limit(coordinator, capsys):
    url = coordinator()  # default fetch wait: 25 s, below the trainers' 30 s
    t = OrvynPipelineTrainer("b", url, device="cpu")
    t.layer_assignment = LayerAssignment("t", "b", 1, 2, 1, "a", None, "")
    start = time.monotonic()
    with pytest.raises(ConnectionError) as info:
        asyncio.run(t.receive_activation(timeout=1.0))
    # The coordinator's own 504 (not the client's time-out) proves it answered first; how
    # long that took on a loaded machine is no test of it.
    assert time.monotonic() - start >= 0.8
    assert str(info.value).startswith("coordinator answered 504: no activation for trainer 'b' micro-batch 0")
    assert capsys.readouterr().out == f"  Warning: Failed to receive activation: {info.value}\n"


def test_join_refused_fails_with_status_and_reason_instead_of_a_missing_key(coordinator, capsys):
    url = coordinator(stages=1, layers=2)
    assert join(url, "t", "first")[0] == 200
    t = OrvynPipelineTrainer("second", url, device="cpu")
    with pytest.raises(RuntimeError) as info:
        asyncio.run(t.join_pipeline("t"))
    assert str(info.value) == ("join refused: coordinator answered 409: task 't' has already formed; "
                               "trainer 'second' is not one of its members")
    assert t.layer_assignment is None and "mock" not in capsys.readouterr().out


def test_join_that_is_never_answered_times_out_to_the_mock(capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, b"{}", delay=3.0)
        t = OrvynPipelineTrainer("x", srv.url, device="cpu")
        t._join_timeout = 0.3
        start = time.monotonic()
        assignment = asyncio.run(t._request_layer_assignment("t"))
        assert time.monotonic() - start < 2.5
        assert srv.requests[0].header("X-Client-Timeout") == "0.3"
        assert srv.requests[0].header("X-Member-Secret-Request") == "1"
    assert assignment["downstream_trainer"] == "trainer_2"
    assert capsys.readouterr().out.startswith("  Warning: Using mock assignment (coordinator unavailable: ")


def test_a_failing_trainer_stops_its_neighbour_within_a_second(coordinator, capsys):
    url = coordinator(stages=2, layers=2)

    async def main():
        torch.manual_seed(0)
        a, b = OrvynPipelineTrainer("a", url, device="cpu"), OrvynPipelineTrainer("b", url, device="cpu")
        await asyncio.gather(a.join_pipeline("t"), b.join_pipeline("t"))
        first, last = sorted([a, b], key=lambda t: t.layer_assignment.pipeline_position)
        failed_at = {}

        async def broken_forward(x):
            await asyncio.sleep(0.2)  # the neighbour is waiting for our gradient by now
            failed_at["t"] = time.monotonic()
            raise RuntimeError("CUDA out of memory (simulated)")

        async def first_loop():
            try:
                return await first.run_training_loop(num_rounds=3)
            finally:
                failed_at["neighbour"] = time.monotonic()

        last.forward_stage = broken_forward
        results = await asyncio.wait_for(asyncio.gather(first_loop(), last.run_training_loop(num_rounds=3),
                                                        return_exceptions=True), 20)
        return first, last, results, failed_at["neighbour"] - failed_at["t"]

    first, last, (first_result, last_result), delay = asyncio.run(main())
    assert delay < 1.0  # not the 30 s of the fetch's own limit
    assert isinstance(last_result, RuntimeError)
    assert isinstance(first_result, ConnectionError)
    assert str(first_result) == f"coordinator answered 410: trainer '{last.trainer_id}' failed: CUDA out of memory (simulated)"
    out = capsys.readouterr().out
    assert f"  Warning: Failed to receive gradient: {first_result}\n" in out
    assert "leave task='t'" in url.log() and "failed: CUDA out of memory" in url.log()


def test_a_refused_post_fails_the_step_at_once_under_its_own_name(coordinator, capsys):
    """The activation is larger than the coordinator takes (413): the gradient for it can
    never come, so the sender fails now with the refusal, not later with a time-out."""
    url = coordinator(stages=2, layers=2, max_body=1000)

    async def main():
        a, b = OrvynPipelineTrainer("a", url, device="cpu"), OrvynPipelineTrainer("b", url, device="cpu")
        await asyncio.gather(a.join_pipeline("big"), b.join_pipeline("big"))
        first, last = sorted([a, b], key=lambda t: t.layer_assignment.pipeline_position)
        assert first.trainer_id == "a"
        return await asyncio.wait_for(asyncio.gather(first.run_training_loop(num_rounds=2),
                                                     last.run_training_loop(num_rounds=2), return_exceptions=True), 60)

    first_result, last_result = asyncio.run(main())
    assert isinstance(first_result, RuntimeError), first_result
    assert str(first_result).startswith("the activation post for micro-batch 0 was refused: coordinator answered 413")
    assert str(first_result).endswith("; the step cannot complete")
    assert isinstance(last_result, Exception) and "'a'" in str(last_result), last_result  # whoever left is named
    assert "  Warning: Failed to send activation: coordinator answered 413" in capsys.readouterr().out


def test_sigterm_and_sigint_leave_the_task_as_interrupted(coordinator, tmp_path):
    """A signalled command-line trainer leaves with the reason "interrupted" and exits
    128 + the signal; its neighbour stops at once with an error naming it."""
    import os
    import signal
    import subprocess
    import sys

    from coordinator_clients import request

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, os.path.join(root, "bench")]), OMP_NUM_THREADS="1")
    for sig in (signal.SIGTERM, signal.SIGINT):
        url = coordinator(stages=2, layers=6)
        task = f"sig{int(sig)}"

        def start(tid):
            return subprocess.Popen(
                [sys.executable, "-m", "korvane.carrowel", "--task-id", task, "--trainer-id", tid, "--coordinator", url,
                 "--rounds", "100000", "--model", "resume_model:stage", "--autograd-backward",
                 "--metrics-file", str(tmp_path / f"{task}-{tid}.jsonl")],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)

        procs = {tid: start(tid) for tid in ("a", "b")}
        try:
            metrics = tmp_path / f"{task}-a.jsonl"
            for _ in range(12000):  # until a step is done
                if metrics.exists() and metrics.read_text().count("\n") >= 2:
                    break
                assert procs["a"].poll() is None and procs["b"].poll() is None
                time.sleep(0.01)
            procs["a"].send_signal(sig)
            out_a, _ = procs["a"].communicate(timeout=60)
            out_b, _ = procs["b"].communicate(timeout=60)
        finally:
            for p in procs.values():
                p.kill()
                p.wait()
        assert procs["a"].returncode == 128 + int(sig), out_a
        assert "Interrupted (signal" in out_a and "Traceback" not in out_a, out_a
        assert procs["b"].returncode == 1, out_b
        assert "'a'" in out_b.strip().splitlines()[-1], out_b
        code, _, body = request(url, "GET", "/status/tasks")
        members = [m for task in json.loads(body)["tasks"] for m in task["trainers"]]
        assert code == 200 and next(m for m in members if m["trainer_id"] == "a")["reason"] == "interrupted", body
