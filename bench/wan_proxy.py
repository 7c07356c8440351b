"""A wide-area link between trainers and the coordinator, in user space.

Each trainer gets a port of its own and points ``--coordinator`` at it; every connection
to that port is forwarded to the coordinator. Each trainer's line has two directions
(trainer to coordinator, coordinator to trainer). A direction is a bottleneck shared by
all of that trainer's connections: bytes leave it one after another at the given rate,
then arrive a fixed one-way delay later. A relay hop between two trainers (a post up one
line, the answer to a waiting fetch down another) therefore costs about one round trip.
Connection set-up is not charged: the proxy accepts at once and dials the coordinator at
once, so a new connection costs no extra round trip.

    python3 bench/wan_proxy.py --target 127.0.0.1:9545 --links 3 --rtt-ms 100 --mbit 100

prints one line per trainer, ``wan_proxy link I listening on HOST:PORT``, then runs until
SIGINT or SIGTERM. ``--up-ms``/``--down-ms`` set the two one-way delays on their own
(default: half the round trip each); ``--mbit 0`` leaves the rate unlimited.
"""
import argparse
import asyncio
import os
import signal
import sys

CHUNK = 64 * 1024
QUEUE_CHUNKS = 16  # per connection and direction: what a fast sender may get ahead


_live = set()  # asyncio keeps tasks only weakly: a pending connection must not be collected


def _keep(task):
    _live.add(task)
    task.add_done_callback(_live.discard)
    return task


class Direction:
    """One direction of one trainer's line: a serialising bottleneck, then a fixed delay."""

    def __init__(self, delay_s, bytes_per_s):
        self.delay_s = delay_s
        self.bytes_per_s = bytes_per_s
        self._free_at = 0.0  # when the bottleneck has sent everything handed to it so far

    def arrival(self, now, nbytes):
        """When nbytes handed over at `now` reach the far end (after what went before)."""
        start = max(now, self._free_at)
        self._free_at = start + (nbytes / self.bytes_per_s if self.bytes_per_s else 0.0)
        return self._free_at + self.delay_s


class Link:
    def __init__(self, up_delay_s, down_delay_s, bytes_per_s):
        self.up = Direction(up_delay_s, bytes_per_s)
        self.down = Direction(down_delay_s, bytes_per_s)


async def _carry(reader, writer, direction):
    """Copies one direction of one connection through `direction`, in order; ends with EOF."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUE_CHUNKS)

    async def feed():
        while True:
            data = await reader.read(CHUNK)
            await queue.put((direction.arrival(loop.time(), len(data)), data))
            if not data:
                return

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    feeder = _keep(asyncio.ensure_future(feed()))
    try:
        await deliver()
        await feeder
    finally:
        feeder.cancel()
        await asyncio.gather(feeder, return_exceptions=True)


async def _serve(link, target_host, target_port, client_reader, client_writer):
    _keep(asyncio.current_task())
    try:
        server_reader, server_writer = await asyncio.open_connection(target_host, target_port)
    except OSError:
        client_writer.transport.abort()
        return
    both = [_keep(asyncio.ensure_future(_carry(client_reader, server_writer, link.up))),
            _keep(asyncio.ensure_future(_carry(server_reader, client_writer, link.down)))]
    try:
        # A reset on either side ends the whole connection; a clean EOF waits for the other way.
        done, _ = await asyncio.wait(both, return_when=asyncio.FIRST_EXCEPTION)
        for task in done:
            task.result()
    except (OSError, asyncio.IncompleteReadError):
        pass
    finally:
        for task in both:
            task.cancel()
        await asyncio.gather(*both, return_exceptions=True)
        for w in (client_writer, server_writer):
            w.close()


async def start_links(target_host, target_port, ports, up_delay_s, down_delay_s, bytes_per_s, host="127.0.0.1"):
    """One listening server per entry of `ports` (0 picks a free port); returns the servers."""
    servers = []
    for port in ports:
        link = Link(up_delay_s, down_delay_s, bytes_per_s)

        def handler(r, w, link=link):
            return _serve(link, target_host, target_port, r, w)

        servers.append(await asyncio.start_server(handler, host, port))
    return servers


def _host_port(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


async def _main(args):
    up_ms = args.rtt_ms / 2 if args.up_ms is None else args.up_ms
    down_ms = args.rtt_ms / 2 if args.down_ms is None else args.down_ms
    ports = args.ports if args.ports else [0] * args.links
    servers = await start_links(args.target[0], args.target[1], ports, up_ms / 1e3, down_ms / 1e3,
                                args.mbit * 1e6 / 8, args.host)
    for i, s in enumerate(servers):
        host, port = s.sockets[0].getsockname()[:2]
        print(f"wan_proxy link {i} listening on {host}:{port}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for s in servers:
        s.close()
    # Connections still open are cut, each of its tasks wound down before the loop ends.
    for _ in range(10):  # a task may wind down into awaits of its own: cancel again
        rest = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        if not rest:
            break
        for t in rest:
            t.cancel()
        await asyncio.wait(rest, timeout=1.0)
    # Whatever is still open is cut here, like a line that goes down: no teardown of
    # half-finished coroutines at interpreter exit.
    sys.stdout.flush()
    os._exit(0)


def main(argv=None):
    p = argparse.ArgumentParser(description="Emulated wide-area links from trainers to a coordinator.")
    p.add_argument("--target", type=_host_port, required=True, help="the coordinator, HOST:PORT")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on")
    p.add_argument("--links", type=int, default=1, help="number of trainers (one port each)")
    p.add_argument("--ports", type=int, nargs="*", help="listening ports, one per trainer (0: any free one)")
    p.add_argument("--rtt-ms", type=float, default=0.0, help="round-trip time of each trainer's line")
    p.add_argument("--up-ms", type=float, help="one-way delay, trainer to coordinator")
    p.add_argument("--down-ms", type=float, help="one-way delay, coordinator to trainer")
    p.add_argument("--mbit", type=float, default=0.0, help="rate of each direction of each line, Mbit/s (0: unlimited)")
    args = p.parse_args(argv)
    for name in ("rtt_ms", "up_ms", "down_ms", "mbit"):
        v = getattr(args, name)
        if v is not None and not v >= 0:
            p.error(f"--{name.replace('_', '-')} must be a number >= 0")
    if args.links < 1:
        p.error("--links must be at least 1")
    asyncio.run(_main(args))


if __name__ == "__main__":
    sys.exit(main())
