"""The stand-in coordinator over real HTTP: join, ready, relay, limits and shutdown."""

import json
import signal
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

import pytest

from coordinator_clients import TIMEOUT_S, request


def join(url, task, trainer, **kw):
    body = json.dumps({"task_id": task, "trainer_id": trainer, "memory_bytes": 8589934592, "has_gpu": False})
    status, _, data = request(url, "POST", "/pipeline/join", body, {"Content-Type": "application/json"}, **kw)
    return status, json.loads(data)


def post(url, kind, task, sender, to, mb, body, loss=None):
    headers = {"X-Task-ID": task, "X-From-Trainer": sender, "X-To-Trainer": to, "X-Micro-Batch": str(mb)}
    if loss is not None:
        headers["X-Loss"] = loss
    return request(url, "POST", f"/pipeline/{kind}", body, headers)


def fetch(url, kind, task, trainer, mb, wait=None, timeout=TIMEOUT_S):
    query = {"task_id": task, "trainer_id": trainer, "micro_batch": mb}
    if wait is not None:
        query["wait"] = wait
    return request(url, "GET", f"/pipeline/{kind}?" + urllib.parse.urlencode(query), timeout=timeout)


def status(url):
    return json.loads(request(url, "GET", "/status")[2])


def wait_until(predicate, timeout=TIMEOUT_S):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


# --- join and ready ---------------------------------------------------------------


def test_concurrent_joins_form_one_pipeline_of_contiguous_slices(coordinator):
    url = coordinator(stages=3, layers=10)
    ids = ["trainer_1", "trainer_2", "trainer_3"]
    with ThreadPoolExecutor(3) as pool:
        answers = dict(zip(ids, pool.map(lambda t: join(url, "task-a", t), ids)))
    assert all(s == 200 for s, _ in answers.values())
    by_pos = sorted((a["pipeline_position"], t, a) for t, (_, a) in answers.items())
    assert [p for p, _, _ in by_pos] == [0, 1, 2]
    assert [(a["layer_start"], a["layer_end"]) for _, _, a in by_pos] == [(0, 4), (4, 7), (7, 10)]
    order = [t for _, t, _ in by_pos]
    for i, (_, _, a) in enumerate(by_pos):
        assert a["upstream_trainer"] == (order[i - 1] if i > 0 else None)
        assert a["downstream_trainer"] == (order[i + 1] if i < 2 else None)
        assert isinstance(a["layer_weights_hash"], str) and a["layer_weights_hash"]

    for pos, trainer, _ in by_pos:
        s, _, data = request(url, "POST", "/pipeline/ready",
                             json.dumps({"task_id": "task-a", "trainer_id": trainer, "pipeline_position": pos}))
        assert s == 200, data
    assert json.loads(data)["ready"] == 3
    log = url.log()
    assert log.count("join task='task-a'") == 3
    assert log.count("ready task='task-a'") == 3


def test_single_stage_task_is_answered_at_once(coordinator):
    url = coordinator(stages=1, layers=4)
    s, a = join(url, "solo", "only", timeout=2)
    assert s == 200
    assert a == {"layer_start": 0, "layer_end": 4, "pipeline_position": 0, "upstream_trainer": None,
                 "downstream_trainer": None, "layer_weights_hash": a["layer_weights_hash"]}


def test_duplicate_waiting_id_is_refused_and_a_member_may_ask_again(coordinator):
    url = coordinator(stages=2, layers=4)
    with ThreadPoolExecutor(1) as pool:
        first = pool.submit(join, url, "t", "a")
        wait_until(lambda: status(url)["held_requests"] == 1)
        s, body = join(url, "t", "a")
        assert s == 409 and "already joined" in body["error"]
        assert join(url, "t", "b")[0] == 200
        s, a = first.result()
    assert s == 200 and a["downstream_trainer"] == "b"
    # The task is complete: the same member gets its assignment again, at once.
    assert join(url, "t", "a", timeout=2) == (200, a)


