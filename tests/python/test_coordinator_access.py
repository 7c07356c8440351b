"""Who may do what at the coordinator: the bearer token, member secrets, runs kept
apart. Every attack runs beside a real two-stage pipeline of korvane trainers, which
must complete with finite, agreeing losses and no warning."""
import json
import math
import socket
import time
import urllib.parse

import pytest

from coordinator_clients import Pipeline, auth, fetch, join, post, request, status

TOKEN = "s3cret-token-for-tests"
SECRET_ASK = {"X-Member-Secret-Request": "1"}


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def formed(url, task, token=None):
    """Forms a two-stage task of "a" and "b" over plain HTTP; returns their answers."""
    import threading
    answers = {}
    t = threading.Thread(target=lambda: answers.update(a=join(url, task, "a", auth(token, **SECRET_ASK))))
    t.start()
    wait_until(lambda: status(url, token)["held_requests"] == 1)
    answers["b"] = join(url, task, "b", auth(token, **SECRET_ASK))
    t.join(10)
    assert answers["a"][0] == answers["b"][0] == 200, answers
    return answers["a"][1], answers["b"][1]


def test_members_get_secrets_and_an_id_alone_proves_nothing(coordinator):
    url = coordinator(stages=2, layers=2)
    a, b = formed(url, "t")
    assert len(a["member_secret"]) >= 32 and a["member_secret"] != b["member_secret"]
    assert a["downstream_trainer"] == "b" and b["upstream_trainer"] == "a"

    # Posts: not as a member without its secret, not by a stranger, not past the neighbour.
    nan = b"\x00" * 43
    assert post(url, "activation", "t", "a", "b", 0, nan)[0] == 403
    assert post(url, "activation", "t", "a", "b", 0, nan, auth(secret=b["member_secret"]))[0] == 403
    assert post(url, "activation", "t", "x", "b", 0, nan)[0] == 403
    assert post(url, "activation", "t", "a", "a", 0, nan, auth(secret=a["member_secret"]))[0] == 403
    s, _, body = post(url, "activation", "t", "a", "b", 0, b"real", auth(secret=a["member_secret"]))
    assert s == 200, body
    # Fetches: only the recipient; a stranger's fetch of a later micro-batch drops nothing.
    s, _, body = fetch(url, "activation", "t", "b", 0, wait=0)
    assert s == 403 and "member secret" in json.loads(body)["error"]
    assert fetch(url, "activation", "t", "b", 1, wait=0, headers=auth(secret=a["member_secret"]))[0] == 403
    s, _, body = fetch(url, "activation", "t", "b", 0, wait=0, headers=auth(secret=b["member_secret"]))
    assert (s, body) == (200, b"real")

    # Joins: a member id needs its secret, a formed task takes no newcomer.
    s, err = join(url, "t", "b")
    assert s == 409 and "member secret" in err["error"]
    s, err = join(url, "t", "c")
    assert s == 409 and "already formed" in err["error"]
    s, again = join(url, "t", "b", auth(secret=b["member_secret"]))
    assert s == 200 and again == b
    assert request(url, "POST", "/pipeline/ready", json.dumps({"task_id": "t", "trainer_id": "b", "pipeline_position": 1}))[0] == 403


def test_plain_trainers_without_secrets_keep_the_open_protocol(coordinator):
    url = coordinator(stages=1, layers=1)
    s, a = join(url, "solo", "only")
    assert s == 200 and "member_secret" not in a
    assert post(url, "activation", "anything", "x", "y", 0, b"m")[0] == 200
    assert fetch(url, "activation", "anything", "y", 0)[2] == b"m"


def test_a_run_ends_when_all_members_leave_and_its_messages_never_reach_the_next(coordinator):
    url = coordinator(stages=2, layers=2)
    a, b = formed(url, "t")
    assert post(url, "activation", "t", "a", "b", 0, b"old run", auth(secret=a["member_secret"]))[0] == 200
    leave = lambda who, secret, **extra: request(url, "POST", "/pipeline/leave", json.dumps(
        {"task_id": "t", "trainer_id": who, **extra}), auth(secret=secret))[0]
    assert leave("a", None) == 403
    assert leave("a", a["member_secret"]) == 200
    assert status(url)["tasks"] == 1  # b is still active
    assert leave("b", b["member_secret"]) == 200
    assert status(url)["tasks"] == 0 and status(url)["messages"] == 0

    a2, b2 = formed(url, "t")  # the same ids start a new run
    assert a2["member_secret"] != a["member_secret"]
    s, _, _ = fetch(url, "activation", "t", "b", 0, wait=0, headers=auth(secret=b2["member_secret"]))
    assert s == 504


