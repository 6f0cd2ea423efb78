"""AtomicInteger and AtomicBoolean: values, orderings, wrapping and exactness
under many threads."""

from __future__ import annotations

import pytest

from _quorvel import AtomicBoolean, AtomicInteger
from conftest import run_concurrently

MIN, MAX = -(2**63), 2**63 - 1
ORDER_NAMES = ["SeqCst", "seq_cst", "Relaxed", "relaxed", "Acquire", "acquire",
               "Release", "release", "AcqRel", "acq_rel"]


# A load cannot be Release or AcqRel, a store cannot be Acquire or AcqRel:
# class, method, ordering (in either spelling), message.
IMPOSSIBLE_ORDERINGS = [
    (AtomicInteger, "get", "Release", "there is no such thing as a release load"),
    (AtomicInteger, "get", "acq_rel", "there is no such thing as an acquire-release load"),
    (AtomicInteger, "set", "acquire", "there is no such thing as an acquire store"),
    (AtomicInteger, "set", "AcqRel", "there is no such thing as an acquire-release store"),
    (AtomicBoolean, "get", "release", "there is no such thing as a release load"),
    (AtomicBoolean, "get", "AcqRel", "there is no such thing as an acquire-release load"),
    (AtomicBoolean, "set", "Acquire", "there is no such thing as an acquire store"),
    (AtomicBoolean, "set", "acq_rel", "there is no such thing as an acquire-release store"),
]


@pytest.mark.parametrize("cls, method, ordering, message", IMPOSSIBLE_ORDERINGS)
def test_impossible_orderings_panic_and_leave_the_object_usable(
        cls: type, method: str, ordering: str, message: str) -> None:
    start, other = (1, 2) if cls is AtomicInteger else (True, False)
    cell = cls(start)
    args = () if method == "get" else (other,)
    with pytest.raises(BaseException) as info:
        getattr(cell, method)(*args, ordering=ordering)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    assert cell.get() == start
    cell.set(other, ordering="release")
    assert cell.get(ordering="acquire") == other


