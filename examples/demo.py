"""quorvel demo: many threads counting at once.

Each worker thread counts its share of events into a shared AtomicInteger,
while a second run does the same with an int guarded by threading.Lock.
Both totals are exact; the atomic needs no lock at all. Then the workers
tally words into one shared ConcurrentMap of per-word AtomicIntegers, and
the tally matches a single-threaded count exactly.
"""

from __future__ import annotations

import sys
import threading
import time
from collections import Counter
from collections.abc import Callable

from _quorvel import AtomicBoolean, AtomicInteger, ConcurrentMap

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


WORDS = ("red", "green", "blue", "cyan", "magenta", "yellow", "black", "white")


def worker_words(worker: int) -> list[str]:
    """The words one worker sees: a fixed, uneven mix per worker."""
    return [WORDS[(i * i + worker) % len(WORDS)] for i in range(20_000)]


def tally_words() -> dict[str, int]:
    """Every worker adds its words to one shared map; no lock anywhere.

    get_or_insert lets exactly one worker create each word's counter, and
    every other worker then gets that same counter back.
    """
    tally: ConcurrentMap[str, AtomicInteger] = ConcurrentMap()
    next_worker = AtomicInteger()

    def work() -> None:
        for word in worker_words(next_worker.fetch_add_relaxed(1)):
            tally.get_or_insert(word, AtomicInteger()).increment_relaxed()

    run_workers(work)
    return {word: counter.get() for word, counter in tally.items()}


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

    tally = tally_words()
    expected_tally = Counter(w for worker in range(WORKERS) for w in worker_words(worker))
    print("Word tally from a ConcurrentMap: " + ", ".join(f"{w} {tally[w]:,}" for w in sorted(tally)))
    tally_ok = tally == dict(expected_tally)
    print("The tally matches a single-threaded count." if tally_ok else "MISMATCH: the tally is wrong.")

    ok = atomic_total == expected and lock_total == expected and winners == 1 and tally_ok
    print("All totals exact." if ok else "MISMATCH: a total is wrong.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