def test_silent_members_time_out_and_end_the_run(coordinator):
    url = coordinator(stages=2, layers=2, member_timeout=0.5)
    formed(url, "t")
    assert status(url)["active_members"] == 2
    wait_until(lambda: status(url)["tasks"] == 0, timeout=5)
    assert formed(url, "t")  # a new run may form


def test_a_failed_member_stops_its_neighbours_waiting_fetch_at_once(coordinator):
    url = coordinator(stages=2, layers=2)
    a, b = formed(url, "t")
    import threading
    got = {}
    waiter = threading.Thread(target=lambda: got.update(r=fetch(url, "gradient", "t", "a", 0,
                                                               headers=auth(secret=a["member_secret"]))))
    waiter.start()
    wait_until(lambda: status(url)["waiting_fetches"] == 1)
    start = time.monotonic()
    assert request(url, "POST", "/pipeline/leave", json.dumps({"task_id": "t", "trainer_id": "b", "error": "CUDA out of memory"}),
                   auth(secret=b["member_secret"]))[0] == 200
    waiter.join(5)
    assert time.monotonic() - start < 1.0
    s, _, body = got["r"]
    assert s == 410 and json.loads(body)["error"] == "trainer 'b' failed: CUDA out of memory"


def test_a_fetch_refused_because_its_neighbour_left_names_it_and_why(coordinator):
    url = coordinator(stages=2, layers=2)
    a, b = formed(url, "t")
    assert request(url, "POST", "/pipeline/leave", json.dumps({"task_id": "t", "trainer_id": "a"}),
                   auth(secret=a["member_secret"]))[0] == 200
    s, _, body = fetch(url, "activation", "t", "b", 0, wait=5, headers=auth(secret=b["member_secret"]))
    assert s == 410 and json.loads(body)["error"] == "trainer 'a' left: it ended its part of the run"


# --- direction: activations come from upstream, gradients from downstream ----------------


def formed_chain(url, task, ids=("a", "b", "c"), token=None):
    """Forms a task of the given ids in that order, each asking for a secret; their answers."""
    import threading
    answers, threads = {}, []
    for n, who in enumerate(ids[:-1], start=1):
        t = threading.Thread(target=lambda who=who: answers.update({who: join(url, task, who, auth(token, **SECRET_ASK))}))
        t.start()
        threads.append(t)
        wait_until(lambda n=n: status(url, token)["held_requests"] == n)
    answers[ids[-1]] = join(url, task, ids[-1], auth(token, **SECRET_ASK))
    for t in threads:
        t.join(10)
    assert all(answers[w][0] == 200 for w in ids), answers
    return {w: answers[w][1] for w in ids}


def test_a_member_cannot_forge_its_other_neighbours_traffic(coordinator):
    url = coordinator(stages=3, layers=3)
    m = formed_chain(url, "t")
    as_ = lambda who: auth(secret=m[who]["member_secret"])
    assert post(url, "activation", "t", "a", "b", 0, b"from a", as_("a"))[0] == 200
    assert post(url, "gradient", "t", "c", "b", 0, b"from c", as_("c"))[0] == 200
    # c is b's downstream neighbour: it may send b gradients, never activations; a the reverse.
    s, _, body = post(url, "activation", "t", "c", "b", 0, b"forged by c", as_("c"))
    assert s == 403 and "downstream" in json.loads(body)["error"], body
    s, _, body = post(url, "gradient", "t", "a", "b", 0, b"forged by a", as_("a"))
    assert s == 403 and "upstream" in json.loads(body)["error"], body
    assert post(url, "activation", "t", "c", "b", 1, b"forged by c", as_("c"))[0] == 403
    s, h, body = fetch(url, "activation", "t", "b", 0, wait=0, headers=as_("b"))
    assert (s, body, h["x-from-trainer"]) == (200, b"from a", "a")
    s, h, body = fetch(url, "gradient", "t", "b", 0, wait=0, headers=as_("b"))
    assert (s, body, h["x-from-trainer"]) == (200, b"from c", "c")
    # The rightful sender may post again (a retry after a lost answer), and a rejoin changes nothing.
    assert post(url, "activation", "t", "a", "b", 0, b"a again", as_("a"))[0] == 200
    assert join(url, "t", "a", as_("a"))[0] == 200
    assert post(url, "activation", "t", "a", "b", 1, b"a at 1", as_("a"))[0] == 200
    assert fetch(url, "activation", "t", "b", 1, wait=0, headers=as_("b"))[2] == b"a at 1"


