"""The coordinator under load: resident memory, and the latency of /status, on an idle
service (the reference, measured in the same run) and while it holds 5,000 fetches, and
while 1,000 slow clients trickle their request heads. Goal: /status under 50 ms."""
import os
import pathlib
import resource
import socket
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
HELD, SLOW, SAMPLES = 5000, 1000, 200


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(l.split()[1]) / 1024 for l in f if l.startswith("VmRSS:"))


def status_latency(port):
    times = []
    for _ in range(SAMPLES):
        t0 = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        assert data.startswith(b"HTTP/1.1 200"), data[:100]
        times.append(time.perf_counter() - t0)
    times.sort()
    return statistics.median(times), times[int(0.99 * len(times))]


def connect_many(port, n, first_bytes):
    socks = []
    for i in range(n):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(first_bytes(i))
        socks.append(s)
    return socks


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, HELD + 2000), hard))
    binary = os.environ.get("KORVANE_COORDINATOR", str(ROOT / "build/bin/korvane-coordinator"))
    proc = subprocess.Popen([str(binary), "--port", "0", "--read-timeout", "30"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().split(":")[-1])
        idle_rss = rss_mb(proc.pid)
        idle = status_latency(port)

        held = connect_many(port, HELD, lambda i: b"GET /pipeline/activation?task_id=bench&trainer_id=r%d"
                                                  b"&micro_batch=0&wait=120 HTTP/1.1\r\nHost: x\r\n\r\n" % i)
        time.sleep(1.0)
        held_rss = rss_mb(proc.pid)
        under_held = status_latency(port)
        for s in held:
            s.close()
        time.sleep(1.0)

        slow = connect_many(port, SLOW, lambda i: b"GET /status HTTP/1.1\r\nX-Slow-%d: " % i)
        for s in slow:
            s.sendall(b"a")
        under_slow = status_latency(port)
        slow_rss = rss_mb(proc.pid)
        for s in slow:
            s.close()
    finally:
        proc.terminate()
        proc.wait(10)

    print(f"coordinator under load, /status over {SAMPLES} fresh connections (median, p99):")
    print(f"  idle (reference)        {idle[0] * 1e3:7.3f} ms  {idle[1] * 1e3:7.3f} ms   RSS {idle_rss:6.1f} MB")
    print(f"  {HELD} held fetches     {under_held[0] * 1e3:7.3f} ms  {under_held[1] * 1e3:7.3f} ms   RSS {held_rss:6.1f} MB"
          f"   ratio to idle {under_held[0] / idle[0]:.2f}x")
    print(f"  {SLOW} slow clients     {under_slow[0] * 1e3:7.3f} ms  {under_slow[1] * 1e3:7.3f} ms   RSS {slow_rss:6.1f} MB"
          f"   ratio to idle {under_slow[0] / idle[0]:.2f}x")
    worst = max(under_held[1], under_slow[1])
    print(f"  goal: /status under 50 ms: {'met' if worst < 0.05 else 'NOT met'} (worst p99 {worst * 1e3:.3f} ms)")


if __name__ == "__main__":
    sys.exit(main())
