"""The coordinator under many connections at once: held fetches cost a suspended
coroutine, not a thread; slow and silent clients cost a socket until their deadline;
announced bodies cost nothing until their bytes arrive. Bounded: every load here ends
by itself within seconds."""
import json
import socket
import time
import urllib.parse

from coordinator_clients import Pipeline, raise_open_files, request, status

HELD = 5000
SLOW = 1000


def wait_until(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def connect_many(url, n, first_bytes):
    parts = urllib.parse.urlsplit(url)
    socks = []
    try:
        for i in range(n):
            s = socket.create_connection((parts.hostname, parts.port), timeout=10)
            s.sendall(first_bytes(i))
            socks.append(s)
    except BaseException:
        for s in socks:
            s.close()
        raise
    return socks


def test_five_thousand_held_fetches_fit_in_little_memory_and_status_still_answers(coordinator):
    assert raise_open_files(HELD + 1000) >= HELD + 200
    url = coordinator(stages=2, layers=2)
    socks = connect_many(url, HELD, lambda i: b"GET /pipeline/activation?task_id=load&trainer_id=r%d&micro_batch=0"
                                              b"&wait=60 HTTP/1.1\r\nHost: x\r\n\r\n" % i)
    try:
        wait_until(lambda: status(url)["waiting_fetches"] == HELD)
        assert rss_mb(url.process.pid) < 300
        st = status(url)
        assert st["held_requests"] == HELD and st["connections"] >= HELD
        # A post releases exactly its fetch, while the others hold on.
        assert request(url, "POST", "/pipeline/activation", b"payload", {
            "X-Task-ID": "load", "X-From-Trainer": "x", "X-To-Trainer": "r42", "X-Micro-Batch": "0"})[0] == 200
        socks[42].settimeout(10)
        assert socks[42].recv(4096).startswith(b"HTTP/1.1 200")
    finally:
        for s in socks:
            s.close()
    wait_until(lambda: status(url)["held_requests"] == 0)  # every hang-up noticed
    Pipeline(url, "after").start().assert_completed()


def test_a_thousand_slow_clients_neither_block_status_nor_outlive_their_deadline(coordinator):
    raise_open_files(SLOW + 1000)
    url = coordinator(read_timeout=2)
    # Each sends part of a head and then trickles nothing more: the old slowloris.
    socks = connect_many(url, SLOW, lambda i: b"GET /status HTTP/1.1\r\nX-Slow-%d: " % i)
    try:
        wait_until(lambda: status(url)["connections"] >= SLOW)
        for s in socks[:100]:
            s.sendall(b"a")  # a byte now and then does not extend the deadline
        assert status(url)["connections"] >= SLOW
        wait_until(lambda: status(url)["connections"] <= 2, timeout=10)
        # The service closed them: each socket reads the end of the stream.
        socks[0].settimeout(5)
        assert socks[0].recv(1) == b""
    finally:
        for s in socks:
            s.close()


def test_announced_bodies_cost_nothing_until_their_bytes_arrive(coordinator):
    url = coordinator(max_body="64MiB", read_timeout=10)
    before = rss_mb(url.process.pid)
    head = (b"POST /pipeline/activation HTTP/1.1\r\nX-Task-ID: t\r\nX-From-Trainer: a\r\nX-To-Trainer: b\r\n"
            b"X-Micro-Batch: %d\r\nContent-Length: %d\r\n\r\n")
    socks = connect_many(url, 24, lambda i: head % (i, 64 << 20) + b"x" * 1024)
    try:
        wait_until(lambda: status(url)["body_bytes_in_transit"] > 0)
        assert rss_mb(url.process.pid) - before < 50  # was 1.5 GB: bodies sized from Content-Length
    finally:
        for s in socks:
            s.close()


def test_all_bodies_in_transit_share_one_budget(coordinator):
    url = coordinator(max_body_memory="1MiB")
    parts = urllib.parse.urlsplit(url)
    head = (b"POST /pipeline/activation HTTP/1.1\r\nX-Task-ID: t\r\nX-From-Trainer: a\r\nX-To-Trainer: b\r\n"
            b"X-Micro-Batch: %d\r\nContent-Length: %d\r\n\r\n")
    relay = {"X-Task-ID": "t", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": "1"}
    hogs = connect_many(url, 3, lambda i: head % (i, 4 << 20) + b"x" * (200 << 10))  # unfinished bodies
    try:
        # Each holds at least the body's first step (256 KiB): three quarters of the budget.
        wait_until(lambda: status(url)["body_bytes_in_transit"] >= 750 << 10)
        s, _, body = request(url, "POST", "/pipeline/activation", b"y" * (500 << 10), relay)
        assert s == 503 and "request bodies" in json.loads(body)["error"]
    finally:
        for h in hogs:
            h.close()
    wait_until(lambda: status(url)["body_bytes_in_transit"] == 0)
    assert request(url, "POST", "/pipeline/activation", b"y" * (500 << 10), relay)[0] == 200