def test_plain_trainers_may_still_post_either_way(coordinator):
    url = coordinator(stages=2, layers=2)
    import threading
    got = {}
    t = threading.Thread(target=lambda: got.update(a=join(url, "t", "a")))
    t.start()
    wait_until(lambda: status(url)["held_requests"] == 1)
    assert join(url, "t", "b")[0] == 200
    t.join(10)
    assert post(url, "activation", "t", "a", "b", 0, b"one")[0] == 200
    assert post(url, "activation", "t", "x", "b", 0, b"two")[0] == 200  # replaced, as before
    assert fetch(url, "activation", "t", "b", 0, wait=0)[2] == b"two"


# --- attacks, each beside a real pipeline -------------------------------------------------


def test_abandoned_held_fetches_free_their_slots_at_once(coordinator):
    url = coordinator(stages=2, layers=2, max_held=40, max_held_per_client=40, max_held_per_task=40)
    parts = urllib.parse.urlsplit(url)
    for round_ in range(3):  # 120 held fetches in all, 40 slots
        socks = []
        for i in range(40):
            s = socket.create_connection((parts.hostname, parts.port))
            s.sendall(b"GET /pipeline/activation?task_id=x&trainer_id=v%d&micro_batch=0&wait=600 HTTP/1.1\r\n\r\n" % i)
            socks.append(s)
        wait_until(lambda: status(url)["held_requests"] == 40)
        for s in socks:
            s.close()
        wait_until(lambda: status(url)["held_requests"] == 0, timeout=2)
    Pipeline(url, "beside").start().assert_completed()


def held_fetches_from(url, address, targets):
    """Long-polls from `address` (a loopback address of its own), one connection each;
    the sockets."""
    parts = urllib.parse.urlsplit(url)
    socks = []
    for task, trainer in targets:
        s = socket.create_connection((parts.hostname, parts.port), source_address=(address, 0))
        s.sendall(b"GET /pipeline/activation?task_id=%s&trainer_id=%s&micro_batch=0&wait=600 HTTP/1.1\r\n\r\n"
                  % (task.encode(), trainer.encode()))
        socks.append(s)
    return socks


def answered(socks, timeout=0.05):
    import select
    ready, _, _ = select.select(socks, [], [], timeout)
    return {s: s.recv(4096) for s in ready}


def test_one_client_or_one_task_cannot_take_every_hold_slot(coordinator):
    url = coordinator(stages=2, layers=2, max_held=40)  # a share of 20 each
    # One address, 30 long-polls to tasks that do not exist: it gets its share.
    socks = held_fetches_from(url, "127.0.0.2", [(f"ghost-{i}", "v") for i in range(30)])
    try:
        refused = {}
        wait_until(lambda: len(refused.update(answered(socks)) or refused) + status(url)["held_requests"] == 30)
        assert status(url)["held_requests"] == 20
        assert all(b" 503 " in r.split(b"\r\n", 1)[0] and b"client address" in r for r in refused.values())
        Pipeline(url, "beside").start().assert_completed()  # everyone else still joins and trains
    finally:
        for s in socks:
            s.close()
    wait_until(lambda: status(url)["held_requests"] == 0)
    # Many addresses, all for one task: that task gets its share.
    socks = []
    try:
        for n in range(6):
            socks += held_fetches_from(url, f"127.0.0.{3 + n}", [("ghost", f"v{n}-{i}") for i in range(5)])
        refused = {}
        wait_until(lambda: len(refused.update(answered(socks)) or refused) + status(url)["held_requests"] == 30)
        assert status(url)["held_requests"] == 20
        assert all(b"task 'ghost'" in r for r in refused.values())
        Pipeline(url, "beside").start().assert_completed()
    finally:
        for s in socks:
            s.close()


def test_outsiders_cannot_poison_read_or_drop_a_running_pipelines_messages(coordinator):
    url = coordinator(stages=2, layers=2)
    p = Pipeline(url, "victim", rounds=4).start()
    wait_until(lambda: status(url)["tasks"] == 1 and status(url)["active_members"] == 2, timeout=30)
    import torch
    from korvane.carrowel import compress_tensor
    nan_body = compress_tensor(torch.full((2, 512, 768), float("nan"))).to_bytes()
    refused, batches = set(), 0
    while p.thread.is_alive():
        codes = set()
        for mb in range(6):
            codes.add(post(url, "activation", "victim", "a", "b", mb, nan_body)[0])
            codes.add(post(url, "gradient", "victim", "b", "a", mb, nan_body, {"X-Loss": "nan"})[0])
            codes.add(fetch(url, "activation", "victim", "b", mb, wait=0)[0])
            codes.add(fetch(url, "gradient", "victim", "a", mb + 1, wait=0)[0])
        if status(url)["tasks"] == 0:
            break  # the run ended during this batch: its task id is free again
        refused |= codes
        batches += 1
    out = p.assert_completed()
    assert batches > 0 and refused == {403}, refused
    assert "nan" not in out.lower()


