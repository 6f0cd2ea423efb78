"""RwLock and its guards: exclusion, recursion past a waiting writer, guard
state machine, thread affinity, release on deallocation, and waits that leave
the interpreter free.

A scenario that needs a thread to be waiting for the lock waits until that
thread is seen parked (conftest.wait_parked) instead of sleeping and hoping.
Every step that would block for ever on a fault runs on a thread joined with
a bound, so a fault fails the test with a message.
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
import re
import threading

import pytest

from _quorvel import AtomicBoolean, RwLock, RwLockReadGuard, RwLockWriteGuard
from conftest import WAIT, join, run_concurrently, start, wait_parked

TESTS = os.path.dirname(os.path.abspath(__file__))


def bounded(body: object) -> None:
    """Run `body` on a thread of its own, failing the test if it takes more
    than WAIT seconds (a lock that is never released)."""
    run_concurrently([body], timeout=WAIT)  # type: ignore[list-item]


def waiter(lock: RwLock, kind: str, entered: threading.Event | None = None) -> threading.Thread:
    """A thread that takes `kind` on `lock` and gives it back at once; wait_parked
    on it means it is parked in the lock (it does nothing else that sleeps)."""
    on_its_way = AtomicBoolean()

    def run() -> None:
        on_its_way.set(True)
        with getattr(lock, kind)():
            if entered is not None:
                entered.set()

    t = start(run)
    while not on_its_way.get():
        pass
    return t


class TestGuardStates:
    def test_read_and_write_take_nothing_until_entered(self) -> None:
        def body() -> None:
            lock = RwLock()
            unentered = [lock.read(), lock.read(), lock.write()]
            with lock.write():
                pass
            assert [type(g) for g in unentered] == [RwLockReadGuard, RwLockReadGuard, RwLockWriteGuard]

        bounded(body)

    def test_enter_returns_the_guard(self) -> None:
        lock = RwLock()
        guard = lock.read()
        with guard as entered:
            assert entered is guard

    def test_entering_twice_fails_and_the_guard_is_reusable(self) -> None:
        def body() -> None:
            lock = RwLock()
            g = lock.write()
            g.__enter__()
            with pytest.raises(RuntimeError, match="^Lock guard already entered$"):
                g.__enter__()
            assert g.__exit__(None, None, None) is None
            with lock.write():  # free again
                pass
            g.__enter__()
            g.__exit__(None, None, None)
            r = lock.read()
            r.__enter__()
            with pytest.raises(RuntimeError, match="^Lock guard already entered$"):
                r.__enter__()
            r.__exit__(None, None, None)
            with lock.write():
                pass

        bounded(body)

    def test_exit_of_an_unheld_guard_does_nothing(self) -> None:
        def body() -> None:
            lock = RwLock()
            assert lock.read().__exit__(None, None, None) is None
            assert lock.write().__exit__(ValueError, ValueError("x"), None) is None
            with lock.write():
                pass

        bounded(body)

    def test_docstrings(self) -> None:
        assert RwLock.read.__doc__ == "Prepare a read lock guard. Acquisition occurs upon entering the context."
        assert RwLockWriteGuard.__exit__.__text_signature__ == "($self, _exc_type, _exc_value, _traceback)"
        assert RwLockReadGuard.__doc__ is not None and "unsendable" in RwLockReadGuard.__doc__


class TestExclusion:
    def test_writer_waits_for_the_reader(self) -> None:
        lock = RwLock()
        writer_in = threading.Event()
        reader = lock.read()
        reader.__enter__()
        t = waiter(lock, "write", writer_in)
        assert wait_parked(t.native_id, done=writer_in.is_set), "the writer got in past the reader"
        reader.__exit__(None, None, None)
        assert writer_in.wait(WAIT)
        join(t)

    def test_a_second_read_passes_a_waiting_writer(self) -> None:
        # This thread already holds a read lock, and a writer is parked waiting
        # for it: a second read on this thread is recursive and enters anyway
        # (waiting would deadlock, the writer waiting for this very reader).
        lock = RwLock()
        writer_in = threading.Event()

        def body() -> None:
            with lock.read():
                t = waiter(lock, "write", writer_in)
                assert wait_parked(t.native_id, done=writer_in.is_set), "the writer got in past the reader"
                with lock.read():
                    assert not writer_in.is_set()
            assert writer_in.wait(WAIT)
            join(t, "writer")

        bounded(body)

    def test_new_reader_waits_behind_a_parked_writer(self) -> None:
        # Writer preference: once a writer waits, a reader that holds nothing
        # waits behind it, even though the lock is only read-held.
        lock = RwLock()
        writer_in, reader_in = threading.Event(), threading.Event()
        held = lock.read()
        held.__enter__()
        tw = waiter(lock, "write", writer_in)
        assert wait_parked(tw.native_id, done=writer_in.is_set)
        tr = waiter(lock, "read", reader_in)
        reader_parked = wait_parked(tr.native_id, done=reader_in.is_set)
        held.__exit__(None, None, None)
        join(tw, "writer")
        join(tr, "late reader")
        assert reader_parked, "a new reader entered past a waiting writer"

    def test_exception_in_the_body_propagates_and_frees_the_lock(self) -> None:
        lock = RwLock()
        with pytest.raises(KeyError):
            with lock.write():
                raise KeyError("boom")
        got_it = threading.Event()

        def other() -> None:
            with lock.write():
                got_it.set()

        join(start(other))
        assert got_it.is_set()

    def test_counter_under_the_write_lock_is_exact(self) -> None:
        lock = RwLock()
        state = {"a": 0, "b": 0}
        torn: list[tuple[int, int]] = []
        n = 3000

        def writer() -> None:
            for _ in range(n):
                with lock.write():
                    state["a"] += 1
                    state["b"] += 1

        def reader() -> None:
            for _ in range(n):
                with lock.read():
                    a, b = state["a"], state["b"]
                    if a != b:
                        torn.append((a, b))

        run_concurrently([writer, writer, reader, writer, reader])
        assert state == {"a": 3 * n, "b": 3 * n}
        assert torn == []

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_a_waiting_thread_leaves_the_interpreter_free(self, kind: str) -> None:
        # While one thread is parked waiting for the lock, gc.collect() on
        # another returns: it stops every attached thread, so a wait that kept
        # its thread attached would block it for good. In a child process,
        # which such a fault leaves stuck.
        code = textwrap.dedent(
            f"""
            import gc, sys, threading
            sys.path.insert(0, {TESTS!r})
            from conftest import wait_parked
            from test_rwlock import waiter
            from _quorvel import RwLock
            lock = RwLock()
            held = lock.write()
            held.__enter__()
            t = waiter(lock, {kind!r})
            assert wait_parked(t.native_id)
            gc.collect()
            print("collected", flush=True)
            held.__exit__(None, None, None)
            t.join()
            """
        )
        try:
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
        except subprocess.TimeoutExpired:
            pytest.fail(f"gc.collect() did not return while a thread waited to {kind}: the wait kept it attached")
        assert (out.returncode, out.stdout) == (0, "collected\n"), out.stderr


class TestLifetime:
    def test_deleting_the_lock_leaves_its_guards_working(self) -> None:
        def body() -> None:
            lock = RwLock()
            held = lock.write()
            spare = lock.read()
            held.__enter__()
            del lock
            gc.collect()
            held.__exit__(None, None, None)
            with spare:
                pass
            with spare:
                pass

        bounded(body)

    def test_deleting_an_entered_read_guard_releases_it_and_the_count(self) -> None:
        lock = RwLock()
        other_in, other_out = threading.Event(), threading.Event()

        def body() -> None:
            g = lock.read()
            g.__enter__()
            del g
            # The read lock is free: a writer gets in.
            join(start(lambda: lock.write().__enter__().__exit__(None, None, None)), "writer")

            # And this thread's held-read count is back to 0: with another
            # thread's reader inside and a writer parked, a new read from this
            # thread waits for the writer. A stale count would make the read
            # recursive and let it in at once.
            def other_reader() -> None:
                with lock.read():
                    other_in.set()
                    other_out.wait(WAIT)

            t1 = start(other_reader)
            assert other_in.wait(WAIT)
            t2 = waiter(lock, "write")
            assert wait_parked(t2.native_id)
            me = threading.get_native_id()
            read_done = threading.Event()

            def let_go_once_this_thread_waits() -> None:
                try:
                    wait_parked(me, done=read_done.is_set)
                finally:
                    other_out.set()

            t3 = start(let_go_once_this_thread_waits)
            with lock.read():  # on this thread, whose count must be 0
                waited = other_out.is_set()
            read_done.set()
            for t in (t1, t2, t3):
                join(t)
            assert waited, "the read passed the waiting writer: the dropped guard left this thread's count raised"

        bounded(body)

    def test_deleting_an_entered_write_guard_releases_it(self) -> None:
        lock = RwLock()
        g = lock.write()
        g.__enter__()
        del g
        join(start(lambda: lock.read().__enter__().__exit__(None, None, None)), "reader")


class TestThreadAffinity:
    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_use_on_another_thread_panics(self, kind: str) -> None:
        lock = RwLock()
        guard = getattr(lock, kind)()
        path = "_quorvel::lock::RwLock" + ("ReadGuard" if kind == "read" else "WriteGuard")
        errors: list[BaseException] = []

        def use() -> None:
            for call in (guard.__enter__, lambda: guard.__exit__(None, None, None)):
                try:
                    call()
                except BaseException as exc:  # noqa: BLE001
                    errors.append(exc)

        join(start(use))
        assert [type(exc).__name__ for exc in errors] == ["PanicException"] * 2
        # The caller on the left, the creator on the right, as process-unique
        # thread ids (never the OS ids, which the OS hands out again).
        pattern = (f"assertion `left == right` failed: {re.escape(path)} is unsendable, but sent to another thread\n"
                   r"  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)")
        found = [re.fullmatch(pattern, str(exc)) for exc in errors]
        assert all(found) and found[0].groups() == found[1].groups()  # type: ignore[union-attr]
        left, right = found[0].groups()  # type: ignore[union-attr]
        assert left != right
        with guard:  # still fine on its own thread
            pass

    def test_foreign_drop_leaks_the_held_lock_and_reports_it(self) -> None:
        # In a child process: the leaked lock stays held for good, so a reader
        # parks and never gets in.
        code = textwrap.dedent(
            f"""
            import sys, threading
            sys.path.insert(0, {TESTS!r})
            from conftest import wait_parked
            from test_rwlock import waiter
            from _quorvel import RwLock
            reports = []
            sys.unraisablehook = lambda u: reports.append((type(u.exc_value).__name__, str(u.exc_value)))
            lock = RwLock()
            box = []
            t = threading.Thread(target=lambda: box.append(lock.write().__enter__()))
            t.start(); t.join()
            box.clear()  # the guard dies on this thread, not its creator
            print(reports)
            entered = threading.Event()
            w = waiter(lock, "read", entered)
            print("held" if wait_parked(w.native_id, done=entered.is_set) else "free")
            sys.stdout.flush()
            import os; os._exit(0)
            """
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        reports, state = out.stdout.splitlines()
        assert reports == str([("RuntimeError",
                                "_quorvel::lock::RwLockWriteGuard is unsendable, but is being dropped on another thread")])
        assert state == "held"


def test_main_thread_writer_is_not_starved_by_overlapping_readers() -> None:
    # The main thread waits in slices (so Ctrl-C can end the wait), each a
    # timed park in the lock's queue: its claim must bar new readers, so it
    # gets in while the stream of readers never once leaves the lock free.
    assert threading.current_thread() is threading.main_thread()
    lock = RwLock()
    stop = threading.Event()
    rescue = threading.Timer(WAIT, stop.set)

    def reader() -> None:
        while not stop.is_set():
            with lock.read():
                stop.wait(0.002)

    readers = [threading.Thread(target=reader, daemon=True) for _ in range(4)]
    for t in readers:
        t.start()
    rescue.start()
    try:
        stop.wait(0.05)  # the readers overlap by now
        with lock.write():
            starved = stop.is_set()  # only the rescue timer let us in
    finally:
        stop.set()
        rescue.cancel()
        for t in readers:
            t.join(WAIT)
    assert not starved
