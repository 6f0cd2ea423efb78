"""Channel against the standard library's queues (and janus / culsans where
they install): one thread's send+recv pair; items per second across threads
(SPSC and 2x2 MPMC, unbounded and bounded); a rendezvous ping-pong; and
select() over two channels against a plain recv(). Every ratio is a
throughput ratio, higher is better.
"""

from __future__ import annotations

import asyncio
import queue
import statistics
import threading
import time
from collections.abc import Callable
from typing import Any

from _quorvel import Channel, select
from common import DIRECTION, REPORT, Table, expect, per_call

Pair = tuple[Callable[[Any], Any], Callable[[], Any]]  # (put, get) of one fresh queue
ROUNDS = 5


def _single_thread() -> None:
    ch: Channel[int] = Channel()
    sq: queue.SimpleQueue[int] = queue.SimpleQueue()
    q: queue.Queue[int] = queue.Queue()

    def ch_pair() -> None:
        ch.send(1)
        ch.recv()

    def ch_try_pair() -> None:
        ch.try_send(1)
        ch.try_recv()

    def sq_pair() -> None:
        sq.put(1)
        sq.get()

    def sq_nowait() -> None:
        sq.put_nowait(1)
        sq.get_nowait()

    def q_pair() -> None:
        q.put(1)
        q.get()

    per_call("Channel, one thread, a send and a receive per op", [
        ("SimpleQueue put+get  [base]", sq_pair),
        ("Channel() send+recv", ch_pair),
        ("SimpleQueue put_nowait+get_nowait", sq_nowait),
        ("Channel() try_send+try_recv", ch_try_pair),
        ("queue.Queue put+get", q_pair),
    ], base="SimpleQueue put+get  [base]", n=200_000, goal="send+recv >= 0.77x (at most 1.3x the time)")


def _peers(cap: int | None) -> list[tuple[str, Callable[[], Pair]]]:
    def channel() -> Pair:
        ch: Channel[Any] = Channel(cap)
        return ch.send, ch.recv

    def simple() -> Pair:
        q: queue.SimpleQueue[Any] = queue.SimpleQueue()
        return q.put, q.get

    def stdlib_queue() -> Pair:
        q: queue.Queue[Any] = queue.Queue(cap or 0)
        return q.put, q.get

    peers = [("Channel", channel), ("queue.SimpleQueue (unbounded)", simple), ("queue.Queue", stdlib_queue)]
    try:
        import janus
    except ImportError:
        print("\n(janus is not installed: skipped)")
    else:
        loop = asyncio.new_event_loop()  # kept open: the sync side notifies it

        def janus_queue() -> Pair:
            async def make() -> Any:
                return janus.Queue(cap or 0)
            q = loop.run_until_complete(make())
            return q.sync_q.put, q.sync_q.get

        peers.append(("janus.Queue sync_q", janus_queue))
    try:
        import culsans
    except ImportError:
        print("\n(culsans is not installed: skipped)")
    else:
        def culsans_queue() -> Pair:
            q: Any = culsans.Queue(cap or 0)
            return q.sync_q.put, q.sync_q.get

        peers.append(("culsans.Queue sync_q", culsans_queue))
    return peers