@pytest.mark.parametrize("body, message", [
    ("not json", "not valid JSON"),
    ("[1, 2]", "JSON object"),
    ('{"trainer_id": "a", "memory_bytes": 1, "has_gpu": false}', '"task_id"'),
    ('{"task_id": "t", "memory_bytes": 1, "has_gpu": false}', '"trainer_id"'),
    ('{"task_id": "t", "trainer_id": "", "memory_bytes": 1, "has_gpu": false}', '"trainer_id"'),
    ('{"task_id": 5, "trainer_id": "a", "memory_bytes": 1, "has_gpu": false}', '"task_id"'),
    ('{"task_id": "t", "trainer_id": "a", "has_gpu": false}', '"memory_bytes"'),
    ('{"task_id": "t", "trainer_id": "a", "memory_bytes": -1, "has_gpu": false}', '"memory_bytes"'),
    ('{"task_id": "t", "trainer_id": "a", "memory_bytes": 1, "has_gpu": 1}', '"has_gpu"'),
])
def test_malformed_join_is_refused_with_a_json_error(coordinator, body, message):
    url = coordinator(stages=2, layers=4)
    s, _, data = request(url, "POST", "/pipeline/join", body)
    assert s == 400
    assert message in json.loads(data)["error"]
    assert status(url)["held_requests"] == 0


def test_join_that_waits_too_long_gets_an_error_and_frees_its_id(coordinator):
    url = coordinator(stages=2, layers=4, join_wait=0.3)
    start = time.monotonic()
    s, body = join(url, "t", "a")
    assert s == 504 and "did not gather" in body["error"]
    assert time.monotonic() - start >= 0.3
    with ThreadPoolExecutor(1) as pool:  # the id is free again
        again = pool.submit(join, url, "t", "a")
        wait_until(lambda: status(url)["held_requests"] == 1)
        assert join(url, "t", "b")[0] == 200
        assert again.result()[0] == 200


def test_ready_from_a_stranger_or_at_a_wrong_position_is_refused(coordinator):
    url = coordinator(stages=1, layers=2)
    join(url, "t", "a")
    ready = lambda trainer, pos: request(url, "POST", "/pipeline/ready", json.dumps(
        {"task_id": "t", "trainer_id": trainer, "pipeline_position": pos}))[0]
    assert ready("stranger", 0) == 404
    assert ready("a", 1) == 409
    assert ready("a", 0) == 200


# --- relay ------------------------------------------------------------------------


def test_relay_delivers_exact_bytes_and_echoes_the_loss_text(coordinator):
    url = coordinator()
    payload = bytes(range(256)) * 40
    for loss in ["2.302585092994046", "-0.0", "1e-05", "nan"]:
        assert post(url, "gradient", "t", "b", "a", 0, payload, loss=loss)[0] == 200
        s, headers, body = fetch(url, "gradient", "t", "a", 0)
        assert (s, body, headers["x-loss"]) == (200, payload, loss)
        assert headers["content-type"] == "application/octet-stream"

    assert post(url, "activation", "t", "a", "b", 0, b"act")[0] == 200
    s, headers, body = fetch(url, "activation", "t", "b", 0)
    assert (s, body) == (200, b"act")
    assert "x-loss" not in headers
    # Activations and gradients are separate streams with the same coordinates.
    assert fetch(url, "gradient", "t", "b", 0, wait=0)[0] == 504


def test_held_fetch_is_answered_by_a_later_post(coordinator):
    url = coordinator()
    with ThreadPoolExecutor(1) as pool:
        pending = pool.submit(fetch, url, "activation", "t", "b", 5)
        wait_until(lambda: status(url)["waiting_fetches"] == 1)
        assert not pending.done()
        post(url, "activation", "t", "a", "b", 4, b"earlier micro-batch")
        post(url, "activation", "t", "a", "b", 5, b"the one")
        s, _, body = pending.result(timeout=TIMEOUT_S)
    assert (s, body) == (200, b"the one")


