"""Lanes at the real coordinator over HTTP: the replicas' rendezvous store (its scoping,
its limits and hostile bodies) and the regroup that drops a silent replica's lane."""
import base64
import json
import threading
import time

from coordinator_clients import auth, fetch, join, request, status

TOKEN = "lanes-token"
SECRET_ASK = {"X-Member-Secret-Request": "1"}


def b64(data):
    return base64.b64encode(data).decode()


def form(url, task, ids, token=TOKEN):
    """Joins `ids` concurrently (in that order) and returns {id: join answer}."""
    answers, threads = {}, []
    for i, tid in enumerate(ids):
        t = threading.Thread(target=lambda tid=tid: answers.update({tid: join(url, task, tid, auth(token, **SECRET_ASK))}))
        t.start()
        threads.append(t)
        deadline = time.monotonic() + 10
        while status(url, token)["held_requests"] < min(i + 1, len(ids) - 1) and i + 1 < len(ids):
            assert time.monotonic() < deadline
            time.sleep(0.01)
    for t in threads:
        t.join(10)
    assert all(answers[t][0] == 200 for t in ids), answers
    return {t: answers[t][1] for t in ids}


class Member:
    def __init__(self, url, task, trainer, secret, token=TOKEN):
        self.url, self.task, self.trainer, self.secret, self.token = url, task, trainer, secret, token

    def raw(self, body, headers=None, timeout=10.0):
        h = {"Content-Type": "application/json", **auth(self.token, self.secret), **(headers or {})}
        s, _, data = request(self.url, "POST", "/pipeline/store", body, h, timeout=timeout)
        return s, json.loads(data) if data else None

    def store(self, op, **fields):
        return self.raw(json.dumps({"task_id": self.task, "trainer_id": self.trainer, "op": op, **fields}))

    def regroup(self, generation, **fields):
        body = json.dumps({"task_id": self.task, "trainer_id": self.trainer, "generation": generation, **fields})
        h = {"Content-Type": "application/json", **auth(self.token, self.secret)}
        s, _, data = request(self.url, "POST", "/pipeline/regroup", body, h)
        return s, json.loads(data)


def members(url, task, answers):
    return {t: Member(url, task, t, a["member_secret"]) for t, a in answers.items()}


def test_lanes_form_with_their_own_neighbours_and_a_plain_join_keeps_its_answer(coordinator):
    url = coordinator(stages=2, layers=4, replicas=2, token=TOKEN)
    a = form(url, "t", ["a", "b", "c", "d"])
    assert (a["a"]["downstream_trainer"], a["b"]["downstream_trainer"], a["c"]["upstream_trainer"]) == ("b", None, None)
    assert (a["d"]["lane"], a["d"]["lanes"], a["d"]["pipeline_position"]) == (1, 2, 1)
    assert a["d"]["group"] == {"generation": 0, "rank": 1, "world_size": 2}
    assert "store" in a["d"]["features"] and "lanes" in a["d"]["features"]

    # Without replicas a plain join keeps the plain answer; a trainer that speaks more
    # learns that it holds lane 0 of 1.
    plain = coordinator(stages=1, layers=2)
    s, answer = join(plain, "p", "solo")
    assert s == 200 and "lane" not in answer and "group" not in answer
    s, answer = join(plain, "q", "solo", SECRET_ASK)
    assert s == 200 and answer["lane"] == 0 and answer["lanes"] == 1 and "group" not in answer


