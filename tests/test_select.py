"""select() with RecvOp and SendOp, and Ctrl-C on the main thread while it is
blocked in a channel wait, a select() or an RwLock acquisition."""

from __future__ import annotations

import collections
import signal
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from _quorvel import Channel, RwLock, select
from conftest import run_concurrently
from test_channel import PanicException, note


class BadSequence(list):  # type: ignore[type-arg]
    """A sequence whose size query and iteration both fail."""

    def __len__(self) -> int:
        raise RuntimeError("no size")

    def __iter__(self) -> Iterator[Any]:
        raise KeyError("iteration failed")


@pytest.mark.parametrize(
    ("ops", "timeout", "exc", "message", "argument"),
    [
        ("ab", None, TypeError, "Can't extract `str` to `Vec`", "ops"),
        (5, None, TypeError, "'int' object is not an instance of 'Sequence'", "ops"),
        (BadSequence(), None, KeyError, "'iteration failed'", "ops"),
        ([], "x", TypeError, None, "timeout"),
        ([], None, ValueError, "Operations list cannot be empty", None),
        ((), 1, ValueError, "Operations list cannot be empty", None),
        ([1], None, TypeError, "Operations must be of type RecvOp or SendOp", None),
    ],
)
def test_argument_errors(ops: Any, timeout: Any, exc: type[BaseException], message: str | None,
                         argument: str | None) -> None:
    with pytest.raises(exc) as info:
        select(ops, timeout)
    if message is not None:
        assert str(info.value) == message
    assert note(info.value) == ([f"while processing '{argument}'"] if argument else [])


def test_results_and_reuse() -> None:
    a, b = Channel(), Channel()
    a.send("x")
    assert select([b.recv_op(), a.recv_op()]) == (1, "x")
    one = Channel(1)
    payload = object()
    op = one.send_op(payload)
    assert select((op,)) == (0, None)
    assert one.try_recv() is payload
    assert select([op]) == (0, None)  # the same SendOp sends its item again
    assert one.try_recv() is payload
    a.send("y")
    rop = a.recv_op()
    assert select([rop, rop]) in [(0, "y"), (1, "y")]


@pytest.mark.parametrize("timeout", [0, -5, -0.0, float("nan"), 0.05])
def test_timeouts(timeout: float) -> None:
    ch = Channel()
    with pytest.raises(TimeoutError, match="^select\\(\\) timed out waiting for ready channel$"):
        select([ch.recv_op(), ch.recv_op()], timeout)
    with pytest.raises(PanicException):
        select([ch.recv_op()], float("inf"))


def test_drain_and_close_outcomes() -> None:
    ch = Channel(4)
    op = ch.recv_op()
    ch.send("x")
    ch.send("y")
    ch.close()
    assert [select([op]), select([ch.recv_op()])] == [(0, "x"), (0, "y")]
    with pytest.raises(ValueError, match="^Selected channel is closed and empty$"):
        select([op])

    full = Channel(1)
    full.send(0)
    sop = full.send_op(1)
    full.close()
    with pytest.raises(ValueError, match="^Selected channel is closed$"):
        select([sop])
    # Every receiver gone: the data arm reports the disconnection.
    gone = Channel(1)
    sop = gone.send_op(1)
    del gone
    with pytest.raises(ValueError, match="^Selected channel is closed$"):
        select([sop])


@pytest.mark.parametrize("side", ["select sends", "select receives"])
def test_rendezvous_pairs_select_with_plain_calls(side: str) -> None:
    rounds = 300
    ch = Channel(0)
    items = [object() for _ in range(rounds)]

    def selecting() -> list[Any]:
        if side == "select sends":
            return [select([ch.send_op(x)]) for x in items]
        return [select([ch.recv_op()], timeout=30) for _ in items]

    def plain() -> list[Any]:
        if side == "select sends":
            return [ch.recv() for _ in items]
        for x in items:
            ch.send(x)
        return []

    picked, plain_got = run_concurrently([selecting, plain])
    if side == "select sends":
        assert picked == [(0, None)] * rounds and all(a is b for a, b in zip(plain_got, items))
    else:
        assert [i for i, _ in picked] == [0] * rounds and all(a is b for (_, a), b in zip(picked, items))


def test_ready_arms_are_chosen_at_random() -> None:
    a, b, c = Channel(), Channel(), Channel(1)
    for i in range(400):
        a.send(i)
        b.send(i)
    counts: collections.Counter[int] = collections.Counter()
    for _ in range(300):
        counts[select([a.recv_op(), b.recv_op(), c.send_op(0)])[0]] += 1
        if counts[2] and c.capacity == 1:
            try:
                c.try_recv()
            except RuntimeError:
                pass
    assert set(counts) == {0, 1, 2}
    assert min(counts.values()) > 30


