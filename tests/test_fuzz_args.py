"""Every public callable of _quorvel called with random arguments.

Positional and keyword arguments of random types: ints past 64 bits, floats
with NaN and infinities, strings with NUL and lone surrogates, containers,
and objects whose `__index__`, `__float__`, `__hash__`, `__eq__` or
`__bool__` raise. The calls run in a child process, so a crash is seen as a
dead child rather than a dead test run. Only the exception types the module
documents may come out (plus the objects' own exception, propagated), and
PanicException only with the messages documented for a time-out that is no
duration and for orderings a load or store cannot have.

Constructor arguments that would size an allocation (capacity, shard_count,
num_workers) are drawn from small and from out-of-range values only: a valid
but huge size is a request for that much memory or that many threads, not a
fault.
"""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

pytest.importorskip("hypothesis")

CHILD = r'''
import math, sys
import _quorvel
from hypothesis import given, settings, strategies as st, HealthCheck

class Evil(Exception):
    pass

class BadIndex:
    def __index__(self): raise Evil("index")
class BadFloat:
    def __float__(self): raise Evil("float")
class BadHash:
    def __hash__(self): raise Evil("hash")
class BadEq:
    def __hash__(self): return 7
    def __eq__(self, other): raise Evil("eq")
class BadBool:
    def __bool__(self): raise Evil("bool")
class BadLen(list):
    def __len__(self): raise Evil("len")
    def __iter__(self): raise Evil("iter")

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, TimeoutError, MemoryError, Evil)
# The internal failures the module documents for bad argument values: a
# time-out that is no duration, and orderings a load or store cannot have.
PANIC_OK = {
    "cannot convert float seconds to Duration: value is either too big or NaN",
    "there is no such thing as a release load",
    "there is no such thing as an acquire-release load",
    "there is no such thing as an acquire store",
    "there is no such thing as an acquire-release store",
}

def ints(small_only):
    parts = [st.integers(-5, 8 if small_only else 70), st.integers(2**64, 2**80), st.integers(-2**80, -2**63 - 1)]
    if not small_only:
        parts.append(st.integers(2**62, 2**64 - 1))
    return st.one_of(*parts)

def scalars(small_only=False):
    return st.one_of(
        st.none(), st.booleans(), ints(small_only),
        st.floats(allow_nan=True, allow_infinity=True),
        st.sampled_from([1e20, -0.0, 2.0**64, 1e-300]),
        st.text(alphabet=st.sampled_from("a\x00\ud800é_ "), max_size=4),
        st.sampled_from(["SeqCst", "relaxed", "acq_rel", "Acquire", "bogus", ""]),
        st.binary(max_size=3),
        st.builds(lambda i: [BadIndex, BadFloat, BadHash, BadEq, BadBool, BadLen, object][i](),
                  st.integers(0, 6)),
        st.sampled_from(["op:recv", "op:send"]),
    )

def values(small_only=False):
    return st.one_of(scalars(small_only),
                     st.lists(scalars(small_only), max_size=3),
                     st.tuples(scalars(small_only)))

KW = st.sampled_from(["value", "ordering", "delta", "key", "default", "item", "timeout",
                      "capacity", "shard_count", "num_workers", "wait", "cancel_futures",
                      "ops", "expected", "new_value", "fn", "bogus", "_exc_type"])

# Lazily made shared objects; anything that might block is arranged not to:
# the channel is unbounded and holds items before every call.
state = {}

def channel():
    ch = state.get("ch")
    for i in range(3):
        try:
            ch.try_send(i)
        except (AttributeError, ValueError):  # none yet, or closed by a call
            ch = state["ch"] = _quorvel.Channel()
            ch.try_send(i)
    return ch

def resolve(v):
    if isinstance(v, str) and v == "op:recv" and hasattr(_quorvel, "Channel"):
        return channel().recv_op()
    if isinstance(v, str) and v == "op:send" and hasattr(_quorvel, "Channel"):
        return channel().send_op(0)
    if isinstance(v, list) and not isinstance(v, BadLen):
        return [resolve(x) for x in v]
    return v

def pool():
    p = state.get("pool")
    if p is None:
        p = state["pool"] = _quorvel.ThreadPool(2)
    return p

FACTORIES = {
    "ConcurrentMap": lambda: state.setdefault("map", _quorvel.ConcurrentMap(4)),
    "AtomicInteger": lambda: _quorvel.AtomicInteger(5),
    "AtomicBoolean": lambda: _quorvel.AtomicBoolean(),
    "RwLock": lambda: _quorvel.RwLock(),
    "RwLockReadGuard": lambda: _quorvel.RwLock().read(),
    "RwLockWriteGuard": lambda: _quorvel.RwLock().write(),
    "Channel": channel,
    "ThreadPool": pool,
}
DUNDERS = ("__enter__", "__exit__", "__next__", "__len__", "__iter__")

targets = []   # (label, getter of the callable, small-only arguments)
for name in _quorvel.__all__:
    obj = getattr(_quorvel, name)
    if not isinstance(obj, type):
        targets.append((name, lambda obj=obj: obj, False))
        continue
    if name in FACTORIES or name in ("RecvOp", "SendOp"):
        targets.append((name + "()", lambda obj=obj: obj, True))
    if name not in FACTORIES:
        continue
    for attr in sorted(dir(obj)):
        if (attr.startswith("_") and attr not in DUNDERS) or not callable(getattr(obj, attr, None)):
            continue
        targets.append((f"{name}.{attr}", lambda n=name, a=attr: getattr(FACTORIES[n](), a), False))

calls = 0

@settings(max_examples=int(sys.argv[1]), deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def fuzz(data):
    global calls
    label, get, small = targets[data.draw(st.integers(0, len(targets) - 1), label="target")]
    args = data.draw(st.lists(values(small), max_size=4), label="args")
    kwargs = data.draw(st.dictionaries(KW, values(small), max_size=3), label="kwargs")
    fn = get()
    if label == "ThreadPool.shutdown":
        state["pool"] = None  # the next call gets a new pool
    args = [resolve(a) for a in args]
    kwargs = {k: resolve(v) for k, v in kwargs.items()}
    calls += 1
    try:
        result = fn(*args, **kwargs)
        if label.startswith("ThreadPool.submit"):
            result.exception(timeout=30)
    except ALLOWED:
        pass
    except BaseException as exc:
        if type(exc).__name__ == "PanicException" and str(exc) in PANIC_OK:
            return
        print(f"UNEXPECTED {label}(*{args!r}, **{kwargs!r}) raised {type(exc).__name__}: {exc}",
              flush=True)
        raise

fuzz()
print(f"calls {calls} targets {len(targets)}", flush=True)
'''


def test_random_arguments_raise_only_documented_errors() -> None:
    if os.environ.get("HYPOTHESIS_PROFILE") == "long":
        examples = 20000
    elif os.environ.get("QUORVEL_TSAN") or os.environ.get("QUORVEL_REFLEAK"):
        examples = 150  # the checking interpreters run many times slower
    else:
        examples = 600
    proc = subprocess.run([sys.executable, "-c", CHILD, str(examples)], capture_output=True,
                          text=True, timeout=1800)
    tail = (proc.stdout + proc.stderr)[-4000:]
    assert proc.returncode == 0, f"child ended with {proc.returncode}:\n{tail}"
    last = proc.stdout.strip().splitlines()[-1]
    calls, targets = int(last.split()[1]), int(last.split()[3])
    print(last)
    assert calls >= examples // 2 and targets >= 30, tail
