"""Channel against the standard library's queues (and janus / culsans where
they install): one thread's send+recv pair, items per second across threads
(SPSC and 2x2 MPMC, unbounded and bounded), a rendezvous ping-pong, and
select() over two channels against a plain recv()."""

from __future__ import annotations

import asyncio
import queue
import threading
import time
from collections.abc import Callable
from typing import Any

from _quorvel import Channel, select
from common import measure, report

Pair = tuple[Callable[[Any], Any], Callable[[], Any]]  # (put, get) of one fresh queue


def _single_thread() -> None:
    ch, sq, q = Channel(), queue.SimpleQueue(), queue.Queue()

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

    rows = measure([
        ("SimpleQueue put+get  [base]", sq_pair),
        ("Channel() send+recv", ch_pair),
        ("SimpleQueue put_nowait+get_nowait", sq_nowait),
        ("Channel() try_send+try_recv", ch_try_pair),
        ("queue.Queue put+get", q_pair),
    ], n=200_000, rounds=7)
    report("Channel, one thread, pair per op (time ratio, lower is better; goal send+recv <= 1.3x)",
           rows, "SimpleQueue put+get  [base]")


def _peers(bounded: bool) -> list[tuple[str, Callable[[], Pair]]]:
    cap = 1024 if bounded else None

    def channel() -> Pair:
        ch = Channel(cap)
        return ch.send, ch.recv

    def simple() -> Pair:
        q: queue.SimpleQueue[Any] = queue.SimpleQueue()
        return q.put, q.get

    def stdlib_queue() -> Pair:
        q: queue.Queue[Any] = queue.Queue(cap or 0)
        return q.put, q.get

    peers = [(f"Channel({cap})", channel), ("queue.SimpleQueue (unbounded)", simple),
             (f"queue.Queue({cap or 0})", stdlib_queue)]
    try:
        import janus

        loop = asyncio.new_event_loop()  # kept open: the sync side notifies it

        def janus_queue() -> Pair:
            async def make() -> Any:
                return janus.Queue(cap or 0)
            q = loop.run_until_complete(make())
            return q.sync_q.put, q.sync_q.get

        peers.append((f"janus.Queue({cap or 0}).sync_q", janus_queue))
    except ImportError:
        print("\n(janus is not installed: skipped)")
    try:
        import culsans

        def culsans_queue() -> Pair:
            q = culsans.Queue(cap or 0)
            return q.sync_q.put, q.sync_q.get

        peers.append((f"culsans.Queue({cap or 0}).sync_q", culsans_queue))
    except ImportError:
        print("\n(culsans is not installed: skipped)")
    return peers


def _throughput(make: Callable[[], Pair], producers: int, consumers: int, n: int) -> float:
    """Items per second moving n items from the producers to the consumers;
    each consumer stops at its None."""
    put, get = make()
    per = n // producers
    start_line = threading.Barrier(producers + consumers + 1)

    def produce() -> None:
        start_line.wait()
        for i in range(per):
            put(i)

    def consume() -> None:
        start_line.wait()
        while get() is not None:
            pass

    threads = [threading.Thread(target=produce) for _ in range(producers)]
    threads += [threading.Thread(target=consume) for _ in range(consumers)]
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
    return per * producers / (time.perf_counter() - begin)


def _across_threads() -> None:
    for bounded in (False, True):
        peers = _peers(bounded)
        for producers, consumers, label in [(1, 1, "SPSC"), (2, 2, "MPMC 2x2")]:
            best = {name: 0.0 for name, _ in peers}
            n = 60_000
            for _ in range(5):  # peers take turns, best round each
                for name, make in peers:
                    best[name] = max(best[name], _throughput(make, producers, consumers, n))
            base = best["queue.SimpleQueue (unbounded)"]
            title = f"{label}, {'Channel(1024)' if bounded else 'unbounded'}"
            print(f"\n{title} (throughput ratio to SimpleQueue, higher is better; goals: >= 1.0x SimpleQueue, "
                  f">= 10x queue.Queue)")
            print(f"  {'case':44s} {'items/s':>12s} {'ratio':>8s}")
            for name, rate in best.items():
                print(f"  {name:44s} {rate:12,.0f} {rate / base:7.2f}x")
            q_rate = next(rate for name, rate in best.items() if name.startswith("queue.Queue"))
            print(f"  Channel vs queue.Queue: {best[peers[0][0]] / q_rate:.2f}x (throughput ratio, higher is better)")


def _ping_pong() -> None:
    rounds = 20_000

    def run(ping: Pair, pong: Pair) -> float:
        def echo() -> None:
            for _ in range(rounds):
                pong[0](ping[1]())

        t = threading.Thread(target=echo)
        t.start()
        begin = time.perf_counter_ns()
        for i in range(rounds):
            ping[0](i)
            pong[1]()
        elapsed = time.perf_counter_ns() - begin
        t.join()
        return elapsed / rounds

    def channels() -> tuple[Pair, Pair]:
        a, b = Channel(0), Channel(0)
        return (a.send, a.recv), (b.send, b.recv)

    def simple_queues() -> tuple[Pair, Pair]:
        a: queue.SimpleQueue[Any] = queue.SimpleQueue()
        b: queue.SimpleQueue[Any] = queue.SimpleQueue()
        return (a.put, a.get), (b.put, b.get)

    best = {"two SimpleQueues  [base]": float("inf"), "two Channel(0)": float("inf")}
    for _ in range(3):
        best["two SimpleQueues  [base]"] = min(best["two SimpleQueues  [base]"], run(*simple_queues()))
        best["two Channel(0)"] = min(best["two Channel(0)"], run(*channels()))
    report("Rendezvous ping-pong, ns per round trip (time ratio, lower is better)",
           list(best.items()), "two SimpleQueues  [base]")


def _select() -> None:
    ready, idle = Channel(), Channel()
    ops = [idle.recv_op(), ready.recv_op()]

    def plain() -> None:
        ready.send(1)
        ready.recv()

    def selecting() -> None:
        ready.send(1)
        select(ops)

    rows = measure([("send + recv() on the ready channel  [base]", plain),
                    ("send + select() over two, one ready", selecting)], n=100_000, rounds=7)
    report("select() over two channels (time ratio, lower is better; aim <= 3x)", rows,
           "send + recv() on the ready channel  [base]")


def main() -> None:
    _single_thread()
    _across_threads()
    _ping_pong()
    _select()


if __name__ == "__main__":
    main()
