"""Module entry: registration, class properties, re-import and interpreters."""

from __future__ import annotations

import importlib
import inspect
import subprocess
import sys
import textwrap
from typing import Any

import pytest

import _quorvel

CLASSES = ["Channel", "RecvOp", "SendOp", "ConcurrentMap", "ThreadPool", "AtomicInteger", "AtomicBoolean", "RwLock",
           "RwLockReadGuard", "RwLockWriteGuard"]
NAMES = [*CLASSES, "select"]
SUBCLASSABLE = {"ConcurrentMap"}
WEAKREFERABLE = {"ThreadPool"}


def test_import_keeps_the_gil_disabled() -> None:
    assert sys._is_gil_enabled() is False


def test_all_lists_the_classes_in_registration_order() -> None:
    assert _quorvel.__all__ == NAMES
    public = [n for n in dir(_quorvel) if not n.startswith("_")]
    assert sorted(public) == sorted(NAMES)
    assert _quorvel.select.__module__ == "_quorvel"
    assert _quorvel.select.__self__ is _quorvel
    assert _quorvel.select.__text_signature__ == "(ops, timeout=None)"


def make_instance(name: str) -> object:
    if name == "RwLockReadGuard":
        return _quorvel.RwLock().read()
    if name == "RwLockWriteGuard":
        return _quorvel.RwLock().write()
    if name == "RecvOp":
        return _quorvel.Channel().recv_op()
    if name == "SendOp":
        return _quorvel.Channel().send_op(1)
    return getattr(_quorvel, name)()


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity_and_flags(name: str) -> None:
    cls = getattr(_quorvel, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    if name in SUBCLASSABLE:
        assert issubclass(type("Sub", (cls,), {}), cls)
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    obj = make_instance(name)
    with pytest.raises(AttributeError):
        obj.anything = 1  # type: ignore[attr-defined]
    import weakref

    if name in WEAKREFERABLE:
        assert weakref.ref(obj)() is obj
    else:
        with pytest.raises(TypeError):
            weakref.ref(obj)
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("name", ["RwLockReadGuard", "RwLockWriteGuard", "RecvOp", "SendOp"])
def test_classes_without_constructor_cannot_be_called(name: str) -> None:
    with pytest.raises(TypeError, match="cannot create"):
        getattr(_quorvel, name)()


def test_class_objects_are_mutable_heap_types() -> None:
    _quorvel.AtomicInteger.extra_attribute = 5  # type: ignore[attr-defined]
    try:
        assert _quorvel.AtomicInteger().extra_attribute == 5  # type: ignore[attr-defined]
    finally:
        del _quorvel.AtomicInteger.extra_attribute  # type: ignore[attr-defined]


def test_text_signatures() -> None:
    assert str(inspect.signature(_quorvel.AtomicInteger)) == "(value=0)"
    assert str(inspect.signature(_quorvel.AtomicBoolean)) == "(value=False)"
    assert _quorvel.AtomicInteger.get.__text_signature__ == "($self, ordering=None)"
    assert _quorvel.AtomicInteger.increment_relaxed.__text_signature__ == "($self)"
    assert _quorvel.AtomicInteger.compare_and_set.__doc__ == (
        "Atomically compare the current value to expected, and if equal, swap with new_value.\n"
        "Returns True if the swap succeeded, otherwise False."
    )
    assert _quorvel.AtomicBoolean.__doc__ == (
        "A thread-safe, lock-free boolean variable using CPU atomic operations."
    )


def test_reimport_gives_new_module_with_the_same_classes() -> None:
    old = sys.modules.pop("_quorvel")
    try:
        fresh = importlib.import_module("_quorvel")
        assert fresh is not old
        assert fresh.AtomicInteger is old.AtomicInteger
        assert fresh.__all__ == old.__all__
        assert fresh.__all__ is not old.__all__
    finally:
        sys.modules["_quorvel"] = old


def test_module_docstring() -> None:
    assert _quorvel.__doc__ is not None
    assert "_quorvel" in _quorvel.__doc__


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_second_interpreter_import_fails_cleanly(config: str) -> None:
    # Run in a child process so a failure here cannot damage this one. An
    # isolated interpreter is refused by the interpreter itself; a legacy one
    # reaches the module's own check.
    code = textwrap.dedent(
        f"""
        import _quorvel
        import _interpreters
        interp = _interpreters.create(_interpreters.new_config({config!r}))
        try:
            err = _interpreters.exec(interp, "import _quorvel")
        finally:
            _interpreters.destroy(interp)
        print(err.type.__name__ if err else "no error")
        print(err.msg if err else "")
        _quorvel.AtomicInteger(1).increment()
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    kind, message = out.stdout.splitlines()
    assert kind == "ImportError"
    if config == "legacy":
        assert message == "_quorvel cannot be loaded in more than one interpreter per process"


def _fresh_module() -> tuple[Any, Any]:
    """A new, not yet executed module object for _quorvel, and its spec."""
    import importlib.util

    spec = importlib.util.find_spec("_quorvel")
    assert spec is not None and spec.loader is not None
    return spec, importlib.util.module_from_spec(spec)


def test_names_are_appended_to_an_existing_all() -> None:
    spec, module = _fresh_module()
    module.__all__ = ["earlier"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["earlier", *NAMES]


def test_an_all_that_is_not_a_list_fails_the_import() -> None:
    spec, module = _fresh_module()
    module.__all__ = ("earlier",)
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    assert str(info.value) == "'tuple' object is not an instance of 'list'"
    assert not hasattr(module, CLASSES[0])
