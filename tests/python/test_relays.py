import asyncio
import math

import pytest
import torch

from korvane.carrowel import CompressedTensor, LayerAssignment, OrvynPipelineTrainer, compress_tensor
from korvane.carrowel import _carrowel
from scripted_server import Reply, ScriptedServer, closed_port


def middle(url, trainer_id="t2", up="t1", down="t3", task="task-7"):
    t = OrvynPipelineTrainer(trainer_id, url)
    t.layer_assignment = LayerAssignment(task, trainer_id, 4, 8, 1, up, down, "")
    return t


def run(op):
    return asyncio.run(op)


def body_of(tensor, backward=False):
    return compress_tensor(tensor, is_backward=backward).to_bytes()


def test_stage_guards_make_no_request(capsys):
    with ScriptedServer() as srv:
        first = middle(srv.url, up=None)
        last = middle(srv.url, down=None)
        assert run(last.send_activation(torch.ones(3))) is False
        assert run(first.send_gradient(torch.ones(3), 1.0)) is False
        with pytest.raises(ValueError, match="^First stage doesn't receive activations$"):
            run(first.receive_activation())
        with pytest.raises(ValueError, match="^Last stage doesn't receive gradients$"):
            run(last.receive_gradient())
        unjoined = OrvynPipelineTrainer("x", srv.url)
        with pytest.raises(ValueError):
            run(unjoined.send_activation(torch.ones(3)))
        with pytest.raises(ValueError):
            run(unjoined.receive_gradient())
    assert srv.requests == [] and capsys.readouterr().out == ""


def test_activation_post_headers_body_and_success_status():
    x = torch.tensor([[1.0, -2.0, 0.0], [3.5, -0.0, 0.25]])
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(201, b"stored")
        t = middle(srv.url)
        assert run(t.send_activation(x)) is True
        t.micro_batch_idx = 17
        assert run(t.send_activation(x)) is True
    first, second = srv.requests
    assert (first.method, first.path) == ("POST", "/pipeline/activation")
    routing = [(k, v) for k, v in first.headers if k.startswith("X-")]
    assert routing == [("X-Task-ID", "task-7"), ("X-From-Trainer", "t2"), ("X-To-Trainer", "t3"), ("X-Micro-Batch", "0")]
    assert second.header("X-Micro-Batch") == "17"
    assert len(first.body) == 43 and first.body == body_of(x)
    record = CompressedTensor.from_bytes(first.body)
    assert record.shape == [2, 3] and record.is_backward is False and record.group_size == 64


def test_gradient_post_loss_header_forms():
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200)
        t = middle(srv.url)
        g = torch.randn(100)
        for loss in (None, 2, 2.302585092994046, 0.00001, -0.0, float("inf"), float("nan"), True):
            assert run(t.send_gradient(g, loss)) is True
        with pytest.raises(TypeError, match="loss"):
            t.send_gradient(g, "2.0")
    sent = [r.header("X-Loss") for r in srv.requests]
    assert sent == [None, "2.0", "2.302585092994046", "1e-05", "-0.0", "inf", "nan", "1.0"]
    assert all(r.path == "/pipeline/gradient" and r.header("X-To-Trainer") == "t1" for r in srv.requests)
    assert len(srv.requests[0].body) == 17 + 8 + 4 + 16
    assert CompressedTensor.from_bytes(srv.requests[0].body).is_backward is True


def test_failed_send_warns_and_reports_false(capsys):
    t = middle(f"http://127.0.0.1:{closed_port()}")
    assert run(t.send_activation(torch.ones(4))) is False
    assert run(t.send_gradient(torch.ones(4), 1.0)) is False
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("  Warning: Failed to send activation: ") and len(out[0]) > 40
    assert out[1].startswith("  Warning: Failed to send gradient: ")


@pytest.mark.parametrize("status, error", [(413, "body larger than 1024 bytes"), (503, "too many tasks hold messages"),
                                           (507, "relay store is full")])
