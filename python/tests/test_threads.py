"""Many threads calling embed_tokens: on one shared instance each call either computes the same
bits as a call alone or is refused with "Already borrowed"; on an instance per thread nothing is
refused. Some calls pass a sequence whose iteration lets other threads run, so that calls really
overlap on an interpreter with a global lock too."""

import collections.abc
import struct
import threading
import time

import pytest

from korvane_py import StaticEmbedding
from model_files import write_model

THREADS = 8
CALLS = 10_000
ROWS, COLUMNS = 64, 17
TABLE = [
    [(row * 31 + column * 7) % 23 / 8 - 1.25 for column in range(COLUMNS)] for row in range(ROWS)
]
# Lists of every length up to a few tokens, repeats included, so the row cache fills while the
# threads run.
TOKEN_LISTS = [
    [(start * 13 + step * 5) % ROWS for step in range(start % 5)] + [start % ROWS]
    for start in range(97)
]


class SwitchingTokens(collections.abc.Sequence):
    """Tokens whose iteration gives up the interpreter to other threads halfway."""

    def __init__(self, tokens):
        self.tokens = tokens

    def __len__(self):
        return len(self.tokens)

    def __getitem__(self, index):
        return self.tokens[index]

    def __iter__(self):
        half = len(self.tokens) // 2
        yield from self.tokens[:half]
        time.sleep(0)
        yield from self.tokens[half:]


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


@pytest.fixture(scope="module")
def table_dir(tmp_path_factory):
    return write_model(tmp_path_factory.mktemp("threads"), TABLE)


@pytest.fixture(scope="module")
def expected(table_dir):
    """The result of every token list, each computed by a fresh instance alone."""
    return [bits(StaticEmbedding(table_dir).embed_tokens(tokens)) for tokens in TOKEN_LISTS]


def run_each_thread(work):
    """Runs `work(thread)` for thread 0 to THREADS - 1, each in a thread of its own."""
    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in threads)


def run_threads(model_of, expected):
    """THREADS threads of CALLS calls each; `model_of(thread)` names the instance a thread uses.
    Returns the number of calls refused and the list of anything else that went wrong."""
    start = threading.Barrier(THREADS)
    refused = [0] * THREADS
    problems = []

    def work(thread):
        model = model_of(thread)
        start.wait()
        for call in range(CALLS):
            which = (call * 7 + thread) % len(TOKEN_LISTS)
            tokens = TOKEN_LISTS[which]
            if call % 8 == thread:
                tokens = SwitchingTokens(tokens)
            try:
                result = model.embed_tokens(tokens)
            except RuntimeError as error:
                if error.args != ("Already borrowed",) or getattr(error, "__notes__", None):
                    problems.append(repr(error))
                refused[thread] += 1
                time.sleep(0)  # let the thread that holds the instance go on
            except BaseException as error:  # a PanicException is a finding too
                problems.append(repr(error))
            else:
                if bits(result) != expected[which]:
                    problems.append(f"thread {thread}, call {call}: {result}")

    run_each_thread(work)
    return sum(refused), problems


def test_shared_instance_computes_or_refuses(table_dir, expected):
    model = StaticEmbedding(table_dir)
    refused, problems = run_threads(lambda thread: model, expected)
    assert problems == []
    # A call that gives up the interpreter while it holds the instance makes others' calls fail.
    assert 0 < refused < THREADS * CALLS
    for which, tokens in enumerate(TOKEN_LISTS):
        assert bits(model.embed_tokens(tokens)) == expected[which]


def test_instance_per_thread_refuses_nothing(table_dir, expected):
    models = [StaticEmbedding(table_dir) for _ in range(THREADS)]
    refused, problems = run_threads(lambda thread: models[thread], expected)
    assert (refused, problems) == (0, [])
    for model in models:
        assert bits(model.embed_tokens(TOKEN_LISTS[5])) == expected[5]
