"""Shared helpers for the Python tests: bounded thread runs."""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any

import pytest

JOIN_TIMEOUT = 60.0


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


@pytest.fixture(scope="session", autouse=True)
def _free_threaded() -> None:
    if not hasattr(sys, "_is_gil_enabled"):
        pytest.exit("the tests need a free-threaded interpreter", returncode=2)
