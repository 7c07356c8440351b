#!/usr/bin/env python3
"""Structured fuzzer for the coordinator program.

Starts the real korvane-coordinator on 127.0.0.1 and sends it randomized, mostly
well-formed HTTP requests: the protocol's routes, headers and query fields with hostile
values (huge and negative lengths, invalid UTF-8, long ids, odd header forms), random
JSON bodies, chunked and pipelined requests, and now and then a whole task of members that
join, post and fetch. After each batch it checks that the process is alive and answers
/status. Any 500 answer, an answer that never ends, or a dead process fails the run.

The run is reproducible from --seed (the service's timing aside); on a failure the batch's
requests are written next to the log, as raw bytes, to replay by hand.

  tools/fuzz_coordinator.py --coordinator build-fuzz/bin/korvane-coordinator --seconds 300 --seed 1
"""
from __future__ import annotations

import argparse
import json
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROUTES = [
    ("POST", "/pipeline/join"), ("POST", "/pipeline/ready"), ("POST", "/pipeline/leave"),
    ("POST", "/pipeline/activation"), ("GET", "/pipeline/activation"),
    ("POST", "/pipeline/gradient"), ("GET", "/pipeline/gradient"),
    ("POST", "/pipeline/checkpoint"), ("POST", "/pipeline/rollback"),
    ("POST", "/pipeline/norm"), ("POST", "/pipeline/report"),
    ("GET", "/status"), ("GET", "/status/tasks"), ("GET", "/metrics"), ("GET", "/"), ("GET", "/index.html"),
]
HEADERS = ["X-Task-ID", "X-From-Trainer", "X-To-Trainer", "X-Micro-Batch", "X-Loss", "X-Member-Secret",
           "X-Member-Secret-Request", "X-Client-Timeout", "X-Rollback-Epoch", "X-Rollback-Step", "X-Codec",
           "Authorization", "Content-Type", "Connection", "Expect", "Accept-Encoding"]
PARAMS = ["task_id", "trainer_id", "micro_batch", "wait", "limit", "after"]
FIELDS = ["task_id", "trainer_id", "memory_bytes", "has_gpu", "member_secret", "layer_weights_hash",
          "reason", "step", "epoch", "pipeline_position", "stages", "status", "error",
          "activation_codec", "gradient_codec", "stage", "squared_norm", "heldout_loss", "heldout_accuracy",
          "averaging_seconds", "group_generation"]
TASKS = ["t0", "t1", "t2"]
TRAINERS = ["a", "b", "c", "d"]


class Failure(Exception):
    pass


def hostile_text(rng: random.Random) -> bytes:
    pick = rng.randrange(14)
    if pick == 0:
        return b""
    if pick == 1:
        return b"\xff\xfe\xc3\x28"[: rng.randrange(1, 5)]
    if pick == 2:
        return b"x" * rng.choice([1023, 1024, 1025, 4096, 9000])
    if pick == 3:
        return str(rng.choice([-1, 0, 2**31, 2**63 - 1, 2**63, 2**64, 10**30])).encode()
    if pick == 4:
        return rng.choice([b"nan", b"inf", b"-inf", b"1e308", b"1e-400", b"0x10", b" 1", b"1 ", b"+1"])
    if pick == 5:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40)))
    if pick == 6:
        return "\u00e9\u4e2d\U0001f600".encode()
    if pick == 7:
        return b"\xed\xa0\x80"  # an encoded surrogate
    if pick == 8:
        return b"Bearer " + bytes(rng.randrange(32, 127) for _ in range(rng.randrange(0, 20)))
    return rng.choice(TASKS + TRAINERS + ["0", "1", "2", "5", "0.05", "100"]).encode()


def pct(raw: bytes, rng: random.Random) -> bytes:
    out = bytearray()
    for b in raw:
        if rng.random() < 0.3 or b < 0x21 or b > 0x7e or b in b"%&=#? ":
            out += b"%%%02X" % b
        else:
            out.append(b)
    if rng.random() < 0.05:
        out += rng.choice([b"%", b"%f", b"%zz", b"%00"])
    return bytes(out)


