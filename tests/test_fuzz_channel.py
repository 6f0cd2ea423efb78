"""Channel driven by hypothesis against a collections.deque model.

One channel of each flavour (unbounded, bounded, rendezvous) lives in the
machine, with its model: the buffered items in order, the capacity, whether
it is closed, and the SendOp objects still alive (each keeps the data channel
connected, which decides between "empty" and "closed and empty"). Every call
is one a single thread can make without blocking, so the model knows the
whole state: blocking calls only where they return at once, and time-outs of
zero, whose outcome may be the operation or the time-out (the deadline
competes with the ready arms), never anything else. Items are fresh objects,
checked by identity: delivered once, in order, never duplicated or lost.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any

import pytest

pytest.importorskip("hypothesis")
import _quorvel  # noqa: E402

if not hasattr(_quorvel, "Channel"):
    pytest.skip("this build has no Channel", allow_module_level=True)

from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule  # noqa: E402

Channel, select = _quorvel.Channel, _quorvel.select

CLOSED = "Channel is closed"
CLOSED_EMPTY = "Channel is closed and empty"


@dataclass
class Model:
    ch: Any
    cap: int | None
    items: deque[Any] = field(default_factory=deque)
    closed: bool = False
    send_ops: list[Any] = field(default_factory=list)

    def room(self) -> bool:
        return self.cap is None or len(self.items) < self.cap

    def connected(self) -> bool:
        # The Channel's own sender until close(); then only SendOps.
        return not self.closed or bool(self.send_ops)


def raises(exc: type[BaseException], msg: str, fn: Any, *args: Any) -> None:
    with pytest.raises(exc) as info:
        fn(*args)
    assert str(info.value) == msg


class ChannelMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.models: list[Model] = []
        self.counter = 0
        self.fresh_channels(2)

    def item(self) -> list[int]:
        self.counter += 1
        return [self.counter]

    @rule(cap=st.integers(1, 4))
    def fresh_channels(self, cap: int) -> None:
        for m in self.models:
            m.send_ops.clear()
        self.models = [Model(Channel(), None), Model(Channel(cap), cap), Model(Channel(0), 0)]

    chans = st.integers(0, 2)

    @rule(c=chans, how=st.sampled_from(["try_send", "send", "send_timeout0", "send_none"]))
    def send(self, c: int, how: str) -> None:
        m, x = self.models[c], self.item()
        call = {"try_send": lambda: m.ch.try_send(x), "send": lambda: m.ch.send(x),
                "send_timeout0": lambda: m.ch.send_timeout(x, 0),
                "send_none": lambda: m.ch.send(x, timeout=None)}[how]
        if m.closed:
            raises(ValueError, CLOSED, call)
        elif not m.room():
            if how == "try_send":
                raises(RuntimeError, "Channel is full", call)
            elif how == "send_timeout0":
                raises(TimeoutError, "send() timed out waiting for channel capacity", call)
            # a blocking send with no room would wait for ever: not made
        elif how == "send_timeout0":
            try:
                call()
            except TimeoutError:
                return  # the deadline arm won the draw; nothing was sent
            m.items.append(x)
        else:
            assert call() is None
            m.items.append(x)

    @rule(c=chans, how=st.sampled_from(["try_recv", "recv", "recv_timeout0", "next"]))
    def recv(self, c: int, how: str) -> None:
        m = self.models[c]
        call = {"try_recv": m.ch.try_recv, "recv": m.ch.recv,
                "recv_timeout0": lambda: m.ch.recv_timeout(0), "next": lambda: next(m.ch)}[how]
        if m.items:
            if how == "recv_timeout0":
                try:
                    got = call()
                except TimeoutError:
                    return
            else:
                got = call()
            assert got is m.items.popleft()
        elif how == "try_recv":
            if m.connected():
                raises(RuntimeError, "Channel is empty", call)
            else:
                raises(ValueError, CLOSED_EMPTY, call)
        elif how == "recv_timeout0":
            with pytest.raises((TimeoutError, ValueError)) as info:
                call()
            if isinstance(info.value, ValueError):
                assert m.closed and str(info.value) == CLOSED_EMPTY
        elif m.closed:
            if how == "next":
                with pytest.raises(StopIteration):
                    call()
            else:
                raises(ValueError, CLOSED_EMPTY, call)
        # open and empty: recv() and next() would block; not made

    @rule(c=chans)
    def close(self, c: int) -> None:
        m = self.models[c]
        assert m.ch.close() is None
        m.closed = True

    @rule(c=chans)
    def make_send_op(self, c: int) -> None:
        m, x = self.models[c], self.item()
        if m.closed:
            raises(ValueError, CLOSED, m.ch.send_op, x)
        else:
            m.send_ops.append((m.ch.send_op(x), x))

    @rule(c=chans, i=st.integers(0, 3))
    def drop_send_op(self, c: int, i: int) -> None:
        m = self.models[c]
        if m.send_ops:
            del m.send_ops[i % len(m.send_ops)]

    @rule(picks=st.lists(st.tuples(chans, st.booleans(), st.integers(0, 3)), min_size=1, max_size=4),
          timeout=st.sampled_from([0, 0.0, -1.0, float("nan")]))
    def select_poll(self, picks: list[tuple[int, bool, int]], timeout: float) -> None:
        ops: list[Any] = []
        for c, is_send, i in picks:
            m = self.models[c]
            if is_send and m.send_ops:
                op, x = m.send_ops[i % len(m.send_ops)]
                ops.append((m, op, x))
            else:
                ops.append((m, m.ch.recv_op(), None))
        # Which arms are ready: a receive with items, a send with room (a
        # rendezvous has no receiver waiting here), and every arm of a
        # closed channel (its close arm).
        ready = [i for i, (m, _, x) in enumerate(ops)
                 if m.closed or (x is None and m.items) or (x is not None and m.cap != 0 and m.room())]
        try:
            index, value = select([op for _, op, _ in ops], timeout=timeout)
        except TimeoutError as exc:
            assert not ready and str(exc) == "select() timed out waiting for ready channel"
            return
        except ValueError as exc:
            # Only a closed channel's arm gives these.
            assert any(ops[i][0].closed for i in ready), exc
            assert str(exc) in ("Selected channel is closed", "Selected channel is closed and empty")
            if str(exc).endswith("and empty"):
                assert any(ops[i][0].closed and ops[i][2] is None and not ops[i][0].items for i in ready)
            return
        assert index in ready
        m, _, x = ops[index]
        if x is None:
            assert value is m.items.popleft()
        else:
            assert value is None and m.room()
            m.items.append(x)

    @invariant()
    def capacity_and_bounds(self) -> None:
        for m in self.models:
            assert m.ch.capacity == m.cap
            assert m.cap is None or len(m.items) <= m.cap


TestChannelModel = ChannelMachine.TestCase


def test_items_are_drained_after_the_model_run() -> None:
    # Closing and draining hands back every buffered item exactly once, in
    # order, whatever the flavour.
    for cap in (None, 3):
        ch = Channel(cap)
        sent = [[i] for i in range(3)]
        for x in sent:
            ch.send(x)
        ch.close()
        got = list(ch)
        assert len(got) == 3 and all(a is b for a, b in zip(got, sent))
