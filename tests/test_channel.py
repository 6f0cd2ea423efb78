"""Channel: construction, the timeout rule, closing and draining, iteration,
references, MPMC on every flavour, close() waking every kind of waiter, the
asyncio adapters. (Objects whose native state was never built: test_frame.)"""

from __future__ import annotations

import asyncio
import collections
import gc
import sys
import threading
import time
import weakref
from collections.abc import Callable
from typing import Any

import pytest

from _quorvel import Channel, select
from conftest import run_concurrently


def _panic_class() -> type[BaseException]:
    # The module does not export PanicException; take it from a raised one.
    try:
        Channel().recv(float("nan"))
    except BaseException as exc:  # noqa: BLE001
        assert type(exc).__name__ == "PanicException"
        return type(exc)
    raise AssertionError("no panic")


PanicException = _panic_class()

FLAVOURS = [None, 0, 4]  # unbounded, rendezvous, bounded


class Token:
    """A weak-referenceable item whose identity the tests follow."""

    def __init__(self, producer: int = 0, seq: int = 0) -> None:
        self.producer, self.seq = producer, seq


def note(exc: BaseException) -> list[str]:
    return list(getattr(exc, "__notes__", []))


@pytest.mark.parametrize(
    ("arg", "expected"),
    [((), None), ((None,), None), ((0,), 0), ((5,), 5), ((-1,), ValueError("Capacity must be non-negative")),
     ((1.5,), TypeError), ((2**63,), OverflowError), ((2**40,), MemoryError)],
)
def test_construction(arg: tuple[Any, ...], expected: Any) -> None:
    if expected is None or isinstance(expected, int):
        assert Channel(*arg).capacity == expected
        return
    kind = expected if isinstance(expected, type) else type(expected)
    with pytest.raises(kind) as info:
        Channel(*arg)
    if not isinstance(expected, type):
        assert str(info.value) == str(expected)
    if kind in (TypeError, OverflowError):
        assert note(info.value) == ["while processing 'capacity'"]
    assert Channel.__text_signature__ == "(capacity=None)"
    assert Channel.recv_timeout.__text_signature__ == "($self, timeout)"


@pytest.mark.parametrize("capacity", FLAVOURS)
def test_round_trip_keeps_identity_and_order(capacity: int | None) -> None:
    ch = Channel(capacity)
    items = [Token(0, i) for i in range(50)]

    def produce() -> None:
        for x in items:
            ch.send(x)
        ch.close()

    got: list[Any] = []
    run_concurrently([produce, lambda: got.extend(ch)])
    assert len(got) == len(items) and all(a is b for a, b in zip(got, items))
    assert iter(ch) is ch and list(ch) == []


@pytest.mark.parametrize(
    ("capacity", "call", "exc", "message"),
    [
        (1, lambda ch: ch.try_send(Token()), RuntimeError, "Channel is full"),
        (0, lambda ch: ch.try_send(Token()), RuntimeError, "Channel is full"),
        (None, lambda ch: ch.try_recv(), RuntimeError, "Channel is empty"),
        (1, lambda ch: ch.send_timeout(Token(), 0.05), TimeoutError, "send() timed out waiting for channel capacity"),
        (0, lambda ch: ch.send(Token(), 0.05), TimeoutError, "send() timed out waiting for channel capacity"),
        (None, lambda ch: ch.recv_timeout(0.05), TimeoutError, "recv() timed out waiting for available item"),
        (0, lambda ch: ch.recv(timeout=0.05), TimeoutError, "recv() timed out waiting for available item"),
        (1, lambda ch: ch.recv(timeout=-1), ValueError, "Timeout must be non-negative"),
        (1, lambda ch: ch.send(Token(), -1), ValueError, "Timeout must be non-negative"),
        (None, lambda ch: ch.recv(float("nan")), PanicException,
         "cannot convert float seconds to Duration: value is either too big or NaN"),
        (None, lambda ch: ch.recv_timeout(float("inf")), PanicException,
         "cannot convert float seconds to Duration: value is either too big or NaN"),
        (1, lambda ch: ch.send_timeout(Token(), 2.0**64), PanicException,
         "cannot convert float seconds to Duration: value is either too big or NaN"),
    ],
)
def test_failures_leave_the_channel_as_it_was(capacity: int | None, call: Callable[[Channel], Any],
                                               exc: type[BaseException], message: str) -> None:
    ch = Channel(capacity)
    kept = Token()
    if capacity == 1:
        ch.send(kept)  # full; also makes `recv(timeout=-1)` find an item it must not take
    with pytest.raises(exc) as info:
        call(ch)
    assert str(info.value) == message
    if capacity == 1:
        assert ch.try_recv() is kept
    with pytest.raises(RuntimeError, match="Channel is empty"):
        ch.try_recv()


