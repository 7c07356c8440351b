"""Plain-HTTP clients of the coordinator for the tests: what a trainer, a stranger or an
attacker can send, one exchange per connection. And a real two-stage pipeline of
korvane trainers that joins through the coordinator and trains a few rounds."""
import asyncio
import contextlib
import http.client
import io
import json
import math
import resource
import threading
import urllib.parse

TIMEOUT_S = 10.0


def request(url, method, path, body=None, headers=None, timeout=TIMEOUT_S):
    """One exchange on a fresh connection: (status, lower-cased headers, body)."""
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        res = conn.getresponse()
        return res.status, {k.lower(): v for k, v in res.getheaders()}, res.read()
    finally:
        conn.close()


def auth(token=None, secret=None, **extra):
    h = dict(extra)
    if token:
        h["Authorization"] = f"Bearer {token}"
    if secret:
        h["X-Member-Secret"] = secret
    return h


def join(url, task, trainer, headers=None, **kw):
    body = json.dumps({"task_id": task, "trainer_id": trainer, "memory_bytes": 8589934592, "has_gpu": False})
    status, _, data = request(url, "POST", "/pipeline/join", body, {"Content-Type": "application/json", **(headers or {})}, **kw)
    return status, json.loads(data)


def post(url, kind, task, sender, to, mb, body, headers=None):
    h = {"X-Task-ID": task, "X-From-Trainer": sender, "X-To-Trainer": to, "X-Micro-Batch": str(mb), **(headers or {})}
    return request(url, "POST", f"/pipeline/{kind}", body, h)


def fetch(url, kind, task, trainer, mb, wait=None, headers=None, timeout=TIMEOUT_S):
    query = {"task_id": task, "trainer_id": trainer, "micro_batch": mb}
    if wait is not None:
        query["wait"] = wait
    return request(url, "GET", f"/pipeline/{kind}?" + urllib.parse.urlencode(query), headers=headers, timeout=timeout)


def status(url, token=None):
    s, _, body = request(url, "GET", "/status", headers=auth(token))
    assert s == 200, body
    return json.loads(body)


def raise_open_files(n):
    """The soft descriptor limit up to `n` (at most the hard limit); returns the limit now."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < n:
        soft = min(n, hard) if hard != resource.RLIM_INFINITY else n
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    return soft


class Pipeline:
    """Two korvane trainers, "a" then "b", joining `task` through the coordinator and
    training `rounds` rounds on their own event loop in a thread. `result()` waits and
    gives (metrics of a, metrics of b, printed output)."""

    def __init__(self, url, task, rounds=3, token=None, ids=("a", "b")):
        self.url, self.task, self.rounds, self.token, self.ids = url, task, rounds, token, ids
        self.out = io.StringIO()
        self.error = None
        self.metrics = None
        self.trainers = None
        self.thread = threading.Thread(target=self._run, daemon=True)

    async def _main(self):
        import torch
        from korvane.carrowel import OrvynPipelineTrainer
        torch.manual_seed(0)
        kw = {"token": self.token} if self.token else {}
        self.trainers = [OrvynPipelineTrainer(i, self.url, device="cpu", **kw) for i in self.ids]
        await asyncio.gather(*[t.join_pipeline(self.task) for t in self.trainers])
        first = min(self.trainers, key=lambda t: t.layer_assignment.pipeline_position)
        second = [t for t in self.trainers if t is not first][0]
        return await asyncio.wait_for(asyncio.gather(first.run_training_loop(num_rounds=self.rounds),
                                                     second.run_training_loop(num_rounds=self.rounds)), 60)

    def _run(self):
        try:
            with contextlib.redirect_stdout(self.out):
                self.metrics = asyncio.run(self._main())
        except BaseException as e:  # reported by result()
            self.error = e

    def start(self):
        self.thread.start()
        return self

    def result(self, timeout=90):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "pipeline did not finish"
        return self.metrics, self.error, self.out.getvalue()

    def assert_completed(self):
        metrics, error, out = self.result()
        assert error is None, f"pipeline failed: {error!r}\n{out}"
        first, last = metrics
        assert first["rounds_completed"] == last["rounds_completed"] == self.rounds
        assert first["losses"] == last["losses"] and all(math.isfinite(x) for x in last["losses"])
        assert "Warning: Failed" not in out, out
        return out
