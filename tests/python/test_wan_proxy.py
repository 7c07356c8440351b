"""The emulated wide-area link of bench/wan_proxy.py, run as its own program between
clients and servers of this test on 127.0.0.1. Timings are checked only from below: a
link may be slower than configured on a busy machine, never faster."""
import asyncio
import os
import pathlib
import subprocess
import sys
import time

import pytest

PROXY = pathlib.Path(__file__).resolve().parents[2] / "bench" / "wan_proxy.py"


class Proxy:
    def __init__(self, target_port, *args):
        self.process = subprocess.Popen([sys.executable, str(PROXY), "--target", f"127.0.0.1:{target_port}", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.ports = []

    def read_ports(self, n):
        for _ in range(n):
            line = self.process.stdout.readline()
            assert line.startswith("wan_proxy link "), line + self.process.stderr.read()
            self.ports.append(int(line.rsplit(":", 1)[1]))
        return self.ports

    def stop(self):
        self.process.terminate()
        assert self.process.wait(10) == 0


async def with_proxy(handler, args, links, body):
    """Runs `body(ports)` against a server with `handler`, seen through a proxy with `args`."""
    server = await asyncio.start_server(handler, "127.0.0.1", 0)
    proxy = Proxy(server.sockets[0].getsockname()[1], "--links", str(links), *args)
    try:
        ports = await asyncio.get_running_loop().run_in_executor(None, proxy.read_ports, links)
        return await body(ports)
    finally:
        proxy.stop()
        server.close()


def test_bytes_arrive_whole_and_in_order_each_way_after_its_own_delay():
    payload = os.urandom(300_000)
    arrived = {}

    async def echo(reader, writer):
        first = await reader.read(1)
        arrived["server"] = time.monotonic()
        rest = await reader.read()  # until the client's half-close
        writer.write(first + rest)
        await writer.drain()
        writer.close()

    async def body(ports):
        reader, writer = await asyncio.open_connection("127.0.0.1", ports[0])
        sent = time.monotonic()
        writer.write(payload)
        writer.write_eof()
        back = await reader.read(1)
        arrived["client"] = time.monotonic()
        back += await reader.read()
        writer.close()
        return sent, back

    sent, back = asyncio.run(with_proxy(echo, ["--up-ms", "80", "--down-ms", "160"], 1, body))
    assert back == payload
    assert arrived["server"] - sent >= 0.08
    assert arrived["client"] - arrived["server"] >= 0.16


def test_connections_of_one_trainer_share_its_rate_and_other_trainers_do_not_slow_it():
    size = 125_000  # 0.125 s at 8 Mbit/s

    async def sink(reader, writer):
        n = len(await reader.read())
        writer.write(str(n).encode())
        await writer.drain()
        writer.close()

    async def send(port):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"x" * size)
        writer.write_eof()
        answer = await reader.read()
        writer.close()
        return int(answer), time.monotonic()

    async def body(ports):
        t0 = time.monotonic()
        results = await asyncio.gather(send(ports[0]), send(ports[0]), send(ports[0]), send(ports[1]))
        return [n for n, _ in results], [t - t0 for _, t in results]

    counts, done = asyncio.run(with_proxy(sink, ["--mbit", "8"], 2, body))
    assert counts == [size] * 4
    assert max(done[:3]) >= 3 * 0.125  # three connections of one trainer, one after another on its line
    assert done[3] >= 0.125
    assert done[3] < max(done[:3])  # the other trainer's line is its own


@pytest.mark.parametrize("args", [["--rtt-ms", "-1"], ["--mbit", "nan"], ["--links", "0"], ["--target", "nohost"]])
def test_bad_options_are_refused_with_usage(args):
    target = [] if args[0] == "--target" else ["--target", "127.0.0.1:1"]
    r = subprocess.run([sys.executable, str(PROXY), *target, *args], capture_output=True, text=True, timeout=30)
    assert r.returncode == 2 and "usage:" in r.stderr


def test_trainers_behind_their_own_lines_make_the_same_update_as_without_them(coordinator):
    """The link changes timing, never bytes: a 3-stage pipelined step through the proxy
    (40 ms round trip, 50 Mbit/s) ends with the parameters of the same step without it."""
    import torch
    from torch import nn
    from korvane.carrowel import OrvynPipelineTrainer

    def train(urls, task):
        async def run():
            trainers = [OrvynPipelineTrainer(f"t{i}", u, device="cpu") for i, u in enumerate(urls)]
            await asyncio.gather(*[t.join_pipeline(task) for t in trainers])
            for t in trainers:
                torch.manual_seed(t.layer_assignment.pipeline_position)
                t.layers = nn.ModuleList([nn.Linear(8, 8), nn.Tanh()])
            data = [torch.randn(2, 8, generator=torch.Generator().manual_seed(i)) for i in range(4)]
            await asyncio.gather(*[t.run_training_loop(dataloader=data, num_rounds=1, lr=0.1, micro_batches=4)
                                   for t in trainers])
            return {t.layer_assignment.pipeline_position: [p.detach().clone() for p in t.layers.parameters()]
                    for t in trainers}
        return asyncio.run(run())

    url = coordinator(stages=3, layers=6)
    direct = train([url] * 3, "direct")
    proxy = Proxy(url.port, "--links", "3", "--rtt-ms", "40", "--mbit", "50")
    try:
        ports = proxy.read_ports(3)
        through = train([f"http://127.0.0.1:{p}" for p in ports], "proxied")
    finally:
        proxy.stop()
    for pos in range(3):
        assert all(torch.equal(a, b) for a, b in zip(direct[pos], through[pos]))
