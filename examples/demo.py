"""quorvel demo: many threads counting at once.

Each worker thread counts its share of events into a shared AtomicInteger,
while a second run does the same with an int guarded by threading.Lock.
Both totals are exact; the atomic needs no lock at all.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable

from _quorvel import AtomicBoolean, AtomicInteger

WORKERS = 4
EVENTS_PER_WORKER = 200_000


def run_workers(work: Callable[[], None]) -> float:
    """Run `work` on WORKERS threads at once; return the wall time in seconds."""
    barrier = threading.Barrier(WORKERS + 1)

    def body() -> None:
        barrier.wait()
        work()

    threads = [threading.Thread(target=body) for _ in range(WORKERS)]
    for t in threads:
        t.start()
    start = time.perf_counter()
    barrier.wait()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def count_with_atomic() -> tuple[int, float]:
    counter = AtomicInteger()
    increment = counter.increment_relaxed

    def work() -> None:
        for _ in range(EVENTS_PER_WORKER):
            increment()

    seconds = run_workers(work)
    return counter.get(), seconds


def count_with_lock() -> tuple[int, float]:
    lock = threading.Lock()
    total = 0

    def work() -> None:
        nonlocal total
        for _ in range(EVENTS_PER_WORKER):
            with lock:
                total += 1

    seconds = run_workers(work)
    return total, seconds


def first_finisher() -> int:
    """Every worker tries to claim the 'first' flag; exactly one succeeds."""
    claimed = AtomicBoolean(False)
    winners = AtomicInteger()

    def work() -> None:
        if claimed.compare_and_set(False, True):
            winners.increment()

    run_workers(work)
    return winners.get()


def main() -> int:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {WORKERS} worker threads")
    expected = WORKERS * EVENTS_PER_WORKER

    atomic_total, atomic_s = count_with_atomic()
    lock_total, lock_s = count_with_lock()
    print(f"AtomicInteger     total {atomic_total:>9,}  in {atomic_s:6.3f} s")
    print(f"Lock-guarded int  total {lock_total:>9,}  in {lock_s:6.3f} s")
    print(f"The atomic counter took {atomic_s / lock_s:.2f}x the time of the locked one.")

    winners = first_finisher()
    print(f"Workers that claimed the 'first' flag: {winners}")

    ok = atomic_total == expected and lock_total == expected and winners == 1
    print("All totals exact." if ok else "MISMATCH: a total is wrong.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
