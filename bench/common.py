"""Timing helpers shared by the benchmarks: the same loop for every peer."""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence


def _one_round(fn: Callable[[], object], n: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


def measure(cases: Sequence[tuple[str, Callable[[], object]]], n: int = 500_000,
            rounds: int = 9) -> list[tuple[str, float]]:
    """ns per call of each case in `for _ in range(n): fn()`, best of `rounds`.

    The cases take turns within each round, so a burst of load from
    elsewhere on the machine hits all of them alike.
    """
    best = [float("inf")] * len(cases)
    for _ in range(rounds):
        for i, (_, fn) in enumerate(cases):
            best[i] = min(best[i], _one_round(fn, n))
    return [(name, ns) for (name, _), ns in zip(cases, best)]


def report(title: str, rows: list[tuple[str, float]], base: str) -> None:
    """Print ns/op and the ratio of each row to the row named `base`."""
    floor = dict(rows)[base]
    print(f"\n{title}")
    print(f"  {'case':44s} {'ns/op':>9s} {'ratio':>8s}")
    for name, ns in rows:
        print(f"  {name:44s} {ns:9.1f} {ns / floor:7.2f}x")
