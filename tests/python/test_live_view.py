"""The coordinator's live view against real pipelines: the per-task JSON, the metrics
(read with prometheus_client's own parser), the page behind --token, and the page
rendered by headless Chromium."""
import asyncio
import base64
import importlib.util
import json
import math
import pathlib
import re
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
import torch
from prometheus_client.parser import text_string_to_metric_families

from korvane.carrowel import OrvynPipelineTrainer

REPO = pathlib.Path(__file__).resolve().parents[2]


def example_dataset(**kw):
    module_spec = importlib.util.spec_from_file_location("pipeline_training", REPO / "examples" / "pipeline_training.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module.make_dataset(**kw)

SCREENSHOT = REPO / "build" / "live_page.png"


def request(url, method="GET", headers=None, body=None, timeout=10):
    """(status, headers, body bytes); error statuses are answers too."""
    req = urllib.request.Request(url, method=method, headers=headers or {}, data=body)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read()


def tasks(url, **kw):
    status, _, body = request(url + "/status/tasks", **kw)
    assert status == 200, body
    return json.loads(body)


def task(url, task_id):
    found = [t for t in tasks(url)["tasks"] if t["task_id"] == task_id]
    assert found, f"task {task_id!r} not shown"
    return found[0]


def metric_families(url):
    status, headers, body = request(url + "/metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain")
    return {f.name: f for f in text_string_to_metric_families(body.decode())}


def value(families, family, sample, **labels):
    for s in families[family].samples:
        if s.name == sample and all(s.labels.get(k) == v for k, v in labels.items()):
            return s.value
    raise AssertionError(f"no sample {sample}{labels}")


async def train(url, task_id, stages, rounds):
    """A real pipeline in this process; returns the last stage's losses."""
    torch.manual_seed(0)
    data = example_dataset(batches=4, batch_size=64, seed=0)  # a task the pipeline learns
    trainers = [OrvynPipelineTrainer(f"stage_{i}", url) for i in range(stages)]
    await asyncio.gather(*(t.join_pipeline(task_id) for t in trainers))
    trainers.sort(key=lambda t: t.layer_assignment.pipeline_position)
    losses = []
    loops = [t.run_training_loop(dataloader=data if i in (0, stages - 1) else None, num_rounds=rounds, lr=0.003,
                                 **({"on_round_complete": lambda i, loss: losses.append(loss)}
                                    if i == stages - 1 else {}))
             for i, t in enumerate(trainers)]
    await asyncio.gather(*loops)
    return losses


def join_raw(url, task_id, trainer_ids):
    """Joins trainers with plain requests (each join is held until the task forms)."""
    answers = {}

    def one(tid):
        body = json.dumps({"task_id": task_id, "trainer_id": tid, "memory_bytes": 0, "has_gpu": False}).encode()
        answers[tid] = request(url + "/pipeline/join", "POST", {"Content-Type": "application/json"}, body)

    threads = [threading.Thread(target=one, args=(tid,)) for tid in trainer_ids]
    for t in threads:
        t.start()
    for t in threads:
        t.join(15)
    assert all(answers[tid][0] == 200 for tid in trainer_ids), answers


def test_progress_links_and_metrics_follow_a_real_pipeline(coordinator):
    url = coordinator(stages=3, layers=5)
    rounds = 6
    losses = asyncio.run(train(url, "watched", 3, rounds))

    t = task(url, "watched")
    trainers = sorted(t["trainers"], key=lambda x: x["pipeline_position"])
    assert [x["trainer_id"] for x in trainers] == ["stage_0", "stage_1", "stage_2"]
    assert [(x["layer_start"], x["layer_end"]) for x in trainers] == [(0, 2), (2, 4), (4, 5)]
    assert [(x["upstream"], x["downstream"]) for x in trainers] == [
        (None, "stage_1"), ("stage_0", "stage_2"), ("stage_1", None)]
    # Progress comes from the relays alone: the micro-batch each stage reached, the loss
    # that travels upstream with the gradients.
    assert [x["micro_batch"] for x in trainers] == [rounds - 1] * 3
    assert trainers[0]["losses"] == []
    shown = trainers[2]["losses"]
    assert [mb for mb, _ in shown] == list(range(rounds))
    assert [v for _, v in shown] == pytest.approx(losses, rel=1e-6)
    assert trainers[1]["losses"] == shown

    links = {(l["from"], l["to"], l["kind"]): l for l in t["links"]}
    assert set(links) == {("stage_0", "stage_1", "activation"), ("stage_1", "stage_2", "activation"),
                          ("stage_2", "stage_1", "gradient"), ("stage_1", "stage_0", "gradient")}
    assert all(l["messages"] == rounds and l["bytes"] > 0 and l["bytes_per_second"] >= 0 for l in links.values())

    # Two requests that are refused, to be counted by route and reason.
    assert request(url + "/no/such/path")[0] == 404
    assert request(url + "/pipeline/activation", "POST", body=b"x")[0] == 400

    fam = metric_families(url)
    assert fam["korvane_coordinator_relayed_messages"].type == "counter"
    for kind in ("activation", "gradient"):
        assert value(fam, "korvane_coordinator_relayed_messages", "korvane_coordinator_relayed_messages_total",
                     kind=kind) == 2 * rounds
        sent = sum(l["bytes"] for l in links.values() if l["kind"] == kind)
        assert value(fam, "korvane_coordinator_relayed_bytes", "korvane_coordinator_relayed_bytes_total",
                     kind=kind) == sent
        assert value(fam, "korvane_coordinator_delivered_bytes", "korvane_coordinator_delivered_bytes_total",
                     kind=kind) == sent
        hist = fam["korvane_coordinator_relay_wait_seconds"]
        assert hist.type == "histogram"
        buckets = [s for s in hist.samples if s.name.endswith("_bucket") and s.labels["kind"] == kind]
        counts = [s.value for s in buckets]
        assert counts == sorted(counts) and buckets[-1].labels["le"] == "+Inf"
        assert value(fam, "korvane_coordinator_relay_wait_seconds", "korvane_coordinator_relay_wait_seconds_count",
                     kind=kind) == counts[-1] == 2 * rounds
    assert value(fam, "korvane_coordinator_joins", "korvane_coordinator_joins_total") == 3
    refusals = "korvane_coordinator_refusals"
    assert value(fam, refusals, refusals + "_total", route="other", reason="not_found") == 1
    assert value(fam, refusals, refusals + "_total", route="activation", reason="bad_request") == 1
    for gauge in ("tasks", "members", "held_requests", "stored_bytes"):
        assert fam["korvane_coordinator_" + gauge].type == "gauge"
    assert value(fam, "korvane_coordinator_stored_bytes_limit", "korvane_coordinator_stored_bytes_limit") == 1 << 30


def test_member_states_a_failure_with_its_reason_and_the_ended_run(coordinator):
    url = coordinator(stages=2, layers=2)
    join_raw(url, "fragile", ["a", "b"])
    t = task(url, "fragile")
    states = lambda t: {x["trainer_id"]: x["state"] for x in t["trainers"]}
    assert t["state"] == "running" and states(t) == {"a": "joined", "b": "joined"}
    position = [x["pipeline_position"] for x in t["trainers"] if x["trainer_id"] == "a"][0]
    ready = json.dumps({"task_id": "fragile", "trainer_id": "a", "pipeline_position": position}).encode()
    assert request(url + "/pipeline/ready", "POST", body=ready)[0] == 200
    assert states(task(url, "fragile")) == {"a": "ready", "b": "joined"}

    leave = {"task_id": "fragile", "trainer_id": "b", "error": "CUDA out of memory"}
    assert request(url + "/pipeline/leave", "POST", body=json.dumps(leave).encode())[0] == 200
    t = task(url, "fragile")
    assert t["state"] == "failing" and "CUDA out of memory" in t["failure"]
    b = [x for x in t["trainers"] if x["trainer_id"] == "b"][0]
    assert (b["state"], b["reason"]) == ("failed", "CUDA out of memory")

    # When the last member leaves, the run ends; the page still shows how it ended.
    leave = {"task_id": "fragile", "trainer_id": "a"}
    assert request(url + "/pipeline/leave", "POST", body=json.dumps(leave).encode())[0] == 200
    t = task(url, "fragile")
    assert t["state"] == "failed" and t["ended_seconds_ago"] >= 0
    assert states(t) == {"a": "left", "b": "failed"}
    fam = metric_families(url)
    assert value(fam, "korvane_coordinator_tasks", "korvane_coordinator_tasks") == 0

    # A new run of the same task id is shown apart from the ended one.
    join_raw(url, "fragile", ["a", "b"])
    runs = sorted((x["run"], x["state"]) for x in tasks(url)["tasks"] if x["task_id"] == "fragile")
    assert [state for _, state in runs] == ["failed", "running"] and runs[0][0] < runs[1][0]


def test_ids_that_are_no_utf8_are_refused_and_the_view_stays_whole(coordinator):
    url = coordinator(stages=2, layers=2)
    join_raw(url, "bytes", ["a", "b"])  # plain members: the relay stays open to any sender id
    for name in ("X-Task-ID", "X-From-Trainer", "X-To-Trainer"):
        headers = {"X-Task-ID": "bytes", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "3",
                   name: "\xffodd\xfe"}
        status, _, body = request(url + "/pipeline/activation", "POST", headers, b"\0" * 16)
        assert status == 400 and "UTF-8" in json.loads(body)["error"], (name, status, body)
    for query in ("task_id=%FF&trainer_id=b", "task_id=bytes&trainer_id=%C0%AF", "task_id=bytes&trainer_id=%ED%A0%80"):
        status, _, body = request(url + f"/pipeline/gradient?{query}&micro_batch=0&wait=0")
        assert status == 400 and "UTF-8" in json.loads(body)["error"], (query, status, body)
    # Text that is UTF-8 goes through unchanged.
    headers = {"X-Task-ID": "bytes", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "3"}
    assert request(url + "/pipeline/activation", "POST", headers, b"\0" * 16)[0] == 200
    assert request(url + "/pipeline/activation?task_id=bytes&trainer_id=b&micro_batch=3")[2] == b"\0" * 16
    t = task(url, "bytes")
    assert [(l["from"], l["bytes"]) for l in t["links"]] == [("a", 16)]


def test_token_as_bearer_everywhere_and_as_basic_password_for_the_page(coordinator):
    url = coordinator(stages=2, layers=2, token="s3cret")
    basic = lambda user_password: {"Authorization": "Basic " + base64.b64encode(user_password.encode()).decode()}

    status, headers, _ = request(url + "/")
    assert status == 401 and headers["WWW-Authenticate"].startswith("Basic ")  # the browser asks
    status, headers, _ = request(url + "/metrics")
    assert status == 401 and headers["WWW-Authenticate"] == "Bearer"

    for path in ("/", "/status/tasks"):
        assert request(url + path, headers=basic("anyone:s3cret"))[0] == 200
        assert request(url + path, headers=basic(":s3cret"))[0] == 200
        for wrong in ("anyone:s3cre", "s3cret", "anyone:s3cret:x"):
            assert request(url + path, headers=basic(wrong))[0] == 401, wrong
        assert request(url + path, headers={"Authorization": "Basic %%%not-base64"})[0] == 401
    # Everything else keeps to the bearer token.
    for path in ("/metrics", "/status"):
        assert request(url + path, headers=basic("anyone:s3cret"))[0] == 401
        assert request(url + path, headers={"Authorization": "Bearer s3cret"})[0] == 200
    assert request(url + "/", headers={"Authorization": "Bearer s3cret"})[0] == 200


def test_the_page_needs_nothing_from_elsewhere(coordinator):
    url = coordinator(stages=2, layers=2)
    status, headers, body = request(url + "/")
    page = body.decode()
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    assert "status/tasks" in page
    assert not re.search(r"<(link|img|iframe)\b|\bsrc\s*=|@import|url\(", page)
    # The only absolute address is the SVG namespace, which is never fetched.
    assert set(re.findall(r"https?://[^\"' )]+", page)) <= {"http://www.w3.org/2000/svg"}


def chromium_or_skip():
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if not exe:
        pytest.skip("chromium is not installed (Debian package 'chromium')")
    probe = subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom", "about:blank"],
                           capture_output=True, text=True, timeout=60)
    if probe.returncode != 0 or "<html" not in probe.stdout:
        pytest.skip(f"chromium cannot start here: {probe.stderr.strip()[-300:]}")
    return exe


