"""Per-call cost of AtomicInteger methods against the cheapest builtin method
call, itertools.count and a threading.Lock-protected int.

Every case runs the same loop: `f = bound_method; for _ in range(n): f()`.
"""

from __future__ import annotations

import itertools
import threading

from _quorvel import AtomicInteger
from common import measure, report


def main() -> None:
    lock = threading.Lock()
    box = [0]

    def locked_increment() -> int:
        with lock:
            box[0] += 1
            return box[0]

    cell = AtomicInteger()
    cases = [
        ("(5).bit_length  [floor]", (5).bit_length),
        ("itertools.count().__next__", itertools.count(1000).__next__),
        ("threading.Lock + int", locked_increment),
        ("AtomicInteger.increment_relaxed", cell.increment_relaxed),
        ("AtomicInteger.increment", cell.increment),
        ("AtomicInteger.get", cell.get),
    ]
    rows = measure(cases)
    report("Atomics: one call in a loop (goals: increment_relaxed <= 1.45x, increment <= 1.5x the floor)",
           rows, "(5).bit_length  [floor]")


if __name__ == "__main__":
    main()
