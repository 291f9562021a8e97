"""Per-call timing of competing statements, measured alternately in one process so that a
passing load on the machine hits each of them alike."""

import statistics
import timeit
from dataclasses import dataclass


@dataclass(frozen=True)
class Timing:
    median: float  # seconds per call
    low: float  # first quartile
    high: float  # third quartile
    best: float  # the least


def summarize(per_call):
    """Median, quartiles and least of per-call times."""
    if len(per_call) == 1:
        return Timing(per_call[0], per_call[0], per_call[0], per_call[0])
    low, median, high = statistics.quantiles(per_call, n=4, method="inclusive")
    return Timing(median, low, high, min(per_call))


def calls_per_batch(timer, batch_seconds):
    """How many calls fill about `batch_seconds`, at least one."""
    calls = 1
    while True:
        elapsed = timer.timeit(calls)
        if elapsed >= batch_seconds / 4 or calls >= 1 << 20:
            return max(1, round(calls * batch_seconds / max(elapsed, 1e-9)))
        calls *= 4


def compare(statements, namespace, repetitions=31, batch_seconds=2e-3):
    """Times each of `statements` (name -> Python statement run in `namespace`) as the median of
    `repetitions` batches of calls, the statements taking turns batch by batch with the order
    rotating. Garbage collection stays off during batches, as timeit does."""
    timers = {name: timeit.Timer(text, globals=namespace) for name, text in statements.items()}
    sizes = {name: calls_per_batch(timer, batch_seconds) for name, timer in timers.items()}
    names = list(timers)
    per_call = {name: [] for name in names}
    for repetition in range(repetitions):
        shift = repetition % len(names)
        for name in names[shift:] + names[:shift]:
            per_call[name].append(timers[name].timeit(sizes[name]) / sizes[name])
    return {name: summarize(values) for name, values in per_call.items()}


def compare_once_each(work, repetitions, warm=False, clock=timeit.default_timer):
    """Times callables that can only be timed one call at a time (name -> callable), taking turns
    with the order rotating; returns the median and quartiles of each. What a callable returns is
    released after its clock stops. With `warm`, each timed call follows an untimed one of the
    same callable, so that it finds memory as a program's next call does rather than where the
    previous contender left it. `clock` may be time.process_time, for CPU time."""
    names = list(work)
    per_call = {name: [] for name in names}
    for repetition in range(repetitions):
        shift = repetition % len(names)
        for name in names[shift:] + names[:shift]:
            if warm:
                work[name]()
            start = clock()
            result = work[name]()
            per_call[name].append(clock() - start)
            del result
    return {name: summarize(values) for name, values in per_call.items()}
