import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from safetensors.numpy import save_file

import corpus_report
from corpus import flat_ids, numpy_batched
from korvane_dev import corpus_text

BENCH = Path(__file__).resolve().parents[1]

MODULE = '''"""Parse the configuration file and return its sections in the order they were written.

>>> parse("a = 1")
{'a': 1}

    Indented text is a code block, and this sentence in it is never taken at all.
"""

# The cache keeps every parsed file until the process ends, which is fine for
# short scripts but a problem for long running servers.
x = 1  # A trailing comment is not a block of its own, so nothing here is ever taken.


def f():
    """Return the value of x_y as an integer, or None when it is missing.

    See Also
    --------
    Use the parser above when the values come from a file that a user edited.
    """
'''


def test_corpus_takes_prose_in_order_and_repeats_it(tmp_path):
    (tmp_path / "b.py").write_text(MODULE)
    (tmp_path / "a.py").write_text(
        '"""A short module docstring that has enough words to be a sentence."""\n'
    )
    expected = [
        "A short module docstring that has enough words to be a sentence.",  # a.py sorts first
        "Parse the configuration file and return its sections in the order they were written.",
        "Use the parser above when the values come from a file that a user edited.",
        "The cache keeps every parsed file until the process ends, which is fine for short "
        "scripts but a problem for long running servers.",
    ]
    # Rejected: the doctest, the indented block, "x_y" (code), the heading, the short line.
    assert corpus_text.corpus(4, tmp_path) == expected
    assert corpus_text.corpus(10, tmp_path) == (expected * 3)[:10]


def test_corpus_of_no_prose_is_refused(tmp_path):
    (tmp_path / "a.py").write_text("x = 1\n")
    with pytest.raises(ValueError, match="no prose sentences"):
        corpus_text.corpus(5, tmp_path)


@pytest.mark.parametrize("batch", [1, 3, 256])
def test_numpy_batched_is_the_normalised_mean_of_each_list(batch):
    rng = np.random.default_rng(5)
    table = rng.standard_normal((50, 8)).astype(np.float32)
    lists = [rng.integers(0, 50, n).tolist() for n in (1, 7, 2, 30, 1, 5, 9)]
    found = numpy_batched(table, lists, batch)
    for row, ids in zip(found, lists):
        mean = table[ids].astype(np.float64).mean(axis=0)
        np.testing.assert_allclose(row, mean / np.linalg.norm(mean), rtol=1e-5, atol=1e-6)
    ids, offsets = flat_ids(lists)
    assert ids.tolist() == sum(lists, []) and np.diff(offsets).tolist() == list(map(len, lists))


def corpus_results(peer_rates, encode_rate, load_seconds, peak_bytes):
    rate = lambda value: {"median": value, "low": value, "high": value}  # noqa: E731
    return {
        "tensor_bytes": 1000,
        "embedding_stage": {
            "embed_ids, all threads": rate(700_000),
            "numpy batched (256 a batch)": rate(70_000),
            "model2vec per sentence (estimate)": {"median": None},
        },
        "end_to_end": {"Model.encode, all threads": rate(encode_rate)}
        | {f"model2vec encode, {name}": rate(value) for name, value in peer_rates.items()},
        "load": {
            "Model.load(model.safetensors)": {"seconds": load_seconds, "peak_bytes": peak_bytes},
            "safetensors.numpy.load_file": {"seconds": 1.0, "peak_bytes": 2000},
        },
    }


@pytest.mark.parametrize(
    ("peers", "encode", "load", "peak", "met"),
    [
        (
            {"multiprocessing": 30_000, "no multiprocessing": 20_000},
            31_000,
            0.9,
            1100,
            [True, True, True, True, True],
        ),
        # The best peer is whichever is faster, not the first listed.
        (
            {"multiprocessing": 10_000, "no multiprocessing": 40_000},
            31_000,
            1.1,
            1101,
            [True, True, False, False, False],
        ),
    ],
)
def test_corpus_verdicts(peers, encode, load, peak, met):
    results = corpus_results(peers, encode, load, peak)
    assert [verdict.met for verdict in corpus_report.verdicts(results)] == met
    table = corpus_report.rate_table(results["embedding_stage"], "numpy batched (256 a batch)", "x")
    assert "| model2vec per sentence (estimate) | n/a" in table
    assert "| embed_ids, all threads | 700,000 (700,000 to 700,000) | 10.00 |" in table


def test_load_probe_measures_the_table(tmp_path):
    table = np.ones((2048, 1024), np.float32)  # 8 MiB
    save_file({"embeddings": table}, tmp_path / "model.safetensors")
    completed = subprocess.run(
        [
            sys.executable,
            str(BENCH / "corpus_load.py"),
            "safetensors",
            str(tmp_path / "model.safetensors"),
        ],
        check=True,
        capture_output=True,
        text=True,
    )
    found = json.loads(completed.stdout)
    assert found["seconds"] > 0
    assert table.nbytes <= found["peak_bytes"] < 4 * table.nbytes


@pytest.mark.parametrize(
    "own, plain, peer, met",
    [
        (200_000, 200_000, 20_000, [True, True]),
        (199_000, 200_000, 19_000, [False, True]),
        (200_000, 100_000, 20_001, [True, False]),
    ],
)
def test_quantized_verdicts(own, plain, peer, met):
    figures = {
        corpus_report.QUANTIZED: {"median": own},
        corpus_report.QUANTIZED_PLAIN: {"median": plain},
        "model2vec encode, quantized, multiprocessing": {"median": peer * 0.9},
        "model2vec encode, quantized, no multiprocessing": {"median": peer},
    }
    found = corpus_report.quantized_verdicts({"end_to_end": figures})
    assert [verdict.met for verdict in found] == met
    assert "quantized" in corpus_report.quantized_markdown(
        {"vocabulary_quantized": {"rows": 8, "agreement": 1e-7, "end_to_end": figures}}
    )
