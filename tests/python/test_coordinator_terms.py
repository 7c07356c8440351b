"""The coordinator's join terms and member exchanges over plain HTTP: codecs agreed per
task and named on relays, pinned stages, the norm exchange and members' reports, with
what a careless or hostile client may send instead."""
import json
import math
import threading
import time

import pytest

from coordinator_clients import TIMEOUT_S, request, status

SECRET_ASK = {"X-Member-Secret-Request": "1"}
JSON = {"Content-Type": "application/json"}


def join(url, task, trainer, headers=None, timeout=TIMEOUT_S, **extra):
    body = {"task_id": task, "trainer_id": trainer, "memory_bytes": 1, "has_gpu": False, **extra}
    s, _, data = request(url, "POST", "/pipeline/join", json.dumps(body), {**JSON, **(headers or {})}, timeout=timeout)
    return s, json.loads(data)


def wait_until(predicate, timeout=TIMEOUT_S):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def form(url, task, joins):
    """Joins (trainer, extra body members) in this order, each held until the task forms;
    returns {trainer: (status, answer)}."""
    answers, threads = {}, []
    for i, (trainer, extra) in enumerate(joins):
        if i == len(joins) - 1:
            answers[trainer] = join(url, task, trainer, **extra)
            break
        t = threading.Thread(target=lambda tr=trainer, ex=extra: answers.update({tr: join(url, task, tr, **ex)}))
        t.start()
        threads.append(t)
        wait_until(lambda n=i + 1: status(url)["active_members"] == n)
    for t in threads:
        t.join(TIMEOUT_S)
    return answers


def norm(url, task, trainer, step, value, headers=None, timeout=TIMEOUT_S, raw=None):
    body = raw if raw is not None else json.dumps({"task_id": task, "trainer_id": trainer, "step": step,
                                                   "squared_norm": value})
    s, h, data = request(url, "POST", "/pipeline/norm", body, {**JSON, **(headers or {})}, timeout=timeout)
    return s, h, json.loads(data)


def report(url, task, trainer, raw=None, **figures):
    body = raw if raw is not None else json.dumps({"task_id": task, "trainer_id": trainer, **figures})
    s, _, data = request(url, "POST", "/pipeline/report", body, JSON)
    return s, json.loads(data)


# --- codecs -------------------------------------------------------------------------


def test_the_first_member_fixes_the_codecs_and_the_answer_names_them(coordinator):
    url = coordinator(stages=2, layers=2)
    got = form(url, "t", [("a", {"activation_codec": "int4", "gradient_codec": "int8"}),
                          ("b", {"activation_codec": "int4", "gradient_codec": "int8"})])
    for s, a in got.values():
        assert s == 200
        assert (a["activation_codec"], a["gradient_codec"]) == ("int4", "int8")
        assert {"codecs", "tensor_lists", "stage", "norms", "reports"} <= set(a["features"])
    # A plain join (no secret asked, no new member named) keeps the plain answer: tested
    # byte for byte elsewhere; here a member asking again with the wrong pair is refused.
    s, err = join(url, "t", "a", activation_codec="sign", gradient_codec="int8")
    assert s == 409 and "activation=int4 gradient=int8" in err["error"] and "activation=sign" in err["error"]


def test_a_join_with_another_pair_is_refused_while_the_task_forms(coordinator):
    url = coordinator(stages=2, layers=2)
    holder = threading.Thread(target=lambda: join(url, "t", "a", headers=SECRET_ASK, activation_codec="fp16",
                                                  gradient_codec="fp16"))
    holder.start()
    wait_until(lambda: status(url)["active_members"] == 1)
    s, err = join(url, "t", "b")  # names nothing: asks for sign/sign
    assert s == 409
    assert "activation=fp16 gradient=fp16" in err["error"] and "activation=sign gradient=sign" in err["error"]
    s, a = join(url, "t", "b", headers=SECRET_ASK, activation_codec="fp16", gradient_codec="fp16")
    holder.join(TIMEOUT_S)
    assert s == 200 and a["gradient_codec"] == "fp16" and "member_secret" in a


def test_every_codec_the_trainer_offers_is_one_the_coordinator_agrees_to(coordinator):
    # The two sides keep their own tables of names; a codec missing on one side would make
    # every join that asks for it fail.
    carrowel = pytest.importorskip("korvane.carrowel")
    url = coordinator(stages=1, layers=1)
    for codec in carrowel.CODECS:
        s, a = join(url, f"t-{codec}", "a", activation_codec=codec, gradient_codec=codec)
        assert s == 200 and (a["activation_codec"], a["gradient_codec"]) == (codec, codec), a


