"""Per-call cost of AtomicInteger methods against the cheapest builtin method
call, itertools.count and a threading.Lock-protected int.

Every case runs the same loop: `f = bound_method; for _ in range(n): f()`.
"""

from __future__ import annotations

import _thread
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
        ("_thread.get_ident  [floor + new int]", _thread.get_ident),
        ("itertools.count().__next__", itertools.count(1000).__next__),
        ("threading.Lock + int", locked_increment),
        ("AtomicInteger.increment_relaxed", cell.increment_relaxed),
        ("AtomicInteger.increment", cell.increment),
        ("AtomicInteger.get", cell.get),
    ]
    rows = measure(cases)
    report("Atomics: one call in a loop (goals: increment_relaxed and increment <= 1.3x the floor)",
           rows, "(5).bit_length  [floor]")
    ns = dict(rows)
    count = ns["itertools.count().__next__"]
    for name in ("AtomicInteger.increment_relaxed", "AtomicInteger.increment"):
        print(f"  {name} / itertools.count().__next__: {ns[name] / count:.2f}x (goal <= 0.95x)")


if __name__ == "__main__":
    main()
