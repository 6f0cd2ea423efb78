"""ConcurrentMap against a plain dict, a dict guarded by threading.Lock, and
the PyPI maps ft_utils.ConcurrentDict and cereggii.AtomicDict.

First one thread is timed: `set` then `get` of one key, and a get-heavy mix
(four reads per write). Then a set+get loop runs on 1 to 8 threads, on
disjoint keys (each thread its own range) and on shared keys (every thread
the same range), each thread in its own order. Every peer is used the way it
normally is, in both tables: subscription for the dicts, method calls for
ConcurrentMap. The thread tables also show the ceiling the machine allows
when threads share nothing (a private dict per thread).
"""

from __future__ import annotations

import itertools
import random
import threading
from collections.abc import Callable
from typing import Any

from _quorvel import ConcurrentMap
from common import Loops, Prepare, expect, per_call, scaling

KEYS = 1024
THREAD_OPS = 400_000  # set+get pairs over all threads
ROUNDS = 5

# A peer: name, factory of a fresh map, a preloading set, the two single-
# thread loop bodies, and the thread loop: `run(mapping, keys, ops)` runs ops
# set+get pairs over `keys`, written the way the peer is normally used.
Bodies = tuple[Callable[[], object], Callable[[], object]]
ThreadLoop = Callable[[Any, list[int], int], None]
Peer = tuple[str, Callable[[], Any], Callable[[Any, Any, Any], object], Callable[[Any, Callable[[], int]], Bodies],
             ThreadLoop, Callable[[Any], dict[Any, Any]]]


def subscript_set(d: Any, k: Any, v: Any) -> None:
    d[k] = v


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


def subscript_loop(d: Any, keys: list[int], ops: int) -> None:
    mask = KEYS - 1
    for i in range(ops):
        k = keys[i & mask]
        d[k] = i
        d[k]


def make_locked() -> tuple[dict[Any, Any], threading.Lock]:
    return {}, threading.Lock()


def locked_set(mapping: tuple[dict[Any, Any], threading.Lock], k: Any, v: Any) -> None:
    mapping[0][k] = v


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


def locked_loop(mapping: tuple[dict[Any, Any], threading.Lock], keys: list[int], ops: int) -> None:
    d, lock = mapping
    mask = KEYS - 1
    for i in range(ops):
        k = keys[i & mask]
        with lock:
            d[k] = i
        with lock:
            d[k]


def map_set(m: ConcurrentMap[int, int], k: int, v: int) -> None:
    m.set(k, v)


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


def map_loop(m: ConcurrentMap[int, int], keys: list[int], ops: int) -> None:
    mask = KEYS - 1
    for i in range(ops):
        k = keys[i & mask]
        m.set(k, i)
        m.get(k)


def peers() -> list[Peer]:
    found: list[Peer] = [
        ("ConcurrentMap", ConcurrentMap, map_set, map_bodies, map_loop, lambda m: dict(m.items())),
        ("dict", dict, subscript_set, subscript_bodies, subscript_loop, dict),
        ("dict + threading.Lock", make_locked, locked_set, locked_bodies, locked_loop, lambda m: dict(m[0])),
    ]
    try:
        from ft_utils.concurrency import ConcurrentDict
    except ImportError:
        print("\n(ft_utils is not installed: skipped)")
    else:
        found.append(("ft_utils.ConcurrentDict", ConcurrentDict, subscript_set, subscript_bodies, subscript_loop,
                      lambda m: m.as_dict()))
    try:
        from cereggii import AtomicDict
    except ImportError:
        print("\n(cereggii is not installed: skipped)")
    else:
        found.append(("cereggii.AtomicDict", AtomicDict, subscript_set, subscript_bodies, subscript_loop,
                      lambda m: dict(m.fast_iter())))
    return found


def single_thread(all_peers: list[Peer]) -> None:
    set_get: list[tuple[str, Callable[[], object]]] = []
    mixed: list[tuple[str, Callable[[], object]]] = []
    for name, make, set_, bodies, _, _ in all_peers:
        mapping = make()
        for k in range(KEYS):
            set_(mapping, k, k)
        one, many = bodies(mapping, itertools.cycle(range(KEYS)).__next__)
        set_get.append((name, one))
        mixed.append((name, many))
    per_call("ConcurrentMap, one thread: set + get of one key", set_get, base="dict", n=200_000, rounds=ROUNDS,
             goal="ConcurrentMap >= 0.67x dict and >= 1.67x dict + Lock")
    per_call("ConcurrentMap, one thread: 4 gets + 1 set of one key", mixed, base="dict", n=100_000, rounds=ROUNDS)


def thread_peer(make: Callable[[], Any], set_: Callable[[Any, Any, Any], object], loop: ThreadLoop,
                contents: Callable[[Any], dict[Any, Any]], shared: bool, private: bool = False) -> Prepare:
    """set+get pairs over KEYS keys per thread; afterwards every key holds the
    last value a thread wrote to it."""

    def prepare(threads: int, ops: int) -> Loops:
        mapping = None if private else make()
        # Each thread visits its keys in an order of its own, as independent
        # threads would: identical orders would march the threads through the
        # shards in step.
        key_sets = [random.Random(t).sample([(0 if shared else t) * 1_000_000 + j for j in range(KEYS)], KEYS)
                    for t in range(threads)]
        privates: dict[int, Any] = {}
        if mapping is not None:
            for keys in key_sets:
                for k in keys:
                    set_(mapping, k, -1)

        def worker(t: int) -> Callable[[], None]:
            def run() -> None:
                target = mapping
                if target is None:  # made on the worker's own thread
                    target = privates[t] = make()
                loop(target, key_sets[t], ops)
            return run

        # What a thread wrote last to each of its keys: index j of its keys
        # is written at i = j, j + KEYS, ... below ops.
        last = [{keys[j]: j + KEYS * ((ops - 1 - j) // KEYS) if j < ops else -1 for j in range(KEYS)}
                for keys in key_sets]

        def check() -> None:
            if private:
                for t, want in enumerate(last):
                    expect(f"private dict {t}", contents(privates[t]), want)
            elif shared:
                got = contents(mapping)
                expect("keys", sorted(got), sorted(last[0]))
                bad = [k for k, v in got.items() if all(v != w[k] for w in last)]
                expect("keys holding a value no thread wrote last", bad, [])
            else:
                expect("contents", contents(mapping), {k: v for w in last for k, v in w.items()})

        return [worker(t) for t in range(threads)], check

    return prepare


def multi_thread(all_peers: list[Peer]) -> None:
    for shared in (False, True):
        thread_peers: list[tuple[str, Prepare]] = [
            (name, thread_peer(make, set_, loop, contents, shared)) for name, make, set_, _, loop, contents in all_peers
        ]
        if not shared:
            # What the machine allows when threads share nothing at all.
            thread_peers.append(("ceiling: a private dict per thread",
                                 thread_peer(dict, subscript_set, subscript_loop, dict, False, private=True)))
        scaling(f"ConcurrentMap, {'shared' if shared else 'disjoint'} keys", thread_peers, THREAD_OPS,
                rounds=ROUNDS, what="set + get pairs",
                goal="" if shared else "ConcurrentMap at 2 threads >= 1.6x")


def main() -> None:
    all_peers = peers()
    single_thread(all_peers)
    multi_thread(all_peers)


if __name__ == "__main__":
    main()