def test_fetch_that_waits_out_its_limit_gets_a_short_error_body(coordinator):
    url = coordinator()
    start = time.monotonic()
    s, headers, body = fetch(url, "gradient", "t", "a", 0, wait=0.25)
    assert s == 504
    assert time.monotonic() - start >= 0.25
    assert "no gradient" in json.loads(body)["error"]
    # A wait above the cap is cut to the cap.
    url2 = coordinator(max_wait=0.2)
    start = time.monotonic()
    assert fetch(url2, "gradient", "t", "a", 0, wait=1000)[0] == 504
    assert time.monotonic() - start < 5


def test_message_survives_repeat_fetches_until_the_recipient_moves_on(coordinator):
    url = coordinator()
    post(url, "activation", "t", "a", "b", 0, b"zero")
    assert fetch(url, "activation", "t", "b", 0)[2] == b"zero"
    assert fetch(url, "activation", "t", "b", 0)[2] == b"zero"
    post(url, "activation", "t", "a", "b", 0, b"zero, again")  # a re-post replaces
    assert fetch(url, "activation", "t", "b", 0)[2] == b"zero, again"

    post(url, "activation", "t", "a", "b", 1, b"one")
    assert fetch(url, "activation", "t", "b", 1)[2] == b"one"
    assert fetch(url, "activation", "t", "b", 0, wait=0)[0] == 504
    assert status(url)["messages"] == 1


def test_message_outlives_fetches_their_clients_abandoned(coordinator):
    url = coordinator()
    with ThreadPoolExecutor(4) as pool:
        gone = [pool.submit(fetch, url, "activation", "t", "b", 0, timeout=0.3) for _ in range(4)]
        for f in gone:
            with pytest.raises(TimeoutError):
                f.result()
    # The service answers the dead connections when the message comes, and lives on.
    payload = bytes(range(256)) * 8192
    post(url, "activation", "t", "a", "b", 0, payload)
    wait_until(lambda: status(url)["waiting_fetches"] == 0)
    assert fetch(url, "activation", "t", "b", 0)[2] == payload
    assert url.process.poll() is None


def test_messages_expire_after_their_ttl(coordinator):
    url = coordinator(message_ttl=0.3)
    post(url, "gradient", "t", "b", "a", 0, b"x")
    wait_until(lambda: status(url)["messages"] == 0, timeout=5)
    assert fetch(url, "gradient", "t", "a", 0, wait=0)[0] == 504


