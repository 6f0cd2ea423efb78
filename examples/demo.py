"""quorvel demo: many threads counting at once.

Each worker thread counts its share of events into a shared AtomicInteger,
while a second run does the same with an int guarded by threading.Lock.
Both totals are exact; the atomic needs no lock at all. Then the workers
tally words into one shared ConcurrentMap of per-word AtomicIntegers, and
the tally matches a single-threaded count exactly. Next, a pipeline: producer
threads feed a bounded Channel, a dispatcher hands what it receives to a
ThreadPool whose tasks read shared settings under an RwLock, gather results
in a ConcurrentMap and count progress with an AtomicInteger; it is timed
against the same pipeline on queue.Queue, ThreadPoolExecutor, a dict and an
int each guarded by threading.Lock, and settings read under threading.Lock.
Last, a channel pipeline: producers feed bounded channels, consumers fan in
with select() and a time-out, and an asyncio consumer awaits items with
arecv().
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import queue
import sys
import threading
import time
from collections import Counter
from collections.abc import Callable
from typing import Any

from _quorvel import AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RecvOp, RwLock, ThreadPool, select

WORKERS = 4
EVENTS_PER_WORKER = 200_000


def run_workers(work: Callable[[], None]) -> float:
    """Run `work` on WORKERS threads at once; return the wall time in seconds."""
    barrier = threading.Barrier(WORKERS + 1)

    def body() -> None:
        barrier.wait()
        work()

    threads = [threading.Thread(target=body) for _ in range(WORKERS)]
    for t in threads:
        t.start()
    start = time.perf_counter()
    barrier.wait()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def count_with_atomic() -> tuple[int, float]:
    counter = AtomicInteger()
    increment = counter.increment_relaxed

    def work() -> None:
        for _ in range(EVENTS_PER_WORKER):
            increment()

    seconds = run_workers(work)
    return counter.get(), seconds


def count_with_lock() -> tuple[int, float]:
    lock = threading.Lock()
    total = 0

    def work() -> None:
        nonlocal total
        for _ in range(EVENTS_PER_WORKER):
            with lock:
                total += 1

    seconds = run_workers(work)
    return total, seconds


def first_finisher() -> int:
    """Every worker tries to claim the 'first' flag; exactly one succeeds."""
    claimed = AtomicBoolean(False)
    winners = AtomicInteger()

    def work() -> None:
        if claimed.compare_and_set(False, True):
            winners.increment()

    run_workers(work)
    return winners.get()


WORDS = ("red", "green", "blue", "cyan", "magenta", "yellow", "black", "white")


def worker_words(worker: int) -> list[str]:
    """The words one worker sees: a fixed, uneven mix per worker."""
    return [WORDS[(i * i + worker) % len(WORDS)] for i in range(20_000)]


def tally_words() -> dict[str, int]:
    """Every worker adds its words to one shared map; no lock anywhere.

    get_or_insert lets exactly one worker create each word's counter, and
    every other worker then gets that same counter back.
    """
    tally: ConcurrentMap[str, AtomicInteger] = ConcurrentMap()
    next_worker = AtomicInteger()

    def work() -> None:
        for word in worker_words(next_worker.fetch_add_relaxed(1)):
            tally.get_or_insert(word, AtomicInteger()).increment_relaxed()

    run_workers(work)
    return {word: counter.get() for word, counter in tally.items()}


PRODUCERS = 4
ITEMS_PER_PRODUCER = 500
SETTINGS = {"modulus": 1_000_003, "rounds": 200}


def work_item(key: int, modulus: int, rounds: int) -> int:
    """The CPU-bound step of the pipeline: pure Python, no shared state."""
    value = key
    for _ in range(rounds):
        value = (value * 31 + 7) % modulus
    return value


def expected_pipeline_total() -> int:
    keys = range(PRODUCERS * ITEMS_PER_PRODUCER)
    return sum(work_item(k, SETTINGS["modulus"], SETTINGS["rounds"]) for k in keys)


def run_pipeline(
    put: Callable[[int], None],
    finish: Callable[[], None],
    dispatch: Callable[[list[concurrent.futures.Future[None]]], None],
) -> None:
    """PRODUCERS threads each `put` ITEMS_PER_PRODUCER keys into a queue that
    one dispatcher thread drains into a pool (`dispatch` appends the futures);
    `finish` tells the dispatcher that no more keys come. Waits for every task."""
    futures: list[concurrent.futures.Future[None]] = []
    dispatcher = threading.Thread(target=dispatch, args=(futures,))
    dispatcher.start()

    def produce(first: int) -> None:
        for k in range(first, first + ITEMS_PER_PRODUCER):
            put(k)

    producers = [threading.Thread(target=produce, args=(p * ITEMS_PER_PRODUCER,)) for p in range(PRODUCERS)]
    for t in producers:
        t.start()
    for t in producers:
        t.join()
    finish()
    dispatcher.join()
    for f in futures:
        f.result()


def pipeline_quorvel() -> tuple[int, int, float]:
    """Producers -> Channel -> ThreadPool -> ConcurrentMap, progress in an
    AtomicInteger, settings read under an RwLock. Returns (total, items done,
    seconds)."""
    keys: Channel[int] = Channel(256)
    settings_lock = RwLock()
    results: ConcurrentMap[int, int] = ConcurrentMap()
    progress = AtomicInteger()
    pool = ThreadPool(WORKERS)

    def task(key: int) -> None:
        with settings_lock.read():
            modulus, rounds = SETTINGS["modulus"], SETTINGS["rounds"]
        results.set(key, work_item(key, modulus, rounds))
        progress.increment_relaxed()

    def dispatch(futures: list[concurrent.futures.Future[None]]) -> None:
        for key in keys:  # ends once the channel is closed and drained
            futures.append(pool.submit(task, key))

    start = time.perf_counter()
    run_pipeline(keys.send, keys.close, dispatch)
    seconds = time.perf_counter() - start
    pool.shutdown()
    return sum(results.values()), progress.get(), seconds


def pipeline_stdlib() -> tuple[int, int, float]:
    """The same pipeline on queue.Queue, ThreadPoolExecutor, dict +
    threading.Lock and an int + threading.Lock, settings read under a
    threading.Lock."""
    keys: queue.Queue[int | None] = queue.Queue(256)
    settings_lock = threading.Lock()
    results: dict[int, int] = {}
    results_lock = threading.Lock()
    progress = 0
    progress_lock = threading.Lock()
    executor = concurrent.futures.ThreadPoolExecutor(WORKERS)

    def task(key: int) -> None:
        nonlocal progress
        with settings_lock:
            modulus, rounds = SETTINGS["modulus"], SETTINGS["rounds"]
        value = work_item(key, modulus, rounds)
        with results_lock:
            results[key] = value
        with progress_lock:
            progress += 1

    def dispatch(futures: list[concurrent.futures.Future[None]]) -> None:
        while (key := keys.get()) is not None:
            futures.append(executor.submit(task, key))

    start = time.perf_counter()
    run_pipeline(keys.put, lambda: keys.put(None), dispatch)
    seconds = time.perf_counter() - start
    executor.shutdown()
    return sum(results.values()), progress, seconds


PIPELINE_ITEMS = 20_000


def fan_in(ops: list[RecvOp[Any]], handle: Callable[[Any], None]) -> int:
    """Receive from every op's channel until all are closed and drained;
    returns how often the time-out passed with nothing to take."""
    timeouts = 0
    while ops:
        try:
            handle(select(ops, timeout=0.2)[1])
        except TimeoutError:
            timeouts += 1
        except ValueError:
            # One channel is closed and drained, but which? Poll each alone.
            still_open = []
            for op in ops:
                try:
                    handle(select([op], timeout=0)[1])
                    still_open.append(op)
                except TimeoutError:
                    still_open.append(op)
                except ValueError:
                    pass
            ops = still_open
    return timeouts


def channel_pipeline() -> tuple[bool, float]:
    """Producers feed two bounded channels; consumers fan in with select()."""
    numbers: Channel[int] = Channel(64)
    words: Channel[str] = Channel(64)
    total, counted = AtomicInteger(), AtomicInteger()

    def handle(value: Any) -> None:
        if isinstance(value, int):
            total.add_and_get(value)
        counted.increment()

    def produce_numbers() -> None:
        for n in range(PIPELINE_ITEMS):
            numbers.send(n)

    def produce_words() -> None:
        for n in range(PIPELINE_ITEMS // 10):
            words.send(f"w{n}")

    def consume() -> None:
        fan_in([numbers.recv_op(), words.recv_op()], handle)

    producers = [threading.Thread(target=produce_numbers), threading.Thread(target=produce_words)]
    consumers = [threading.Thread(target=consume) for _ in range(WORKERS - 1)]
    start = time.perf_counter()
    for t in producers + consumers:
        t.start()
    for t in producers:
        t.join()
    numbers.close()
    words.close()
    for t in consumers:
        t.join()
    elapsed = time.perf_counter() - start
    expected = PIPELINE_ITEMS + PIPELINE_ITEMS // 10
    print(f"Channel pipeline: {len(producers)} producers -> Channel(64) x2 -> {len(consumers)} select() consumers: "
          f"{counted.get():,} items of {expected:,} in {elapsed:6.3f} s")
    ok = counted.get() == expected and total.get() == sum(range(PIPELINE_ITEMS))
    return ok, elapsed


async def async_consumer(ch: Channel[int]) -> int:
    """Sum items with arecv() until the channel is closed and drained."""
    total = 0
    while True:
        try:
            total += await ch.arecv(timeout=1.0)
        except TimeoutError:
            continue
        except ValueError:
            return total


def asyncio_pipeline() -> bool:
    ch: Channel[int] = Channel(16)
    count = 1_000

    def produce() -> None:
        for n in range(count):
            ch.send(n)
        ch.close()

    producer = threading.Thread(target=produce)
    start = time.perf_counter()
    producer.start()
    total = asyncio.run(async_consumer(ch))
    producer.join()
    elapsed = time.perf_counter() - start
    print(f"asyncio consumer: awaited {count:,} items with arecv(), sum {total:,}, in {elapsed:6.3f} s")
    return total == sum(range(count))


def main() -> int:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {WORKERS} worker threads")
    expected = WORKERS * EVENTS_PER_WORKER

    atomic_total, atomic_s = count_with_atomic()
    lock_total, lock_s = count_with_lock()
    print(f"AtomicInteger     total {atomic_total:>9,}  in {atomic_s:6.3f} s")
    print(f"Lock-guarded int  total {lock_total:>9,}  in {lock_s:6.3f} s")
    print(f"The atomic counter took {atomic_s / lock_s:.2f}x the time of the locked one.")

    winners = first_finisher()
    print(f"Workers that claimed the 'first' flag: {winners}")

    tally = tally_words()
    expected_tally = Counter(w for worker in range(WORKERS) for w in worker_words(worker))
    print("Word tally from a ConcurrentMap: " + ", ".join(f"{w} {tally[w]:,}" for w in sorted(tally)))
    tally_ok = tally == dict(expected_tally)
    print("The tally matches a single-threaded count." if tally_ok else "MISMATCH: the tally is wrong.")

    q_total, q_done, q_s = pipeline_quorvel()
    s_total, s_done, s_s = pipeline_stdlib()
    items = PRODUCERS * ITEMS_PER_PRODUCER
    pipeline_ok = q_total == s_total == expected_pipeline_total() and q_done == s_done == items
    print(f"Pipeline, {PRODUCERS} producers, {items:,} items on {WORKERS} workers: total {q_total:,}")
    print(f"  Channel + ThreadPool + ConcurrentMap + AtomicInteger + RwLock   {q_s:6.3f} s")
    print(f"  queue.Queue + ThreadPoolExecutor + dict + threading.Lock        {s_s:6.3f} s"
          f"  ({q_s / s_s:.2f}x the time)")
    print("The pipeline total is exact." if pipeline_ok else "MISMATCH: the pipeline total is wrong.")

    channel_ok, _ = channel_pipeline()
    async_ok = asyncio_pipeline()

    ok = (atomic_total == expected and lock_total == expected and winners == 1 and tally_ok
          and pipeline_ok and channel_ok and async_ok)
    print("All totals exact." if ok else "MISMATCH: a total is wrong.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