def test_timeout_conversion() -> None:
    ch = Channel()
    for bad, call in [(None, ch.recv_timeout), ("x", ch.recv)]:
        with pytest.raises(TypeError) as info:
            call(bad)
        assert note(info.value) == ["while processing 'timeout'"]

    class Secs:
        def __float__(self) -> float:
            return 0.01

    for timeout in (0, -0.0, Secs(), True):
        with pytest.raises(TimeoutError):
            ch.recv(timeout)
    ch.send(1)
    assert ch.recv(timeout=2.0**63) == 1  # beyond the clock's range: waits without a deadline
    # With free capacity a zero timeout may report either outcome, at random.
    outcomes = collections.Counter()
    for i in range(200):
        try:
            ch.send_timeout(i, 0)
            outcomes["sent"] += 1
        except TimeoutError:
            outcomes["timeout"] += 1
    assert outcomes["sent"] > 0 and outcomes["timeout"] > 0


def test_refcounts_on_every_failure_path() -> None:
    item = object()
    base = sys.getrefcount(item)
    full, closed, zero, dropped = Channel(1), Channel(), Channel(0), Channel(1)
    full.send(0)
    closed.close()
    op = dropped.send_op(item)
    dropped.try_send(0)
    del dropped
    attempts: list[Callable[[], Any]] = [
        lambda: full.try_send(item), lambda: full.send_timeout(item, 0.01), lambda: full.send(item, -1),
        lambda: full.send(item, "x"), lambda: full.send(item, float("nan")),
        lambda: closed.send(item), lambda: closed.try_send(item), lambda: closed.send_timeout(item, -1),
        lambda: closed.send_op(item), lambda: zero.try_send(item), lambda: zero.send(item, 0.01),
        lambda: select([op]), lambda: select([op, 1]), lambda: select([op], timeout=float("inf")),
    ]
    for attempt in attempts:
        with pytest.raises(BaseException):  # noqa: B017 - each path's own error is tested elsewhere
            attempt()
        assert sys.getrefcount(item) == base + 1, attempt  # only the SendOp's reference
    del op
    assert sys.getrefcount(item) == base


def test_closing_and_draining() -> None:
    ch = Channel(4)
    with ch as entered:
        assert entered is ch
        ch.send("a")
        ch.send("b")
    ch.close()  # idempotent
    for call in (lambda: ch.send(1), lambda: ch.send(1, -5), lambda: ch.send_timeout(1, 1),
                 lambda: ch.try_send(1), lambda: ch.send_op(1)):
        with pytest.raises(ValueError, match="^Channel is closed$"):
            call()
    assert [ch.recv(), ch.recv_timeout(1)] == ["a", "b"]
    for call in (ch.recv, ch.try_recv, lambda: ch.recv_timeout(1)):
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            call()

    # A SendOp made before close() keeps the data channel connected.
    ch = Channel(4)
    op = ch.send_op("late")
    ch.close()
    with pytest.raises(RuntimeError, match="^Channel is empty$"):
        ch.try_recv()
    with pytest.raises(ValueError, match="^Channel is closed and empty$"):
        ch.recv()
    for _ in range(200):  # its data arm and its close arm are both ready: either may be chosen
        try:
            assert select([op]) == (0, None)  # the op can still deliver ...
            break
        except ValueError as exc:
            assert str(exc) == "Selected channel is closed"
    else:
        pytest.fail("the data arm was never chosen")
    assert ch.recv() == "late"  # ... and receivers drain it
    assert list(ch) == []


SENT: list[weakref.ref[Token]] = []  # items of the waiting senders below


def tracked() -> Token:
    t = Token()
    SENT.append(weakref.ref(t))
    return t


SEND_WAITERS: dict[str, Callable[[Channel], Any]] = {
    "send": lambda ch: ch.send(tracked()),
    "send_timeout": lambda ch: ch.send_timeout(tracked(), 30),
    "select send": lambda ch: select([ch.send_op(tracked())]),
}
RECV_WAITERS: dict[str, Callable[[Channel], Any]] = {
    "recv": lambda ch: ch.recv(),
    "recv_timeout": lambda ch: ch.recv_timeout(30),
    "iteration": lambda ch: list(ch),
    "select recv": lambda ch: select([ch.recv_op()]),
}


@pytest.mark.parametrize("capacity", FLAVOURS)
@pytest.mark.parametrize("kind", [*SEND_WAITERS, *RECV_WAITERS])
def test_close_wakes_every_waiter(capacity: int | None, kind: str) -> None:
    sending = kind in SEND_WAITERS
    if sending and capacity is None:
        pytest.skip("sends on an unbounded channel never wait")
    ch = Channel(capacity)
    for _ in range(capacity or 0 if sending else 0):
        ch.send(Token())  # full, so that sends wait
    wait = (SEND_WAITERS | RECV_WAITERS)[kind]

    def waiter() -> str:
        try:
            return repr(wait(ch))
        except ValueError as exc:
            return str(exc)

    def closer() -> None:
        time.sleep(0.1)
        ch.close()

    SENT.clear()
    results = run_concurrently([waiter, waiter, waiter, closer], timeout=20)[:3]
    assert len(SENT) == (3 if sending else 0) and all(r() is None for r in SENT)  # each item released
    if sending:
        expected = "Selected channel is closed" if kind.startswith("select") else "Channel is closed"
    elif kind == "iteration":
        expected = "[]"
    else:
        expected = "Selected channel is closed and empty" if kind.startswith("select") else "Channel is closed and empty"
    assert results == [expected] * 3