def page_text(exe, url, profile, extra=()):
    """The page as Chromium renders it after its first polls, as plain text."""
    out = subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={profile}",
                          "--virtual-time-budget=4000", "--window-size=1280,720", "--hide-scrollbars", *extra, url],
                         capture_output=True, text=True, timeout=90)
    dom = re.sub(r"<(script|style)\b.*?</\1>", " ", out.stdout, flags=re.S)
    return re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", dom))


def test_the_page_in_headless_chromium_shows_each_trainer_and_a_loss(coordinator):
    exe = chromium_or_skip()
    url = coordinator(stages=3, layers=3)
    result = {}
    training = threading.Thread(target=lambda: result.update(losses=asyncio.run(train(url, "on-screen", 3, 30))))
    training.start()
    try:
        with tempfile.TemporaryDirectory() as profile:
            text = ""
            for _ in range(4):  # until the pipeline has appeared with a loss
                text = page_text(exe, url + "/", profile, ["--dump-dom"])
                if all(f"stage_{i}" in text for i in range(3)) and "latest " in text:
                    break
            # The screenshot (it goes into the README) once the loss chart has some length.
            deadline = time.monotonic() + 60
            while training.is_alive() and time.monotonic() < deadline:
                shown = [len(x["losses"]) for x in task(url, "on-screen")["trainers"]]
                if max(shown) >= 15:
                    break
                time.sleep(0.2)
            SCREENSHOT.parent.mkdir(exist_ok=True)
            SCREENSHOT.unlink(missing_ok=True)
            page_text(exe, url + "/", profile, [f"--screenshot={SCREENSHOT}"])
    finally:
        training.join(120)
    assert not training.is_alive()
    assert "task on-screen" in text
    for i in range(3):
        assert f"stage_{i}" in text
    shown = re.search(r"latest (\S+)", text)
    assert shown, text[:2000]
    seen = [v for _, v in task(url, "on-screen")["trainers"][2]["losses"]]
    assert any(math.isclose(float(shown.group(1)), v, rel_tol=1e-3, abs_tol=1e-4) for v in seen)
    assert SCREENSHOT.stat().st_size > 10_000