def _throughput(make: Callable[[], Pair], producers: int, consumers: int, n: int) -> float:
    """Items per second moving n items (the numbers 1..per producer) from the
    producers to the consumers, each consumer stopping at its None; every item
    must arrive exactly once."""
    put, get = make()
    per = n // producers
    start_line = threading.Barrier(producers + consumers + 1)
    sums = [0] * consumers

    def produce() -> None:
        start_line.wait()
        for i in range(1, per + 1):
            put(i)

    def consume(c: int) -> None:
        start_line.wait()
        total = 0
        while (x := get()) is not None:
            total += x
        sums[c] = total

    threads = [threading.Thread(target=produce) for _ in range(producers)]
    threads += [threading.Thread(target=consume, args=(c,)) for c in range(consumers)]
    for t in threads:
        t.start()
    start_line.wait()
    begin = time.perf_counter()
    for t in threads[:producers]:
        t.join()
    for _ in range(consumers):
        put(None)
    for t in threads[producers:]:
        t.join()
    elapsed = time.perf_counter() - begin
    expect("sum of the items received", sum(sums), producers * per * (per + 1) // 2)
    return per * producers / elapsed


def _across_threads() -> None:
    configs = [(None, 1, 1), (None, 2, 2), (1024, 1, 1), (1024, 2, 2)]
    columns = ["peer"] + [f"{'SPSC' if p == 1 else 'MPMC 2x2'}, {'unbounded' if cap is None else f'cap {cap}'}"
                          for cap, p, _ in configs]
    rates: dict[str, list[float]] = {}
    for cap, producers, consumers in configs:
        peers = _peers(cap)
        samples: dict[str, list[float]] = {name: [] for name, _ in peers}
        for _ in range(ROUNDS):  # peers take turns within each round
            for name, make in peers:
                samples[name].append(_throughput(make, producers, consumers, 60_000))
        for name, values in samples.items():
            rates.setdefault(name, []).append(statistics.median(values))
    base = rates["queue.SimpleQueue (unbounded)"]
    rows = [[name] + [f"{r / 1e6:.2f}M ({r / b:.2f}x)" for r, b in zip(values, base)]
            for name, values in rates.items()]
    REPORT.add(Table(
        "Channel across threads: items per second",
        f"{DIRECTION}: items per second, median of {ROUNDS} rounds; in brackets divided by "
        f"queue.SimpleQueue's in the same column; bounded peers get the same capacity; "
        f"goals: Channel >= 1.0x SimpleQueue and >= 10x queue.Queue",
        columns, rows))


def _ping_pong() -> None:
    rounds = 20_000

    def run(ping: Pair, pong: Pair) -> float:
        def echo() -> None:
            for _ in range(rounds):
                pong[0](ping[1]())

        t = threading.Thread(target=echo)
        t.start()
        begin = time.perf_counter()
        total = 0
        for i in range(rounds):
            ping[0](i)
            total += pong[1]()
        elapsed = time.perf_counter() - begin
        t.join()
        expect("ping-pong echoes", total, rounds * (rounds - 1) // 2)
        return rounds / elapsed

    def channels() -> tuple[Pair, Pair]:
        a: Channel[int] = Channel(0)
        b: Channel[int] = Channel(0)
        return (a.send, a.recv), (b.send, b.recv)

    def simple_queues() -> tuple[Pair, Pair]:
        a: queue.SimpleQueue[Any] = queue.SimpleQueue()
        b: queue.SimpleQueue[Any] = queue.SimpleQueue()
        return (a.put, a.get), (b.put, b.get)

    samples: dict[str, list[float]] = {"two SimpleQueues  [base]": [], "two Channel(0)": []}
    for _ in range(ROUNDS):
        samples["two SimpleQueues  [base]"].append(run(*simple_queues()))
        samples["two Channel(0)"].append(run(*channels()))
    rate = {name: statistics.median(v) for name, v in samples.items()}
    base = rate["two SimpleQueues  [base]"]
    REPORT.add(Table(
        "Rendezvous ping-pong between two threads",
        f"{DIRECTION}: round trips per second, median of {ROUNDS} rounds, divided by the base's",
        ["case", "round trips/s", "ratio"],
        [[name, f"{r:,.0f}", f"{r / base:.2f}x"] for name, r in rate.items()]))


def _select() -> None:
    ready: Channel[int] = Channel()
    idle: Channel[int] = Channel()
    ops = [idle.recv_op(), ready.recv_op()]

    def plain() -> None:
        ready.send(1)
        ready.recv()

    def selecting() -> None:
        ready.send(1)
        select(ops)

    per_call("select() over two channels, one ready", [
        ("send + recv() on the ready channel  [base]", plain),
        ("send + select() over two", selecting),
    ], base="send + recv() on the ready channel  [base]", n=100_000, goal=">= 0.33x (at most 3x the time)")


def main() -> None:
    _single_thread()
    _across_threads()
    _ping_pong()
    _select()


if __name__ == "__main__":
    main()