def random_json(rng: random.Random, depth: int = 0):
    kind = rng.randrange(9 if depth < 3 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return rng.choice([0, 1, -1, 2**31, 2**63, -(2**63) - 1, 2**64 + 5, 3])
    if kind == 3:
        return rng.choice([0.5, -0.0, 1e308, 1e-320, 3.0])
    if kind == 4:
        return hostile_text(rng).decode("utf-8", "surrogateescape")
    if kind == 5:
        return rng.choice(TASKS + TRAINERS)
    if kind == 6:
        return [random_json(rng, depth + 1) for _ in range(rng.randrange(4))]
    obj = {}
    for _ in range(rng.randrange(6)):
        obj[rng.choice(FIELDS) if rng.random() < 0.8 else hostile_text(rng).decode("latin-1")] = random_json(rng, depth + 1)
    return obj


def json_body(rng: random.Random) -> bytes:
    if rng.random() < 0.6:
        body = {"task_id": rng.choice(TASKS), "trainer_id": rng.choice(TRAINERS)}
        for _ in range(rng.randrange(4)):
            body[rng.choice(FIELDS)] = random_json(rng, 1)
    else:
        body = random_json(rng)
    text = json.dumps(body, ensure_ascii=rng.random() < 0.5).encode("utf-8", "surrogateescape")
    cut = rng.random()
    if cut < 0.05:
        text = text[: rng.randrange(len(text) + 1)]  # truncated
    elif cut < 0.08:
        text = text.replace(b'"', b"'")  # not JSON
    elif cut < 0.1:
        text = b"[" * 5000  # deep nesting
    return text


def one_request(rng: random.Random) -> bytes:
    method, path = rng.choice(ROUTES)
    if rng.random() < 0.05:
        method = rng.choice(["PUT", "DELETE", "HEAD", "OPTIONS", "G\xc3T", "GET GET"])
    if rng.random() < 0.03:
        path = rng.choice(["/pipeline", "/status/", "//status", "/status/tasks/x", "/%2e%2e/status", "*"])
    query = b""
    if method == "GET" or rng.random() < 0.1:
        pairs = []
        for _ in range(rng.randrange(5)):
            name = rng.choice(PARAMS).encode() if rng.random() < 0.9 else hostile_text(rng)
            pairs.append(pct(name, rng) + b"=" + pct(hostile_text(rng), rng))
        if pairs:
            query = b"?" + b"&".join(pairs)
    head = [method.encode("utf-8", "replace") + b" " + path.encode() + query + b" " +
            (b"HTTP/1.1" if rng.random() < 0.9 else rng.choice([b"HTTP/1.0", b"HTTP/2.0", b"HTTP/1.1 x"]))]
    head.append(b"Host: 127.0.0.1")
    for _ in range(rng.randrange(7)):
        name = rng.choice(HEADERS).encode()
        if rng.random() < 0.05:
            name = hostile_text(rng) or b"X"
        value = hostile_text(rng)
        if name == b"X-Member-Secret-Request" and rng.random() < 0.5:
            value = b"1"
        sep = rng.choice([b": ", b":", b" : ", b":\t"])
        head.append(name + sep + value)
    if path.startswith("/pipeline/") and method == "POST":
        if "activation" in path or "gradient" in path:
            body = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 17, 1000, 70000])))
        else:
            body = json_body(rng)
    else:
        body = b"" if rng.random() < 0.8 else json_body(rng)
    framing = rng.random()
    if framing < 0.08 and body:
        head.append(b"Transfer-Encoding: chunked")
        chunks = b""
        at = 0
        while at < len(body):
            n = rng.randrange(1, 2000)
            piece = body[at:at + n]
            chunks += b"%x\r\n" % len(piece) + piece + b"\r\n"
            at += n
        body = chunks + b"0\r\n\r\n"
    elif framing < 0.13:
        head.append(b"Content-Length: " + rng.choice([b"-1", b"99999999999999999999", b"1, 2", b"0x10", b"",
                                                       str(len(body) + rng.randrange(1, 100)).encode()]))
    elif framing < 0.16:
        head.append(b"Content-Length: %d" % len(body))
        head.append(b"Content-Length: %d" % (len(body) + 1))
    elif body or method == "POST":
        head.append(b"Content-Length: %d" % len(body))
    return b"\r\n".join(head) + b"\r\n\r\n" + body


