"""Reference-leak hunting for the pytest suite, after CPython's `regrtest -R`.

Loaded as a pytest plugin (`-p refleak`, with scripts/ on sys.path) under a
--with-pydebug interpreter and enabled by `--refleak=WARMUP:RUNS`. Each test
file's tests are then run WARMUP + RUNS times in a row, in-process. After each
round the garbage collector runs and two counters are read:

  sys.gettotalrefcount()    references held anywhere in the process
  sys.getallocatedblocks()  blocks live in the interpreter's allocator

The warm-up rounds fill the caches that legitimately grow once (interned
strings, type caches, lazily imported modules). A file leaks when a counter
grows in every one of the measured rounds: a genuine leak grows it each time,
while noise from caches goes up and down. That is regrtest's rule, kept as is
so its results compare.

Guarantee: every test of every file is run and reported (the last round is
logged as usual; a failure in any round fails the test); the session fails
when any file leaks, with the per-round deltas printed.
"""

from __future__ import annotations

import gc
import linecache
import sys
from collections import defaultdict
from typing import Any

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--refleak", default=None, metavar="WARMUP:RUNS",
                     help="run each test file's tests WARMUP+RUNS times and fail on reference or block leaks")


def _settle() -> tuple[int, int]:
    # As regrtest does: empty the caches that hold strong references and are
    # refilled at will (type attribute cache, source lines), then collect in
    # several passes (finalizers run in one pass may free more in the next).
    # Strings interned as immortal live until the interpreter ends; they are
    # not counted as blocks.
    linecache.clearcache()
    clear = getattr(sys, "_clear_internal_caches", sys._clear_type_cache)
    clear()
    for _ in range(3):
        gc.collect()
    interned = 0
    try:
        interned = sys.getunicodeinternedsize(_only_immortal=True)  # type: ignore[call-arg]
    except (AttributeError, TypeError):
        pass
    return sys.gettotalrefcount(), sys.getallocatedblocks() - interned


def _leaking(deltas: list[int]) -> bool:
    return all(d >= 1 for d in deltas)


class RefleakRunner:
    def __init__(self, warmup: int, runs: int) -> None:
        self.warmup = warmup
        self.runs = runs
        self.leaks: list[str] = []
        self.lines: list[str] = []

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session: pytest.Session) -> bool:
        if session.testsfailed and not session.config.option.continue_on_collection_errors:
            raise session.Interrupted(f"{session.testsfailed} errors during collection")
        if session.config.option.collectonly:
            return True
        groups: dict[str, list[pytest.Item]] = defaultdict(list)
        unmeasured: list[pytest.Item] = []
        for item in session.items:
            # numpy's wheels are built for the release ABI: their inline
            # reference counting does not update a debug build's total, so
            # a test that drives numpy objects drifts the count with nothing
            # leaked. Such tests run once, after the measured rounds.
            if "numpy" in item.name:
                unmeasured.append(item)
            else:
                groups[str(item.path)].append(item)
        total = self.warmup + self.runs
        for path, items in groups.items():
            # Nothing the loop itself keeps may grow from round to round: the
            # deltas go into lists made up front (small ints are shared, so
            # storing a zero allocates nothing), the previous reading is
            # rebound (the old int is freed as the new one is made), and the
            # reports of only the latest round are held.
            ref_deltas = [0] * self.runs
            block_deltas = [0] * self.runs
            first_failure: dict[str, Any] = {}
            reports: list[Any] = []
            prev_refs, prev_blocks = _settle()
            for round_no in range(total):
                reports = []
                for item in items:
                    # Captured output is kept on the item, one section per
                    # run: only the latest run's is wanted.
                    item._report_sections.clear()
                    for rep in runtestprotocol(item, log=False, nextitem=None):
                        reports.append(rep)
                        if rep.failed:
                            first_failure.setdefault(item.nodeid, rep)
                    if session.shouldstop:
                        raise session.Interrupted(str(session.shouldstop))
                refs, blocks = _settle()
                if round_no >= self.warmup:
                    ref_deltas[round_no - self.warmup] = refs - prev_refs
                    block_deltas[round_no - self.warmup] = blocks - prev_blocks
                prev_refs, prev_blocks = refs, blocks
            # Reported once, as a normal run reports: the last round's
            # outcome, or the first failure of an item that failed in any
            # round.
            for rep in reports:
                earlier = first_failure.get(rep.nodeid)
                if earlier is not None and rep.when == "call" and not rep.failed:
                    rep = earlier
                session.ihook.pytest_runtest_logreport(report=rep)
            self._judge(path, ref_deltas, block_deltas)
        for i, item in enumerate(unmeasured):
            nxt = unmeasured[i + 1] if i + 1 < len(unmeasured) else None
            item.ihook.pytest_runtest_protocol(item=item, nextitem=nxt)
        return True

    def _judge(self, path: str, ref_deltas: list[int], block_deltas: list[int]) -> None:
        name = path.rsplit("/", 1)[-1]
        line = f"{name}: references {ref_deltas}, blocks {block_deltas}"
        self.lines.append(line)
        if _leaking(ref_deltas) or _leaking(block_deltas):
            self.leaks.append(line)

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        tr = terminalreporter
        tr.section(f"reference leaks ({self.warmup} warm-up + {self.runs} measured rounds per file)")
        for line in self.lines:
            tr.write_line(("LEAK  " if line in self.leaks else "ok    ") + line)

    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        if self.leaks and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_configure(config: pytest.Config) -> None:
    rounds = config.getoption("--refleak")
    if not rounds:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs an interpreter built --with-pydebug")
    # The free-threaded 3.13 interpreter makes every new class and function
    # immortal once a second thread has run, so each test that defines a
    # class would seem to leak it. regrtest turns that off while hunting
    # leaks (gh-117783); so does this runner.
    try:
        import _testinternalcapi
        _testinternalcapi.suppress_immortalization(True)
    except (ImportError, AttributeError):
        pass
    warmup, _, runs = rounds.partition(":")
    config.pluginmanager.register(RefleakRunner(int(warmup), int(runs or 3)), "refleak-runner")