def test_posts_to_made_up_tasks_cannot_crowd_out_a_pipeline(coordinator):
    url = coordinator(stages=2, layers=2, max_tasks=64)
    codes = {post(url, "activation", f"junk-{i}", "x", "y", 0, b"")[0] for i in range(100)}
    assert codes == {200, 503}
    Pipeline(url, "beside").start().assert_completed()


def test_a_formed_task_keeps_newcomers_and_impostors_out(coordinator):
    url = coordinator(stages=2, layers=2)
    p = Pipeline(url, "t", rounds=4).start()
    wait_until(lambda: status(url)["tasks"] == 1 and status(url)["active_members"] == 2, timeout=30)
    assert join(url, "t", "c")[0] == 409
    assert join(url, "t", "b")[0] == 409
    p.assert_completed()


def test_consecutive_runs_under_one_task_id_both_complete(coordinator):
    url = coordinator(stages=2, layers=2)
    Pipeline(url, "again", rounds=2).start().assert_completed()
    Pipeline(url, "again", rounds=2).start().assert_completed()


# --- the bearer token ------------------------------------------------------------------------


def test_token_is_required_on_every_request_and_squatters_are_kept_out(coordinator, tmp_path):
    path = tmp_path / "token"
    path.write_text(TOKEN + "\n")
    url = coordinator(stages=2, layers=2, token_file=path)
    for method, target in [("GET", "/status"), ("POST", "/pipeline/join"), ("GET", "/pipeline/activation?task_id=t&trainer_id=b&micro_batch=0")]:
        for headers in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": TOKEN}]:
            s, h, body = request(url, method, target, b"{}" if method == "POST" else None, headers)
            assert s == 401 and h["www-authenticate"] == "Bearer" and "token" in json.loads(body)["error"]
    # The squatter has no token: it cannot take "b" before the real "b" joins.
    assert join(url, "t", "b")[0] == 401
    # Even with the token, a non-member may not use the relay.
    assert post(url, "activation", "t", "x", "y", 0, b"m", auth(TOKEN))[0] == 403
    p = Pipeline(url, "t", token=TOKEN).start()
    out = p.assert_completed()
    assert TOKEN not in out and TOKEN not in url.log()


def test_trainer_without_the_token_is_refused_with_the_reason(coordinator, capsys):
    import asyncio
    from korvane.carrowel import OrvynPipelineTrainer
    url = coordinator(stages=1, layers=1, token=TOKEN)
    t = OrvynPipelineTrainer("a", url, device="cpu", token="not-it")
    with pytest.raises(RuntimeError, match="^join refused: coordinator answered 401: this coordinator needs a bearer token"):
        asyncio.run(t.join_pipeline("t"))
    assert t.layer_assignment is None
    assert "mock" not in capsys.readouterr().out
    assert "not-it" not in repr(t)


def test_cli_and_facade_take_the_token_from_a_file(coordinator, tmp_path, capsys):
    from korvane.carrowel import OrvynPipelineTrainerSync, main
    path = tmp_path / "token"
    path.write_text(TOKEN + "\n")
    url = coordinator(stages=1, layers=1, token=TOKEN)
    assert main(["--task-id", "cli", "--trainer-id", "solo", "--coordinator", url, "--rounds", "2",
                 "--token-file", str(path)]) == 0
    out = capsys.readouterr().out
    assert "Training complete!" in out and "Warning: Failed" not in out and TOKEN not in out
    facade = OrvynPipelineTrainerSync(trainer_id="solo2", coordinator_url=url, token=TOKEN)
    assert facade.join_pipeline("facade").layer_count == 1
    with pytest.raises(ValueError, match="either token or token_file"):
        OrvynPipelineTrainerSync(trainer_id="x", token=TOKEN, token_file=str(path))


def test_a_join_whose_client_hangs_up_frees_its_hold_and_its_id(coordinator):
    url = coordinator(stages=2, layers=2)
    parts = urllib.parse.urlsplit(url)
    body = json.dumps({"task_id": "t", "trainer_id": "a", "memory_bytes": 1, "has_gpu": False}).encode()
    s = socket.create_connection((parts.hostname, parts.port))
    s.sendall(b"POST /pipeline/join HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    wait_until(lambda: status(url)["held_requests"] == 1)
    s.close()
    wait_until(lambda: status(url)["held_requests"] == 0 and status(url)["tasks"] == 0, timeout=2)
    Pipeline(url, "t").start().assert_completed()  # "a" is free for the real trainer
