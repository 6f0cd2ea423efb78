"""ConcurrentMap driven by hypothesis against a dict model.

Every operation is applied to both; results must agree exactly, including
which key object is stored (the first one stays when an equal key is set
again) and which value object comes back (identity, not equality). Keys mix
types that compare equal across types (1, 1.0, True), strings, and objects
whose hashes collide on purpose so buckets hold several entries. Keys whose
`__hash__` raises or that are unhashable must leave the map untouched.
"""

from __future__ import annotations

from typing import Any

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule  # noqa: E402

from _quorvel import ConcurrentMap  # noqa: E402


class Colliding:
    """Equal by value; only three hash values exist, so buckets are shared."""

    __slots__ = ("v",)

    def __init__(self, v: int) -> None:
        self.v = v

    def __hash__(self) -> int:
        return self.v % 3 - 1  # -1 becomes -2, a negative hash

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Colliding) and other.v == self.v

    def __repr__(self) -> str:
        return f"Colliding({self.v})"


class HashBoom(Exception):
    pass


class BadHash:
    def __hash__(self) -> int:
        raise HashBoom("no hash")


keys = st.one_of(
    st.integers(-3, 3),
    st.integers(min_value=2**64, max_value=2**70),   # hashed, not converted
    st.sampled_from([1.0, 2.0, -0.0, 0.5, True, False]),
    st.text(max_size=3),
    st.builds(Colliding, st.integers(0, 8)),
    st.tuples(st.integers(0, 2), st.text(max_size=1)),
)


def value() -> Any:
    # A fresh object each time: identity tells which value a call returned.
    return st.builds(lambda n: [n], st.integers(0, 1000))


class MapMachine(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.model: dict[Any, Any] = {}
        self.map: ConcurrentMap[Any, Any] = ConcurrentMap()

    @rule(shards=st.integers(1, 5))
    def fresh_map(self, shards: int) -> None:
        self.map = ConcurrentMap(shards)
        self.model.clear()

    @rule(k=keys, v=value())
    def set(self, k: Any, v: Any) -> None:
        assert self.map.set(k, v) is None
        self.model[k] = v

    @rule(k=keys)
    def get(self, k: Any) -> None:
        assert self.map.get(k) is self.model.get(k)
        found, got = self.map.get_val(k)
        assert (found, got) == ((True, self.model[k]) if k in self.model else (False, None))
        assert got is self.model.get(k)
        assert self.map.contains_key(k) is (k in self.model)

    @rule(k=keys, v=value())
    def get_or_insert(self, k: Any, v: Any) -> None:
        expected = self.model.setdefault(k, v)
        assert self.map.get_or_insert(k, v) is expected

    @rule(k=keys)
    def delete(self, k: Any) -> None:
        assert self.map.delete(k) is (self.model.pop(k, None) is not None)

    @rule(k=keys)
    def pop_val(self, k: Any) -> None:
        if k in self.model:
            expected = self.model.pop(k)
            found, got = self.map.pop_val(k)
            assert found is True and got is expected
        else:
            assert self.map.pop_val(k) == (False, None)

    @precondition(lambda self: len(self.model) > 0)
    @rule()
    def clear(self) -> None:
        assert self.map.clear() is None
        self.model.clear()

    @rule(which=st.integers(0, 2))
    def unhashable_key_changes_nothing(self, which: int) -> None:
        k = (BadHash, list, dict)[which]()
        for op, args in ((self.map.set, (k, 1)), (self.map.get, (k,)), (self.map.delete, (k,)),
                         (self.map.pop_val, (k,)), (self.map.get_or_insert, (k, 1)),
                         (self.map.contains_key, (k,)), (self.map.get_val, (k,))):
            with pytest.raises((HashBoom, TypeError)):
                op(*args)

    @invariant()
    def same_contents(self) -> None:
        assert len(self.map) == self.map.len() == len(self.model)
        items = self.map.items()
        assert [k for k, _ in items] == self.map.keys()
        assert [v for _, v in items] == self.map.values()
        assert len(items) == len(self.model)
        for k, v in items:
            # The stored key object is the first one set, as in the dict.
            stored = next(mk for mk in self.model if mk == k)
            assert stored is k
            assert v is self.model[k]


TestMapModel = MapMachine.TestCase
