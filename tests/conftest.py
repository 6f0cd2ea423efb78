"""Shared helpers for the Python tests: bounded thread runs, and waiting until
a thread is asleep in the kernel (parked in a lock) rather than guessing with
a sleep.

Every wait here has a bound; a fault that would block for ever fails the test
with a message instead.
"""

from __future__ import annotations

import os
import platform
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import pytest

JOIN_TIMEOUT = 60.0
WAIT = 10.0  # upper bound for anything that must happen

# Model-based fuzzing (tests/test_fuzz_*.py): `make test` runs the short
# profile, `make fuzz` the long one (HYPOTHESIS_PROFILE=long). No example
# database: runs stay independent of each other and of the work tree.
try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the fuzz tests skip themselves then
    pass
else:
    _common = dict(database=None, deadline=None, print_blob=True,
                   suppress_health_check=[HealthCheck.too_slow])
    settings.register_profile("short", max_examples=60, stateful_step_count=30, **_common)
    settings.register_profile("long", max_examples=3000, stateful_step_count=100, **_common)
    # Under the reference-leak runner every round must draw the same
    # examples, or hypothesis' own caches would grow like a leak.
    settings.register_profile("refleak", max_examples=30, stateful_step_count=20,
                              derandomize=True, **_common)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE",
                                         "refleak" if os.environ.get("QUORVEL_REFLEAK") else "short"))


def pytest_configure(config: pytest.Config) -> None:
    # Checked before any test module imports _quorvel: a build with the GIL,
    # or a free-threaded one run with PYTHON_GIL=1, would quietly turn every
    # concurrency test into a sequential one. (test_module checks that
    # importing the module keeps the GIL off.)
    gil_enabled = getattr(sys, "_is_gil_enabled", None)
    if gil_enabled is None or gil_enabled():
        raise pytest.UsageError("the tests need a free-threaded interpreter running without the GIL")


def run_concurrently(fns: Sequence[Callable[[], Any]], timeout: float = JOIN_TIMEOUT) -> list[Any]:
    """Run each callable on its own thread, started together on a barrier.

    Returns the results in order. Re-raises the first exception a thread
    raised. A thread still running after `timeout` seconds fails the test
    instead of hanging it.
    """
    barrier = threading.Barrier(len(fns))
    results: list[Any] = [None] * len(fns)
    errors: list[BaseException] = []

    def runner(i: int, fn: Callable[[], Any]) -> None:
        try:
            barrier.wait(timeout)
            results[i] = fn()
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            errors.append(exc)

    threads = [threading.Thread(target=runner, args=(i, fn), daemon=True) for i, fn in enumerate(fns)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
        if t.is_alive():
            pytest.fail(f"thread did not finish within {timeout} s")
    if errors:
        raise errors[0]
    return results


def start(fn: Callable[[], object]) -> threading.Thread:
    t = threading.Thread(target=fn, daemon=True)
    t.start()
    return t


def join(t: threading.Thread, what: str = "thread") -> None:
    t.join(WAIT)
    assert not t.is_alive(), f"{what} did not finish within {WAIT} s"


# The futex system call, in which a thread sleeps while parked in a lock.
_FUTEX = {"x86_64": 202, "aarch64": 98}.get(platform.machine())


def is_parked(native_id: int) -> bool:
    """Whether the thread sleeps in the kernel's futex wait right now."""
    if _FUTEX is None:
        pytest.skip(f"the futex call number of {platform.machine()} is not known here")
    try:
        with open(f"/proc/self/task/{native_id}/syscall") as f:
            return f.read().split(" ", 1)[0] == str(_FUTEX)
    except FileNotFoundError:  # the thread has ended
        return False
    except PermissionError:
        pytest.skip("this system does not show a thread's current system call")


def wait_parked(native_id: int, done: Callable[[], bool] = lambda: False) -> bool:
    """Wait until the thread is parked, or until `done()` is true.

    Returns True for parked. Call it once the thread is on its way into the
    blocking call and does nothing else that sleeps. A thread seen asleep twice
    in a row, a millisecond apart, is taken as parked: the futex waits of
    anything else on that path are far shorter. Neither state within WAIT
    seconds fails the test.
    """
    deadline = time.monotonic() + WAIT
    seen = 0
    while time.monotonic() < deadline:
        if done():
            return False
        seen = seen + 1 if is_parked(native_id) else 0
        if seen == 2:
            return True
        time.sleep(0.001)
    pytest.fail(f"thread {native_id} neither parked nor finished within {WAIT} s")