def exchange(port: int, data: bytes, timeout: float = 10.0, half_close: bool = True) -> bytes:
    """Sends `data`, half-closes (a held request then ends at once: the client is gone),
    reads until the server closes; raises Failure on a hang."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # answered and closed early (413, 400)
        out = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return out
                out += chunk
        except socket.timeout:
            raise Failure(f"no end to the answer within {timeout} s; got {out[:200]!r}")
        except ConnectionResetError:
            return out


def statuses(answer: bytes) -> list[int]:
    return [int(m) for m in re.findall(rb"HTTP/1\.[01] (\d{3}) ", answer)]


def http(port: int, method: str, path: str, headers: dict[str, str] | None = None, body: bytes = b"",
         timeout: float = 10.0) -> tuple[int, bytes]:
    head = f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: {len(body)}\r\n"
    for k, v in (headers or {}).items():
        head += f"{k}: {v}\r\n"
    answer = exchange(port, head.encode() + b"\r\n" + body, timeout, half_close=False)
    codes = statuses(answer)
    if not codes:
        raise Failure(f"{method} {path}: no HTTP answer: {answer[:200]!r}")
    return codes[0], answer.split(b"\r\n\r\n", 1)[-1]


def session(port: int, rng: random.Random, log: list[bytes]) -> list[int]:
    """A whole task: three members join at once, then post and fetch with their secrets,
    sometimes as the wrong sender, and leave."""
    task = "s%d" % rng.randrange(1000)
    names = ["p", "q", "r"]
    joined: dict[str, dict] = {}
    codes: list[int] = []

    errors: list[Exception] = []

    def join(name: str) -> None:
        body = json.dumps({"task_id": task, "trainer_id": name, "memory_bytes": 1 << 30, "has_gpu": False}).encode()
        try:
            code, text = http(port, "POST", "/pipeline/join", {"X-Member-Secret-Request": "1"}, body)
        except (Failure, OSError) as e:
            errors.append(e)
            return
        codes.append(code)
        if code == 200:
            try:
                joined[name] = json.loads(text)
            except ValueError:
                pass

    threads = [threading.Thread(target=join, args=(n,)) for n in names]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise Failure(f"a join of task {task}: {errors[0]}")
    log.append(f"session {task}: joins {codes}".encode())
    for _ in range(rng.randrange(1, 12)):
        sender = rng.choice(names)
        to = rng.choice(names)
        kind = rng.choice(["activation", "gradient"])
        mb = str(rng.randrange(3))
        secret = joined.get(sender, {}).get("member_secret", "")
        if rng.random() < 0.1:
            secret = "wrong"
        headers = {"X-Task-ID": task, "X-From-Trainer": sender, "X-To-Trainer": to, "X-Micro-Batch": mb,
                   "X-Member-Secret": secret}
        if kind == "gradient":
            headers["X-Loss"] = rng.choice(["0.5", "nan", "inf", "x"])
        code, _ = http(port, "POST", f"/pipeline/{kind}", headers, os.urandom(rng.randrange(1, 300)))
        codes.append(code)
        if rng.random() < 0.7:
            who = rng.choice(names)
            secret = joined.get(who, {}).get("member_secret", "")
            code, _ = http(port, "GET", f"/pipeline/{kind}?task_id={task}&trainer_id={who}&micro_batch={mb}&wait=0.05",
                           {"X-Member-Secret": secret})
            codes.append(code)
    for name in names:
        body = json.dumps({"task_id": task, "trainer_id": name, "reason": "done",
                           "member_secret": joined.get(name, {}).get("member_secret", "")}).encode()
        code, _ = http(port, "POST", "/pipeline/leave", {"X-Member-Secret": joined.get(name, {}).get("member_secret", "")},
                       body)
        codes.append(code)
    return codes


def start(binary: str, log_path: str) -> tuple[subprocess.Popen, int]:
    log = open(log_path, "wb")
    proc = subprocess.Popen([binary, "--host", "127.0.0.1", "--port", "0", "--stages", "3", "--layers", "6",
                             "--join-wait", "0.3", "--fetch-wait", "0.2", "--max-wait", "0.5", "--max-body", "1MiB",
                             "--read-timeout", "2", "--keep-alive-timeout", "1", "--member-timeout", "20",
                             "--message-ttl", "5", "--max-tasks", "64"],
                            stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with open(log_path, "rb") as f:
            m = re.search(rb"listening on 127\.0\.0\.1:(\d+)", f.read())
        if m:
            return proc, int(m.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    proc.kill()
    raise SystemExit(f"the coordinator did not start; see {log_path}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--coordinator", default="build/bin/korvane-coordinator")
    ap.add_argument("--seconds", type=float, default=60.0, help="stop starting batches after this long")
    ap.add_argument("--batches", type=int, default=0, help="stop after this many batches (0: no limit)")
    ap.add_argument("--batch", type=int, default=50, help="requests between two health checks")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--workdir", default=None, help="where the log and failing batches go (default: a temporary one)")
    args = ap.parse_args()

    workdir = args.workdir or tempfile.mkdtemp(prefix="fuzz-coordinator-")
    os.makedirs(workdir, exist_ok=True)
    log_path = os.path.join(workdir, "coordinator.log")
    proc, port = start(args.coordinator, log_path)
    rng = random.Random(args.seed)
    requests = answers = sessions = 0
    by_class: dict[str, int] = {}
    began = time.monotonic()
    batch = 0
    failure = None
    sent: list[bytes] = []
    try:
        while time.monotonic() - began < args.seconds and (args.batches == 0 or batch < args.batches):
            batch += 1
            sent = []
            for _ in range(args.batch):
                if rng.random() < 0.02:
                    codes = session(port, rng, sent)
                    sessions += 1
                    requests += len(codes)
                else:
                    data = one_request(rng)
                    if rng.random() < 0.1:  # pipelined on one connection
                        data += one_request(rng)
                    sent.append(data)
                    codes = statuses(exchange(port, data))
                    requests += 1
                for c in codes:
                    answers += 1
                    by_class[str(c)] = by_class.get(str(c), 0) + 1
                    if c == 500:
                        raise Failure("a 500 answer (an error inside the service) to the last request of the batch")
            if proc.poll() is not None:
                raise Failure(f"the coordinator exited with status {proc.returncode}")
            code, body = http(port, "GET", "/status")
            if code != 200 or not body.startswith(b"{"):
                raise Failure(f"/status answered {code}: {body[:200]!r}")
    except (Failure, OSError) as e:
        failure = f"batch {batch} (seed {args.seed}): {e}"
    finally:
        alive = proc.poll() is None
        if alive:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                failure = failure or "the coordinator did not stop on SIGTERM within 10 s"
        elif failure is None:
            failure = f"the coordinator exited with status {proc.returncode}"
    with open(log_path, "rb") as f:
        text = f.read()
    if re.search(rb"AddressSanitizer|runtime error:|LeakSanitizer", text):
        failure = failure or "a sanitizer report in the coordinator's log"
    elapsed = time.monotonic() - began
    print(f"structured fuzz: seed {args.seed}, {batch} batches, {requests} requests ({sessions} member sessions), "
          f"{answers} answers {dict(sorted(by_class.items()))}, {elapsed:.0f} s, "
          f"coordinator exit {proc.returncode}")
    if failure:
        path = os.path.join(workdir, f"failing-batch-seed{args.seed}-{batch}.bin")
        with open(path, "wb") as f:
            f.write(b"\n=====\n".join(sent))
        print(f"FAIL: {failure}\n  requests of the batch: {path}\n  coordinator log: {log_path}")
        return 1
    print("structured fuzz: 0 crashes, 0 hangs, 0 errors")
    return 0


if __name__ == "__main__":
    sys.exit(main())