@pytest.mark.parametrize("extra,message", [
    ({"activation_codec": "int3"}, "unknown codec 'int3'"),
    ({"gradient_codec": "x" * 5000}, "unknown codec"),
    ({"gradient_codec": "SIGN"}, "unknown codec"),
    ({"activation_codec": 8}, '"activation_codec" must be a string'),
    ({"gradient_codec": None}, '"gradient_codec" must be a string'),
    ({"activation_codec": ["int8"]}, '"activation_codec" must be a string'),
    ({"stage": "0"}, '"stage" must be an integer'),
    ({"stage": 1.5}, '"stage" must be an integer'),
    ({"stage": True}, '"stage" must be an integer'),
    ({"stage": -1}, "out of range"),
    ({"stage": 2}, "out of range"),
    ({"stage": 2 ** 64 - 1}, "out of range"),
    ({"stage": 10 ** 30}, "\"stage\" must be an integer"),  # beyond 64 bits: read as no integer
])
def test_malformed_join_terms_are_refused_with_400(coordinator, extra, message):
    url = coordinator(stages=2, layers=2)
    s, err = join(url, "t", "a", **extra)
    assert s == 400 and message in err["error"], err
    assert len(err["error"]) < 400  # an overlong name is not echoed whole
    assert status(url)["tasks"] == 0  # nothing was left behind


def test_x_codec_is_kept_with_the_message_and_checked(coordinator):
    url = coordinator(stages=1, layers=1)
    routing = {"X-Task-ID": "open", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "0"}
    assert request(url, "POST", "/pipeline/gradient", b"g", {**routing, "X-Codec": "bf16", "X-Loss": "2.5"})[0] == 200
    s, h, body = request(url, "GET", "/pipeline/gradient?task_id=open&trainer_id=b&micro_batch=0&wait=0")
    assert (s, body, h["x-codec"], h["x-loss"]) == (200, b"g", "bf16", "2.5")
    assert request(url, "POST", "/pipeline/activation", b"s", {**routing, "X-Micro-Batch": "1"})[0] == 200
    s, h, _ = request(url, "GET", "/pipeline/activation?task_id=open&trainer_id=b&micro_batch=1&wait=0")
    assert s == 200 and "x-codec" not in h  # no name: the plain sign record
    # Unknown, empty, overlong, and bytes that are no text at all (sent as latin-1 0xff).
    for bad in ["int3", "", "x" * 10000, "sign\tint8", "int8\xff"]:
        s, _, body = request(url, "POST", "/pipeline/activation", b"x", {**routing, "X-Micro-Batch": "2", "X-Codec": bad})
        assert s == 400 and b"error" in body, bad
    s, _, _ = request(url, "GET", "/pipeline/activation?task_id=open&trainer_id=b&micro_batch=2&wait=0")
    assert s == 504  # none of them was stored


# --- stages -------------------------------------------------------------------------


def test_pinned_stages_take_their_positions_and_the_rest_fill_in_join_order(coordinator):
    url = coordinator(stages=3, layers=6)
    got = form(url, "t", [("late", {"stage": 2}), ("free", {}), ("head", {"stage": 0})])
    by_pos = {a["pipeline_position"]: (tr, a) for tr, (s, a) in got.items()}
    assert [by_pos[p][0] for p in range(3)] == ["head", "free", "late"]
    assert by_pos[1][1]["upstream_trainer"] == "head" and by_pos[1][1]["downstream_trainer"] == "late"
    assert (by_pos[2][1]["layer_start"], by_pos[2][1]["layer_end"]) == (4, 6)
    shown = [t for t in json.loads(request(url, "GET", "/status/tasks")[2])["tasks"] if t["task_id"] == "t"][0]
    assert [tr["trainer_id"] for tr in shown["trainers"]] == ["head", "free", "late"]


def test_a_taken_stage_is_refused_and_the_task_still_forms(coordinator):
    url = coordinator(stages=2, layers=2)
    holder = threading.Thread(target=lambda: join(url, "t", "a", stage=1))
    holder.start()
    wait_until(lambda: status(url)["active_members"] == 1)
    s, err = join(url, "t", "b", stage=1)
    assert s == 409 and "stage 1 of task 't' is taken by trainer 'a'" in err["error"]
    s, a = join(url, "t", "b")
    holder.join(TIMEOUT_S)
    assert s == 200 and a["pipeline_position"] == 0


# --- norms --------------------------------------------------------------------------