@pytest.mark.parametrize("headers, message", [
    ({"X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "0"}, "X-Task-ID"),
    ({"X-Task-ID": "t", "X-To-Trainer": "b", "X-Micro-Batch": "0"}, "X-From-Trainer"),
    ({"X-Task-ID": "t", "X-From-Trainer": "a", "X-Micro-Batch": "0"}, "X-To-Trainer"),
    ({"X-Task-ID": "t", "X-From-Trainer": "a", "X-To-Trainer": "b"}, "X-Micro-Batch"),
] + [({"X-Task-ID": "t", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": mb}, "X-Micro-Batch")
     for mb in ["-1", "+1", "1.5", "0x10", "", "99999999999999999999999"]])
def test_post_without_valid_routing_headers_is_refused(coordinator, headers, message):
    url = coordinator()
    s, _, body = request(url, "POST", "/pipeline/activation", b"x", headers)
    assert s == 400 and message in json.loads(body)["error"]
    assert status(url)["messages"] == 0


@pytest.mark.parametrize("query", ["trainer_id=b&micro_batch=0", "task_id=t&micro_batch=0",
                                   "task_id=t&trainer_id=b", "task_id=t&trainer_id=b&micro_batch=x",
                                   "task_id=t&trainer_id=b&micro_batch=0&wait=-1",
                                   "task_id=t&trainer_id=b&micro_batch=0&wait=soon"])
def test_fetch_without_valid_query_is_refused(coordinator, query):
    url = coordinator()
    s, _, body = request(url, "GET", "/pipeline/gradient?" + query)
    assert s == 400 and "error" in json.loads(body)


# --- limits -----------------------------------------------------------------------


def test_body_over_the_cap_is_refused(coordinator):
    url = coordinator(max_body=1024)
    assert post(url, "activation", "t", "a", "b", 0, b"x" * 1024)[0] == 200
    s, _, body = post(url, "activation", "t", "a", "b", 1, b"x" * 2048)
    assert s == 413 and "1024" in json.loads(body)["error"]
    s, _, _ = request(url, "POST", "/pipeline/activation", b"x",
                      {"X-Task-ID": "t", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "2",
                       "Content-Encoding": "gzip"})
    assert s == 415
    assert status(url)["messages"] == 1


def test_pending_messages_are_capped_per_task(coordinator):
    url = coordinator(max_pending=3)
    for mb in range(3):
        assert post(url, "activation", "t", "a", "b", mb, b"x")[0] == 200
    assert post(url, "activation", "t", "a", "b", 3, b"x")[0] == 429
    assert post(url, "activation", "t", "a", "b", 2, b"replacement")[0] == 200
    assert post(url, "activation", "other", "a", "b", 3, b"x")[0] == 200


def test_posts_still_succeed_while_every_allowed_fetch_is_held(coordinator):
    url = coordinator(max_held=24, max_held_per_client=24, max_held_per_task=24)
    held = status(url)["max_held_requests"]
    assert held == 24
    with ThreadPoolExecutor(held) as pool:
        fetches = [pool.submit(fetch, url, "activation", "t", f"r{i}", 0) for i in range(held)]
        wait_until(lambda: status(url)["waiting_fetches"] == held)
        # One more wait is refused at once instead of taking a post's thread.
        s, _, body = fetch(url, "activation", "t", "extra", 0, timeout=5)
        assert s == 503 and "too many" in json.loads(body)["error"]
        for i in range(held):
            assert post(url, "activation", "t", "a", f"r{i}", 0, f"m{i}".encode())[0] == 200
        results = [f.result(timeout=TIMEOUT_S) for f in fetches]
    assert [(s, body) for s, _, body in results] == [(200, f"m{i}".encode()) for i in range(held)]


# --- shutdown ---------------------------------------------------------------------


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_signal_wakes_held_requests_and_exits_cleanly(coordinator, sig):
    url = coordinator(stages=2, layers=4)
    with ThreadPoolExecutor(2) as pool:
        held_fetch = pool.submit(fetch, url, "gradient", "t", "a", 0)
        held_join = pool.submit(join, url, "t", "a")
        wait_until(lambda: status(url)["held_requests"] == 2)
        start = time.monotonic()
        assert url.stop(sig) == 0
        assert time.monotonic() - start < 5
        assert held_fetch.result()[0] == 503
        assert held_join.result()[0] == 503
    assert "korvane-coordinator stopped" in url.log()


# --- start-up -----------------------------------------------------------------------


@pytest.mark.parametrize("token", [" ", "\t \t", " padded", "padded ", "line\nbreak"])
def test_a_token_no_client_could_present_is_refused_at_start(tmp_path, token):
    import subprocess
    from conftest import coordinator_binary
    r = subprocess.run([str(coordinator_binary()), "--host", "127.0.0.1", "--port", "0", "--token", token],
                       capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL)
    assert r.returncode == 2 and "token" in r.stderr and "listening" not in r.stdout, (r.returncode, r.stdout, r.stderr)
    blank = tmp_path / "blank"
    blank.write_text(" \t\n")
    r = subprocess.run([str(coordinator_binary()), "--host", "127.0.0.1", "--port", "0", "--token-file", str(blank)],
                       capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL)
    assert r.returncode == 2 and "no token" in r.stderr
