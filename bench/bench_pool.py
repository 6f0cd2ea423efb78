"""ThreadPool against concurrent.futures with the same worker count:
submit-and-wait round trips, throughput of trivial tasks, and the parallel
speed-up of CPU-bound Python against two processes as the ceiling.

Every figure is a throughput ratio, higher is better."""

from __future__ import annotations

import concurrent.futures as cf
import statistics
import time
from collections.abc import Callable

from _quorvel import ThreadPool
from common import DIRECTION, REPORT, Table, expect, per_call

WORKERS = 2
TRIVIAL_TASKS = 100_000
ROUNDS = 5
SPIN_TASKS, SPIN_SIZE = 8, 300_000


def noop() -> None:
    pass


def spin(n: int) -> int:
    """Pure-Python CPU work: no I/O, no shared state."""
    total = 0
    for i in range(n):
        total += i * i % 7
    return total


EXPECTED_SPIN = spin(SPIN_SIZE)


def round_trip() -> None:
    pool = ThreadPool(WORKERS)
    executor = cf.ThreadPoolExecutor(WORKERS)
    expect("round trip result", pool.submit(abs, -3).result(), 3)
    base = "ThreadPoolExecutor submit().result()"
    per_call(f"ThreadPool: submit then result(), one task at a time, {WORKERS} workers",
             [(base, lambda: executor.submit(noop).result()),
              ("ThreadPool submit().result()", lambda: pool.submit(noop).result())],
             base, n=5_000, rounds=ROUNDS, goal=">= 2x (at most 0.5x the executor's time)")
    pool.shutdown()
    executor.shutdown()


def drain(submit: Callable[..., cf.Future[int]]) -> float:
    """Seconds to submit TRIVIAL_TASKS tasks and collect every result."""
    start = time.perf_counter()
    futures = [submit(abs, -i) for i in range(TRIVIAL_TASKS)]
    total = sum(f.result() for f in futures)
    elapsed = time.perf_counter() - start
    expect("sum of the trivial tasks' results", total, TRIVIAL_TASKS * (TRIVIAL_TASKS - 1) // 2)
    return elapsed


def futures_alone() -> float:
    """Creating, completing and reading the futures on one thread: what any
    pool that hands out concurrent.futures.Future objects pays at least."""
    start = time.perf_counter()
    futures: list[cf.Future[int]] = [cf.Future() for _ in range(TRIVIAL_TASKS)]
    for i, f in enumerate(futures):
        f.set_result(i)
    total = sum(f.result() for f in futures)
    elapsed = time.perf_counter() - start
    expect("sum of the bare futures' results", total, TRIVIAL_TASKS * (TRIVIAL_TASKS - 1) // 2)
    return elapsed


def throughput() -> None:
    pool = ThreadPool(WORKERS)
    executor = cf.ThreadPoolExecutor(WORKERS)
    runs: dict[str, list[float]] = {"executor": [], "pool": [], "floor": []}
    for _ in range(ROUNDS):  # interleaved, so load from elsewhere hits all alike
        runs["executor"].append(drain(executor.submit))
        runs["pool"].append(drain(pool.submit))
        runs["floor"].append(futures_alone())
    pool.shutdown()
    executor.shutdown()
    t = {k: statistics.median(v) for k, v in runs.items()}
    rows = [["ThreadPoolExecutor", f"{TRIVIAL_TASKS / t['executor']:,.0f}", "1.00x"],
            ["ThreadPool", f"{TRIVIAL_TASKS / t['pool']:,.0f}", f"{t['executor'] / t['pool']:.2f}x"],
            ["the futures alone, one thread (ceiling of any pool)", f"{TRIVIAL_TASKS / t['floor']:,.0f}",
             f"{t['executor'] / t['floor']:.2f}x"]]
    REPORT.add(Table(f"ThreadPool: {TRIVIAL_TASKS:,} trivial tasks submitted, then every result read, "
                     f"{WORKERS} workers",
                     f"{DIRECTION}: tasks per second over ThreadPoolExecutor's, median of {ROUNDS} rounds; "
                     "goal: >= 3x", ["case", "tasks/s", "ratio"], rows))


def timed_batch(executor: cf.Executor | ThreadPool) -> float:
    start = time.perf_counter()
    futures = [executor.submit(spin, SPIN_SIZE) for _ in range(SPIN_TASKS)]
    results = [f.result() for f in futures]
    elapsed = time.perf_counter() - start
    expect("CPU-bound results", results, [EXPECTED_SPIN] * SPIN_TASKS)
    return elapsed



def parallel_speedup() -> None:
    one, two = ThreadPool(1), ThreadPool(2)
    processes = {n: cf.ProcessPoolExecutor(n) for n in (1, 2)}
    for ex in processes.values():  # start the processes before any timing
        list(ex.map(spin, [1] * 4))
    runners: list[cf.Executor | ThreadPool] = [one, two, processes[1], processes[2]]
    samples: list[list[float]] = [[] for _ in runners]
    for _ in range(ROUNDS):  # interleaved, as above
        for i, ex in enumerate(runners):
            samples[i].append(timed_batch(ex))
    for p in (one, two):
        p.shutdown()
    for ex in processes.values():
        ex.shutdown()
    t_one, t_two, p_one, p_two = (statistics.median(s) for s in samples)
    pool_speedup, ceiling = t_one / t_two, p_one / p_two
    rows = [["two processes vs one (ceiling)", f"{ceiling:.2f}x", "1.00x"],
            ["ThreadPool, two workers vs one", f"{pool_speedup:.2f}x", f"{pool_speedup / ceiling:.2f}x"]]
    REPORT.add(Table(f"ThreadPool: {SPIN_TASKS} CPU-bound pure-Python tasks, 2 workers against 1",
                     f"{DIRECTION}: speed-up of two over one, and that speed-up over the speed-up of "
                     f"two processes (ProcessPoolExecutor, started beforehand); median of {ROUNDS} rounds; "
                     "goal: >= 0.95x of the ceiling", ["case", "speed-up", "of ceiling"], rows))


def main() -> None:
    round_trip()
    throughput()
    parallel_speedup()


if __name__ == "__main__":
    main()