def test_store_operations_are_scoped_to_the_run_and_held_gets_wake(coordinator):
    url = coordinator(stages=1, layers=2, replicas=2, token=TOKEN)
    m = members(url, "t", form(url, "t", ["a", "b"]))
    a, b = m["a"], m["b"]

    got = {}
    waiter = threading.Thread(target=lambda: got.update(r=b.store("get", key="addr/0", timeout=10)))
    waiter.start()
    deadline = time.monotonic() + 10
    while status(url, TOKEN)["held_requests"] < 1:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert a.store("set", key="addr/0", value=b64(b"\x00\xff10.0.0.1:29500")) == (200, {"stored": True})
    waiter.join(10)
    assert got["r"] == (200, {"value": b64(b"\x00\xff10.0.0.1:29500")})

    assert a.store("add", key="n", amount=2) == (200, {"counter": 2})
    assert b.store("add", key="n", amount=-5) == (200, {"counter": -3})
    assert a.store("get", key="n") == (200, {"value": b64(b"-3")})
    assert a.store("compare_set", key="c", expected="", desired=b64(b"x")) == (200, {"value": b64(b"x")})
    assert a.store("compare_set", key="c", expected=b64(b"y"), desired=b64(b"z")) == (200, {"value": b64(b"x")})
    assert a.store("check", keys=["n", "c"]) == (200, {"present": True})
    assert a.store("check", keys=["n", "nope"]) == (200, {"present": False})
    assert a.store("wait", keys=["n", "c"], timeout=1) == (200, {"present": True})
    assert a.store("num_keys") == (200, {"count": 3})
    assert a.store("delete", key="c") == (200, {"deleted": True})
    assert a.store("delete", key="c") == (200, {"deleted": False})
    s, body = a.store("get", key="never", timeout=0.2)
    assert s == 504 and "never" in body["error"]
    s, body = a.store("wait", keys=["n", "never"], timeout=0.2)
    assert s == 504

    # Only members, proving themselves; another task sees none of these keys.
    assert Member(url, "t", "a", "wrong-secret").store("num_keys")[0] == 403
    assert Member(url, "t", "x", None).store("num_keys")[0] == 403
    assert Member(url, "t", "a", a.secret, token="wrong").store("num_keys")[0] == 401
    other = members(url, "u", form(url, "u", ["a", "b"]))
    assert other["a"].store("num_keys") == (200, {"count": 0})
    assert other["a"].store("get", key="n", timeout=0.1)[0] == 504

    # A held get ends with 410 when the run ends.
    got.clear()
    waiter = threading.Thread(target=lambda: got.update(r=b.store("get", key="late", timeout=10)))
    waiter.start()
    deadline = time.monotonic() + 10
    while status(url, TOKEN)["held_requests"] < 1:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    for who in (a, b):
        h = {"Content-Type": "application/json", **auth(TOKEN, who.secret)}
        body = json.dumps({"task_id": "t", "trainer_id": who.trainer})
        assert request(url, "POST", "/pipeline/leave", body, h)[0] == 200
    waiter.join(10)
    assert got["r"][0] == 410 and "over" in got["r"][1]["error"]


def test_held_store_waits_count_against_the_hold_limits(coordinator):
    url = coordinator(stages=1, layers=2, replicas=2, token=TOKEN, max_held=2, max_held_per_client=1)
    m = members(url, "t", form(url, "t", ["a", "b"]))
    got = {}
    waiter = threading.Thread(target=lambda: got.update(r=m["b"].store("get", key="k", timeout=10)))
    waiter.start()
    deadline = time.monotonic() + 10
    while status(url, TOKEN)["held_requests"] < 1:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert m["a"].store("wait", keys=["k"], timeout=10) == (
        503, {"error": "too many requests waiting from this client address"})
    assert m["a"].store("set", key="k", value=b64(b"v")) == (200, {"stored": True})  # needs no hold
    waiter.join(10)
    assert got["r"] == (200, {"value": b64(b"v")})
    assert status(url, TOKEN)["held_requests"] == 0


def test_hostile_store_bodies_are_refused_clearly_and_change_nothing(coordinator):
    url = coordinator(stages=1, layers=2, replicas=2, token=TOKEN)
    a = members(url, "t", form(url, "t", ["a", "b"]))["a"]
    assert a.store("set", key="keep", value=b64(b"v"))[0] == 200

    cases = [
        ({"op": 7}, 400),
        ({"op": "drop_table"}, 400),
        ({"op": "set", "key": 5, "value": b64(b"v")}, 400),
        ({"op": "set", "key": ["k"], "value": b64(b"v")}, 400),
        ({"op": "set", "key": "k", "value": 12}, 400),
        ({"op": "set", "key": "k"}, 400),
        ({"op": "set", "key": "k", "value": "not base64!"}, 400),
        ({"op": "set", "key": "k", "value": "QQ=Q"}, 400),
        ({"op": "set", "key": "", "value": b64(b"v")}, 400),
        ({"op": "set", "key": "a\nb", "value": b64(b"v")}, 400),
        ({"op": "set", "key": "k" * 1025, "value": b64(b"v")}, 413),
        ({"op": "set", "key": "k", "value": b64(b"v" * (16 * 1024 + 1))}, 413),
        ({"op": "add", "key": "k", "amount": "1"}, 400),
        ({"op": "add", "key": "k", "amount": 1.5}, 400),
        ({"op": "add", "key": "k", "amount": 2 ** 63}, 400),
        ({"op": "add", "key": "keep", "amount": 1}, 400),  # holds "v", not a counter
        ({"op": "check", "keys": "keep"}, 400),
        ({"op": "check", "keys": []}, 400),
        ({"op": "check", "keys": ["keep", 3]}, 400),
        ({"op": "check", "keys": ["k"] * 1025}, 413),
        ({"op": "get", "key": "keep", "timeout": -1}, 400),
        ({"op": "get", "key": "keep", "timeout": "soon"}, 400),
        ({"op": "compare_set", "key": "keep", "expected": "%%", "desired": b64(b"x")}, 400),
    ]
    for fields, want in cases:
        s, body = a.store(**fields) if "op" in fields and isinstance(fields["op"], str) else a.raw(
            json.dumps({"task_id": "t", "trainer_id": "a", **fields}))
        assert s == want and body["error"], (fields, s, body)

    # Bytes that are not UTF-8 inside a key, a body that is no JSON object, an oversized body.
    raw = b'{"task_id":"t","trainer_id":"a","op":"set","key":"\xff\xfe","value":"dg=="}'
    assert a.raw(raw)[0] == 400
    assert a.raw(b"[1,2]")[0] == 400
    assert a.raw(b"{")[0] == 400
    assert a.raw(json.dumps({"task_id": "t", "trainer_id": "a", "op": "set", "key": "k",
                             "value": b64(b"v" * 60000)}))[0] == 413

    # Too many keys for one run: refused, and the keys already there stay readable.
    n = 1
    while True:
        s, body = a.store("set", key=f"k{n}", value=b64(b"x"))
        if s != 200:
            break
        n += 1
        assert n < 10000
    assert s == 507 and "full" in body["error"]
    assert n == 4096
    assert a.store("get", key="keep") == (200, {"value": b64(b"v")})
    assert a.store("num_keys") == (200, {"count": 4096})
    assert status(url, TOKEN)["active_members"] == 2


