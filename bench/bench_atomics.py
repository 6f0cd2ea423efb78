"""AtomicInteger: the cost of one call against the cheapest builtin method
call, itertools.count and a threading.Lock-protected int; then increments of
one shared counter on 1 to 8 threads against a Lock-protected int and the
PyPI counters ft_utils.AtomicInt64 and cereggii.AtomicInt64.

Every per-call case runs the same loop: `f = bound_method; for _ in range(n): f()`.
"""

from __future__ import annotations

import _thread
import functools
import itertools
import threading
from collections.abc import Callable
from typing import Any

from _quorvel import AtomicInteger
from common import REPORT, Loops, Prepare, expect, per_call, scaling


def counter_peer(make: Callable[[], Any], increment: Callable[[Any], Callable[[], object]],
                 value: Callable[[Any], int]) -> Prepare:
    """Each thread increments one shared counter `ops` times; none may be lost."""

    def prepare(threads: int, ops: int) -> Loops:
        cell = make()

        def loop() -> None:
            inc = increment(cell)  # bound on the worker's own thread
            for _ in range(ops):
                inc()

        return [loop] * threads, lambda: expect("counter", value(cell), threads * ops)

    return prepare


def locked_int() -> tuple[threading.Lock, list[int]]:
    return threading.Lock(), [0]


def locked_increment(cell: tuple[threading.Lock, list[int]]) -> Callable[[], None]:
    lock, box = cell

    def inc() -> None:
        with lock:
            box[0] += 1

    return inc


def main() -> None:
    lock = threading.Lock()
    box = [0]

    def locked_increment_one() -> int:
        with lock:
            box[0] += 1
            return box[0]

    cell = AtomicInteger()
    ns = per_call("Atomics: one call in a loop", [
        ("(5).bit_length  [floor]", (5).bit_length),
        ("_thread.get_ident  [floor + new int]", _thread.get_ident),
        ("itertools.count().__next__", itertools.count(1000).__next__),
        ("threading.Lock + int", locked_increment_one),
        ("AtomicInteger.increment_relaxed", cell.increment_relaxed),
        ("AtomicInteger.increment", cell.increment),
        ("AtomicInteger.get", cell.get),
    ], base="(5).bit_length  [floor]", n=500_000, rounds=9,
        goal="increment_relaxed and increment >= 0.77x the floor")
    count = ns["itertools.count().__next__"]
    against_count = "\n".join(
        f"{name} against itertools.count().__next__: {count / ns[name]:.2f}x (goal >= 1.05x)"
        for name in ("AtomicInteger.increment_relaxed", "AtomicInteger.increment"))
    print(against_count)
    REPORT.add(against_count)

    peers: list[tuple[str, Prepare]] = [
        ("AtomicInteger.increment", counter_peer(AtomicInteger, lambda a: a.increment, lambda a: a.get())),
        ("AtomicInteger.increment_relaxed",
         counter_peer(AtomicInteger, lambda a: a.increment_relaxed, lambda a: a.get())),
        ("threading.Lock + int", counter_peer(locked_int, locked_increment, lambda c: c[1][0])),
    ]
    try:
        from ft_utils.concurrency import AtomicInt64 as FtInt
    except ImportError:
        print("\n(ft_utils is not installed: skipped)")
    else:
        peers.append(("ft_utils.AtomicInt64.incr", counter_peer(FtInt, lambda a: a.incr, lambda a: a.get())))
    try:
        from cereggii import AtomicInt64 as CgInt
    except ImportError:
        print("\n(cereggii is not installed: skipped)")
    else:
        peers.append(("cereggii.AtomicInt64.increment_and_get",
                      counter_peer(CgInt, lambda a: functools.partial(a.increment_and_get, 1), lambda a: a.get())))
    scaling("AtomicInteger", peers, total_ops=400_000, what="increments of one shared counter")


if __name__ == "__main__":
    main()
