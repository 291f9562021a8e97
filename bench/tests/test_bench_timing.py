import pytest

from timing import compare, compare_once_each, summarize


@pytest.mark.parametrize(
    "warm, calls", [(False, "abcbcacababc"), (True, "aabbccbbccaaccaabbaabbcc")]
)
def test_each_callable_runs_once_per_repetition_in_rotating_order(warm, calls):
    order = []
    work = {name: (lambda name=name: order.append(name)) for name in "abc"}
    found = compare_once_each(work, repetitions=4, warm=warm)
    assert order == list(calls)
    assert set(found) == set("abc")


@pytest.mark.parametrize(
    "values, expected",
    [([5.0], (5.0, 5.0, 5.0)), ([4.0, 1.0, 3.0, 2.0, 5.0], (2.0, 3.0, 4.0))],
)
def test_summary_is_median_between_quartiles(values, expected):
    timing = summarize(values)
    assert (timing.low, timing.median, timing.high) == expected
    assert timing.best == min(values)


def test_the_clock_given_times_each_call():
    ticks = iter(range(100))
    found = compare_once_each(
        {"a": lambda: None, "b": lambda: next(ticks)}, repetitions=3, clock=lambda: next(ticks)
    )
    # Each call of "b" advances the clock by one more tick than a call of "a".
    assert (found["a"].best, found["b"].best) == (1, 2)


def test_statements_run_in_the_namespace_given():
    namespace = {"calls": [0, 0]}
    found = compare({"first": "calls[0] += 1", "second": "calls[1] += 1"}, namespace, 3, 1e-5)
    assert set(found) == {"first", "second"}
    assert min(namespace["calls"]) >= 3