def test_mpmc_through_select_only() -> None:
    producers, per = 3, 1500
    chans = [Channel(), Channel(8), Channel(0)]

    def produce(p: int) -> Callable[[], None]:
        return lambda: [select([ch.send_op((p, i)) for ch in chans]) for i in range(per)]

    received: list[Any] = []

    def consume() -> None:
        ops = [ch.recv_op() for ch in chans]
        while True:
            try:
                received.append(select(ops, timeout=30)[1])
            except ValueError:  # a channel was closed: the rest is drained below
                return

    consumers = [threading.Thread(target=consume, daemon=True) for _ in range(2)]
    for t in consumers:
        t.start()
    run_concurrently([produce(p) for p in range(producers)])
    for ch in chans:
        ch.close()
    for t in consumers:
        t.join(30)
        assert not t.is_alive()
    for ch in chans:
        received.extend(ch)
    assert collections.Counter(received) == collections.Counter((p, i) for p in range(producers) for i in range(per))


# ---------------------------------------------------------------------------
# Ctrl-C on the main thread


class Interrupted(Exception):
    pass


@pytest.fixture
def interrupt_soon() -> Iterator[Callable[[float], None]]:
    """Installs a SIGINT handler raising Interrupted; the returned function
    aims SIGINT at the main thread from a helper thread after a delay."""
    assert threading.current_thread() is threading.main_thread()

    def handler(signum: int, frame: Any) -> None:
        raise Interrupted

    old = signal.signal(signal.SIGINT, handler)
    timers: list[threading.Timer] = []

    def arm(delay: float) -> None:
        t = threading.Timer(delay, signal.pthread_kill, args=(threading.main_thread().ident, signal.SIGINT))
        timers.append(t)
        t.start()

    yield arm
    for t in timers:
        t.join(10)
    signal.signal(signal.SIGINT, old)


def _blocked_calls() -> dict[str, tuple[Callable[[], Channel], Callable[[Channel], Any]]]:
    def full() -> Channel:
        ch = Channel(1)
        ch.send("kept")
        return ch

    return {
        "recv": (Channel, lambda ch: ch.recv()),
        "recv_timeout": (Channel, lambda ch: ch.recv_timeout(20)),
        "iteration": (Channel, lambda ch: next(iter(ch))),
        "select": (Channel, lambda ch: select([ch.recv_op()])),
        "send": (full, lambda ch: ch.send("new")),
        "send_timeout": (lambda: Channel(0), lambda ch: ch.send_timeout("new", 20)),
        "select send": (full, lambda ch: select([ch.send_op("new")], timeout=20)),
    }


@pytest.mark.parametrize("name", list(_blocked_calls()))
def test_ctrl_c_interrupts_a_blocked_channel_wait(name: str, interrupt_soon: Callable[[float], None]) -> None:
    make, call = _blocked_calls()[name]
    ch = make()
    # Unblocks the call should the interrupt be lost, so a failure cannot hang.
    rescue = threading.Timer(20, ch.close)
    rescue.start()
    try:
        with pytest.raises(Interrupted):
            interrupt_soon(0.2)  # armed inside the block: even a late start cannot miss it
            call(ch)
        assert not rescue.finished.is_set()  # ended by the interrupt, not by the rescue
    finally:
        rescue.cancel()
    # Nothing was sent or taken: a sent item stays the caller's.
    expected = ["kept"] if ch.capacity == 1 else []
    ch.close()
    assert list(ch) == expected


@pytest.mark.parametrize("held", ["read", "write"])
@pytest.mark.parametrize("wanted", ["read", "write"])
def test_ctrl_c_interrupts_a_blocked_rwlock_wait(held: str, wanted: str,
                                                 interrupt_soon: Callable[[float], None]) -> None:
    if held == wanted == "read":
        pytest.skip("readers do not block each other")
    lock = RwLock()
    holding, release, released = threading.Event(), threading.Event(), threading.Event()

    def holder() -> None:
        with getattr(lock, held)():
            holding.set()
            release.wait(20)
        released.set()

    t = threading.Thread(target=holder, daemon=True)
    t.start()
    assert holding.wait(10)
    try:
        with pytest.raises(Interrupted):
            interrupt_soon(0.2)
            with getattr(lock, wanted)():
                pytest.fail("entered a lock that is held")
        assert not released.is_set()  # the wait ended while the lock was still held
    finally:
        release.set()
        t.join(10)
    # The interrupted wait did not take the lock: a writer gets in now.
    done = threading.Event()
    threading.Thread(target=lambda: (lock.write().__enter__(), done.set()), daemon=True).start()
    assert done.wait(10)


def test_ctrl_c_with_the_default_handler_raises_keyboard_interrupt() -> None:
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    ch = Channel()
    rescue = threading.Timer(20, ch.close)
    kill = threading.Timer(0.2, signal.pthread_kill, args=(threading.main_thread().ident, signal.SIGINT))
    rescue.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            kill.start()
            ch.recv()
        assert not rescue.finished.is_set()
    finally:
        rescue.cancel()
        kill.join(10)
        signal.signal(signal.SIGINT, old)
    ch.send("after")
    assert ch.recv() == "after"