@pytest.mark.parametrize("capacity", FLAVOURS)
def test_mpmc_delivers_every_item_once_in_producer_order(capacity: int | None) -> None:
    producers, consumers, per_producer = 3, 3, 2000
    ch = Channel(capacity)
    refs: list[weakref.ref[Token]] = []
    sent = [[Token(p, i) for i in range(per_producer)] for p in range(producers)]
    for batch in sent:
        refs.extend(weakref.ref(t) for t in batch)
    done = threading.Barrier(producers + 1)

    def produce(p: int) -> Callable[[], None]:
        def run() -> None:
            for i, t in enumerate(sent[p]):
                if i % 3 == 0:
                    ch.send(t)
                elif i % 3 == 1:
                    ch.send_timeout(t, 30)
                else:
                    select([ch.send_op(t)])
            done.wait(30)
        return run

    def consume() -> list[tuple[int, int]]:
        out = []
        for i, t in enumerate(ch):
            out.append((t.producer, t.seq))
            if i % 7 == 0 and capacity != 0:
                try:
                    t = ch.try_recv()
                    out.append((t.producer, t.seq))
                except (RuntimeError, ValueError):
                    pass
        return out

    def closer() -> None:
        done.wait(30)
        ch.close()

    got = run_concurrently([*(produce(p) for p in range(producers)), *(consume for _ in range(consumers)), closer])
    per_consumer = got[producers:producers + consumers]
    flat = [x for part in per_consumer for x in part]
    assert collections.Counter(flat) == collections.Counter((p, i) for p in range(producers) for i in range(per_producer))
    for part in per_consumer:  # each consumer sees every producer's items in order
        for p in range(producers):
            seqs = [i for q, i in part if q == p]
            assert seqs == sorted(seqs)
    del sent, batch, got, per_consumer, flat
    gc.collect()
    assert all(r() is None for r in refs)


@pytest.mark.parametrize("capacity", FLAVOURS)
def test_items_left_in_a_channel_are_freed_with_it(capacity: int | None) -> None:
    ch = Channel(capacity)
    refs = []
    for i in range(3 if capacity is None else (capacity or 0)):
        t = Token(0, i)
        refs.append(weakref.ref(t))
        ch.send(t)
    t = Token()
    op = ch.send_op(t)
    refs.append(weakref.ref(t))
    del t, op, ch
    assert all(r() is None for r in refs)


def test_asyncio_adapters() -> None:
    ch, full = Channel(), Channel(1)
    full.send("first")

    async def main() -> list[Any]:
        threading.Timer(0.05, ch.send, args=("later",)).start()
        threading.Timer(0.05, full.recv).start()
        got: list[Any] = [await ch.arecv(), await full.asend("second", timeout=5), full.try_recv()]
        for coro, message in [(ch.arecv(timeout=-1), "Timeout must be non-negative"),
                              (ch.arecv(0.05), "recv() timed out waiting for available item")]:
            try:
                await coro
            except (ValueError, TimeoutError) as exc:
                got.append(str(exc))
        await ch.asend("buffered")
        ch.close()
        got.append(await ch.arecv())
        for coro in (ch.asend("x"), ch.arecv()):
            try:
                await coro
            except ValueError as exc:
                got.append(str(exc))
        return got

    assert asyncio.run(main()) == [
        "later", None, "second", "Timeout must be non-negative", "recv() timed out waiting for available item",
        "buffered", "Channel is closed", "Channel is closed and empty",
    ]
    # Failures before scheduling raise at the call and take nothing away.
    item = object()
    base = sys.getrefcount(item)
    with pytest.raises(RuntimeError, match="no running event loop"):
        full.asend(item)
    with pytest.raises(TypeError) as info:
        full.arecv(timeout="x")
    assert note(info.value) == ["while processing 'timeout'"]
    assert sys.getrefcount(item) == base
    with pytest.raises(RuntimeError, match="Channel is empty"):
        full.try_recv()


def test_adapters_schedule_the_bound_methods_with_a_float_timeout() -> None:
    calls: list[tuple[str, tuple[Any, ...]]] = []
    originals = Channel.send, Channel.recv
    Channel.send = lambda self, *args: calls.append(("send", args))  # type: ignore[method-assign]
    Channel.recv = lambda self, *args: calls.append(("recv", args)) or "patched"  # type: ignore[method-assign]
    try:
        async def main() -> list[Any]:
            ch = Channel()
            return [await ch.arecv(), await ch.arecv(timeout=1), await ch.asend("x"), await ch.asend("y", True)]

        assert asyncio.run(main()) == ["patched", "patched", None, None]
    finally:
        Channel.send, Channel.recv = originals  # type: ignore[method-assign]
    assert calls == [("recv", (None,)), ("recv", (1.0,)), ("send", ("x", None)), ("send", ("y", 1.0))]
    assert [type(args[-1]) for _, args in calls] == [type(None), float, type(None), float]