def test_norms_are_summed_in_pipeline_order_for_every_member(coordinator):
    url = coordinator(stages=3, layers=3)
    got = form(url, "t", [("c", {"stage": 2}), ("b", {"stage": 1}), ("a", {"stage": 0})])
    assert all(s == 200 for s, _ in got.values())
    values = {"a": 1e16, "b": 1.0, "c": 1.0}  # pipeline order gives 1e16; any other gives 1e16 + 2
    answers = {}
    threads = [threading.Thread(target=lambda tr=tr: answers.update({tr: norm(url, "t", tr, 0, values[tr])}))
               for tr in ("c", "b")]
    for t in threads:
        t.start()
    wait_until(lambda: status(url)["held_requests"] == 2)
    answers["a"] = norm(url, "t", "a", 0, values["a"])
    for t in threads:
        t.join(TIMEOUT_S)
    for tr, (s, _, body) in answers.items():
        assert s == 200 and body == {"step": 0, "total": 1e16}, (tr, body)
    # Asked again (a lost answer): the same total; with another value: refused.
    assert norm(url, "t", "b", 0, 1.0)[2]["total"] == 1e16
    s, _, err = norm(url, "t", "b", 0, 3.0)
    assert s == 409 and "already summed" in err["error"]


def test_a_held_norm_wakes_with_410_when_a_member_fails_and_504_when_its_wait_ends(coordinator):
    url = coordinator(stages=2, layers=2)
    form(url, "t", [("a", {}), ("b", {})])
    s, _, err = norm(url, "t", "a", 0, 1.0, headers={"X-Client-Timeout": "0.4"})
    assert s == 504 and "step 0" in err["error"]
    result = {}
    t = threading.Thread(target=lambda: result.update(r=norm(url, "t", "a", 1, 1.0)))
    t.start()
    wait_until(lambda: status(url)["held_requests"] == 1)
    body = json.dumps({"task_id": "t", "trainer_id": "b", "error": "CUDA out of memory"})
    assert request(url, "POST", "/pipeline/leave", body, JSON)[0] == 200
    t.join(TIMEOUT_S)
    s, _, err = result["r"]
    assert s == 410 and "CUDA out of memory" in err["error"]
    assert status(url)["held_requests"] == 0


def test_held_norms_count_against_the_hold_limits(coordinator):
    url = coordinator(stages=2, layers=2, max_held=2, max_held_per_client=1)
    form(url, "t", [("a", {}), ("b", {})])
    result = {}
    t = threading.Thread(target=lambda: result.update(r=norm(url, "t", "a", 0, 1.0)))
    t.start()
    wait_until(lambda: status(url)["held_requests"] == 1)
    s, _, err = norm(url, "t", "a", 1, 1.0)
    assert (s, err["error"]) == (503, "too many requests waiting from this client address")
    assert norm(url, "t", "b", 0, 2.0)[2] == {"step": 0, "total": 3.0}
    t.join(TIMEOUT_S)
    assert result["r"][2]["total"] == 3.0


def test_members_run_at_most_a_bounded_number_of_steps_ahead(coordinator):
    url = coordinator(stages=2, layers=2)
    form(url, "t", [("a", {}), ("b", {})])
    # Each post gives up at once, leaving its value gathering.
    for step in range(64):
        assert norm(url, "t", "a", step, 1.0, headers={"X-Client-Timeout": "0.01"})[0] == 504
    s, _, err = norm(url, "t", "a", 64, 1.0, headers={"X-Client-Timeout": "0.01"})
    assert s == 429 and "still gathering" in err["error"]
    assert norm(url, "t", "b", 0, 1.0)[2]["total"] == 2.0  # the laggard catches up


@pytest.mark.parametrize("body,message", [
    ({"step": 0, "squared_norm": -1.0}, "finite number >= 0"),
    ({"step": 0, "squared_norm": "1"}, "finite number >= 0"),
    ({"step": 0, "squared_norm": None}, "finite number >= 0"),
    ({"step": 0}, "finite number >= 0"),
    ({"step": -1, "squared_norm": 1.0}, '"step" must be an integer >= 0'),
    ({"step": 1.5, "squared_norm": 1.0}, '"step" must be an integer >= 0'),
    ({"step": 2 ** 64, "squared_norm": 1.0}, '"step" must be an integer >= 0'),
    ({"squared_norm": 1.0}, '"step" must be an integer >= 0'),
])
def test_malformed_norms_are_refused_with_400(coordinator, body, message):
    url = coordinator(stages=1, layers=1)
    assert join(url, "t", "a")[0] == 200
    s, _, err = norm(url, "t", "a", None, None, raw=json.dumps({"task_id": "t", "trainer_id": "a", **body}))
    assert s == 400 and message in err["error"], err


@pytest.mark.parametrize("raw", [b'{"task_id": "t", "trainer_id": "a", "step": 0, "squared_norm": 1e999}',
                                 b'{"task_id": "t", "trainer_id": "a", "step": 0, "squared_norm": NaN}',
                                 b'{"task_id": "t", "trainer_id": "a", "step": 0, "squared_norm": Infinity}',
                                 b'{"task_id": "t\xff", "trainer_id": "a", "step": 0, "squared_norm": 1}',
                                 b'[1, 2]', b"", b"\xff\xfe"])
