import asyncio
import json

import pytest

from korvane.carrowel import LayerAssignment, OrvynPipelineTrainer
from scripted_server import Reply, ScriptedServer, closed_port

FULL = {"layer_start": 4, "layer_end": 8, "pipeline_position": 1, "upstream_trainer": "trainer_1",
        "downstream_trainer": "trainer_3", "layer_weights_hash": "abc"}


def join(trainer, task_id):
    return asyncio.run(trainer.join_pipeline(task_id))


def test_unreachable_coordinator_falls_back_to_the_mock_assignment(capsys):
    t = OrvynPipelineTrainer("trainer_1", f"http://127.0.0.1:{closed_port()}")
    a = join(t, "0123456789abcdef0123456789abcdef01234567")
    assert a is t.layer_assignment
    assert a == LayerAssignment("0123456789abcdef0123456789abcdef01234567", "trainer_1", 0, 4, 0, None, "trainer_2", "")
    assert a.is_first_stage and not a.is_last_stage
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Joining pipeline task: 0123456789abcdef01..."
    assert lines[1].startswith("  Warning: Using mock assignment (coordinator unavailable: ") and lines[1].endswith(")")
    assert lines[2:6] == ["  Assigned layers 0-4", "  Pipeline position: 0", "  Upstream: None (first stage)",
                          "  Downstream: trainer_2"]
    assert lines[6] == "  Downloading layers 0-4..."
    assert lines[-1] == "  Ready for training!"
    assert len(t.layers) == 4


def test_join_and_ready_messages_and_any_status(capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(500, json.dumps(FULL).encode()) if req.path.endswith("join") else Reply(404)
        t = OrvynPipelineTrainer("trainer_2", srv.url)
        a = join(t, "task")
    assert (a.layer_start, a.layer_end, a.pipeline_position) == (4, 8, 1)
    assert (a.upstream_trainer, a.downstream_trainer, a.layer_weights_hash) == ("trainer_1", "trainer_3", "abc")
    joined, ready = srv.requests
    assert (joined.method, joined.path, ready.path) == ("POST", "/pipeline/join", "/pipeline/ready")
    assert list(json.loads(joined.body).items()) == [("task_id", "task"), ("trainer_id", "trainer_2"),
                                                     ("memory_bytes", t._get_available_memory()), ("has_gpu", False)]
    assert joined.header("Content-Type") == "application/json"
    assert list(json.loads(ready.body).items()) == [("task_id", "task"), ("trainer_id", "trainer_2"),
                                                    ("pipeline_position", 1)]
    out = capsys.readouterr().out
    assert "Joining pipeline task: task...\n" in out and "Warning: Using mock" not in out
    assert "  Upstream: trainer_1\n  Downstream: trainer_3\n" in out
    assert out.endswith("  Ready for training!\n")


def test_optional_keys_empty_neighbour_and_failed_ready(capsys):
    answer = {"layer_start": 0, "layer_end": 0, "pipeline_position": 0, "upstream_trainer": "", "downstream_trainer": None}
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(answer).encode()) if req.path.endswith("join") else Reply(mode="close")
        t = OrvynPipelineTrainer("x", srv.url)
        a = join(t, "t")
    assert a.upstream_trainer == "" and not a.is_first_stage and a.is_last_stage
    assert a.layer_weights_hash == "" and len(t.layers) == 0
    out = capsys.readouterr().out
    assert "  Upstream: None (first stage)\n  Downstream: None (last stage)\n" in out
    assert "  Loaded 0 layers (0 parameters)\n" in out and out.endswith("  Ready for training!\n")


@pytest.mark.parametrize("body", [b"<html>busy</html>", b"", b"[1, 2]", b'"text"', b"42"])
def test_unusable_answers_use_the_mock(body, capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, body)
        t = OrvynPipelineTrainer("x", srv.url)
        assignment = asyncio.run(t._request_layer_assignment("t"))
    assert assignment == {"layer_start": 0, "layer_end": 4, "pipeline_position": 0, "upstream_trainer": None,
                          "downstream_trainer": "trainer_2"}
    assert capsys.readouterr().out.startswith("  Warning: Using mock assignment (coordinator unavailable: ")


@pytest.mark.parametrize("body,error", [(b"null", TypeError), (b'{"layer_start": 0, "layer_end": 4}', KeyError),
                                        (b'{"layer_start": "0", "layer_end": 4, "pipeline_position": 0}', TypeError)])
def test_answers_missing_keys_fail_the_join_and_keep_the_old_assignment(body, error):
    old = LayerAssignment("old", "x", 0, 1, 0, None, None, "")
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, body)
        t = OrvynPipelineTrainer("x", srv.url)
        t.layer_assignment = old
        with pytest.raises(error):
            join(t, "t")
    assert t.layer_assignment is old
    assert [r.path for r in srv.requests] == ["/pipeline/join"]  # no provisioning, no ready


def test_task_id_type_url_concatenation_and_has_gpu(capsys):
    t = OrvynPipelineTrainer("x")
    with pytest.raises(TypeError, match=r"^Argument 'task_id' has incorrect type \(expected str, got int\)$"):
        t.join_pipeline(5)
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, json.dumps(FULL).encode())
        t = OrvynPipelineTrainer("x", srv.url + "/", device="cuda:0")
        asyncio.run(t._request_layer_assignment("short"))
    assert srv.requests[0].path == "//pipeline/join"
    assert json.loads(srv.requests[0].body)["has_gpu"] is False
    join_line = "Joining pipeline task: abcde...\n"
    t = OrvynPipelineTrainer("x", f"http://127.0.0.1:{closed_port()}")
    join(t, "abcde")
    assert capsys.readouterr().out.startswith(join_line)
