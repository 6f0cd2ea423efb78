"""Uncontended `with lock.read():` / `with lock.write():` against
`with threading.Lock():` and the PyPI package readerwriterlock."""

from __future__ import annotations

import threading
from collections.abc import Callable

from _quorvel import RwLock
from common import measure, report


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
    rows = measure(cases, n=300_000)
    report("RwLock, uncontended (goal: read <= 1.5x threading.Lock)", rows, "with threading.Lock()  [base]")


if __name__ == "__main__":
    main()