def test_a_silent_replica_loses_its_lane_and_its_partner_hears_who(coordinator):
    url = coordinator(stages=2, layers=4, replicas=3, token=TOKEN, regroup_window=0.5)
    m = members(url, "t", form(url, "t", ["a", "b", "c", "d", "e", "f"]))
    # e waits for f's gradient; f (lane 2, stage 1) is gone and never asks to regroup.
    held = {}
    fetcher = threading.Thread(target=lambda: held.update(r=fetch(url, "gradient", "t", "e", 0, wait=10,
                                                                   headers=auth(TOKEN, m["e"].secret))))
    fetcher.start()
    answers = {}
    asks = [threading.Thread(target=lambda t=t: answers.update({t: m[t].regroup(0, error="gloo timed out")}))
            for t in ("b", "d")]
    started = time.monotonic()
    for t in asks:
        t.start()
    for t in asks:
        t.join(10)
    assert time.monotonic() - started < 5
    assert answers["b"] == (200, {"generation": 1, "rank": 0, "world_size": 2, "lanes": [0, 1]})
    assert answers["d"] == (200, {"generation": 1, "rank": 1, "world_size": 2, "lanes": [0, 1]})
    fetcher.join(10)
    lost = "trainer 'f' failed: lost from the replica group of stage 1"
    assert held["r"][0] == 410 and json.loads(held["r"][2])["error"] == lost
    assert m["e"].regroup(0) == (410, {"error": lost})
    # Stage 0 regroups later over the same live lanes; a generation ahead is refused.
    assert m["a"].regroup(1)[0] == 409
    answers.clear()
    asks = [threading.Thread(target=lambda t=t: answers.update({t: m[t].regroup(0)})) for t in ("a", "c")]
    for t in asks:
        t.start()
    for t in asks:
        t.join(10)
    assert answers["c"] == (200, {"generation": 1, "rank": 1, "world_size": 2, "lanes": [0, 1]})

    s, _, page = request(url, "GET", "/status/tasks", headers=auth(TOKEN))
    run = json.loads(page)["tasks"][0]
    assert run["lost_lanes"] == [{"lane": 2, "reason": lost}]
    assert run["generations"] == [1, 1]


def test_hostile_regroup_bodies_are_refused_and_a_task_without_replicas_has_no_group(coordinator):
    url = coordinator(stages=1, layers=2, replicas=2, token=TOKEN)
    a = members(url, "t", form(url, "t", ["a", "b"]))["a"]
    h = {"Content-Type": "application/json", **auth(TOKEN, a.secret)}
    for fields in ({}, {"generation": "0"}, {"generation": -1}, {"generation": 1.5}, {"generation": None},
                   {"generation": 0, "error": 5}):
        body = json.dumps({"task_id": "t", "trainer_id": "a", **fields})
        s, _, data = request(url, "POST", "/pipeline/regroup", body, h)
        assert s == 400 and json.loads(data)["error"], (fields, s, data)
    assert request(url, "POST", "/pipeline/regroup", b"\xff{", h)[0] == 400
    assert Member(url, "t", "a", "wrong").regroup(0)[0] == 403
    assert Member(url, "nope", "a", a.secret).regroup(0)[0] == 403

    single = coordinator(stages=1, layers=2, token=TOKEN)
    solo = members(single, "s", form(single, "s", ["solo"]))["solo"]
    s, body = solo.regroup(0)
    assert s == 400 and "without replicas" in body["error"]
