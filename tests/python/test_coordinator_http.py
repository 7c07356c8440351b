"""The stand-in coordinator's HTTP layer, spoken to over raw sockets: framing,
keep-alive, malformed requests and what a hostile client can and cannot do."""

import json
import socket
import time
import urllib.parse

import pytest

TIMEOUT_S = 10.0
RELAY_HEADERS = b"X-Task-ID: t\r\nX-From-Trainer: a\r\nX-To-Trainer: b\r\n"


def connect(url):
    parts = urllib.parse.urlsplit(url)
    s = socket.create_connection((parts.hostname, parts.port), timeout=TIMEOUT_S)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class Reader:
    """Reads whole responses (status, lower-cased headers, body) off one socket."""

    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("connection closed")
        self.buf += chunk

    def response(self):
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode().split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            k, v = line.split(":", 1)
            headers.setdefault(k.strip().lower(), v.strip())
        n = int(headers.get("content-length", 0))
        while len(self.buf) < n:
            self._fill()
        body, self.buf = self.buf[:n], self.buf[n:]
        return status, headers, body

    def closed(self):
        try:
            return self.sock.recv(1) == b"" and not self.buf
        except ConnectionResetError:
            return True


def exchange(url, raw):
    with connect(url) as s:
        s.sendall(raw)
        return Reader(s).response()


def post_request(mb, body, extra=b"", version=b"HTTP/1.1"):
    return (b"POST /pipeline/activation " + version + b"\r\nHost: x\r\n" + RELAY_HEADERS +
            b"X-Micro-Batch: %d\r\nContent-Length: %d\r\n" % (mb, len(body)) + extra + b"\r\n" + body)


def get_request(mb, extra=b""):
    return b"GET /pipeline/activation?task_id=t&trainer_id=b&micro_batch=%d&wait=0 HTTP/1.1\r\nHost: x\r\n%s\r\n" % (
        mb, extra)


def test_one_connection_carries_several_requests_even_when_pipelined(coordinator):
    url = coordinator()
    with connect(url) as s:
        r = Reader(s)
        s.sendall(post_request(0, b"first"))
        assert r.response()[0] == 200
        # Two requests in one write: each is answered in order.
        s.sendall(post_request(1, b"second") + get_request(0))
        assert r.response()[0] == 200
        status, headers, body = r.response()
        assert (status, body, headers["x-from-trainer"]) == (200, b"first", "a")
        assert "connection" not in headers
        s.sendall(get_request(1, b"Connection: close\r\n"))
        status, headers, body = r.response()
        assert (status, body, headers["connection"]) == (200, b"second", "close")
        assert r.closed()


def test_http10_connection_closes_after_its_answer(coordinator):
    url = coordinator()
    with connect(url) as s:
        s.sendall(post_request(0, b"x", version=b"HTTP/1.0"))
        r = Reader(s)
        status, headers, _ = r.response()
        assert status == 200 and headers["connection"] == "close"
        assert r.closed()


def test_body_waits_for_100_continue_when_asked(coordinator):
    url = coordinator()
    body = bytes(range(256)) * 512
    with connect(url) as s:
        s.sendall(post_request(0, b"", b"Expect: 100-continue\r\n").replace(b"Content-Length: 0",
                                                                            b"Content-Length: %d" % len(body)))
        r = Reader(s)
        assert r.response()[0] == 100
        s.sendall(body)
        assert r.response()[0] == 200
    assert exchange(url, get_request(0))[2] == body


@pytest.mark.parametrize("raw, status, message", [
    (b"GARBAGE\r\n\r\n", 400, "malformed request line"),
    (b"GET  /status HTTP/1.1\r\n\r\n", 400, "malformed request"),
    (b"GET /status HTTP/2.0\r\n\r\n", 505, "version"),
    (b"GET status HTTP/1.1\r\n\r\n", 400, "target"),
    (b"GET /status HTTP/1.1\r\nno colon here\r\n\r\n", 400, "header"),
    (b"GET /status HTTP/1.1\r\n folded: x\r\n\r\n", 400, "header"),
    (b"GET /status HTTP/1.1\r\nX-A: a\x00b\r\n\r\n", 400, "control character"),
    (b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\n\r\n", 414, "too long"),
    (b"GET /status HTTP/1.1\r\n" + b"X-A: b\r\n" * 101 + b"\r\n", 431, "too many headers"),
    (b"GET /status HTTP/1.1\r\nX-A: " + b"b" * 70000 + b"\r\n\r\n", 431, "larger than"),
    (b"POST /pipeline/activation HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400, "Content-Length"),
    (b"POST /pipeline/activation HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400,
     "Content-Length"),
    (b"POST /pipeline/activation HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n", 411,
     "Content-Length"),
    (b"GET /nowhere HTTP/1.1\r\n\r\n", 404, "no such endpoint: GET /nowhere"),
    (b"DELETE /pipeline/activation HTTP/1.1\r\n\r\n", 405, "method not allowed"),
])
def test_malformed_or_unknown_requests_get_a_json_error(coordinator, raw, status, message):
    url = coordinator()
    with connect(url) as s:
        s.sendall(raw)
        r = Reader(s)
        got, headers, body = r.response()
        assert got == status and message in json.loads(body)["error"]
        if status not in (404, 405):  # after a broken request nothing can be trusted: the connection ends
            assert headers["connection"] == "close" and r.closed()
    assert exchange(url, b"GET /status HTTP/1.1\r\n\r\n")[0] == 200


def test_refused_large_body_still_gets_its_answer(coordinator):
    url = coordinator(max_body=1024)
    with connect(url) as s:
        body = b"x" * (4 << 20)
        s.sendall(post_request(0, b"").replace(b"Content-Length: 0", b"Content-Length: %d" % len(body)))
        s.sendall(body[:1 << 20])  # the client is still sending when the refusal comes
        status, headers, data = Reader(s).response()
    assert status == 413 and "1024" in json.loads(data)["error"] and headers["connection"] == "close"


def test_silent_or_trickling_clients_are_dropped_after_the_read_timeout(coordinator):
    url = coordinator(read_timeout=0.5, keep_alive_timeout=0.5)
    with connect(url) as silent, connect(url) as trickle, connect(url) as idle:
        idle.sendall(b"GET /status HTTP/1.1\r\n\r\n")
        r_idle = Reader(idle)
        assert r_idle.response()[0] == 200
        start = time.monotonic()
        trickle.sendall(b"POST /pipeline/activation HTTP/1.1\r\nContent-Length: 100\r\n" + RELAY_HEADERS +
                        b"X-Micro-Batch: 0\r\n\r\nonly part")
        assert Reader(silent).closed() and Reader(trickle).closed() and r_idle.closed()
        assert time.monotonic() - start < 3
    assert exchange(url, b"GET /status HTTP/1.1\r\n\r\n")[0] == 200


def test_stop_ends_idle_connections_at_once(coordinator):
    url = coordinator(keep_alive_timeout=60)
    with connect(url) as s:
        s.sendall(b"GET /status HTTP/1.1\r\n\r\n")
        r = Reader(s)
        assert r.response()[0] == 200
        start = time.monotonic()
        assert url.stop() == 0
        assert time.monotonic() - start < 3
        assert r.closed()
