"""The benchmark harness: one way to time every peer, one direction for every
ratio, and one report.

Every Python report is a throughput ratio, higher is better: a case's
operations per second divided by those of the table's base case (per-call
tables) or by its own at one thread (scaling tables). Each table says so in
its header.

A primitive joins the report by calling, from its module's `main()`:
- `per_call(title, cases, base)`: the cost of one call in a loop, single
  thread, each case against the base;
- `scaling(primitive, peers)`: throughput at 1, 2, 4 and 8 threads for each
  peer, which also puts the primitive in the plot. A peer is a name and a
  `prepare(threads, ops)` returning one loop per thread and a check run after
  the timed part; a check that finds a wrong result (a lost increment, a
  missing entry) raises `BenchmarkError`, which fails the run.
`bench/run.py` runs every `bench_*.py` module's `main()` and writes
`bench/report.md` (every table, and the native benchmarks' output) and, when
matplotlib is installed, `bench/scaling.png`.
"""

from __future__ import annotations

import statistics
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

THREADS = (1, 2, 4, 8)
DIRECTION = "throughput ratio, higher is better"


class BenchmarkError(RuntimeError):
    """A benchmark computed a wrong result: its figures mean nothing."""


@dataclass
class Table:
    title: str
    header: str  # what the ratio compares, and its direction
    columns: list[str]
    rows: list[list[str]]

    def text(self) -> str:
        widths = [max(len(c), *(len(r[i]) for r in self.rows)) for i, c in enumerate(self.columns)]
        line = "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(self.columns, widths)))
        out = [f"\n{self.title}", f"({self.header})", line]
        for r in self.rows:
            out.append("  ".join(v.ljust(w) if i == 0 else v.rjust(w) for i, (v, w) in enumerate(zip(r, widths))))
        return "\n".join(out)

    def markdown(self) -> str:
        out = [f"### {self.title}", "", f"_{self.header}_", "",
               "| " + " | ".join(self.columns) + " |",
               "|" + "|".join(["---"] + ["---:"] * (len(self.columns) - 1)) + "|"]
        out += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(out)


@dataclass
class Report:
    """What the benchmarks of one run produced, in the order they ran."""

    sections: list[tuple[str, Table | str]] = field(default_factory=list)  # (module, table or raw text)
    # primitive -> peer -> threads -> median ops/s
    series: dict[str, dict[str, dict[int, float]]] = field(default_factory=dict)
    module: str = ""

    def add(self, item: Table | str) -> None:
        self.sections.append((self.module, item))
        if isinstance(item, Table):
            print(item.text(), flush=True)


REPORT = Report()


# ---------------------------------------------------------------------------
# Per-call cost, one thread


def _one_round(fn: Callable[[], object], n: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


def per_call(title: str, cases: Sequence[tuple[str, Callable[[], object]]], base: str,
             n: int = 300_000, rounds: int = 7, goal: str = "") -> dict[str, float]:
    """Time `for _ in range(n): fn()` for each case; report ns/op (median of
    `rounds`) and throughput relative to `base`. Returns ns/op by name.

    The cases take turns within each round, so a burst of load from elsewhere
    on the machine hits all of them alike.
    """
    ns = dict(measure(cases, n, rounds))
    header = f"{DIRECTION}: ns/op of '{base}' divided by the case's; median of {rounds} rounds"
    if goal:
        header += f"; goal: {goal}"
    REPORT.add(Table(title, header, ["case", "ns/op", "ratio"],
                     [[name, f"{v:.1f}", f"{ns[base] / v:.2f}x"] for name, v in ns.items()]))
    return ns


# ---------------------------------------------------------------------------
# Throughput against thread count

# One thread's loop, and the check of the result after all threads are done.
Loops = tuple[list[Callable[[], object]], Callable[[], None]]
# prepare(threads, ops_per_thread) -> Loops, on fresh state each time.
Prepare = Callable[[int, int], Loops]


def run_threads(loops: list[Callable[[], object]]) -> float:
    """Seconds from the moment all threads are released until the last ends."""
    barrier = threading.Barrier(len(loops) + 1)
    errors: list[BaseException] = []

    def body(loop: Callable[[], object]) -> None:
        barrier.wait()
        try:
            loop()
        except BaseException as exc:  # noqa: BLE001 - fails the run below
            errors.append(exc)

    workers = [threading.Thread(target=body, args=(loop,)) for loop in loops]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return elapsed


def scaling(primitive: str, peers: Sequence[tuple[str, Prepare]], total_ops: int,
            rounds: int = 5, goal: str = "", what: str = "operations") -> None:
    """Throughput of each peer at 1, 2, 4 and 8 threads, `total_ops` split
    evenly over the threads.

    Paired rounds: in each round every peer runs at every thread count back
    to back, and the round's ratio for N threads is its N-thread throughput
    over its 1-thread throughput. The table shows the median throughput and
    the median of those ratios, so a burst of load elsewhere cannot pair one
    round's best with another round's worst.
    """
    ops: dict[tuple[str, int], list[float]] = {}
    ratios: dict[tuple[str, int], list[float]] = {}
    for _ in range(rounds):
        for name, prepare in peers:
            one = 0.0
            for threads in THREADS:
                per_thread = total_ops // threads
                loops, check = prepare(threads, per_thread)
                rate = threads * per_thread / run_threads(loops)
                check()
                if threads == 1:
                    one = rate
                ops.setdefault((name, threads), []).append(rate)
                ratios.setdefault((name, threads), []).append(rate / one)
    rows = []
    plotted = REPORT.series.setdefault(primitive, {})
    for name, _ in peers:
        row = [name]
        for threads in THREADS:
            rate = statistics.median(ops[name, threads])
            plotted.setdefault(name, {})[threads] = rate
            cell = f"{rate / 1e6:.2f}M"
            if threads > 1:
                cell += f" ({statistics.median(ratios[name, threads]):.2f}x)"
            row.append(cell)
        rows.append(row)
    header = (f"{DIRECTION}: {what} per second, median of {rounds} rounds; in brackets the median over "
              f"paired rounds of N threads' throughput divided by one thread's")
    if goal:
        header += f"; goal: {goal}"
    REPORT.add(Table(f"{primitive}: throughput against threads", header,
                     ["peer"] + [f"{t} thread{'s' if t > 1 else ''}" for t in THREADS], rows))


def expect(what: str, got: object, want: object) -> None:
    """The check of a benchmark's result: a mismatch fails the run."""
    if got != want:
        raise BenchmarkError(f"{what}: got {got!r}, expected {want!r}")


# ---------------------------------------------------------------------------
# The earlier two-step interface, kept for modules written against it; it
# reports in the same direction as per_call().


def measure(cases: Sequence[tuple[str, Callable[[], object]]], n: int = 500_000,
            rounds: int = 9) -> list[tuple[str, float]]:
    """ns per call of each case (median of `rounds`, cases interleaved)."""
    samples: list[list[float]] = [[] for _ in cases]
    for _ in range(rounds):
        for i, (_, fn) in enumerate(cases):
            samples[i].append(_one_round(fn, n))
    return [(name, statistics.median(s)) for (name, _), s in zip(cases, samples)]


def report(title: str, rows: list[tuple[str, float]], base: str) -> None:
    """Adds a table of ns/op and throughput relative to the row named `base`."""
    floor = dict(rows)[base]
    REPORT.add(Table(title, f"{DIRECTION}: ns/op of '{base}' divided by the case's", ["case", "ns/op", "ratio"],
                     [[name, f"{ns:.1f}", f"{floor / ns:.2f}x"] for name, ns in rows]))
