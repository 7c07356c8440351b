import asyncio
import gc
import resource
import sys
import threading
import time
import traceback

import pytest

from korvane.carrowel import Operation, _native

T = _native._testing


def settle(limit_s=5.0):
    """Waits, bounded, until no native frame, operation or I/O is left."""
    deadline = time.monotonic() + limit_s
    while True:
        gc.collect()
        s = T.stats()
        if (s["frames"], s["operations"], s["exchanges"], s["io_active"]) == (0, 0, 0, 0):
            return s
        if time.monotonic() > deadline:
            return s
        time.sleep(0.01)


def test_lazy_and_coroutine_like():
    s0 = T.stats()
    op = T.sleep(0.0, 1.0)
    assert isinstance(op, Operation) and asyncio.iscoroutine(op)
    assert T.stats()["io_active"] == s0["io_active"]  # nothing started
    op.close()
    assert asyncio.run(T.sleep(0.0, 2.5)) == 2.5


def test_drivers():
    async def main():
        a = await T.sleep(0.01, 1.0)
        b = await asyncio.gather(T.sleep(0.02, 2.0), T.chain(10))
        c = await asyncio.create_task(T.sleep(0.0, 3.0))
        d = await asyncio.wait_for(T.sleep(0.0, 4.0), 5)
        e = await T.await_any(asyncio.sleep(0, result="py"))
        return a, b, c, d, e

    assert asyncio.run(main()) == (1.0, [2.0, 45], 3.0, 4.0, "py")
    loop = asyncio.new_event_loop()
    try:
        assert loop.run_until_complete(T.sleep(0.0, 7.0)) == 7.0
    finally:
        loop.close()


def test_second_await_raises():
    async def main():
        op = T.sleep(0.0, 1.0)
        await op
        with pytest.raises(RuntimeError):
            await op

    asyncio.run(main())


def test_loop_keeps_running_while_sleeping_on_io_thread():
    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        task = asyncio.create_task(ticker())
        await T.sleep(0.3)
        task.cancel()
        return ticks

    assert asyncio.run(main()) >= 10


def test_cancellation_reaches_caller_and_frees_io():
    async def main():
        task = asyncio.create_task(T.sleep(30.0))
        await asyncio.sleep(0.05)
        assert T.stats()["io_active"] >= 1
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(T.sleep(30.0), 0.05)

    asyncio.run(main())
    s = settle()
    assert s["io_active"] == 0 and s["exchanges"] == 0 and s["frames"] == 0


@pytest.mark.parametrize("kind,exc", [
    ("type", TypeError), ("value", ValueError), ("import", ImportError), ("key", KeyError),
    ("timeout", TimeoutError), ("connection", ConnectionError), ("runtime", RuntimeError),
    ("std", IndexError),
])
def test_error_types_through_nested_frames(kind, exc):
    with pytest.raises(exc):
        asyncio.run(T.fail(kind, 5))


def test_python_error_from_callback_keeps_traceback():
    def callback():
        raise LookupError("from the callback")

    with pytest.raises(LookupError, match="from the callback") as e:
        asyncio.run(T.fail("python", 3, callback))
    names = [f.name for f in traceback.extract_tb(e.value.__traceback__)]
    assert "callback" in names


def test_long_chain_does_not_overflow():
    assert asyncio.run(T.chain(1_000_000)) == sum(range(1_000_000))


def test_many_sequential_awaits_leak_nothing():
    async def main():
        for i in range(10_000):
            assert await T.sleep(0.0, float(i)) == float(i)

    asyncio.run(main())  # warm-up: allocator pools, caches
    settle()
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    asyncio.run(main())
    s = settle()
    assert (s["frames"], s["operations"], s["exchanges"], s["io_active"]) == (0, 0, 0, 0)
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0 < 20 * 1024  # KiB


def test_two_loops_in_two_threads():
    results, errors = {}, []

    def worker(name):
        try:
            async def main():
                return [await T.sleep(0.01, float(i)) for i in range(20)]
            results[name] = asyncio.run(main())
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in ("a", "b")]
    for th in threads:
        th.start()
    for th in threads:
        th.join(30)
    assert not errors and results["a"] == results["b"] == [float(i) for i in range(20)]
