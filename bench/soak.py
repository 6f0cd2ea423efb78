"""Soak: every primitive of _quorvel from many threads for minutes at a time.

Families run side by side, each on its own threads, until the time is up:

  atomics   AtomicInteger adds from several threads, AtomicBoolean
            compare-and-set as a try-lock around a plain counter
  map       ConcurrentMap writes on owned keys (checked against each thread's
            own dict), shared colliding keys, keys whose __eq__ raises
            (the write must fail and change nothing) and keys whose __eq__
            re-enters the same map
  rwlock    writers keep two plain fields equal under write(); readers check
            them equal under read()
  channels  rounds over every flavour (unbounded, bounded, rendezvous):
            producers send unique items, consumers take them with recv,
            recv_timeout, try_recv and select() over several channels, the
            channel is closed mid-round and drained; every item must arrive
            exactly once
  pool      ThreadPool batches: submissions from several threads, shutdown
            with and without wait and cancel_futures; every future must end
            completed with the right result or cancelled, and the counter of
            jobs that ran must match the completed futures exactly

The resident memory is sampled all along; after the first third of the run
it must stay flat (a leak of one small object per operation over millions of
operations shows up here). Prints operations run per family and every fault
found; the exit status is 1 when any fault was found.
"""

from __future__ import annotations

import argparse
import collections
import gc
import os
import random
import sys
import threading
import time
from concurrent.futures import CancelledError
from typing import Any, Callable

import _quorvel

HAS_CHANNEL = hasattr(_quorvel, "Channel")
HAS_POOL = hasattr(_quorvel, "ThreadPool")


