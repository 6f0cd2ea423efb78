"""ThreadPool: results and errors in futures, contexts, shutdown and
cancellation, the standard wait helpers over cancelled futures, a pool shut
down or dropped by its own task, reference release and deallocation."""

from __future__ import annotations

import concurrent.futures as cf
import contextvars
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref
from collections import Counter
from typing import Any

import pytest

from _quorvel import ThreadPool
from conftest import run_concurrently

WAIT = 10.0  # upper bound for anything that must happen
SETTLE = 0.2  # time given to something that must NOT happen


def run_script(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter; a hang fails the test."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)


class Blocker:
    """A task that signals it started and then waits to be released."""

    def __init__(self) -> None:
        self.started = threading.Event()
        self.release = threading.Event()

    def __call__(self) -> str:
        self.started.set()
        assert self.release.wait(WAIT)
        return "released"


class TestConstruction:
    def test_worker_count(self) -> None:
        # W tasks meeting at a barrier of W parties finish only if W workers
        # run at once; one more party would never arrive.
        default = len(os.sched_getaffinity(0))
        for pool, workers in ((ThreadPool(), default), (ThreadPool(None), default), (ThreadPool(3), 3)):
            barrier = threading.Barrier(workers, timeout=WAIT)
            futures = [pool.submit(barrier.wait) for _ in range(workers)]
            assert sorted(f.result(WAIT) for f in futures) == list(range(workers))
            pool.shutdown()

    @pytest.mark.parametrize(("arg", "exc", "message"), [
        (0, ValueError, "num_workers must be greater than zero"),
        (-3, ValueError, "num_workers must be greater than zero"),
        ("2", TypeError, None),
        (2**63, OverflowError, None),
    ])
    def test_bad_worker_counts(self, arg: Any, exc: type[BaseException], message: str | None) -> None:
        with pytest.raises(exc) as info:
            ThreadPool(arg)
        if message is not None:
            assert str(info.value) == message
        else:
            assert info.value.__notes__ == ["while processing 'num_workers'"]

    def test_future_class_is_captured_at_construction(self, monkeypatch: pytest.MonkeyPatch) -> None:
        pool = ThreadPool(1)

        class Other(cf.Future):  # type: ignore[type-arg]
            pass

        monkeypatch.setattr(cf, "Future", Other)
        f = pool.submit(int)
        assert type(f) is not Other and isinstance(f, cf._base.Future)
        assert type(ThreadPool(1).submit(int)) is Other
        pool.shutdown()


class TestTasks:
    def test_results_and_exceptions_land_in_futures(self) -> None:
        class Fatal(BaseException):
            pass

        def raise_(exc: BaseException) -> None:
            raise exc

        pool = ThreadPool(2)
        ok = pool.submit(lambda a, b, *, c: (a, b, c), 1, 2, c=3)
        none = pool.submit(lambda: None)
        value_error = pool.submit(raise_, ValueError("bad"))
        fatal = pool.submit(raise_, Fatal("base"))
        not_callable = pool.submit(42)  # type: ignore[arg-type]
        after = pool.submit(lambda: "still working")
        assert isinstance(ok, cf.Future)
        assert ok.result(WAIT) == (1, 2, 3)
        assert none.result(WAIT) is None
        assert str(value_error.exception(WAIT)) == "bad" and type(value_error.exception()) is ValueError
        assert type(fatal.exception(WAIT)) is Fatal
        assert type(not_callable.exception(WAIT)) is TypeError
        assert after.result(WAIT) == "still working"
        pool.shutdown()

    def test_futures_work_with_asyncio(self) -> None:
        import asyncio

        pool = ThreadPool(2)

        async def gather() -> list[int]:
            wrapped = [asyncio.wrap_future(pool.submit(pow, 2, i)) for i in range(10)]
            return await asyncio.wait_for(asyncio.gather(*wrapped), WAIT)

        assert asyncio.run(gather()) == [2**i for i in range(10)]
        pool.shutdown()

    def test_one_worker_runs_jobs_in_submission_order(self) -> None:
        pool = ThreadPool(1)
        seen: list[int] = []
        for i in range(200):
            pool.submit(seen.append, i)
        pool.shutdown(wait=True)
        assert seen == list(range(200))

    def test_context_is_copied_at_submit(self) -> None:
        var: contextvars.ContextVar[str] = contextvars.ContextVar("var", default="default")
        pool = ThreadPool(1)

        def read_then_write() -> str:
            before = var.get()
            var.set("changed by task")
            return before

        token = var.set("submitter")
        first = pool.submit(read_then_write)
        var.reset(token)
        second = pool.submit(var.get)
        assert first.result(WAIT) == "submitter"
        assert second.result(WAIT) == "default"  # neither the task's change nor a stale copy
        assert var.get() == "default"
        pool.shutdown()

    def test_many_threads_submitting_run_every_job_exactly_once(self) -> None:
        pool = ThreadPool(4)
        runs: Counter[tuple[int, int]] = Counter()
        lock = threading.Lock()

        def job(key: tuple[int, int]) -> tuple[int, int]:
            with lock:
                runs[key] += 1
            return key

        def submitter(t: int) -> list[cf.Future[tuple[int, int]]]:
            return [pool.submit(job, (t, i)) for i in range(2000)]

        batches = run_concurrently([lambda t=t: submitter(t) for t in range(8)])  # type: ignore[misc]
        results = [f.result(WAIT) for batch in batches for f in batch]
        assert Counter(results) == Counter((t, i) for t in range(8) for i in range(2000))
        assert set(runs.values()) == {1} and len(runs) == 16000
        pool.shutdown()


class TestShutdown:
    def test_submit_after_shutdown_and_repeated_shutdown(self) -> None:
        pool = ThreadPool(2)
        assert pool.shutdown() is None
        with pytest.raises(RuntimeError, match="^ThreadPool is shutdown$"):
            pool.submit(print)
        assert pool.shutdown(wait=True, cancel_futures=True) is None

    @pytest.mark.parametrize("wait", [True, False])
    def test_queued_jobs_run_after_shutdown(self, wait: bool) -> None:
        pool = ThreadPool(1)
        blocker = Blocker()
        first = pool.submit(blocker)
        queued = [pool.submit(lambda i=i: i) for i in range(20)]  # type: ignore[misc]
        assert blocker.started.wait(WAIT)
        if wait:
            threading.Timer(SETTLE, blocker.release.set).start()
            pool.shutdown(wait=True)
            assert all(f.done() for f in queued)  # joined only after the queue drained
        else:
            pool.shutdown(wait=False)  # returns while a job is still blocked
            assert not first.done()
            blocker.release.set()
        assert [f.result(WAIT) for f in queued] == list(range(20))
        assert first.result(WAIT) == "released"

    def test_cancel_futures_cancels_only_jobs_not_started(self) -> None:
        pool = ThreadPool(1)
        blocker = Blocker()
        called: list[int] = []
        running = pool.submit(blocker)
        queued = [pool.submit(called.append, i) for i in range(10)]
        assert blocker.started.wait(WAIT)
        threading.Timer(SETTLE, blocker.release.set).start()
        pool.shutdown(wait=True, cancel_futures=True)
        assert running.result(WAIT) == "released"
        assert all(f.cancelled() for f in queued)
        assert called == []

    def test_wait_helpers_return_for_futures_cancelled_by_shutdown(self) -> None:
        # The standard helpers learn of a cancellation only through
        # set_running_or_notify_cancel(); without it they wait out the time-out.
        pool = ThreadPool(1)
        blocker = Blocker()
        pool.submit(blocker)
        queued = [pool.submit(time.sleep, 0) for _ in range(5)]
        assert blocker.started.wait(WAIT)
        pool.shutdown(wait=False, cancel_futures=True)
        blocker.release.set()
        done, not_done = cf.wait(queued, timeout=WAIT)
        assert not_done == set() and all(f.cancelled() for f in done)
        assert set(cf.as_completed(queued, timeout=WAIT)) == set(queued)

    def test_holder_cancel_still_runs_the_task_and_notifies_waiters(self) -> None:
        pool = ThreadPool(1)
        blocker = Blocker()
        pool.submit(blocker)
        ran = threading.Event()
        pending = pool.submit(ran.set)
        assert pending.cancel()  # before a worker took it
        inflight = Blocker()
        running = pool.submit(inflight)
        blocker.release.set()
        assert inflight.started.wait(WAIT)
        assert not running.running()  # the pool never marks a future running
        assert running.cancel()
        inflight.release.set()
        done, not_done = cf.wait([pending, running], timeout=WAIT)
        assert not_done == set()
        assert ran.is_set() and pending.cancelled() and running.cancelled()
        pool.shutdown()

    def test_submit_during_a_waiting_shutdown_gets_the_access_error(self) -> None:
        pool = ThreadPool(2)

        def try_submit() -> str:
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                try:
                    pool.submit(int)
                except RuntimeError as exc:
                    return str(exc)
                time.sleep(0.001)
            return "shutdown never started"

        probe = pool.submit(try_submit)
        time.sleep(SETTLE)
        pool.shutdown(wait=True)  # waits for the probe, which sees it waiting
        assert probe.result(WAIT) == "Already mutably borrowed"


class TestLifetime:
    def test_dropping_the_pool_runs_queued_jobs_first(self) -> None:
        pool = ThreadPool(1)
        ref = weakref.ref(pool)
        blocker = Blocker()
        futures = [pool.submit(blocker)] + [pool.submit(lambda i=i: i) for i in range(10)]  # type: ignore[misc]
        assert blocker.started.wait(WAIT)
        threading.Timer(SETTLE, blocker.release.set).start()
        del pool  # joins: returns once every queued job has run
        assert ref() is None
        assert all(f.done() for f in futures)
        assert [f.result() for f in futures[1:]] == list(range(10))

    @pytest.mark.parametrize("cancel", [False, True])
    def test_job_references_are_released(self, cancel: bool) -> None:
        class Obj:
            def __call__(self, *args: Any, **kwargs: Any) -> Obj:
                return Obj()

        pool = ThreadPool(1)
        blocker = Blocker()
        pool.submit(blocker)
        func, arg, kwarg = Obj(), Obj(), Obj()
        refs = [weakref.ref(o) for o in (func, arg, kwarg)]
        future = pool.submit(func, arg, k=kwarg)
        future_ref = weakref.ref(future)
        del func, arg, kwarg
        assert blocker.started.wait(WAIT)
        threading.Timer(SETTLE, blocker.release.set).start()
        pool.shutdown(wait=True, cancel_futures=cancel)
        assert future.cancelled() is cancel
        result_ref = None if cancel else weakref.ref(future.result())
        del future
        gc.collect()
        assert [r() for r in refs] == [None, None, None]
        assert future_ref() is None and (result_ref is None or result_ref() is None)

    @pytest.mark.parametrize("how", ["shutdown", "drop"])
    def test_task_that_ends_its_own_pool_returns(self, how: str) -> None:
        # Joining the calling worker from itself could never finish.
        out = run_script(f"""
            import threading
            from _quorvel import ThreadPool
            holder = {{"pool": ThreadPool(2)}}
            done = threading.Event()
            def task():
                if "{how}" == "shutdown":
                    holder["pool"].shutdown(wait=True)
                else:
                    del holder["pool"]  # the last reference: deallocation on this worker
                done.set()
                return "ok"
            f = holder["pool"].submit(task)
            if "{how}" == "drop":
                pool = None
            assert done.wait(20), "the task never returned"
            print(f.result(20))
        """)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "ok"

    @pytest.mark.parametrize("task", ["time.sleep(1)", "spin(1)", "[time.sleep(0.01) for _ in range(100)]"])
    def test_exit_with_a_task_still_running_does_not_hang(self, task: str) -> None:
        # The module's pool is dropped while the interpreter finalizes, when
        # its busy worker can never return from the task to be joined.
        out = run_script(f"""
            import time
            from _quorvel import ThreadPool
            def spin(seconds):
                end = time.monotonic() + seconds
                while time.monotonic() < end:
                    pass
            pool = ThreadPool(2)
            queued = [pool.submit(lambda: {task}) for _ in range(4)]
            time.sleep(0.1)
            print("exiting")
        """)
        assert out.returncode == 0, out.stderr
        assert out.stdout == "exiting\n"

    def test_forked_child_neither_queues_nor_joins(self) -> None:
        # The child has no workers: a queued job would never run, a join never end.
        out = run_script("""
            import os, warnings
            from _quorvel import ThreadPool
            warnings.simplefilter("ignore", DeprecationWarning)
            pool = ThreadPool(2)
            assert pool.submit(int, "3").result(10) == 3
            pid = os.fork()
            if pid == 0:
                try:
                    pool.submit(int, "4")
                except RuntimeError as exc:
                    print("child:", exc, flush=True)
                pool.shutdown(wait=True)
                del pool
                print("child done", flush=True)
                os._exit(0)
            os.waitpid(pid, 0)
            print("parent:", pool.submit(int, "5").result(10))
        """)
        assert out.stdout.split("\n") == [
            "child: Failed to submit task to worker threads", "child done", "parent: 5", ""], out.stderr

    def test_uninitialized_instance_refuses_every_call(self) -> None:
        out = run_script("""
            import weakref
            from _quorvel import ThreadPool
            ThreadPool.__new__ = staticmethod(lambda cls, *a, **k: object.__new__(cls))
            pool = ThreadPool(2)
            for call in (lambda: pool.submit(print), lambda: pool.shutdown()):
                try:
                    call()
                except TypeError as exc:
                    print(exc)
            ref = weakref.ref(pool)
            del pool
            print("dropped", ref())
        """)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split("\n")[:3] == ["ThreadPool object is not initialized"] * 2 + ["dropped None"]

    def test_refused_thread_raises_panic(self) -> None:
        # An address-space limit just above what the process uses leaves no
        # room for a 2 MiB worker stack.
        out = run_script("""
            import concurrent.futures, resource
            from _quorvel import ThreadPool
            status = open("/proc/self/status").read()
            used = int(status.split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), resource.RLIM_INFINITY))
            try:
                ThreadPool(4)
            except BaseException as exc:
                print(type(exc).__name__, str(exc).split(":")[0])
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            print(ThreadPool(2).submit(int, "5").result(10))
        """)
        assert out.stdout.split("\n")[:2] == ["PanicException failed to spawn thread", "5"], out.stderr