def test_send_refused_by_the_coordinator_warns_with_its_reason_and_reports_false(status, error, capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(status, b'{"error": "%s"}' % error.encode())
        t = middle(srv.url)
        assert run(t.send_activation(torch.ones(4))) is False
        assert run(t.send_gradient(torch.ones(4), 1.0)) is False
    assert capsys.readouterr().out.splitlines() == [
        f"  Warning: Failed to send activation: coordinator answered {status}: {error}",
        f"  Warning: Failed to send gradient: coordinator answered {status}: {error}"]


def test_a_post_that_is_never_answered_times_out(capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, delay=3.0)
        t = middle(srv.url)
        t._post_timeout = 0.3
        assert run(t.send_activation(torch.ones(4))) is False
    assert capsys.readouterr().out.startswith("  Warning: Failed to send activation: ")


def test_receive_parses_the_body_and_loss_of_a_success_answer():
    x = torch.tensor([[0.5, -1.0, 0.0], [2.0, -3.0, 1.0]])
    replies = {"activation": Reply(201, body_of(x)),
               "gradient": Reply(200, body_of(x, True), headers=[("x-LOSS", "2.5"), ("X-Loss", "9")])}
    with ScriptedServer() as srv:
        srv.reply = lambda req: replies[req.path.split("?")[0].rsplit("/", 1)[1]]
        t = middle(srv.url)
        t.micro_batch_idx = 3
        got = run(t.receive_activation(timeout=5))
        grad, loss = run(t.receive_gradient())
    assert got.dtype == torch.float32 and got.shape == (2, 3) and not got.requires_grad
    assert torch.equal(got, torch.tensor([[3.0, -3.0, 3.0], [3.0, -3.0, 3.0]]))
    assert torch.equal(grad, got) and loss == 2.5
    assert [r.path for r in srv.requests] == ["/pipeline/activation?task_id=task-7&trainer_id=t2&micro_batch=3",
                                              "/pipeline/gradient?task_id=task-7&trainer_id=t2&micro_batch=3"]
    # Each fetch tells the coordinator how long it will wait, so that it answers first.
    assert [r.header("X-Client-Timeout") for r in srv.requests] == ["5.0", "30.0"]


@pytest.mark.parametrize("headers,expected", [([], None), ([("X-Loss", "")], None), ([("X-Loss", "1e-05")], 1e-05),
                                              ([("X-Loss", "-inf")], -math.inf)])
def test_loss_header_absent_empty_or_numeric(headers, expected):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, body_of(torch.ones(2), True), headers=headers)
        _, loss = run(middle(srv.url).receive_gradient())
    assert loss == expected


BROKEN = {
    "empty body": (Reply(200, b""), ValueError),
    "error page": (Reply(404, b"no such message"), ConnectionError),
    "cut-short body": (Reply(200, body_of(torch.randn(1000))[:-10]), ValueError),
    "truncated transfer": (Reply(200, body_of(torch.randn(10)), mode="truncate"), ConnectionError),
    "closed socket": (Reply(mode="close"), ConnectionError),
    "bad loss": (Reply(200, body_of(torch.ones(2), True), headers=[("X-Loss", "abc")]), ValueError),
}


@pytest.mark.parametrize("case", list(BROKEN))
def test_failed_receive_warns_then_raises(case, capsys):
    reply, error = BROKEN[case]
    with ScriptedServer() as srv:
        srv.reply = lambda req: reply
        t = middle(srv.url)
        with pytest.raises(error) as info:
            run(t.receive_gradient(timeout=5))
    out = capsys.readouterr().out
    assert out == f"  Warning: Failed to receive gradient: {info.value}\n"
    if case == "bad loss":
        assert str(info.value) == "could not convert string to float: 'abc'"
    if case == "error page":  # the coordinator's answer, not a byte-format error
        assert str(info.value) == "coordinator answered 404: no such message"


def test_receive_time_limit_and_refused_connection(capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, body_of(torch.ones(2)), delay=2.0)
        t = middle(srv.url)
        loop = asyncio.new_event_loop()
        start = loop.time()
        with pytest.raises(TimeoutError):
            loop.run_until_complete(t.receive_activation(timeout=0.3))
        assert loop.time() - start < 1.5
        loop.close()
    assert capsys.readouterr().out.startswith("  Warning: Failed to receive activation: ")
    with pytest.raises(ConnectionError):
        run(middle(f"http://127.0.0.1:{closed_port()}").receive_activation())


def test_cancelling_a_waiting_receive_prints_nothing_and_frees_the_request(capsys):
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, b"", delay=3.0)
        t = middle(srv.url)

        async def scenario():
            task = asyncio.ensure_future(t.receive_gradient())
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            for _ in range(200):
                if _carrowel._testing.stats()["io_active"] == 0:
                    break
                await asyncio.sleep(0.01)
            return _carrowel._testing.stats()

        stats = run(scenario())
    assert stats["frames"] == 0 and stats["io_active"] == 0
    assert capsys.readouterr().out == ""


def test_trailing_slash_is_sent_as_a_double_slash():
    with ScriptedServer() as srv:
        srv.reply = lambda req: Reply(200, body_of(torch.ones(2)))
        t = middle(srv.url + "/")
        run(t.send_activation(torch.ones(2)))
        run(t.receive_activation())
    assert [r.path.split("?")[0] for r in srv.requests] == ["//pipeline/activation", "//pipeline/activation"]
