"""Relay latency: one [2, 512, 768] activation posted and fetched through the coordinator
stand-in on loopback, by korvane's trainers and by an aiohttp client doing the same
exchange (same compression, one session per request), in the same run. A blocking
raw-socket client with hand-written requests shows the floor that the service and the
kernel leave to any client."""
import asyncio
import os
import pathlib
import statistics
import socket
import subprocess
import sys
import time

import aiohttp
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from korvane.carrowel import CompressedTensor, LayerAssignment, OrvynPipelineTrainer, compress_tensor, decompress_tensor

ROOT = pathlib.Path(__file__).resolve().parents[1]
N = 300


def pct(xs, p):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(p / 100 * len(xs)))]


async def korvane_round_trips(url, x):
    a, b = OrvynPipelineTrainer("a", url), OrvynPipelineTrainer("b", url)
    a.layer_assignment = LayerAssignment("bench", "a", 0, 1, 0, None, "b", "")
    b.layer_assignment = LayerAssignment("bench", "b", 1, 2, 1, "a", None, "")
    times = []
    for i in range(N):
        a.micro_batch_idx = b.micro_batch_idx = i
        t0 = time.perf_counter()
        await a.send_activation(x)
        await b.receive_activation()
        times.append(time.perf_counter() - t0)
    return times


async def aiohttp_round_trips(url, x):
    times = []
    for i in range(N):
        t0 = time.perf_counter()
        body = compress_tensor(x).to_bytes()
        headers = {"X-Task-ID": "bench-aio", "X-From-Trainer": "a", "X-To-Trainer": "b", "X-Micro-Batch": str(i)}
        async with aiohttp.ClientSession() as s:
            async with s.post(url + "/pipeline/activation", data=body, headers=headers) as r:
                await r.read()
        async with aiohttp.ClientSession() as s:
            params = {"task_id": "bench-aio", "trainer_id": "b", "micro_batch": str(i)}
            async with s.get(url + "/pipeline/activation", params=params) as r:
                data = await r.read()
        decompress_tensor(CompressedTensor.from_bytes(data))
        times.append(time.perf_counter() - t0)
    return times


def socket_round_trips(url, x):
    host, port = url.removeprefix("http://").split(":")

    def exchange(raw):
        with socket.create_connection((host, int(port))) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            s.sendall(raw)
            data = b""
            while chunk := s.recv(1 << 20):
                data += chunk
        return data.split(b"\r\n\r\n", 1)[1]

    times = []
    for i in range(N):
        t0 = time.perf_counter()
        body = compress_tensor(x).to_bytes()
        exchange(b"POST /pipeline/activation HTTP/1.1\r\nHost: b\r\nConnection: close\r\nX-Task-ID: bench-raw\r\n"
                 b"X-From-Trainer: a\r\nX-To-Trainer: b\r\nX-Micro-Batch: %d\r\nContent-Length: %d\r\n\r\n" % (i, len(body))
                 + body)
        data = exchange(b"GET /pipeline/activation?task_id=bench-raw&trainer_id=b&micro_batch=%d HTTP/1.1\r\n"
                        b"Host: b\r\nConnection: close\r\n\r\n" % i)
        decompress_tensor(CompressedTensor.from_bytes(data))
        times.append(time.perf_counter() - t0)
    return times


def main():
    torch.set_num_threads(1)
    # $KORVANE_COORDINATOR names another build of the service, to compare two side by side.
    binary = os.environ.get("KORVANE_COORDINATOR", str(ROOT / "build/bin/korvane-coordinator"))
    proc = subprocess.Popen([binary, "--port", "0", "--stages", "2", "--layers", "2"],
                            stdout=subprocess.PIPE, text=True)
    try:
        url = "http://" + proc.stdout.readline().split()[-1]
        x = torch.randn(2, 512, 768)
        ours = asyncio.run(korvane_round_trips(url, x))
        theirs = asyncio.run(aiohttp_round_trips(url, x))
        floor = socket_round_trips(url, x)
    finally:
        proc.terminate()
        proc.wait(10)
    mo, mt = statistics.median(ours), statistics.median(theirs)
    print(f"relay of a [2, 512, 768] activation ({len(compress_tensor(x).to_bytes())} bytes), {N} messages, post + fetch:")
    print(f"  korvane   median {mo * 1e3:.3f} ms  p99 {pct(ours, 99) * 1e3:.3f} ms")
    print(f"  aiohttp   median {mt * 1e3:.3f} ms  p99 {pct(theirs, 99) * 1e3:.3f} ms")
    print(f"  raw socket median {statistics.median(floor) * 1e3:.3f} ms  p99 {pct(floor, 99) * 1e3:.3f} ms"
          "  (blocking, no HTTP library: the floor)")
    print(f"  aiohttp / korvane median: {mt / mo:.2f}x")


if __name__ == "__main__":
    main()
