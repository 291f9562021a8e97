"""How much of the long differential tokenizer tests a run makes.

All of it by default. `make sanitize` sets KORVANE_TEST_BUDGET=sample: under AddressSanitizer
each case costs several times more, and what that run looks for are memory and undefined-behaviour
faults, which a sample of the same inputs reaches. The sample keeps every code point below U+0800
(all one- and two-byte forms) and every 13th above it, and a tenth of the random examples.
`make test` runs the whole sets, so exactness is proved on every code point there."""

import os

SAMPLE = os.environ.get("KORVANE_TEST_BUDGET") == "sample"
STRIDE = 13


def scalar_values(start=0):
    """The Unicode scalar values from `start` (every code point but the surrogates), sampled
    under the sanitizers' budget."""
    points = [p for p in range(start, 0x110000) if not 0xD800 <= p <= 0xDFFF]
    if SAMPLE:
        points = [p for p in points if p < 0x800 or p % STRIDE == 0]
    return points


def examples(count):
    """The number of examples a hypothesis test draws, `count` in a whole run."""
    return max(20, count // 10) if SAMPLE else count


def at_least(count):
    """A lower bound on how many of the whole set of code points do something; it holds for
    the whole set only, so under the sample it is 0."""
    return 0 if SAMPLE else count