class TestAtomicInteger:
    def test_construction(self) -> None:
        assert AtomicInteger().get() == 0
        assert AtomicInteger(-5).get() == -5
        assert AtomicInteger(value=MAX).get() == MAX

    def test_arithmetic_results(self) -> None:
        a = AtomicInteger(5)
        assert a.fetch_add(3) == 5 and a.get() == 8
        assert a.add_and_get(-7) == 1
        assert a.fetch_sub(4) == 1 and a.get() == -3
        assert a.sub_and_get(-7) == 4
        assert a.increment() == 5
        assert a.decrement() == 4
        assert a.fetch_add_relaxed(10) == 4
        assert a.add_and_get_relaxed(1) == 15
        assert a.fetch_sub_relaxed(5) == 15
        assert a.sub_and_get_relaxed(5) == 5
        assert a.increment_relaxed() == 6
        assert a.decrement_relaxed() == 5
        assert a.get_and_set(42) == 5 and a.get() == 42
        a.set(-1)
        assert a.get() == -1

    def test_add_and_sub_of_negative_deltas(self) -> None:
        assert AtomicInteger(5).add_and_get(-7) == -2
        assert AtomicInteger(5).sub_and_get(-7) == 12

    def test_wraps_around_instead_of_overflowing(self) -> None:
        assert AtomicInteger(MAX).increment() == MIN
        assert AtomicInteger(MIN).decrement() == MAX
        assert AtomicInteger(MAX).add_and_get_relaxed(MAX) == -2
        assert AtomicInteger(MIN).sub_and_get(1) == MAX
        a = AtomicInteger(MAX)
        assert a.fetch_add(1) == MAX and a.get() == MIN
        assert AtomicInteger(MIN).sub_and_get(MIN) == 0

    def test_out_of_range_operand_leaves_the_cell(self) -> None:
        a = AtomicInteger(3)
        with pytest.raises(OverflowError) as info:
            a.fetch_add(2**63)
        assert info.value.__notes__ == ["while processing 'delta'"]
        assert a.get() == 3

    def test_compare_and_set(self) -> None:
        a = AtomicInteger(1)
        assert a.compare_and_set(1, 2) is True and a.get() == 2
        assert a.compare_and_set(1, 3) is False and a.get() == 2

    @pytest.mark.parametrize("name", ORDER_NAMES)
    def test_read_modify_write_accepts_every_ordering(self, name: str) -> None:
        a = AtomicInteger(0)
        assert a.fetch_add(1, name) == 0
        assert a.add_and_get(1, ordering=name) == 2
        assert a.fetch_sub(1, name) == 2
        assert a.sub_and_get(1, name) == 0
        assert a.increment(name) == 1
        assert a.decrement(name) == 0
        assert a.get_and_set(9, name) == 0
        assert a.compare_and_set(9, 10, name) is True
        assert a.compare_and_set(9, 11, name) is False
        assert a.get() == 10

    def test_load_and_store_orderings(self) -> None:
        a = AtomicInteger(4)
        for name in ["relaxed", "SeqCst", "Acquire", "seq_cst"]:
            assert a.get(ordering=name) == 4
        for name in ["release", "Relaxed", "SeqCst"]:
            a.set(5, ordering=name)
            assert a.get() == 5

    @pytest.mark.parametrize("bad", ["SEQCST", "", " relaxed", "Seq_Cst", "relaxed\x00"])
    def test_unsupported_ordering_names(self, bad: str) -> None:
        with pytest.raises(ValueError) as info:
            AtomicInteger().get(ordering=bad)
        assert str(info.value) == f"Unsupported memory ordering: {bad}"

    def test_values_are_converted_before_the_ordering(self) -> None:
        with pytest.raises(TypeError) as info:
            AtomicInteger().set("1", ordering="bogus")  # type: ignore[arg-type]
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(TypeError) as info:
            AtomicInteger().compare_and_set(1, "2", ordering=3)  # type: ignore[arg-type]
        assert info.value.__notes__ == ["while processing 'new_value'"]

    def test_repr_and_str(self) -> None:
        assert repr(AtomicInteger(-5)) == "AtomicInteger(-5)"
        assert str(AtomicInteger(-5)) == "-5"
        assert repr(AtomicInteger(MIN)) == f"AtomicInteger({MIN})"

    def test_many_threads_increment_exactly(self) -> None:
        a = AtomicInteger()
        threads, per_thread = 16, 20_000

        def work() -> list[int]:
            return [a.increment() for _ in range(per_thread)]

        seen = run_concurrently([work] * threads)
        assert a.get() == threads * per_thread
        # Every returned NEW value is distinct: each comes from its own update.
        flat = [v for chunk in seen for v in chunk]
        assert sorted(flat) == list(range(1, threads * per_thread + 1))

    def test_many_threads_mixed_operations_balance(self) -> None:
        a = AtomicInteger(1000)
        n = 10_000

        def up() -> None:
            for _ in range(n):
                a.increment_relaxed()
                a.fetch_add(3, "acq_rel")

        def down() -> None:
            for _ in range(n):
                a.decrement_relaxed()
                a.sub_and_get_relaxed(3)

        run_concurrently([up, down, up, down])
        assert a.get() == 1000

    def test_compare_and_set_lets_exactly_one_thread_win_each_value(self) -> None:
        a = AtomicInteger(0)
        wins = [0] * 4

        def claimer(i: int) -> None:
            while True:
                cur = a.get()
                if cur >= 20_000:
                    return
                if a.compare_and_set(cur, cur + 1):
                    wins[i] += 1

        run_concurrently([lambda i=i: claimer(i) for i in range(4)])
        assert sum(wins) == 20_000 == a.get()


class TestAtomicBoolean:
    def test_construction_and_get(self) -> None:
        assert AtomicBoolean().get() is False
        assert AtomicBoolean(True).get() is True
        assert AtomicBoolean(value=False).get() is False

    def test_rejects_non_booleans(self) -> None:
        for bad in [None, 0, 1]:
            with pytest.raises(TypeError) as info:
                AtomicBoolean(bad)  # type: ignore[arg-type]
            assert info.value.__notes__ == ["while processing 'value'"]

    def test_swap_operations(self) -> None:
        f = AtomicBoolean()
        assert f.compare_and_set(False, True) is True and f.get() is True
        assert f.compare_and_set(False, True) is False and f.get() is True
        g = AtomicBoolean()
        assert g.get_and_set(True) is False and g.get() is True
        g.set(False, ordering="release")
        assert g.get(ordering="acquire") is False

    @pytest.mark.parametrize("name", ORDER_NAMES)
    def test_rmw_accepts_every_ordering(self, name: str) -> None:
        f = AtomicBoolean()
        assert f.get_and_set(True, name) is False
        assert f.compare_and_set(True, False, ordering=name) is True

    def test_ordering_names_are_case_sensitive(self) -> None:
        with pytest.raises(ValueError, match="^Unsupported memory ordering: Acq_Rel$"):
            AtomicBoolean().get(ordering="Acq_Rel")

    def test_repr_and_str(self) -> None:
        assert repr(AtomicBoolean(True)) == "AtomicBoolean(True)"
        assert repr(AtomicBoolean()) == "AtomicBoolean(False)"
        assert str(AtomicBoolean()) == "False"
        assert str(AtomicBoolean(True)) == "True"

    def test_exactly_one_thread_claims_the_flag(self) -> None:
        for _ in range(50):
            f = AtomicBoolean()
            results = run_concurrently([lambda: f.compare_and_set(False, True)] * 8)
            assert results.count(True) == 1