def test_norms_that_are_no_number_or_no_text_are_refused(coordinator, raw):
    url = coordinator(stages=1, layers=1)
    assert join(url, "t", "a")[0] == 200
    s, _, err = norm(url, "t", "a", None, None, raw=raw)
    assert s == 400 and "error" in err


def test_only_members_exchange_norms_and_need_their_secret(coordinator):
    url = coordinator(stages=1, layers=1)
    s, a = join(url, "t", "a", headers=SECRET_ASK)
    assert s == 200
    assert norm(url, "t", "stranger", 0, 1.0)[0] == 403
    assert norm(url, "nowhere", "a", 0, 1.0)[0] == 403
    assert norm(url, "t", "a", 0, 1.0)[0] == 403  # no secret sent
    assert norm(url, "t", "a", 0, 1.0, headers={"X-Member-Secret": "wrong"})[0] == 403
    s, _, body = norm(url, "t", "a", 0, 4.0, headers={"X-Member-Secret": a["member_secret"]})
    assert (s, body) == (200, {"step": 0, "total": 4.0})  # alone in its run: its own norm


def test_a_norm_with_an_unusable_time_limit_is_refused_without_harm(coordinator):
    url = coordinator(stages=1, layers=1)
    assert join(url, "t", "a")[0] == 200
    assert norm(url, "t", "a", 0, 1.0, headers={"X-Client-Timeout": "9" * 1000})[0] == 400  # no finite number
    assert norm(url, "t", "a", 0, 1.0, headers={"X-Client-Timeout": "-3"})[0] == 400
    assert norm(url, "t", "a", 0, 1.0, headers={"X-Client-Timeout": "nan"})[0] == 400
    assert norm(url, "t", "a", 0, 1.0)[2]["total"] == 1.0


# --- reports ------------------------------------------------------------------------


def metric_samples(url, name):
    text = request(url, "GET", "/metrics")[2].decode()
    return [line for line in text.splitlines() if line.startswith(name + "{")]


def test_reports_show_on_the_status_page_and_in_the_metrics(coordinator):
    url = coordinator(stages=2, layers=2)
    form(url, 'q"t\\', [("a", {}), ("b", {})])
    assert report(url, 'q"t\\', "a", step=100, heldout_loss=2.25, heldout_accuracy=0.75) == (200, {})
    assert report(url, 'q"t\\', "b", averaging_seconds=0.5, group_generation=3) == (200, {})
    shown = json.loads(request(url, "GET", "/status/tasks")[2])["tasks"][0]["trainers"]
    by_id = {t["trainer_id"]: t for t in shown}
    assert (by_id["a"]["heldout_loss"], by_id["a"]["heldout_accuracy"], by_id["a"]["report_step"]) == (2.25, 0.75, 100)
    assert by_id["b"]["heldout_loss"] is None and by_id["b"]["group_generation"] == 3
    assert metric_samples(url, "korvane_heldout_loss") == ['korvane_heldout_loss{task="q\\"t\\\\",trainer="a"} 2.25']
    assert metric_samples(url, "korvane_group_generation") == [
        'korvane_group_generation{task="q\\"t\\\\",trainer="b"} 3']
    # A later report replaces what it names, and null clears a figure.
    assert report(url, 'q"t\\', "a", heldout_loss=None, step=200)[0] == 200
    assert metric_samples(url, "korvane_heldout_loss") == []
    assert metric_samples(url, "korvane_heldout_accuracy") == ['korvane_heldout_accuracy{task="q\\"t\\\\",trainer="a"} 0.75']


@pytest.mark.parametrize("raw,status_code", [
    ('{"task_id": "t", "trainer_id": "a", "heldout_loss": "2.0"}', 400),
    ('{"task_id": "t", "trainer_id": "a", "heldout_loss": 1e999}', 400),
    ('{"task_id": "t", "trainer_id": "a", "heldout_accuracy": 1.5}', 400),
    ('{"task_id": "t", "trainer_id": "a", "averaging_seconds": -1}', 400),
    ('{"task_id": "t", "trainer_id": "a", "step": -1}', 400),
    ('{"task_id": "t", "trainer_id": "a", "group_generation": 99999999999999999999}', 400),
    ('{"task_id": "t", "trainer_id": 5}', 400),
    ('{"task_id": "t", "trainer_id": "stranger", "heldout_loss": 1}', 403),
    ('{"task_id": "t", "trainer_id": "a", "heldout_loss": -0.5, "unknown": [1]}', 200),
])
def test_reports_are_validated(coordinator, raw, status_code):
    url = coordinator(stages=1, layers=1)
    assert join(url, "t", "a")[0] == 200
    s, body = report(url, "t", "a", raw=raw)
    assert s == status_code, body
