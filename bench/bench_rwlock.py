"""RwLock: uncontended `with lock.read():` / `with lock.write():` against
`with threading.Lock():` and the PyPI package readerwriterlock; then a
read-mostly mix (one write in 16) on 1 to 8 threads against the same peers.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from _quorvel import RwLock
from common import Loops, Prepare, expect, per_call, scaling

WRITE_EVERY = 16  # one write in 16 operations


def mix_peer(make: Callable[[], Any],
             guards: Callable[[Any], tuple[Callable[[], Any], Callable[[], Any]]]) -> Prepare:
    """Each thread runs `ops` operations, every 16th a write that increments a
    shared counter under the write lock, the rest reads of it; no increment
    may be lost."""

    def prepare(threads: int, ops: int) -> Loops:
        lock = make()
        box = [0]

        def loop() -> None:
            read, write = guards(lock)  # made on the worker's own thread
            for i in range(ops):
                if i % WRITE_EVERY:
                    with read():
                        box[0]
                else:
                    with write():
                        box[0] += 1

        writes = threads * len(range(0, ops, WRITE_EVERY))
        return [loop] * threads, lambda: expect("writes under the lock", box[0], writes)

    return prepare


def main() -> None:
    plain = threading.Lock()
    lock = RwLock()

    def with_threading_lock() -> None:
        with plain:
            pass

    def with_read() -> None:
        with lock.read():
            pass

    def with_write() -> None:
        with lock.write():
            pass

    cases: list[tuple[str, Callable[[], object]]] = [
        ("with threading.Lock()  [base]", with_threading_lock),
        ("with RwLock.read()", with_read),
        ("with RwLock.write()", with_write),
    ]
    peers: list[tuple[str, Prepare]] = [
        ("RwLock", mix_peer(RwLock, lambda lk: (lk.read, lk.write))),
        ("threading.Lock", mix_peer(threading.Lock, lambda lk: (lambda: lk, lambda: lk))),
    ]
    try:
        from readerwriterlock import rwlock
    except ImportError:
        print("\n(readerwriterlock is not installed: skipped)")
    else:
        fair = rwlock.RWLockFair()
        rd, wr = fair.gen_rlock(), fair.gen_wlock()

        def rwl_read() -> None:
            with rd:
                pass

        def rwl_write() -> None:
            with wr:
                pass

        cases += [("readerwriterlock RWLockFair read", rwl_read),
                  ("readerwriterlock RWLockFair write", rwl_write)]

        def rwl_guards(lk: Any) -> tuple[Callable[[], Any], Callable[[], Any]]:
            r, w = lk.gen_rlock(), lk.gen_wlock()
            return (lambda: r), (lambda: w)

        peers.append(("readerwriterlock RWLockFair", mix_peer(rwlock.RWLockFair, rwl_guards)))
    per_call("RwLock, uncontended", cases, base="with threading.Lock()  [base]",
             goal="read >= 0.67x threading.Lock")
    scaling("RwLock", peers, total_ops=100_000, what="lock operations (15 reads : 1 write)")


if __name__ == "__main__":
    main()
