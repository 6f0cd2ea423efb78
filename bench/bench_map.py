"""ConcurrentMap against a plain dict, a dict guarded by threading.Lock, and
the PyPI maps ft_utils.ConcurrentDict and cereggii.AtomicDict.

First one thread is timed: `set` then `get` of one key, and a get-heavy mix
(four reads per write). Then the same set+get loop runs on 1 and 2 threads,
on disjoint keys (each thread its own range) and on shared keys (every thread
the same range), each thread in its own order and with the operations bound
once per thread; the throughput
and its ratio to one thread are printed, next to the ceiling the machine
allows when threads share nothing (a private dict per thread).
"""

from __future__ import annotations

import itertools
import random
import threading
import time
from collections.abc import Callable
from typing import Any

from _quorvel import ConcurrentMap
from common import measure, report

KEYS = 1024
THREAD_OPS = 200_000
ROUNDS = 5

# A peer: name, factory of a fresh map, (set, get) bound to one map for the
# threads, and the two single-thread loop bodies written the way the peer is
# normally used (subscription for the dicts, method calls for ConcurrentMap).
Ops = tuple[Callable[[Any, Any], object], Callable[[Any], object]]
Bodies = tuple[Callable[[], object], Callable[[], object]]
Peer = tuple[str, Callable[[], Any], Callable[[Any], Ops], Callable[[Any, Callable[[], int]], Bodies]]


def subscript_ops(d: Any) -> Ops:
    return d.__setitem__, d.__getitem__


def subscript_bodies(d: Any, cycle: Callable[[], int]) -> Bodies:
    def set_get() -> None:
        k = cycle()
        d[k] = k
        d[k]

    def read_mostly() -> None:
        k = cycle()
        d[k]
        d[k]
        d[k]
        d[k]
        d[k] = k

    return set_get, read_mostly


def make_locked() -> tuple[dict[Any, Any], threading.Lock]:
    return {}, threading.Lock()


def locked_ops(mapping: tuple[dict[Any, Any], threading.Lock]) -> Ops:
    d, lock = mapping

    def set_(k: Any, v: Any) -> None:
        with lock:
            d[k] = v

    def get(k: Any) -> Any:
        with lock:
            return d[k]

    return set_, get


def locked_bodies(mapping: tuple[dict[Any, Any], threading.Lock], cycle: Callable[[], int]) -> Bodies:
    d, lock = mapping

    def set_get() -> None:
        k = cycle()
        with lock:
            d[k] = k
        with lock:
            d[k]

    def read_mostly() -> None:
        k = cycle()
        with lock:
            d[k]
        with lock:
            d[k]
        with lock:
            d[k]
        with lock:
            d[k]
        with lock:
            d[k] = k

    return set_get, read_mostly


def map_ops(m: ConcurrentMap[int, int]) -> Ops:
    return m.set, m.get


def map_bodies(m: ConcurrentMap[int, int], cycle: Callable[[], int]) -> Bodies:
    def set_get() -> None:
        k = cycle()
        m.set(k, k)
        m.get(k)

    def read_mostly() -> None:
        k = cycle()
        m.get(k)
        m.get(k)
        m.get(k)
        m.get(k)
        m.set(k, k)

    return set_get, read_mostly


def peers() -> list[Peer]:
    found: list[Peer] = [
        ("ConcurrentMap", ConcurrentMap, map_ops, map_bodies),
        ("dict", dict, subscript_ops, subscript_bodies),
        ("dict + threading.Lock", make_locked, locked_ops, locked_bodies),
    ]
    try:
        from ft_utils.concurrency import ConcurrentDict
    except ImportError:
        print("\n(ft_utils is not installed: skipped)")
    else:
        found.append(("ft_utils.ConcurrentDict", ConcurrentDict, subscript_ops, subscript_bodies))
    try:
        from cereggii import AtomicDict
    except ImportError:
        print("\n(cereggii is not installed: skipped)")
    else:
        found.append(("cereggii.AtomicDict", AtomicDict, subscript_ops, subscript_bodies))
    return found


def single_thread(all_peers: list[Peer]) -> None:
    set_get: list[tuple[str, Callable[[], object]]] = []
    mixed: list[tuple[str, Callable[[], object]]] = []
    for name, make, bind, bodies in all_peers:
        mapping = make()
        set_, _ = bind(mapping)
        for k in range(KEYS):
            set_(k, k)
        one, many = bodies(mapping, itertools.cycle(range(KEYS)).__next__)
        set_get.append((name, one))
        mixed.append((name, many))
    report("One thread, set + get of one key (goal: <= 0.6x dict + Lock, <= 1.5x dict)",
           measure(set_get, n=200_000, rounds=ROUNDS), "dict")
    report("One thread, 4 gets + 1 set of one key",
           measure(mixed, n=100_000, rounds=ROUNDS), "dict")


def private_dict_ops(_: object) -> Ops:
    return subscript_ops({})


def throughput(make: Callable[[], Any], bind: Callable[[Any], Ops], threads: int, shared: bool) -> float:
    """set+get pairs per second over `threads` threads, each doing THREAD_OPS."""
    mapping = make()
    barrier = threading.Barrier(threads + 1)
    # Each thread visits its keys in an order of its own, as independent
    # threads would: identical orders would march the threads through the
    # shards in step.
    key_sets = [random.Random(t).sample([(0 if shared else t) * 1_000_000 + j for j in range(KEYS)], KEYS)
                for t in range(threads)]
    set_, _ = bind(mapping)
    for keys in key_sets:
        for k in keys:
            set_(k, k)

    def work(keys: list[int]) -> None:
        set_, get = bind(mapping)  # bound on the worker's own thread
        mask = KEYS - 1
        barrier.wait()
        for i in range(THREAD_OPS):
            k = keys[i & mask]
            set_(k, i)
            get(k)

    workers = [threading.Thread(target=work, args=(key_sets[t],)) for t in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return threads * THREAD_OPS / (time.perf_counter() - start)


def multi_thread(all_peers: list[Peer]) -> None:
    # What the machine allows when threads share nothing at all.
    all_peers = all_peers + [("ceiling: a private dict per thread", lambda: None, private_dict_ops, subscript_bodies)]
    print("\nThroughput of set + get pairs, best of", ROUNDS, "(goal: ConcurrentMap, 2 threads disjoint >= 1.6x)")
    print(f"  {'case':34s} {'1 thread':>12s} {'2 disjoint':>12s} {'ratio':>6s} {'2 shared':>12s} {'ratio':>6s}")
    best: dict[tuple[str, int, bool], float] = {}
    for _ in range(ROUNDS):  # rounds interleave the peers, so load from elsewhere hits all alike
        for name, make, bind, _ in all_peers:
            for threads, shared in ((1, False), (2, False), (2, True)):
                ops = throughput(make, bind, threads, shared)
                best[name, threads, shared] = max(best.get((name, threads, shared), 0.0), ops)
    for name, _, _, _ in all_peers:
        one, disjoint, common = best[name, 1, False], best[name, 2, False], best[name, 2, True]
        print(f"  {name:34s} {one:12,.0f} {disjoint:12,.0f} {disjoint / one:5.2f}x {common:12,.0f} {common / one:5.2f}x")


def main() -> None:
    all_peers = peers()
    single_thread(all_peers)
    multi_thread(all_peers)


if __name__ == "__main__":
    main()