def hold_joins(url, task_ids):
    """One held join per task id, each on its own raw connection; the sockets."""
    import socket
    import urllib.parse
    parts = urllib.parse.urlsplit(url)
    socks = []
    for task_id in task_ids:
        body = json.dumps({"task_id": task_id, "trainer_id": "squat", "memory_bytes": 1, "has_gpu": False}).encode()
        s = socket.create_connection((parts.hostname, parts.port))
        s.sendall(b"POST /pipeline/join HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        socks.append(s)
    return socks


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


def test_many_forming_tasks_never_hide_a_running_one(coordinator):
    url = coordinator(stages=2, layers=2)
    socks = hold_joins(url, [f"!{i:03d}" for i in range(64)])
    try:
        wait_for(lambda: tasks(url)["held_requests"] == 64)
        joined = {}
        t = threading.Thread(target=lambda: joined.update(a=request(url + "/pipeline/join", "POST", body=json.dumps(
            {"task_id": "real", "trainer_id": "a", "memory_bytes": 1, "has_gpu": False}).encode())))
        t.start()
        wait_for(lambda: tasks(url)["held_requests"] == 65)
        assert request(url + "/pipeline/join", "POST", body=json.dumps(
            {"task_id": "real", "trainer_id": "b", "memory_bytes": 1, "has_gpu": False}).encode())[0] == 200
        t.join(10)

        first = tasks(url)
        assert first["tasks"][0]["task_id"] == "real" and first["tasks"][0]["state"] == "running"
        assert first["total_tasks"] == 65 and len(first["tasks"]) == 64 and first["more_tasks"] == 1
        # Paging walks every task exactly once.
        seen, after = [], None
        for _ in range(10):
            q = "?limit=20" + (f"&after={urllib.parse.quote(after)}" if after else "")
            status_, _, body = request(url + "/status/tasks" + q)
            assert status_ == 200, body
            page = json.loads(body)
            seen += [x["task_id"] for x in page["tasks"]]
            after = page["next_after"]
            if after is None:
                break
        assert seen == ["real"] + [f"!{i:03d}" for i in range(64)]
        assert request(url + "/status/tasks?limit=0")[0] == 400

        exe = chromium_or_skip()
        with tempfile.TemporaryDirectory() as profile:
            text = page_text(exe, url + "/", profile, ["--dump-dom"])
        assert "task real" in text and "1 more task" in text, text[:2000]
    finally:
        for s in socks:
            s.close()


def test_the_page_shows_what_members_report_of_their_held_out_data(coordinator):
    exe = chromium_or_skip()
    url = coordinator(stages=2, layers=2)
    join_raw(url, "evaluated", ["s0", "s1"])
    body = json.dumps({"task_id": "evaluated", "trainer_id": "s1", "step": 300, "heldout_loss": 2.014,
                       "heldout_accuracy": 0.8125}).encode()
    assert request(url + "/pipeline/report", "POST", {"Content-Type": "application/json"}, body)[0] == 200
    with tempfile.TemporaryDirectory() as profile:
        text = page_text(exe, url + "/", profile, ["--dump-dom"])
    assert "held-out loss" in text and "held-out acc." in text
    # One row per member: position, trainer, layers, then the rest (join order, and so the
    # positions, is whichever join arrived first).
    rows = {m.group(1): m.group(2) for m in re.finditer(r"\d+ (s[01]) \d+ (.*?)(?=\d+ s[01] \d+ |links)", text)}
    assert set(rows) == {"s0", "s1"}, text[:2000]
    assert "2.0140" in rows["s1"] and "81.3%" in rows["s1"], text[:2000]
    assert "2.0140" not in rows["s0"], text[:2000]
    families = metric_families(url)
    assert [(s.labels, s.value) for s in families["korvane_heldout_loss"].samples] == [
        ({"task": "evaluated", "trainer": "s1"}, 2.014)]