class Soak:
    def __init__(self, seconds: float, seed: int) -> None:
        self.deadline = time.monotonic() + seconds
        self.seed = seed
        self.ops: collections.Counter[str] = collections.Counter()
        self.faults: list[str] = []
        self.lock = threading.Lock()

    def running(self) -> bool:
        return time.monotonic() < self.deadline

    def count(self, family: str, n: int = 1) -> None:
        with self.lock:
            self.ops[family] += n

    def fault(self, msg: str) -> None:
        with self.lock:
            self.faults.append(msg)
        print(f"FAULT {msg}", file=sys.stderr, flush=True)

    def check(self, cond: bool, msg: str) -> None:
        if not cond:
            self.fault(msg)

    def guarded(self, name: str, fn: Callable[[random.Random], None], idx: int) -> Callable[[], None]:
        def run() -> None:
            rng = random.Random(f"{self.seed}-{name}-{idx}")
            try:
                fn(rng)
            except BaseException as exc:  # noqa: BLE001 - any escape is a fault
                self.fault(f"{name}[{idx}] raised {type(exc).__name__}: {exc}")
        return run

    # ---- atomics -------------------------------------------------------
    def atomics(self, threads: int) -> list[Callable[[], None]]:
        total = _quorvel.AtomicInteger()
        flag = _quorvel.AtomicBoolean(False)
        plain = [0]
        added = [0] * threads
        entered = [0] * threads

        def worker(i: int) -> Callable[[random.Random], None]:
            def body(rng: random.Random) -> None:
                while self.running():
                    for _ in range(500):
                        d = rng.randrange(-5, 50)
                        total.fetch_add(d)
                        added[i] += d
                        if flag.compare_and_set(False, True):
                            plain[0] += 1  # only the holder of the flag touches it
                            entered[i] += 1
                            flag.set(False)
                    self.count("atomics", 1000)
            return body

        def final() -> None:
            self.check(total.get() == sum(added), f"atomics: total {total.get()} != {sum(added)}")
            self.check(plain[0] == sum(entered), f"atomics: flag-guarded counter {plain[0]} != {sum(entered)}")
        self.finals.append(final)
        return [self.guarded("atomics", worker(i), i) for i in range(threads)]

    # ---- map -----------------------------------------------------------
    def map_family(self, threads: int) -> list[Callable[[], None]]:
        m: Any = _quorvel.ConcurrentMap(8)

        class Boom(Exception):
            pass

        class RaisingKey:
            def __hash__(self) -> int:
                return 4242

            def __eq__(self, other: object) -> bool:
                raise Boom()

        class Reentrant:
            def __init__(self, v: int) -> None:
                self.v = v

            def __hash__(self) -> int:
                return 777

            def __eq__(self, other: object) -> bool:
                m.get(("probe", self.v))  # calls back into the map
                return isinstance(other, Reentrant) and other.v == self.v

        m.set(RaisingKey(), "poison")  # a stored key that fails every comparison
        mine: list[dict[Any, Any]] = [dict() for _ in range(threads)]

        def worker(i: int) -> Callable[[random.Random], None]:
            def body(rng: random.Random) -> None:
                own = mine[i]
                while self.running():
                    for _ in range(200):
                        k = (i, rng.randrange(64))
                        r = rng.random()
                        if r < 0.5:
                            v = rng.randrange(1000)
                            m.set(k, v)
                            own[k] = v
                        elif r < 0.7:
                            self.check(m.delete(k) == (own.pop(k, None) is not None), f"map: delete {k}")
                        elif r < 0.8:
                            got = m.get_val(k)
                            exp = (True, own[k]) if k in own else (False, None)
                            self.check(got == exp, f"map: get_val {k} = {got}, expected {exp}")
                        elif r < 0.9:
                            key = Reentrant(rng.randrange(4))
                            m.set(key, i)
                            self.check(m.contains_key(key), "map: re-entrant key lost")
                        else:
                            try:
                                m.set(RaisingKey(), 1)
                                self.fault("map: a raising comparison did not raise")
                            except Boom:
                                pass  # and the map is unchanged: checked at the end
                    self.count("map", 200)
            return body

        def final() -> None:
            items = m.items()
            self.check(len(items) == len(m) == m.len(), "map: len disagrees with items")
            for i, own in enumerate(mine):
                got = {k: v for k, v in items if isinstance(k, tuple) and k and k[0] == i}
                self.check(got == own, f"map: thread {i} keys differ ({len(got)} vs {len(own)})")
            poison = [v for k, v in items if isinstance(k, RaisingKey)]
            self.check(poison == ["poison"], f"map: raising-key bucket holds {poison}")
            self.check(sum(isinstance(k, Reentrant) for k, _ in items) <= 4, "map: re-entrant keys duplicated")
        self.finals.append(final)
        return [self.guarded("map", worker(i), i) for i in range(threads)]

    # ---- rwlock --------------------------------------------------------
    def rwlock(self, writers: int, readers: int) -> list[Callable[[], None]]:
        lock = _quorvel.RwLock()
        state = {"a": 0, "b": 0}
        writes = [0] * writers

        def writer(i: int) -> Callable[[random.Random], None]:
            def body(rng: random.Random) -> None:
                while self.running():
                    for _ in range(200):
                        with lock.write():
                            state["a"] += 1
                            state["b"] += 1
                        writes[i] += 1
                    self.count("rwlock", 200)
            return body

        def reader(i: int) -> Callable[[random.Random], None]:
            def body(rng: random.Random) -> None:
                while self.running():
                    for _ in range(200):
                        with lock.read():
                            a, b = state["a"], state["b"]
                        self.check(a == b, f"rwlock: torn read {a} != {b}")
                    self.count("rwlock", 200)
            return body

        def final() -> None:
            self.check(state["a"] == state["b"] == sum(writes), f"rwlock: {state} vs {sum(writes)} writes")
        self.finals.append(final)
        return ([self.guarded("rwlock-w", writer(i), i) for i in range(writers)]
                + [self.guarded("rwlock-r", reader(i), i) for i in range(readers)])

    # ---- channels ------------------------------------------------------
    def channel_rounds(self, rng: random.Random) -> None:
        Channel, select = _quorvel.Channel, _quorvel.select
        round_no = 0
        while self.running():
            round_no += 1
            chans = [Channel(), Channel(rng.randrange(1, 8)), Channel(0)]
            per_producer = rng.randrange(50, 400)
            producers = 3
            received: list[list[int]] = []
            recv_lock = threading.Lock()
            errors: list[str] = []
            sent_counts = [0] * producers

            def produce(p: int) -> None:
                prng = random.Random(f"{self.seed}-{round_no}-{p}")
                for n in range(per_producer):
                    item = p * 1_000_000 + n
                    ch = chans[prng.randrange(3)]
                    try:
                        r = prng.random()
                        if r < 0.5:
                            ch.send(item)
                        elif r < 0.8:
                            while True:
                                try:
                                    ch.send_timeout(item, 0.05)
                                    break
                                except TimeoutError:
                                    continue
                        else:
                            select([ch.send_op(item)])
                        sent_counts[p] += 1
                    except ValueError:
                        return  # closed under us: this item was not sent
                    except BaseException as exc:  # noqa: BLE001
                        errors.append(f"producer: {type(exc).__name__}: {exc}")
                        return

            def consume(c: int) -> None:
                got: list[int] = []
                crng = random.Random(f"{self.seed}-{round_no}-c{c}")
                open_chans = list(chans)
                while open_chans:
                    try:
                        r = crng.random()
                        if r < 0.4:
                            _, v = select([ch.recv_op() for ch in open_chans], timeout=0.05)
                        else:
                            ch = open_chans[crng.randrange(len(open_chans))]
                            # Always bounded: a consumer parked on one empty
                            # channel while producers wait on a full other one
                            # would be a deadlock of this harness.
                            v = ch.recv_timeout(0.05) if r < 0.8 else ch.recv(timeout=0.05)
                        got.append(v)
                    except TimeoutError:
                        continue
                    except ValueError:
                        # Closed and empty: drop every channel that is
                        # finished; the others are still drained.
                        still = []
                        for ch in open_chans:
                            try:
                                got.append(ch.try_recv())
                                still.append(ch)
                            except RuntimeError:
                                still.append(ch)
                            except ValueError:
                                pass
                        open_chans = still
                    except BaseException as exc:  # noqa: BLE001
                        errors.append(f"consumer: {type(exc).__name__}: {exc}")
                        return
                with recv_lock:
                    received.append(got)

            ts = [threading.Thread(target=produce, args=(p,), daemon=True) for p in range(producers)]
            ts += [threading.Thread(target=consume, args=(c,), daemon=True) for c in range(3)]
            for t in ts:
                t.start()
            # Close mid-round half of the time: producers then stop early.
            if rng.random() < 0.5:
                time.sleep(rng.random() * 0.05)
                for ch in chans:
                    ch.close()
            for t in ts[:producers]:
                t.join(120)
            for ch in chans:
                ch.close()
            for t in ts:
                t.join(120)
                if t.is_alive():
                    self.fault(f"channels: round {round_no} hung")
                    return
            for e in errors:
                self.fault(f"channels: round {round_no}: {e}")
            flat = [v for got in received for v in got]
            self.check(len(flat) == len(set(flat)), f"channels: round {round_no} duplicated items")
            expected = {p * 1_000_000 + n for p in range(producers) for n in range(sent_counts[p])}
            self.check(set(flat) == expected,
                       f"channels: round {round_no}: {len(expected - set(flat))} lost, "
                       f"{len(set(flat) - expected)} unexpected")
            self.count("channels", len(flat) + 3)

    # ---- pool ----------------------------------------------------------
    def pool_rounds(self, rng: random.Random) -> None:
        ran = _quorvel.AtomicInteger()
        while self.running():
            pool = _quorvel.ThreadPool(rng.randrange(1, 5))
            before = ran.get()
            futures: list[tuple[Any, int]] = []
            flock = threading.Lock()

            def job(x: int) -> int:
                ran.increment()
                if x % 97 == 0:
                    raise ValueError(x)
                return x * 2

            def submitter(s: int) -> None:
                for n in range(rng.randrange(20, 200)):
                    x = s * 10_000 + n
                    try:
                        f = pool.submit(job, x)
                    except RuntimeError:
                        return  # shut down (or inside shutdown) meanwhile
                    with flock:
                        futures.append((f, x))

            subs = [threading.Thread(target=submitter, args=(s,), daemon=True) for s in range(3)]
            for t in subs:
                t.start()
            time.sleep(rng.random() * 0.01)
            mode = rng.randrange(3)
            try:
                if mode == 0:
                    pool.shutdown(wait=True)
                elif mode == 1:
                    pool.shutdown(wait=False, cancel_futures=True)
            except RuntimeError:
                pass  # refused while a submit held the pool: checked below anyway
            for t in subs:
                t.join(120)
            pool.shutdown(wait=True)  # returns at once when an earlier call took effect
            del pool  # deallocation joins whatever is still running
            gc.collect()
            done = cancelled = 0
            for f, x in futures:
                try:
                    r = f.result(timeout=120)
                    self.check(r == x * 2, f"pool: job {x} returned {r}")
                    done += 1
                except CancelledError:
                    cancelled += 1
                except ValueError as exc:
                    self.check(exc.args == (x,) and x % 97 == 0, f"pool: job {x} raised {exc!r}")
                    done += 1
                except TimeoutError:
                    self.fault(f"pool: future of job {x} never completed")
            self.check(ran.get() - before == done,
                       f"pool: {ran.get() - before} jobs ran but {done} futures completed")
            self.count("pool", len(futures))
            self.count("pool-cancelled", cancelled)

    # ---- driver --------------------------------------------------------
    def run(self) -> int:
        self.finals: list[Callable[[], None]] = []
        bodies = self.atomics(3) + self.map_family(3) + self.rwlock(2, 2)
        if HAS_CHANNEL:
            bodies += [self.guarded("channels", self.channel_rounds, i) for i in range(2)]
        if HAS_POOL:
            bodies += [self.guarded("pool", self.pool_rounds, 0)]
        threads = [threading.Thread(target=b, daemon=True) for b in bodies]
        start = time.monotonic()
        total = self.deadline - start
        for t in threads:
            t.start()
        rss: list[tuple[float, int]] = []
        while any(t.is_alive() for t in threads):
            time.sleep(1.0)
            rss.append((time.monotonic() - start, rss_bytes()))
            if time.monotonic() > self.deadline + 300:
                self.fault("threads still running 300 s after the end")
                break
        for fin in self.finals:
            fin()
        # Flat memory: the highest sample of the last third against the
        # highest of the second third, with 16 MiB + 10 % of slack.
        mid = [r for t, r in rss if total / 3 <= t < 2 * total / 3]
        end = [r for t, r in rss if t >= 2 * total / 3]
        if mid and end:
            grew = max(end) - max(mid)
            self.check(grew <= 16 * 2**20 + max(mid) // 10,
                       f"memory grew by {grew / 2**20:.1f} MiB in the last third")
            print(f"resident memory: {max(mid) / 2**20:.1f} MiB at mid-run, "
                  f"{max(end) / 2**20:.1f} MiB at the end")
        print(f"soak of {total:.0f} s with seed {self.seed} "
              f"(channels: {'yes' if HAS_CHANNEL else 'not in this build'}, "
              f"pool: {'yes' if HAS_POOL else 'not in this build'})")
        for family, n in sorted(self.ops.items()):
            print(f"  {family:15s} {n:>12,d} operations")
        print(f"  {'total':15s} {sum(self.ops.values()):>12,d} operations")
        print(f"faults found: {len(self.faults)}")
        for f in self.faults:
            print(f"  {f}")
        return 1 if self.faults else 0


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    ap.add_argument("--seconds", type=float, default=180)
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    return Soak(args.seconds, seed).run()


if __name__ == "__main__":
    sys.exit(main())
