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
import sys
from collections import defaultdict
from typing import Any

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--refleak", default=None, metavar="WARMUP:RUNS",
                     help="run each test file's tests WARMUP+RUNS times and fail on reference or block leaks")


def _settle() -> tuple[int, int]:
    # Several passes: finalizers run in one pass may free more in the next.
    # The type attribute cache holds strong references and is refilled at
    # will, so it is emptied before reading the counters.
    for _ in range(3):
        gc.collect()
    sys._clear_type_cache()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


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
        for item in session.items:
            groups[str(item.path)].append(item)
        total = self.warmup + self.runs
        for path, items in groups.items():
            refs: list[int] = []
            blocks: list[int] = []
            failed: set[str] = set()
            for round_no in range(total):
                last = round_no == total - 1
                for item in items:
                    if last:
                        # The last round reports as a normal run does, with
                        # any failure of an earlier round added to it.
                        item.ihook.pytest_runtest_protocol(item=item, nextitem=None)
                        if item.nodeid in failed:
                            self._fail_item(item, "failed in an earlier repetition")
                    else:
                        for rep in runtestprotocol(item, log=False, nextitem=None):
                            if rep.failed:
                                failed.add(item.nodeid)
                    if session.shouldstop:
                        raise session.Interrupted(str(session.shouldstop))
                r, b = _settle()
                refs.append(r)
                blocks.append(b)
            self._judge(path, refs, blocks)
        return True

    def _fail_item(self, item: pytest.Item, why: str) -> None:
        rep = pytest.TestReport(item.nodeid, item.location, {}, "failed", why, "call")
        item.ihook.pytest_runtest_logreport(report=rep)

    def _judge(self, path: str, refs: list[int], blocks: list[int]) -> None:
        w = self.warmup
        ref_deltas = [refs[i] - refs[i - 1] for i in range(w, len(refs))]
        block_deltas = [blocks[i] - blocks[i - 1] for i in range(w, len(blocks))]
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
    spec = config.getoption("--refleak")
    if not spec:
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs an interpreter built --with-pydebug")
    warmup, _, runs = spec.partition(":")
    config.pluginmanager.register(RefleakRunner(int(warmup), int(runs or 3)), "refleak-runner")
